#include "app/Service.h"

#include <chrono>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "common/Logging.h"
#include "common/Paths.h"
#include "platform/ProcessInfo.h"
#include "platform/ServiceHost.h"

namespace vortan {

namespace {

const char* const kServiceName = "VortanVpnService";
const char* const kServiceDescription = "OpenVpn Launcher Service";

el::Logger* ServiceLogger() { return el::Loggers::getLogger(loggers::kService); }

platform::ServiceStatus HostStatus(ServiceState state) {
  switch (state) {
    case ServiceState::kStartPending:
      return platform::ServiceStatus::kStartPending;
    case ServiceState::kRunning:
      return platform::ServiceStatus::kRunning;
    case ServiceState::kStopPending:
      return platform::ServiceStatus::kStopPending;
    case ServiceState::kStopped:
      break;
  }
  return platform::ServiceStatus::kStopped;
}

}  // namespace

CService::CService(MainLoop mainLoop)
    : mainLoop_(std::move(mainLoop)), host_(std::make_unique<platform::ServiceHost>()) {}

CService::~CService() { StopControlHandler(); }

int CService::ServiceMain() {
  const platform::Error error = host_->Error();
  if (error.Failed()) {
    ServiceLogger()->error("Warning: Failed to register service handler. (Error=%v)", error.Code());
  }
  ReportStatus();
  // The service runs programs from its tree and writes there as the system: it does not
  // run over a tree that others may change.
  const std::string root = DirectoryOf(DirectoryOf(platform::ExecutablePath()));
  if (const platform::Error treeError = platform::ProtectInstalledTree(root); treeError.Failed()) {
    CLOG(ERROR, loggers::kService) << "Cannot protect the installed tree " << root << " (Error=" << treeError.Code()
                                   << "): the service does not run";
    ReportStopped(1);
    StopControlHandler();
    return 1;
  }
  int exitCode = mainLoop_.run(this);
  ReportStopped(exitCode);
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
      mainLoop_.stop();
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

void CService::ReportStopped(int exitCode) {
  exitCode_ = exitCode;
  SetState(ServiceState::kStopped);
}

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

void CService::ReportStatus() {
  ServiceState state = state_;
  std::string detail;
  if (state == ServiceState::kRunning) detail = mainLoop_.endpointText();
  if (state == ServiceState::kStopped) detail = std::to_string(exitCode_.load());
  host_->Report(HostStatus(state), detail);
}

// Controls are read only once the service runs: like a service manager that refuses
// controls to a service still starting, a stop that arrives earlier stays queued
// and is handled as soon as the listener exists.
void CService::StartControlHandler() {
  if (host_->Error().Failed() || controlThread_.joinable()) return;
  controlThread_ = std::thread([this] { HandleControls(); });
}

void CService::StopControlHandler() {
  host_->StopDelivering();
  if (controlThread_.joinable()) controlThread_.join();
}

void CService::HandleControls() {
  NameThread("control");
  host_->DeliverRequests([this](platform::ServiceRequest request) {
    std::uint32_t code = request == platform::ServiceRequest::kStop ? control::kStop : control::kInterrogate;
    lastControl_ = code;
    ProcessScmRequest(code);
  });
}

int RunAsService(const MainLoop& mainLoop) {
  if (!platform::StartedByServiceManager()) {
    std::cerr << "VortanVpnService: " << platform::NotStartedByServiceManagerHint() << std::endl;
    return 1;
  }
  return platform::RunUnderServiceManager(kServiceName, [&mainLoop] {
    CService service(mainLoop);
    return service.ServiceMain();
  });
}

// --- Install and remove ----------------------------------------------------------

namespace {

void LogWarnings(const std::vector<std::string>& warnings) {
  for (const std::string& warning : warnings) CLOG(WARNING, loggers::kService) << warning;
}

}  // namespace

bool InstallService(bool autoStart) {
  platform::ServiceDefinition definition;
  definition.name = kServiceName;
  definition.description = kServiceDescription;
  definition.executable = platform::ExecutablePath();
  if (definition.executable.empty()) return false;
  definition.installRoot = DirectoryOf(DirectoryOf(definition.executable));
  if (const platform::Error treeError = platform::ProtectInstalledTree(definition.installRoot); treeError.Failed()) {
    CLOG(ERROR, loggers::kService) << "Failed to install service: cannot protect the installed tree "
                                   << definition.installRoot << " (Error=" << treeError.Code() << ")";
    return false;
  }

  platform::RegistrationOutcome outcome = platform::RegisterService(
      definition, autoStart ? platform::ServiceStart::kAutomatic : platform::ServiceStart::kOnDemand);
  if (outcome.result == platform::RegistrationOutcome::Result::kManagerUnavailable) {
    ServiceLogger()->error("Failed to install service: Could not open Service Manager (Error=%v)", outcome.code);
    return false;
  }
  if (outcome.result == platform::RegistrationOutcome::Result::kAlreadyRegistered) {
    CLOG(ERROR, loggers::kService) << "Error: Service already installed.";
    return false;
  }
  if (outcome.result != platform::RegistrationOutcome::Result::kDone) {
    CLOG(ERROR, loggers::kService) << "Failed to install service. Error=" << outcome.code;
    return false;
  }
  LogWarnings(outcome.warnings);
  CLOG(DEBUG, loggers::kService) << "Service successfully installed (but not started !)";
  return true;
}

bool RemoveService() {
  platform::RegistrationOutcome check = platform::CheckServiceRegistered(kServiceName);
  if (check.result == platform::RegistrationOutcome::Result::kManagerUnavailable) {
    ServiceLogger()->error("Failed to remove service: Could not open Service Manager. (Error=%v)", check.code);
    return false;
  }
  if (check.result == platform::RegistrationOutcome::Result::kNotRegistered) {
    CLOG(ERROR, loggers::kService) << "Error: The service is not installed.";
    return false;
  }
  if (check.result != platform::RegistrationOutcome::Result::kDone) {
    ServiceLogger()->error("Failed to remove service: Could not open service. (Error=%v)", check.code);
    return false;
  }
  const platform::Error stopError = platform::RequestServiceStop(kServiceName);
  if (stopError.Failed()) {
    CLOG(ERROR, loggers::kService) << "Warning: Failed to stop service: Error=" << stopError.Code();
  }
  CLOG(DEBUG, loggers::kService) << "Service successfully stopped (Was it running ?).";
  platform::RegistrationOutcome removal = platform::UnregisterService(kServiceName);
  LogWarnings(removal.warnings);
  if (removal.result != platform::RegistrationOutcome::Result::kDone) {
    ServiceLogger()->error("Failed to remove service. (Error=%v)", removal.code);
    return false;
  }
  CLOG(DEBUG, loggers::kService) << "Service successfully removed.";
  return true;
}

}  // namespace vortan
