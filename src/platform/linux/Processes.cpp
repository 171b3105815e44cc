#include "platform/Processes.h"

#include <fcntl.h>
#include <linux/landlock.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <thread>
#include <utility>

// glibc 2.36 declares the pidfd calls without C linkage.
extern "C" {
#include <sys/pidfd.h>
}

extern char** environ;

namespace platform {
namespace {

// Debian's OpenVPN links libsystemd: with the service's notification socket in its
// environment it would report readiness and status as if it were the service.
constexpr char kNotifySocketVariable[] = "NOTIFY_SOCKET=";

class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&actions_); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { posix_spawnattr_init(&attributes_); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

int PrepareActions(const LaunchSpec& spec, SpawnActions* actions) {
  int error = posix_spawn_file_actions_addopen(actions->get(), 0, "/dev/null", O_RDONLY, 0);
  if (error == 0) error = posix_spawn_file_actions_addopen(actions->get(), 1, "/dev/null", O_WRONLY, 0);
  if (error == 0) error = posix_spawn_file_actions_adddup2(actions->get(), 1, 2);
  if (error == 0) error = posix_spawn_file_actions_addclosefrom_np(actions->get(), 3);
  if (error == 0 && !spec.workingDirectory.empty()) {
    error = posix_spawn_file_actions_addchdir_np(actions->get(), spec.workingDirectory.c_str());
  }
  return error;
}

// Blocked or ignored signals survive exec: the child starts with an empty mask and
// default handling of every signal, in a session of its own.
int PrepareAttributes(SpawnAttributes* attributes) {
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  int error = posix_spawnattr_setsigmask(attributes->get(), &none);
  if (error == 0) error = posix_spawnattr_setsigdefault(attributes->get(), &all);
  if (error == 0) {
    error = posix_spawnattr_setflags(attributes->get(),
                                     POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  return error;
}

std::vector<char*> ChildEnvironment() {
  std::vector<char*> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, kNotifySocketVariable, sizeof kNotifySocketVariable - 1) != 0) {
      environment.push_back(*entry);
    }
  }
  environment.push_back(nullptr);
  return environment;
}

std::vector<char*> ArgumentVector(const LaunchSpec& spec) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(spec.program.c_str()));
  for (const auto& argument : spec.arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  return argv;
}

int WaitReadable(int handle, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd entry{handle, POLLIN, 0};
    int ready = poll(&entry, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (ready >= 0) return ready;
    if (errno != EINTR) return -1;
  }
}

int Collect(int handle, int options) {
  siginfo_t info{};
  int result;
  do {
    result = waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(handle), &info, WEXITED | options);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return -1;
  return info.si_pid != 0 ? 1 : 0;
}

