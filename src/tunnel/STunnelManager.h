#pragma once

#include <cstdint>
#include <string>

#include "tunnel/ChildProgram.h"

namespace vortan {

// Starts and stops the local stunnel program that carries the QBR tunnel, and keeps its
// accept end (address in network byte order, port) for the service's own OpenVPN while
// it runs.
class STunnelManager {
 public:
  STunnelManager(platform::ChildLauncher& launcher, std::uint32_t acceptAddress, int acceptPort);
  // Stops a running stunnel.
  virtual ~STunnelManager();
  STunnelManager(const STunnelManager&) = delete;
  STunnelManager& operator=(const STunnelManager&) = delete;

  // True when the stunnel program exists below the executable's directory.
  bool IsInstalled() const;
  // Starts stunnel with the configuration (three attempts) once its accept end is
  // closed to other users; failures are only logged (stunnel is not started when that
  // end cannot be closed).
  void Launch(const std::string& configPath);
  // Asks a running stunnel to exit, waits a bounded time, then kills it; the accept
  // end's guard goes with it.
  void Shutdown();

  const std::string& StunnelPath() const { return program_.Path(); }
  // The process identifier of the stunnel started last; 0 when none is known to run.
  std::uint32_t ProcessId() const { return program_.Id(); }

 private:
  ChildProgram program_;
  std::uint32_t acceptAddress_;
  int acceptPort_;
  bool guarded_ = false;
};

}  // namespace vortan
