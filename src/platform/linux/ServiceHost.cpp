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

extern char** environ;

namespace platform {

// --- State notifications ---------------------------------------------------------

bool ServiceManagerListening() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  return socket != nullptr && socket[0] != '\0';
}

int NotifyServiceManager(const std::string& assignments) {
  int result = sd_notify(0, assignments.c_str());
  if (result > 0) return 0;
  return result == 0 ? ENOTCONN : -result;
}

// --- Control requests ------------------------------------------------------------

namespace {

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

void CloseHandle(int* handle) {
  if (*handle >= 0) close(*handle);
  *handle = -1;
}

}  // namespace

int BlockControlSignals() {
  sigset_t signals = ControlSignals();
  return pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

ServiceControlSource::ServiceControlSource() {
  sigset_t signals = ControlSignals();
  signalHandle_ = signalfd(-1, &signals, SFD_CLOEXEC);
  if (signalHandle_ < 0) {
    error_ = errno;
    return;
  }
  wakeHandle_ = eventfd(0, EFD_CLOEXEC);
  if (wakeHandle_ < 0) {
    error_ = errno;
    CloseHandle(&signalHandle_);
  }
}

ServiceControlSource::~ServiceControlSource() {
  CloseHandle(&signalHandle_);
  CloseHandle(&wakeHandle_);
}

ServiceControl ServiceControlSource::Wait() {
  if (error_ != 0) return ServiceControl::kCancelled;
  for (;;) {
    pollfd waiters[2] = {{wakeHandle_, POLLIN, 0}, {signalHandle_, POLLIN, 0}};
    if (poll(waiters, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return ServiceControl::kCancelled;
    }
    // The wake counter is never read, so every later Wait also sees the cancel.
    if (waiters[0].revents != 0) return ServiceControl::kCancelled;
    signalfd_siginfo info;
    ssize_t count = read(signalHandle_, &info, sizeof info);
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (count != static_cast<ssize_t>(sizeof info)) return ServiceControl::kCancelled;
    return info.ssi_signo == SIGHUP ? ServiceControl::kInterrogate : ServiceControl::kStop;
  }
}

void ServiceControlSource::Cancel() {
  if (wakeHandle_ < 0) return;
  std::uint64_t one = 1;
  ssize_t ignored = write(wakeHandle_, &one, sizeof one);
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

}  // namespace

std::string ServiceDefinitionPath(const std::string& name) {
  return kUnitDirectory + name + ".service";
}

std::string ServiceDefinitionText(const ServiceDefinition& definition) {
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
         // confined by the service itself (Landlock) to its own directories and the
         // temporary and runtime ones.
         "ProtectSystem=full\n"
         "ReadOnlyPaths=" + QuotedUnitWord(programDirectory) + "\n"
         "ProtectKernelModules=yes\n"
         "ProtectKernelLogs=yes\n"
         "ProtectControlGroups=yes\n"
         "ProtectClock=yes\n"
         "ProtectHostname=yes\n"
         "RestrictNamespaces=yes\n"
         "RestrictRealtime=yes\n"
         "RestrictSUIDSGID=yes\n"
         "LockPersonality=yes\n"
         "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK\n"
         "SystemCallArchitectures=native\n"
         "SystemCallFilter=@system-service landlock_create_ruleset landlock_add_rule "
         "landlock_restrict_self\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

int CreateServiceDefinition(const ServiceDefinition& definition) {
  if (!UnitCanCarry(definition.executable) || !UnitCanCarry(definition.installRoot)) return EINVAL;
  const std::string path = ServiceDefinitionPath(definition.name);
  int file = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (file < 0) return errno;
  const std::string text = ServiceDefinitionText(definition);
  int error = WriteAll(file, text.data(), text.size());
  if (close(file) != 0 && error == 0) error = errno;
  // A half-written unit would make every later install report "already installed".
  if (error != 0) unlink(path.c_str());
  return error;
}

int CheckServiceDefinition(const std::string& name) {
  struct stat info;
  return lstat(ServiceDefinitionPath(name).c_str(), &info) == 0 ? 0 : errno;
}

int DeleteServiceDefinition(const std::string& name) {
  return unlink(ServiceDefinitionPath(name).c_str()) == 0 ? 0 : errno;
}

bool IsAlreadyRegistered(int code) { return code == EEXIST; }
bool IsNotRegistered(int code) { return code == ENOENT; }

bool ServiceManagerRunning() { return sd_booted() > 0; }

bool IsToolMissing(int code) { return code == ENOENT; }

namespace {

// Runs systemctl with the given arguments and waits for it. It inherits standard
// output and error, but neither our blocked signals nor our notification socket.
ManagerCommandResult RunSystemctl(std::vector<std::string> arguments) {
  ManagerCommandResult result;
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

}  // namespace

ManagerCommandResult ReloadServiceManager() { return RunSystemctl({"daemon-reload"}); }

ManagerCommandResult EnableService(const std::string& name) {
  return RunSystemctl({"enable", UnitName(name)});
}

ManagerCommandResult DisableService(const std::string& name) {
  return RunSystemctl({"disable", UnitName(name)});
}

ManagerCommandResult RequestServiceStop(const std::string& name) {
  return RunSystemctl({"stop", "--no-block", UnitName(name)});
}

}  // namespace platform
