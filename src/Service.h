#pragma once

#include <cstdint>

namespace vortan {

// The main loop's view of the hosting service manager. Console mode has none.
class IService {
 public:
  virtual ~IService() = default;
  virtual void ReportRunning() = 0;
  virtual void ReportStopped() = 0;
  virtual bool IsStopPending() = 0;
  virtual void WaitForControl(std::uint32_t seconds) = 0;
  virtual void ReprocessLastControl() = 0;
};

// Runs the service under the platform's service manager; returns the exit code.
int RunAsService();
// Registers the service with the platform's service manager; true on success.
bool InstallService(bool autoStart);
// Stops and unregisters the service; true on success.
bool RemoveService();

}  // namespace vortan
