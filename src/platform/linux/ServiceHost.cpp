#include "platform/ServiceHost.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/linux/Descriptors.h"
#include "platform/linux/ErrnoError.h"

extern char** environ;

namespace platform {

// --- Running under the manager ---------------------------------------------------

namespace {

// systemd starts a Type=notify unit with the notification socket in NOTIFY_SOCKET.
bool NotificationSocketNamed() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  return socket != nullptr && socket[0] != '\0';
}

// SIGTERM is systemd's stop, SIGINT an interrupt from a terminal, SIGHUP the
// conventional "re-read your state" request, used here as the interrogate control.
sigset_t ControlSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  return signals;
}

// Blocks the control signals in the calling thread, and so in every thread it starts
// afterwards, so that only the signalfd of ServiceHost receives them.
void BlockControlSignals() {
  sigset_t signals = ControlSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void CloseHandle(int* handle) {
  if (*handle >= 0) close(*handle);
  *handle = -1;
}

// The systemd notification for a state.
std::string StatusAssignments(ServiceStatus status, const std::string& listener) {
  switch (status) {
    case ServiceStatus::kStartPending:
      return "STATUS=Starting";
    case ServiceStatus::kRunning:
      return "READY=1\nSTATUS=Management listener on " + listener;
    case ServiceStatus::kStopPending:
      return "STOPPING=1\nSTATUS=Stopping";
    case ServiceStatus::kStopped:
      return "STATUS=Stopped";
  }
  return std::string();
}

}  // namespace

bool StartedByServiceManager() { return NotificationSocketNamed(); }

std::string NotStartedByServiceManagerHint() {
  return "not started by systemd (no NOTIFY_SOCKET); use /console to run it in a terminal";
}

int RunUnderServiceManager(const std::string&, const std::function<int()>& serviceMain) {
  BlockControlSignals();
  return serviceMain();
}

// --- State reports and control requests -------------------------------------------

// Control requests arrive as signals, read from a signalfd; an eventfd wakes the
// reader for StopDelivering.
struct ServiceHost::Native {
  int signalHandle = -1;
  int wakeHandle = -1;
  platform::Error error;
};

ServiceHost::ServiceHost() : native_(std::make_unique<Native>()) {
  sigset_t signals = ControlSignals();
  native_->signalHandle = signalfd(-1, &signals, SFD_CLOEXEC);
  if (native_->signalHandle < 0) {
    native_->error = ErrnoError(errno, "signalfd");
    return;
  }
  native_->wakeHandle = eventfd(0, EFD_CLOEXEC);
  if (native_->wakeHandle < 0) {
    native_->error = ErrnoError(errno, "eventfd");
    CloseHandle(&native_->signalHandle);
  }
}

ServiceHost::~ServiceHost() {
  CloseHandle(&native_->signalHandle);
  CloseHandle(&native_->wakeHandle);
}

platform::Error ServiceHost::Error() const { return native_->error; }

void ServiceHost::Report(ServiceStatus status, const std::string& listener) {
  sd_notify(0, StatusAssignments(status, listener).c_str());
}

