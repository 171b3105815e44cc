#include "Service.h"

#include <chrono>
#include <iostream>

#include "Ipv4.h"
#include "Logging.h"
#include "Paths.h"
#include "VortanVpnService.h"
#include "platform/ProcessInfo.h"
#include "platform/ServiceHost.h"

namespace vortan {

namespace {

const char* const kServiceName = "VortanVpnService";
const char* const kServiceDescription = "OpenVpn Launcher Service";

el::Logger* ServiceLogger() { return el::Loggers::getLogger(loggers::kService); }

// The notification that tells systemd about a state.
std::string StatusAssignments(ServiceState state) {
  switch (state) {
    case ServiceState::kStartPending:
      return "STATUS=Starting";
    case ServiceState::kRunning:
      return "READY=1\nSTATUS=Management listener on " + FormatDotted(listenerAddress) + ":" +
             std::to_string(listenerPort);
    case ServiceState::kStopPending:
      return "STOPPING=1\nSTATUS=Stopping";
    case ServiceState::kStopped:
      return "STATUS=Stopped";
  }
  return std::string();
}

}  // namespace

CService::CService() : controls_(std::make_unique<platform::ServiceControlSource>()) {}

CService::~CService() { StopControlHandler(); }

int CService::ServiceMain() {
  int error = controls_->Error();
  if (error != 0) {
    ServiceLogger()->error("Warning: Failed to register service handler. (Error=%v)", error);
  }
  ReportStatus();
  int exitCode = Run(this, TheOpenVpnManager());
  SetState(ServiceState::kStopped);
  StopControlHandler();
  return exitCode;
}

void CService::ProcessScmRequest(std::uint32_t control) {
  CLOG(DEBUG, loggers::kService) << "ProcessScmRequest : dwControl=" << control;
  switch (control) {
    case control::kStop:
    case control::kShutdown:
      CLOG(INFO, loggers::kService) << "Control request STOP or SHUTDOWN received";
      SetState(ServiceState::kStopPending);
      NotifyMainThread();
      break;
    case control::kPause:
    case control::kContinue:
      CLOG(INFO, loggers::kService) << "Control request PAUSE or CONTINUE received";
      break;
    case control::kInterrogate:
      ReportStatus();
      break;
    default:
      ServiceLogger()->error("Invalid service control request : %v.", control);
      break;
  }
}

void CService::ReportRunning() {
  SetState(ServiceState::kRunning);
  StartControlHandler();
}

void CService::ReportStopped() { SetState(ServiceState::kStopped); }

bool CService::IsStopPending() { return state_ == ServiceState::kStopPending; }

void CService::WaitForControl(std::uint32_t seconds) {
  std::unique_lock<std::mutex> lock(eventMutex_);
  bool signalled = eventCondition_.wait_for(lock, std::chrono::seconds(seconds),
                                            [this] { return eventSignalled_; });
  eventSignalled_ = false;
  lock.unlock();
  if (signalled) ProcessScmRequest(lastControl_);
}

void CService::ReprocessLastControl() { ProcessScmRequest(lastControl_); }

void CService::SetState(ServiceState state) {
  state_ = state;
  ReportStatus();
}

// Status reports are not checked: a lost report changes nothing in the service.
void CService::ReportStatus() { platform::NotifyServiceManager(StatusAssignments(state_)); }

// Controls are read only once the service runs: like a service manager that refuses
// controls to a service still starting, a stop that arrives earlier stays queued
// (the signals are blocked) and is handled as soon as the listener exists.
void CService::StartControlHandler() {
  if (controls_->Error() != 0 || controlThread_.joinable()) return;
  controlThread_ = std::thread([this] { HandleControls(); });
}

void CService::StopControlHandler() {
  controls_->Cancel();
  if (controlThread_.joinable()) controlThread_.join();
}

void CService::HandleControls() {
  NameThread("control");
  for (;;) {
    platform::ServiceControl request = controls_->Wait();
    if (request == platform::ServiceControl::kCancelled) return;
    std::uint32_t code =
        request == platform::ServiceControl::kStop ? control::kStop : control::kInterrogate;
    lastControl_ = code;
    ProcessScmRequest(code);
  }
}

void PrepareServiceSignals() { platform::BlockControlSignals(); }

int RunAsService() {
  if (!platform::ServiceManagerListening()) {
    std::cerr << "VortanVpnService: not started by systemd (no NOTIFY_SOCKET); "
                 "use /console to run it in a terminal"
              << std::endl;
    return 1;
  }
  PrepareServiceSignals();
  CService service;
  return service.ServiceMain();
}

// --- Install and remove ----------------------------------------------------------

namespace {

// Reloads systemd's configuration after the unit file changed, or says that it must
// be done once systemd runs.
void ReloadServiceManager() {
  const std::string unit = std::string(kServiceName) + ".service";
  if (!platform::ServiceManagerRunning()) {
    CLOG(WARNING, loggers::kService) << "systemd is not running: reload its configuration "
                                        "(systemctl daemon-reload) once it runs, for the change of "
                                     << unit << " to take effect";
    return;
  }
  platform::ManagerCommandResult result = platform::ReloadServiceManager();
  if (platform::IsToolMissing(result.error)) {
    CLOG(WARNING, loggers::kService) << "systemctl not found: reload systemd's configuration "
                                        "for the change of "
                                     << unit << " to take effect";
  } else if (!result.Succeeded()) {
    CLOG(WARNING, loggers::kService) << "Failed to reload systemd's configuration (Error="
                                     << result.error << ", exit status " << result.exitStatus
                                     << "): run systemctl daemon-reload";
  }
}

void EnableAtBoot() {
  platform::ManagerCommandResult result = platform::EnableService(kServiceName);
  if (!result.Succeeded()) {
    CLOG(WARNING, loggers::kService) << "Failed to enable the service at boot (Error=" << result.error
                                     << ", exit status " << result.exitStatus << ")";
  }
}

void DisableAtBoot() {
  platform::ManagerCommandResult result = platform::DisableService(kServiceName);
  if (!result.Succeeded()) {
    CLOG(WARNING, loggers::kService) << "Failed to disable the service at boot (Error=" << result.error
                                     << ", exit status " << result.exitStatus << ")";
  }
}

// systemctl's exit status for a unit that systemd has not loaded: nothing runs it.
constexpr int kUnitNotLoaded = 5;

// Asks systemd to stop the service without waiting; a service that is not running
// is not an error.
void RequestStop() {
  if (!platform::ServiceManagerRunning()) return;
  platform::ManagerCommandResult result = platform::RequestServiceStop(kServiceName);
  if (result.error != 0) {
    CLOG(ERROR, loggers::kService) << "Warning: Failed to stop service: Error=" << result.error;
  } else if (result.exitStatus != 0 && result.exitStatus != kUnitNotLoaded) {
    CLOG(ERROR, loggers::kService) << "Warning: Failed to stop service: Error=" << result.exitStatus;
  }
}

}  // namespace

bool InstallService(bool autoStart) {
  platform::ServiceDefinition definition;
  definition.name = kServiceName;
  definition.description = kServiceDescription;
  definition.executable = platform::ExecutablePath();
  if (definition.executable.empty()) return false;
  definition.installRoot = DirectoryOf(DirectoryOf(definition.executable));

  int error = platform::CreateServiceDefinition(definition);
  if (platform::IsAlreadyRegistered(error)) {
    CLOG(ERROR, loggers::kService) << "Error: Service already installed.";
    return false;
  }
  if (error != 0) {
    CLOG(ERROR, loggers::kService) << "Failed to install service. Error=" << error;
    return false;
  }
  ReloadServiceManager();
  if (autoStart) EnableAtBoot();
  CLOG(DEBUG, loggers::kService) << "Service successfully installed (but not started !)";
  return true;
}

bool RemoveService() {
  int error = platform::CheckServiceDefinition(kServiceName);
  if (platform::IsNotRegistered(error)) {
    CLOG(ERROR, loggers::kService) << "Error: The service is not installed.";
    return false;
  }
  if (error != 0) {
    ServiceLogger()->error("Failed to remove service: Could not open service. (Error=%v)", error);
    return false;
  }
  RequestStop();
  CLOG(DEBUG, loggers::kService) << "Service successfully stopped (Was it running ?).";
  // Disabling reads the unit file's [Install] section, so it comes before the delete.
  DisableAtBoot();
  error = platform::DeleteServiceDefinition(kServiceName);
  if (error != 0) {
    ServiceLogger()->error("Failed to remove service. (Error=%v)", error);
    return false;
  }
  ReloadServiceManager();
  CLOG(DEBUG, loggers::kService) << "Service successfully removed.";
  return true;
}

}  // namespace vortan
