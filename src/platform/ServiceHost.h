#pragma once

#include <string>
#include <vector>

// The host's service manager: state notifications, control requests delivered as
// signals, and the registration of the service (a unit file plus the manager's own
// command-line tool). Error codes are the platform's numeric codes; 0 means success.
namespace platform {

// --- State notifications ---------------------------------------------------------

// True when the process was started by a service manager that listens for state
// notifications from it.
bool ServiceManagerListening();

// Sends newline-separated state assignments ("READY=1", "STOPPING=1", "STATUS=text").
int NotifyServiceManager(const std::string& assignments);

// --- Control requests ------------------------------------------------------------

// What a control request asks of the service.
enum class ServiceControl {
  kStop,         // the manager's stop (or an interrupt from a terminal)
  kInterrogate,  // report the current state again
  kCancelled,    // the source was cancelled: no more requests will be read
};

// Blocks the control signals in the calling thread, and so in every thread it starts
// afterwards; must run before the process starts its first thread.
int BlockControlSignals();

// A readable source of control requests. Requests that arrive before the first Wait
// stay queued until they are read.
class ServiceControlSource {
 public:
  ServiceControlSource();
  ~ServiceControlSource();
  ServiceControlSource(const ServiceControlSource&) = delete;
  ServiceControlSource& operator=(const ServiceControlSource&) = delete;

  // 0 when the source is usable, otherwise the code of the step that failed.
  int Error() const { return error_; }
  // Blocks until a request arrives or Cancel is called.
  ServiceControl Wait();
  // Makes a blocked (or the next) Wait return kCancelled; callable from any thread.
  void Cancel();

 private:
  int signalHandle_ = -1;
  int wakeHandle_ = -1;
  int error_ = 0;
};

// --- Registration ----------------------------------------------------------------

// What a service definition needs to know about the service.
struct ServiceDefinition {
  std::string name;         // also the unit's file name stem
  std::string description;  // shown by the manager
  std::string executable;   // full path of the program, started without switches
  std::string installRoot;  // the directory above the executable's: conf, logs, log
};

// The full path of the service's definition file.
std::string ServiceDefinitionPath(const std::string& name);

// The text of the definition file.
std::string ServiceDefinitionText(const ServiceDefinition& definition);

// Creates the definition file; fails when it exists (see IsAlreadyRegistered).
int CreateServiceDefinition(const ServiceDefinition& definition);
// 0 when the definition file exists; IsNotRegistered tells its absence apart.
int CheckServiceDefinition(const std::string& name);
int DeleteServiceDefinition(const std::string& name);

bool IsAlreadyRegistered(int code);
bool IsNotRegistered(int code);

// True when the service manager runs as the system's init process, so that it can
// be asked to reload, start and stop services.
bool ServiceManagerRunning();

// The outcome of one request made through the manager's command-line tool.
struct ManagerCommandResult {
  int error = 0;       // the tool could not be started (IsToolMissing tells why)
  int exitStatus = 0;  // the tool's exit status when it ran
  bool Succeeded() const { return error == 0 && exitStatus == 0; }
};
bool IsToolMissing(int code);

// Reads the service definitions again.
ManagerCommandResult ReloadServiceManager();
// Starts the service at boot (works on the files also while the manager is not running).
ManagerCommandResult EnableService(const std::string& name);
ManagerCommandResult DisableService(const std::string& name);
// Asks the running manager to stop the service, without waiting for it to stop.
ManagerCommandResult RequestServiceStop(const std::string& name);

}  // namespace platform
