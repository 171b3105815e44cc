#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Error.h"

// The host's service manager: running under it, reporting the service's state to it,
// receiving its control requests, and registering the service with it.
namespace platform {

// --- Running under the manager ---------------------------------------------------

// True when the process was started by the service manager.
bool StartedByServiceManager();

// What to tell a user who started the service program by hand, without the manager.
std::string NotStartedByServiceManagerHint();

// Runs serviceMain as the service the manager started, and returns its result. Must
// be called before the process starts its first thread.
int RunUnderServiceManager(const std::string& name, const std::function<int()>& serviceMain);

// --- State reports and control requests -------------------------------------------

// The states the manager is told about.
enum class ServiceStatus {
  kStartPending,
  kRunning,
  kStopPending,
  kStopped,
};

// What a control request asks of the service.
enum class ServiceRequest {
  kStop,         // the manager's stop (or an interrupt from a terminal)
  kInterrogate,  // report the current state again
};

// The service's connection to the manager. Requests that arrive before the first
// DeliverRequests stay queued until they are delivered.
class ServiceHost {
 public:
  ServiceHost();
  ~ServiceHost();
  ServiceHost(const ServiceHost&) = delete;
  ServiceHost& operator=(const ServiceHost&) = delete;

  // Success when control requests can be received, otherwise the step that failed.
  platform::Error Error() const;
  // Tells the manager the state; a running report also names the management
  // listener ("address:port"), a stopped one the service's exit code (decimal) in its
  // place. Unchecked: a lost report changes nothing.
  void Report(ServiceStatus status, const std::string& listener);
  // Calls handler for each control request, on the calling thread, until
  // StopDelivering is called.
  void DeliverRequests(const std::function<void(ServiceRequest)>& handler);
  // Makes a running (or the next) DeliverRequests return; callable from any thread.
  void StopDelivering();

 private:
  struct Native;
  std::unique_ptr<Native> native_;
};

// --- Registration ----------------------------------------------------------------

// What a service definition needs to know about the service.
struct ServiceDefinition {
  std::string name;         // the name the manager knows the service by
  std::string description;  // shown by the manager
  std::string executable;   // full path of the program, started without switches
  std::string installRoot;  // the directory above the executable's: conf, logs, log
};

enum class ServiceStart {
  kAutomatic,  // at boot
  kOnDemand,   // only when asked
};

// The outcome of a registration step. Warnings are complete log lines about the
// manager's own follow-up work that did not succeed; the step itself did.
struct RegistrationOutcome {
  enum class Result {
    kDone,
    kAlreadyRegistered,
    kNotRegistered,
    kManagerUnavailable,  // the manager itself could not be reached; code holds why
    kFailed,              // code holds the platform's error
  };
  Result result = Result::kDone;
  int code = 0;
  std::vector<std::string> warnings;
};

// Gives the installed tree under root (bin, conf, logs, log, run) the protection the
// service relies on: it runs programs and loads libraries from it and writes there with
// the system's rights. Success, or the step that failed; where the package manager
// already installs the tree so, nothing is done.
Error ProtectInstalledTree(const std::string& root);

// Registers the service with the manager.
RegistrationOutcome RegisterService(const ServiceDefinition& definition, ServiceStart start);
// kDone when the service is registered, kNotRegistered when it is not.
RegistrationOutcome CheckServiceRegistered(const std::string& name);
// Asks the manager to stop the service, without waiting for it to stop. Success also
// when the service does not run, otherwise the code that tells why it failed.
Error RequestServiceStop(const std::string& name);
// Removes the registration.
RegistrationOutcome UnregisterService(const std::string& name);

}  // namespace platform
