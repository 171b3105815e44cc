#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace platform {
class ServiceHost;
}

namespace vortan {

// The main loop's view of the hosting service manager. Console mode has none.
class IService {
 public:
  virtual ~IService() = default;
  virtual void ReportRunning() = 0;
  // Tells the manager the service has stopped with this exit code.
  virtual void ReportStopped(int exitCode) = 0;
  virtual bool IsStopPending() = 0;
  virtual void WaitForControl(std::uint32_t seconds) = 0;
  virtual void ReprocessLastControl() = 0;
};

// The main loop as the entry function hands it to the service object.
struct MainLoop {
  // Serves until a stop; its result is the service's exit code.
  std::function<int(IService*)> run;
  // Ends the running loop from another thread.
  std::function<void()> stop;
  // The listener's endpoint as the running report names it.
  std::function<std::string()> endpointText;
};

// Control codes of a service manager request.
namespace control {
constexpr std::uint32_t kStop = 1;
constexpr std::uint32_t kPause = 2;
constexpr std::uint32_t kContinue = 3;
constexpr std::uint32_t kInterrogate = 4;
constexpr std::uint32_t kShutdown = 5;
}  // namespace control

// States of the service as reported to the manager.
enum class ServiceState : std::uint32_t {
  kStopped = 1,
  kStartPending = 2,
  kStopPending = 3,
  kRunning = 4,
};

// The service under the host's service manager: state reports go to the manager, and
// its stop and interrogate requests are handled on a thread of their own.
class CService : public IService {
 public:
  explicit CService(MainLoop mainLoop = MainLoop{});
  ~CService() override;
  CService(const CService&) = delete;
  CService& operator=(const CService&) = delete;

  // Runs the service: registration of the control handler, start-pending, the main
  // loop, stopped. Returns the main loop's result.
  int ServiceMain();
  // Handles one control request; a stop runs the stop dialogue on the calling thread.
  void ProcessScmRequest(std::uint32_t control);

  void ReportRunning() override;
  void ReportStopped(int exitCode) override;
  bool IsStopPending() override;
  void WaitForControl(std::uint32_t seconds) override;
  void ReprocessLastControl() override;

  ServiceState State() const { return state_; }

 private:
  void SetState(ServiceState state);
  void ReportStatus();
  void StartControlHandler();
  void StopControlHandler();
  void HandleControls();

  MainLoop mainLoop_;
  std::atomic<std::uint32_t> lastControl_{0};
  std::atomic<ServiceState> state_{ServiceState::kStartPending};
  std::atomic<int> exitCode_{0};
  // The auto-reset event WaitForControl waits on; nothing in the program sets it.
  std::mutex eventMutex_;
  std::condition_variable eventCondition_;
  bool eventSignalled_ = false;
  std::unique_ptr<platform::ServiceHost> host_;
  std::thread controlThread_;
};

// Runs the service with mainLoop under the service manager; returns the exit code:
// the main loop's result, or 1 when not started by the manager.
int RunAsService(const MainLoop& mainLoop);
// Registers the service with the service manager; true on success.
bool InstallService(bool autoStart);
// Stops and unregisters the service; true on success.
bool RemoveService();

}  // namespace vortan