void ServiceHost::DeliverRequests(const std::function<void(ServiceRequest)>& handler) {
  if (native_->error.Failed()) return;
  for (;;) {
    pollfd waiters[2] = {{native_->wakeHandle, POLLIN, 0}, {native_->signalHandle, POLLIN, 0}};
    if (poll(waiters, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    // The wake counter is never read, so every later call also sees the stop.
    if (waiters[0].revents != 0) return;
    signalfd_siginfo info;
    ssize_t count = read(native_->signalHandle, &info, sizeof info);
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (count != static_cast<ssize_t>(sizeof info)) return;
    handler(info.ssi_signo == SIGHUP ? ServiceRequest::kInterrogate : ServiceRequest::kStop);
  }
}

void ServiceHost::StopDelivering() {
  if (native_->wakeHandle < 0) return;
  std::uint64_t one = 1;
  ssize_t ignored = write(native_->wakeHandle, &one, sizeof one);
  (void)ignored;
}

// --- Registration ----------------------------------------------------------------

namespace {

const char* const kUnitDirectory = "/etc/systemd/system/";

// A path as one quoted word of a unit file: quoting keeps blanks, and "%" would
// start a specifier.
std::string QuotedUnitWord(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '%') quoted += '%';
    quoted += c;
  }
  return quoted + "\"";
}

// systemd refuses to run a program whose path holds quotes, backslashes or control
// characters, so such a path cannot be registered.
bool UnitCanCarry(const std::string& path) {
  for (unsigned char c : path) {
    if (c < 0x20 || c == 0x7f || c == '"' || c == '\'' || c == '\\') return false;
  }
  return true;
}

std::string UnitPath(const std::string& name) {
  return kUnitDirectory + name + ".service";
}

std::string UnitText(const ServiceDefinition& definition) {
  const std::string programDirectory = definition.executable.substr(0, definition.executable.rfind('/'));
  return "[Unit]\n"
         "Description=" + definition.description + "\n"
         "Wants=network-online.target\n"
         "After=network-online.target\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         // OpenVPN, a child in the same unit, links libsystemd too: only our own
         // notifications count.
         "NotifyAccess=main\n"
         "ExecStart=" + QuotedUnitWord(definition.executable) + "\n"
         "Restart=on-failure\n"
         "RestartSec=5\n"
         // Every client connection holds a descriptor: the default soft limit of 1024
         // would let one local user's idle connections lock every other client out.
         "LimitNOFILE=65536\n"
         // Stop sends SIGTERM to the service alone, which stops OpenVPN and stunnel
         // itself; whatever is left afterwards is killed.
         "KillMode=mixed\n"
         // Clients, unprivileged users, read conf/portused.txt to find the service.
         "UMask=0022\n"
         // Tunnel and route work; acting on behalf of a client user (file-system
         // identity) and writing in that user's directories; OpenVPN's optional user
         // switch, chroot and memory locking.
         "CapabilityBoundingSet=CAP_NET_ADMIN CAP_NET_RAW CAP_NET_BIND_SERVICE CAP_SETUID "
         "CAP_SETGID CAP_DAC_OVERRIDE CAP_DAC_READ_SEARCH CAP_KILL CAP_IPC_LOCK "
         "CAP_SYS_CHROOT CAP_AUDIT_WRITE\n"
         "NoNewPrivileges=yes\n"
         "DevicePolicy=closed\n"
         "DeviceAllow=/dev/net/tun rw\n"
         // The service writes a client's files with that client's own rights, wherever
         // the client may write: only the system's directories, which no client may
         // write, and the service's programs are read-only. OpenVPN and stunnel are
         // confined by the service itself (Landlock) to its logs and run directories,
         // devices and /tmp; /proc/sys and /sys are read-only for all of them.
         "ProtectSystem=full\n"
         "ReadOnlyPaths=" + QuotedUnitWord(programDirectory) + "\n"
         "ProtectKernelTunables=yes\n"
         "ProtectKernelModules=yes\n"
         "ProtectKernelLogs=yes\n"
         "ProtectControlGroups=yes\n"
         "ProtectClock=yes\n"
         "ProtectHostname=yes\n"
         "RestrictNamespaces=yes\n"
         "RestrictRealtime=yes\n"
         // No RestrictSUIDSGID=: its filter cannot see openat2's mode and so fails every
         // openat2 with ENOSYS, and files are opened for users with openat2 alone (it
         // refuses /proc's magic links, which a fallback to openat would follow).
         "LockPersonality=yes\n"
         "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK\n"
         "SystemCallArchitectures=native\n"
         "SystemCallFilter=@system-service landlock_create_ruleset landlock_add_rule "
         "landlock_restrict_self\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

int CreateUnitFile(const ServiceDefinition& definition) {
  if (!UnitCanCarry(definition.executable) || !UnitCanCarry(definition.installRoot)) return EINVAL;
  const std::string path = UnitPath(definition.name);
  int file = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (file < 0) return errno;
  const std::string text = UnitText(definition);
  int error = WriteAll(file, text.data(), text.size());
  if (close(file) != 0 && error == 0) error = errno;
  // A half-written unit would make every later install report "already installed".
  if (error != 0) unlink(path.c_str());
  return error;
}

int CheckUnitFile(const std::string& name) {
  struct stat info;
  return lstat(UnitPath(name).c_str(), &info) == 0 ? 0 : errno;
}

int DeleteUnitFile(const std::string& name) {
  return unlink(UnitPath(name).c_str()) == 0 ? 0 : errno;
}

// True when systemd runs as the system's init process, so that it can be asked to
// reload, start and stop services.
bool SystemdRunning() { return sd_booted() > 0; }

// The outcome of one systemctl run.
struct SystemctlResult {
  int error = 0;       // systemctl could not be started (ENOENT: it is missing)
  int exitStatus = 0;  // its exit status when it ran
  bool Succeeded() const { return error == 0 && exitStatus == 0; }
};

// systemctl's exit status for a unit that systemd has not loaded: nothing runs it.
constexpr int kUnitNotLoaded = 5;

// Runs systemctl with the given arguments and waits for it. It inherits standard
// output and error, but neither our blocked signals nor our notification socket.
SystemctlResult RunSystemctl(std::vector<std::string> arguments) {
  SystemctlResult result;
  arguments.insert(arguments.begin(), {"systemctl", "--quiet"});
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::vector<char*> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "NOTIFY_SOCKET=", 14) != 0) environment.push_back(*entry);
  }
  environment.push_back(nullptr);

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  pid_t child = -1;
  result.error = posix_spawnp(&child, argv[0], nullptr, &attributes, argv.data(), environment.data());
  posix_spawnattr_destroy(&attributes);
  if (result.error != 0) return result;

  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      result.error = errno;
      return result;
    }
  }
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::string UnitName(const std::string& name) { return name + ".service"; }

