#include "platform/ServiceHost.h"

#include <winsock2.h>
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/windows/Win32Error.h"
#include "platform/windows/WideText.h"

namespace platform {

// --- Running under the manager ---------------------------------------------------

namespace {

// What the dispatcher's entry function runs, and the name it registers its handler
// under. Set before the dispatcher starts, read on the thread it creates.
std::wstring serviceName;
const std::function<int()>* runningServiceMain = nullptr;
int serviceMainResult = 0;

void WINAPI ServiceMainEntry(DWORD, LPWSTR*) { serviceMainResult = (*runningServiceMain)(); }

}  // namespace

// The manager starts a service without a console; a program started by hand from a
// command prompt has one, and the dispatcher would only fail there.
bool StartedByServiceManager() { return ::GetConsoleWindow() == nullptr; }

std::string NotStartedByServiceManagerHint() {
  return "not started by the service control manager; use /console to run it in a console, "
         "/install to register it as a service";
}

// The name in the table is not used for a service that has its process to itself.
int RunUnderServiceManager(const std::string& name, const std::function<int()>& serviceMain) {
  serviceName = Utf8ToWide(name);
  runningServiceMain = &serviceMain;
  SERVICE_TABLE_ENTRYW table[] = {{&serviceName[0], ServiceMainEntry}, {nullptr, nullptr}};
  const bool dispatched = ::StartServiceCtrlDispatcherW(table) != FALSE;
  runningServiceMain = nullptr;
  return dispatched ? serviceMainResult : 1;
}

// --- State reports and control requests -------------------------------------------

namespace {

// The manager calls the control handler on the dispatcher's thread (the process's main
// thread); it queues the request and returns at once, and DeliverRequests hands it on
// to the service's own thread.
struct RequestQueue {
  std::mutex mutex;  // guards everything below
  std::condition_variable requestArrived;
  std::deque<ServiceRequest> requests;
  bool stopDelivering = false;
  SERVICE_STATUS status{};
  SERVICE_STATUS_HANDLE statusHandle = nullptr;
  Error error;
  // While a stop is pending, the manager hears of progress every second (a rising
  // check point): stopping OpenVPN and stunnel may take longer than its default wait.
  std::condition_variable stateChanged;
  std::thread progress;
};

}  // namespace

struct ServiceHost::Native : RequestQueue {};

namespace {

// The host the handler queues to; cleared when the host goes, since the manager may
// still call the handler after that.
std::mutex currentHostMutex;
RequestQueue* currentHost = nullptr;

DWORD StateCode(ServiceStatus status) {
  switch (status) {
    case ServiceStatus::kStartPending:
      return SERVICE_START_PENDING;
    case ServiceStatus::kRunning:
      return SERVICE_RUNNING;
    case ServiceStatus::kStopPending:
      return SERVICE_STOP_PENDING;
    case ServiceStatus::kStopped:
      break;
  }
  return SERVICE_STOPPED;
}

// Only the controls the service accepts (stop and shutdown) and interrogate arrive.
DWORD WINAPI ControlHandler(DWORD control, DWORD, void*, void*) {
  ServiceRequest request;
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      request = ServiceRequest::kStop;
      break;
    case SERVICE_CONTROL_INTERROGATE:
      request = ServiceRequest::kInterrogate;
      break;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
  std::lock_guard<std::mutex> lock(currentHostMutex);
  if (currentHost == nullptr) return NO_ERROR;
  {
    std::lock_guard<std::mutex> hostLock(currentHost->mutex);
    currentHost->requests.push_back(request);
  }
  currentHost->requestArrived.notify_all();
  return NO_ERROR;
}

}  // namespace

ServiceHost::ServiceHost() : native_(std::make_unique<Native>()) {
  native_->status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  native_->status.dwCurrentState = SERVICE_START_PENDING;
  native_->status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
  {
    std::lock_guard<std::mutex> lock(currentHostMutex);
    currentHost = native_.get();
  }
  native_->statusHandle = ::RegisterServiceCtrlHandlerExW(serviceName.c_str(), ControlHandler, nullptr);
  if (native_->statusHandle == nullptr) native_->error = LastWin32Error("RegisterServiceCtrlHandlerExW");
}

// The status handle belongs to the manager and is not closed.
ServiceHost::~ServiceHost() {
  {
    std::lock_guard<std::mutex> lock(native_->mutex);
    native_->status.dwCurrentState = SERVICE_STOPPED;
  }
  native_->stateChanged.notify_all();
  if (native_->progress.joinable()) native_->progress.join();
  std::lock_guard<std::mutex> lock(currentHostMutex);
  currentHost = nullptr;
}

platform::Error ServiceHost::Error() const { return native_->error; }

namespace {

constexpr DWORD kStopWaitHintMs = 3000;

// Reports a rising check point once a second for as long as the stop is pending.
void ReportStopProgress(RequestQueue* host) {
  std::unique_lock<std::mutex> lock(host->mutex);
  while (!host->stateChanged.wait_for(lock, std::chrono::seconds(1), [host] {
    return host->status.dwCurrentState != SERVICE_STOP_PENDING;
  })) {
    ++host->status.dwCheckPoint;
    if (host->statusHandle != nullptr) ::SetServiceStatus(host->statusHandle, &host->status);
  }
}

}  // namespace

// A stopped report carries the service's exit code: a failure the manager sees as one
// starts its recovery actions.
void ServiceHost::Report(ServiceStatus status, const std::string& detail) {
  bool startProgress = false;
  {
    std::lock_guard<std::mutex> lock(native_->mutex);
    SERVICE_STATUS& current = native_->status;
    const DWORD state = StateCode(status);
    startProgress = state == SERVICE_STOP_PENDING && current.dwCurrentState != SERVICE_STOP_PENDING;
    current.dwCurrentState = state;
    current.dwCheckPoint = state == SERVICE_STOP_PENDING || state == SERVICE_START_PENDING ? 1 : 0;
    current.dwWaitHint = state == SERVICE_STOP_PENDING ? kStopWaitHintMs : 0;
    const long exitCode = state == SERVICE_STOPPED ? std::strtol(detail.c_str(), nullptr, 10) : 0;
    current.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    current.dwServiceSpecificExitCode = static_cast<DWORD>(exitCode);
    if (native_->statusHandle != nullptr) ::SetServiceStatus(native_->statusHandle, &current);
  }
  native_->stateChanged.notify_all();
  if (startProgress) {
    if (native_->progress.joinable()) native_->progress.join();
    native_->progress = std::thread(ReportStopProgress, native_.get());
  }
}

void ServiceHost::DeliverRequests(const std::function<void(ServiceRequest)>& handler) {
  if (native_->error.Failed()) return;
  std::unique_lock<std::mutex> lock(native_->mutex);
  for (;;) {
    native_->requestArrived.wait(lock, [this] { return native_->stopDelivering || !native_->requests.empty(); });
    // Stopping is sticky, so every later call returns at once too.
    if (native_->stopDelivering) return;
    const ServiceRequest request = native_->requests.front();
    native_->requests.pop_front();
    lock.unlock();
    handler(request);
    lock.lock();
  }
}

void ServiceHost::StopDelivering() {
  {
    std::lock_guard<std::mutex> lock(native_->mutex);
    native_->stopDelivering = true;
  }
  native_->requestArrived.notify_all();
}

// --- Registration ----------------------------------------------------------------

namespace {

// A service manager handle, closed on every path.
class ServiceHandle {
 public:
  explicit ServiceHandle(SC_HANDLE handle) : handle_(handle) {}
  ~ServiceHandle() {
    if (handle_ != nullptr) ::CloseServiceHandle(handle_);
  }
  ServiceHandle(const ServiceHandle&) = delete;
  ServiceHandle& operator=(const ServiceHandle&) = delete;
  SC_HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  SC_HANDLE handle_;
};

RegistrationOutcome Outcome(RegistrationOutcome::Result result, DWORD code = 0) {
  RegistrationOutcome outcome;
  outcome.result = result;
  outcome.code = static_cast<int>(code);
  return outcome;
}

RegistrationOutcome ManagerUnavailable() {
  return Outcome(RegistrationOutcome::Result::kManagerUnavailable, ::GetLastError());
}

// The path in quotes: unquoted, a path with blanks would let the manager start a
// program named by its first words ("C:\Program.exe").
std::wstring QuotedProgramPath(const std::string& executable) { return L"\"" + Utf8ToWide(executable) + L"\""; }

void SetDescription(SC_HANDLE service, const std::string& description, std::vector<std::string>* warnings) {
  std::wstring text = Utf8ToWide(description);
  SERVICE_DESCRIPTIONW config{&text[0]};
  if (!::ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &config)) {
    warnings->push_back("Failed to set the service's description (Error=" + std::to_string(::GetLastError()) + ")");
  }
}

// The manager restarts the service after a crash or a failed stop (an exit code other
// than 0): after 5 s, 30 s and then 60 s; the count starts again after a day without
// failure.
void SetRestartOnFailure(SC_HANDLE service, std::vector<std::string>* warnings) {
  SC_ACTION actions[] = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 30000}, {SC_ACTION_RESTART, 60000}};
  SERVICE_FAILURE_ACTIONSW failure{};
  failure.dwResetPeriod = 24 * 60 * 60;
  failure.cActions = sizeof actions / sizeof actions[0];
  failure.lpsaActions = actions;
  SERVICE_FAILURE_ACTIONS_FLAG onExitCode{TRUE};
  if (!::ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure) ||
      !::ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onExitCode)) {
    warnings->push_back("Failed to set the service's restart on failure (Error=" + std::to_string(::GetLastError()) +
                        ")");
  }
}

}  // namespace

