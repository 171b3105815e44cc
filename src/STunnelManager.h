#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Processes.h"

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

  const std::string& StunnelPath() const { return stunnelPath_; }
  // The process identifier of the stunnel started last; 0 when none is known to run.
  std::uint32_t ProcessId() const { return process_.Id(); }

 private:
  int CreateProcess(const std::vector<std::string>& arguments, const std::string& commandLineText);

  std::string stunnelPath_;
  platform::Process process_;
};

}  // namespace vortan