std::string ErrorAndStatus(const SystemctlResult& result) {
  return "(Error=" + std::to_string(result.error) + ", exit status " + std::to_string(result.exitStatus) + ")";
}

// Reloads systemd's configuration after the unit file changed, or says that it must
// be done once systemd runs.
void ReloadSystemd(const std::string& name, std::vector<std::string>* warnings) {
  if (!SystemdRunning()) {
    warnings->push_back("systemd is not running: reload its configuration (systemctl daemon-reload) "
                        "once it runs, for the change of " + UnitName(name) + " to take effect");
    return;
  }
  SystemctlResult result = RunSystemctl({"daemon-reload"});
  if (result.error == ENOENT) {
    warnings->push_back("systemctl not found: reload systemd's configuration for the change of " +
                        UnitName(name) + " to take effect");
  } else if (!result.Succeeded()) {
    warnings->push_back("Failed to reload systemd's configuration " + ErrorAndStatus(result) +
                        ": run systemctl daemon-reload");
  }
}

// Enabling and disabling work on the files, also while systemd is not running.
void EnableAtBoot(const std::string& name, std::vector<std::string>* warnings) {
  SystemctlResult result = RunSystemctl({"enable", UnitName(name)});
  if (!result.Succeeded()) {
    warnings->push_back("Failed to enable the service at boot " + ErrorAndStatus(result));
  }
}

void DisableAtBoot(const std::string& name, std::vector<std::string>* warnings) {
  SystemctlResult result = RunSystemctl({"disable", UnitName(name)});
  if (!result.Succeeded()) {
    warnings->push_back("Failed to disable the service at boot " + ErrorAndStatus(result));
  }
}

RegistrationOutcome Failed(int code) {
  RegistrationOutcome outcome;
  outcome.result = RegistrationOutcome::Result::kFailed;
  outcome.code = code;
  return outcome;
}

}  // namespace

RegistrationOutcome RegisterService(const ServiceDefinition& definition, ServiceStart start) {
  int error = CreateUnitFile(definition);
  if (error == EEXIST) {
    RegistrationOutcome outcome;
    outcome.result = RegistrationOutcome::Result::kAlreadyRegistered;
    return outcome;
  }
  if (error != 0) return Failed(error);
  RegistrationOutcome outcome;
  ReloadSystemd(definition.name, &outcome.warnings);
  if (start == ServiceStart::kAutomatic) EnableAtBoot(definition.name, &outcome.warnings);
  return outcome;
}

RegistrationOutcome CheckServiceRegistered(const std::string& name) {
  int error = CheckUnitFile(name);
  if (error == ENOENT) {
    RegistrationOutcome outcome;
    outcome.result = RegistrationOutcome::Result::kNotRegistered;
    return outcome;
  }
  return error == 0 ? RegistrationOutcome() : Failed(error);
}

// A failed systemctl is told by its exit status.
Error RequestServiceStop(const std::string& name) {
  if (!SystemdRunning()) return Error::Success();
  SystemctlResult result = RunSystemctl({"stop", "--no-block", UnitName(name)});
  if (result.error != 0) return ErrnoError(result.error, "systemctl");
  if (result.exitStatus == 0 || result.exitStatus == kUnitNotLoaded) return Error::Success();
  return Error(ErrorKind::Other, result.exitStatus, "systemctl stop");
}

RegistrationOutcome UnregisterService(const std::string& name) {
  std::vector<std::string> warnings;
  // Disabling reads the unit file's [Install] section, so it comes before the delete.
  DisableAtBoot(name, &warnings);
  RegistrationOutcome outcome;
  int error = DeleteUnitFile(name);
  if (error != 0) {
    outcome = Failed(error);
  } else {
    ReloadSystemd(name, &warnings);
  }
  outcome.warnings = std::move(warnings);
  return outcome;
}

}  // namespace platform