RegistrationOutcome RegisterService(const ServiceDefinition& definition, ServiceStart start) {
  ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (!manager) return ManagerUnavailable();
  const std::wstring name = Utf8ToWide(definition.name);
  const std::wstring programPath = QuotedProgramPath(definition.executable);
  // The local system account (no account name), no group, no dependencies.
  ServiceHandle service(::CreateServiceW(
      manager.get(), name.c_str(), name.c_str(), SERVICE_CHANGE_CONFIG | SERVICE_START, SERVICE_WIN32_OWN_PROCESS,
      start == ServiceStart::kAutomatic ? SERVICE_AUTO_START : SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
      programPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_SERVICE_EXISTS) return Outcome(RegistrationOutcome::Result::kAlreadyRegistered);
    return Outcome(RegistrationOutcome::Result::kFailed, error);
  }
  RegistrationOutcome outcome;
  SetDescription(service.get(), definition.description, &outcome.warnings);
  SetRestartOnFailure(service.get(), &outcome.warnings);
  return outcome;
}

// Opened with the rights that stopping and removing need, so that a caller without
// them learns it here, before anything is asked of the service.
RegistrationOutcome CheckServiceRegistered(const std::string& name) {
  ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return ManagerUnavailable();
  ServiceHandle service(::OpenServiceW(manager.get(), Utf8ToWide(name).c_str(), SERVICE_STOP | DELETE));
  if (!service) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) return Outcome(RegistrationOutcome::Result::kNotRegistered);
    return Outcome(RegistrationOutcome::Result::kFailed, error);
  }
  return RegistrationOutcome();
}

