#pragma once

#include <cstdint>
#include <string>

#include "tunnel/ChildProgram.h"

namespace vortan {

// Starts and stops the local stunnel program that carries the QBR tunnel.
class STunnelManager {
 public:
  STunnelManager();
  // Stops a running stunnel.
  virtual ~STunnelManager();
  STunnelManager(const STunnelManager&) = delete;
  STunnelManager& operator=(const STunnelManager&) = delete;

  // True when the stunnel program exists below the executable's directory.
  bool IsInstalled() const;
  // Starts stunnel with the configuration (three attempts); failures are only logged.
  void Launch(const std::string& configPath);
  // Asks a running stunnel to exit, waits a bounded time, then kills it.
  void Shutdown();

  const std::string& StunnelPath() const { return program_.Path(); }
  // The process identifier of the stunnel started last; 0 when none is known to run.
  std::uint32_t ProcessId() const { return program_.Id(); }

 private:
  ChildProgram program_;
};

}  // namespace vortan