// Collects the process as soon as it ends, whoever still holds its handle: it never
// lingers as a zombie, and the handle keeps naming the ended process (signals then fail
// with ESRCH instead of reaching a process that reused the identifier).
void StartReaper(int handle) {
  int own = fcntl(handle, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return;
  try {
    std::thread([own] {
      Collect(own, 0);
      close(own);
    }).detach();
  } catch (const std::system_error&) {
    // No thread to spare: WaitForExit collects it instead.
    close(own);
  }
}

int Spawn(const LaunchSpec& spec, pid_t* child) {
  SpawnActions actions;
  SpawnAttributes attributes;
  int error = PrepareActions(spec, &actions);
  if (error == 0) error = PrepareAttributes(&attributes);
  if (error != 0) return error;
  std::vector<char*> argv = ArgumentVector(spec);
  std::vector<char*> environment = ChildEnvironment();
  return posix_spawn(child, spec.program.c_str(), actions.get(), attributes.get(), argv.data(), environment.data());
}

// Paths beneath which a launched program may write; empty: programs are not confined.
std::vector<std::string> confinedWritablePaths;
// The kernel's Landlock interface version, which tells the rights it can restrict.
long landlockVersion = 0;

// LANDLOCK_ACCESS_FS_TRUNCATE, of version 3: newer than the kernel headers of the build.
constexpr std::uint64_t kTruncateRight = 1ULL << 14;

// Every right that changes the file system, as far as the kernel's version knows it.
std::uint64_t WriteRights(long version) {
  std::uint64_t rights = LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE |
                         LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
                         LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK |
                         LANDLOCK_ACCESS_FS_MAKE_SYM;
  if (version >= 2) rights |= LANDLOCK_ACCESS_FS_REFER;
  if (version >= 3) rights |= kTruncateRight;
  return rights;
}

// Restricts the calling thread, and whatever it starts from now on, to writing beneath
// the confined paths. Landlock needs no privilege and binds only this thread.
int RestrictWritesOfThisThread() {
  landlock_ruleset_attr ruleset{};
  ruleset.handled_access_fs = WriteRights(landlockVersion);
  const int rules = static_cast<int>(syscall(SYS_landlock_create_ruleset, &ruleset, sizeof ruleset, 0));
  if (rules < 0) return errno;
  int error = 0;
  for (const std::string& path : confinedWritablePaths) {
    const int directory = open(path.c_str(), O_PATH | O_CLOEXEC);
    if (directory < 0) {
      if (errno == ENOENT) continue;
      error = errno;
      break;
    }
    landlock_path_beneath_attr rule{};
    rule.allowed_access = ruleset.handled_access_fs;
    rule.parent_fd = directory;
    if (syscall(SYS_landlock_add_rule, rules, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) != 0) error = errno;
    close(directory);
    if (error != 0) break;
  }
  // Required by the kernel for a restriction without privilege (the unit sets it anyway).
  if (error == 0 && prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) error = errno;
  if (error == 0 && syscall(SYS_landlock_restrict_self, rules, 0) != 0) error = errno;
  close(rules);
  return error;
}

// Spawns from a thread of its own that restricts itself first: the child inherits the
// restriction, the service's other threads keep their rights.
int SpawnConfined(const LaunchSpec& spec, pid_t* child) {
  int error = 0;
  try {
    std::thread launcher([&] {
      error = RestrictWritesOfThisThread();
      if (error == 0) error = Spawn(spec, child);
    });
    launcher.join();
  } catch (const std::system_error& failure) {
    return failure.code().value();
  }
  return error;
}

int Descriptor(ProcessHandle handle) { return static_cast<int>(handle); }

int SendSignal(ProcessHandle handle, int signalNumber) {
  if (handle == kNoProcess) return ESRCH;
  return pidfd_send_signal(Descriptor(handle), signalNumber, nullptr, 0) == 0 ? 0 : errno;
}

}  // namespace

int Process::Launch(const LaunchSpec& spec) {
  // Linux programs are asked to end with the termination signal only.
  if (spec.exitRequest.kind != ExitRequest::Kind::kTerminate) return EOPNOTSUPP;
  Release();
  pid_t child = -1;
  int error = confinedWritablePaths.empty() ? Spawn(spec, &child) : SpawnConfined(spec, &child);
  if (error != 0) return error;
  // An uncollected child keeps its identifier, so this handle cannot name another process.
  int handle = pidfd_open(child, 0);
  if (handle < 0) {
    error = errno;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return error;
  }
  handle_ = handle;
  id_ = static_cast<std::uint32_t>(child);
  exitRequest_ = spec.exitRequest;
  program_ = spec.program;
  workingDirectory_ = spec.workingDirectory;
  StartReaper(handle);
  return 0;
}

int Process::RequestExit() { return SendSignal(handle_, SIGTERM); }

// SIGKILL also ends a process blocked in an interruptible wait, such as an open() of a
// FIFO, which ignores the termination signal until the call returns.
int Process::Kill() { return SendSignal(handle_, SIGKILL); }

bool Process::WaitForExit(std::chrono::milliseconds timeout) {
  if (handle_ == kNoProcess) return true;
  if (WaitReadable(Descriptor(handle_), timeout) <= 0) return false;
  // The reaper may have collected it already; either way it is gone.
  Collect(Descriptor(handle_), WNOHANG);
  close(Descriptor(handle_));
  Forget();
  return true;
}

void Process::Release() {
  if (handle_ != kNoProcess) close(Descriptor(handle_));
  Forget();
}

bool IsProcessGone(int code) { return code == ESRCH; }

// Devices (the TAP device, the null device) and OpenVPN's temporary directory; /proc and
// /sys are not among them: neither program sets kernel parameters, it asks the kernel
// over netlink.
std::vector<std::string> SystemWritablePaths() { return {"/dev", "/tmp"}; }

int ConfineLaunchedPrograms(std::vector<std::string> writablePaths) {
  confinedWritablePaths.clear();
  if (writablePaths.empty()) return 0;
  const long version = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (version < 0) return errno;
  landlockVersion = version;
  confinedWritablePaths = std::move(writablePaths);
  return 0;
}

}  // namespace platform