Error RequestServiceStop(const std::string& name) {
  ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return LastWin32Error("OpenSCManagerW");
  ServiceHandle service(::OpenServiceW(manager.get(), Utf8ToWide(name).c_str(), SERVICE_STOP));
  if (!service) return LastWin32Error("OpenServiceW");
  SERVICE_STATUS status{};
  if (::ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) return Error::Success();
  const DWORD error = ::GetLastError();
  // Not running, or already on its way to stopping: nothing to ask.
  if (error == ERROR_SERVICE_NOT_ACTIVE) return Error::Success();
  if (error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL && status.dwCurrentState == SERVICE_STOP_PENDING) {
    return Error::Success();
  }
  return Win32Error(error, "ControlService");
}

// The manager deletes a running service once it has stopped.
RegistrationOutcome UnregisterService(const std::string& name) {
  ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return ManagerUnavailable();
  ServiceHandle service(::OpenServiceW(manager.get(), Utf8ToWide(name).c_str(), DELETE));
  if (!service) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) return Outcome(RegistrationOutcome::Result::kNotRegistered);
    return Outcome(RegistrationOutcome::Result::kFailed, error);
  }
  if (!::DeleteService(service.get())) return Outcome(RegistrationOutcome::Result::kFailed, ::GetLastError());
  return RegistrationOutcome();
}

}  // namespace platform
