#include "platform/Processes.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <linux/landlock.h>
#include <poll.h>
#include <signal.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>
#include <utility>

// glibc 2.36 declares the pidfd calls without C linkage.
extern "C" {
#include <sys/pidfd.h>
}

#include "platform/linux/ErrnoError.h"

extern char** environ;

namespace platform {
namespace {

// Debian's OpenVPN links libsystemd: with the service's notification socket in its
// environment it would report readiness and status as if it were the service.
constexpr char kNotifySocketVariable[] = "NOTIFY_SOCKET=";

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

// The launched programs that still run, kept in a file of the service's user alone so
// that an instance starting after an unclean end can find what this one left.
struct LaunchedRecord {
  struct Entry {
    pid_t pid;
    unsigned long long startTime;
    std::string program;
  };
  std::mutex mutex;
  std::string path;  // empty: nothing is recorded
  std::vector<Entry> entries;
};

// Its last user, a launcher's thread, ends with its owner before the program's statics go.
LaunchedRecord& Record() {
  static LaunchedRecord record;
  return record;
}

// Field 22 of /proc/PID/stat, the start time in clock ticks since boot: with the
// identifier it names one process for ever. 0 when the process is gone.
unsigned long long StartTimeOf(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t nameEnd = text.rfind(')');
  if (nameEnd == std::string::npos) return 0;
  std::istringstream fields(text.substr(nameEnd + 1));
  std::string field;
  for (int index = 3; fields >> field; ++index) {
    if (index == 22) return std::strtoull(field.c_str(), nullptr, 10);
  }
  return 0;
}

// The record is root's own small file: written under its lock, replaced whole.
void WriteRecordLocked(const LaunchedRecord& record) {
  if (record.path.empty()) return;
  std::string text;
  for (const auto& entry : record.entries) {
    text += std::to_string(entry.pid) + " " + std::to_string(entry.startTime) + " " + entry.program + "\n";
  }
  const std::string temporary = record.path + ".new";
  const int file = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (file < 0) return;
  bool written = fchmod(file, 0600) == 0;
  for (std::size_t done = 0; written && done < text.size();) {
    const ssize_t count = write(file, text.data() + done, text.size() - done);
    if (count < 0 && errno == EINTR) continue;
    written = count > 0;
    if (written) done += static_cast<std::size_t>(count);
  }
  close(file);
  if (!written || rename(temporary.c_str(), record.path.c_str()) != 0) unlink(temporary.c_str());
}

void RecordLaunched(pid_t pid, const std::string& program) {
  char resolved[PATH_MAX];
  const std::string canonical = realpath(program.c_str(), resolved) != nullptr ? resolved : program;
  const unsigned long long startTime = StartTimeOf(pid);
  LaunchedRecord& record = Record();
  std::lock_guard<std::mutex> lock(record.mutex);
  record.entries.push_back({pid, startTime, canonical});
  WriteRecordLocked(record);
}

void ForgetLaunched(pid_t pid) {
  LaunchedRecord& record = Record();
  std::lock_guard<std::mutex> lock(record.mutex);
  const auto removed = std::remove_if(record.entries.begin(), record.entries.end(),
                                      [pid](const LaunchedRecord::Entry& entry) { return entry.pid == pid; });
  if (removed == record.entries.end()) return;
  record.entries.erase(removed, record.entries.end());
  WriteRecordLocked(record);
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

int NullStreams() {
  const int input = open("/dev/null", O_RDONLY);
  if (input < 0) return errno;
  const int output = open("/dev/null", O_WRONLY);
  if (output < 0) return errno;
  if (dup2(input, 0) < 0 || dup2(output, 1) < 0 || dup2(output, 2) < 0) return errno;
  if (input > 2) close(input);
  if (output > 2) close(output);
  return 0;
}

// Every descriptor but the standard streams closes at the exec.
int CloseOthersOnExec() {
  if (syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return 0;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return errno;
  for (rlim_t fd = 3; fd < limit.rlim_cur; ++fd) fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
  return 0;
}

// The forked child, up to the exec: only calls that are safe between a fork and an exec
// of a threaded process. It starts with default handling of every signal, an empty
// mask, in a session of its own, and is killed when the launcher's thread ends,
// at the latest when the service ends, however it ends. A failure is reported on report.
[[noreturn]] void RunChild(const LaunchSpec& spec, char** argv, char** environment, bool confine, pid_t parent,
                           int report) {
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) sigaction(signalNumber, &byDefault, nullptr);
  int error = setsid() < 0 ? errno : 0;
  if (error == 0 && prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0) error = errno;
  // The service may have ended between the fork and the line above.
  if (error == 0 && getppid() != parent) _exit(127);
  if (error == 0) error = NullStreams();
  if (error == 0 && !spec.workingDirectory.empty() && chdir(spec.workingDirectory.c_str()) != 0) error = errno;
  if (error == 0 && confine) error = RestrictWritesOfThisThread();
  if (error == 0) error = CloseOthersOnExec();
  if (error == 0) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(spec.program.c_str(), argv, environment);
    error = errno;
  }
  while (write(report, &error, sizeof error) < 0 && errno == EINTR) {
  }
  _exit(127);
}

// Forks and execs on the launcher's thread; returns when the program runs or has failed to
// start (the error the child reports over a pipe that the exec closes).
int ForkAndExec(const LaunchSpec& spec, pid_t* child) {
  std::vector<char*> argv = ArgumentVector(spec);
  std::vector<char*> environment = ChildEnvironment();
  const bool confine = !confinedWritablePaths.empty();
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return errno;
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    const int error = errno;
    close(report[0]);
    close(report[1]);
    return error;
  }
  if (pid == 0) {
    close(report[0]);
    RunChild(spec, argv.data(), environment.data(), confine, parent, report[1]);
  }
  close(report[1]);
  int childError = 0;
  ssize_t count;
  do {
    count = read(report[0], &childError, sizeof childError);
  } while (count < 0 && errno == EINTR);
  close(report[0]);
  if (count == static_cast<ssize_t>(sizeof childError)) {
    waitpid(pid, nullptr, 0);
    return childError != 0 ? childError : ECHILD;
  }
  *child = pid;
  return 0;
}

int Descriptor(ProcessHandle handle) { return static_cast<int>(handle); }

Error SendSignal(ProcessHandle handle, int signalNumber) {
  if (handle == kNoProcess) return ErrnoError(ESRCH, "pidfd_send_signal");
  if (pidfd_send_signal(Descriptor(handle), signalNumber, nullptr, 0) == 0) return Error::Success();
  return ErrnoError(errno, "pidfd_send_signal");
}

// How long the launcher's end waits for a child it kills, and WaitForExit at least for
// the collection of a child that has ended.
constexpr auto kCollectionWait = std::chrono::seconds(2);

}  // namespace

// Children are forked by the launcher's one thread: the kernel sends a child its
// parent-death signal when the thread that forked it ends, not the process, so a child
// of a session's or a tunnel's thread would die with that thread. The same thread
// collects every child it forked the moment its handle says it has ended, so none
// lingers as a zombie whoever still holds (or has dropped) its Process; a Process that
// waits for its child observes the end on its own handle and then waits for that
// collection instead of collecting itself, so each child is collected exactly once and
// leaves the launched record at the same moment.
struct ChildLauncher::Native {
  struct Watched {
    int handle;  // the launcher's own handle of the child
    pid_t pid;
  };

  Native() {
    wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) return;
    try {
      thread = std::thread([this] { Serve(); });
    } catch (const std::system_error&) {
      close(wake);
      wake = -1;
    }
  }

  ~Native() {
    if (!thread.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
    }
    Wake();
    thread.join();
    close(wake);
  }

  // Runs job on the launcher's thread and returns its result; EAGAIN when there is none.
  int Run(const std::function<int()>& job) {
    if (!thread.joinable()) return EAGAIN;
    std::lock_guard<std::mutex> oneAtATime(callers);
    std::unique_lock<std::mutex> lock(mutex);
    pending = &job;
    Wake();
    changed.wait(lock, [this] { return pending == nullptr; });
    return result;
  }

  // True once the launcher has collected pid (or never knew it), at the latest by deadline.
  bool AwaitCollected(pid_t pid, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_until(lock, deadline, [&] { return running.count(pid) == 0; });
  }

  // On the launcher's thread, inside a job: forks and execs, then keeps a handle of its
  // own for the collection and hands the caller another one.
  int Launch(const LaunchSpec& spec, pid_t* child, int* handle) {
    pid_t pid = -1;
    const int error = ForkAndExec(spec, &pid);
    if (error != 0) return error;
    // An uncollected child keeps its identifier, so these handles cannot name another process.
    const int own = pidfd_open(pid, 0);
    const int given = own < 0 ? -1 : fcntl(own, F_DUPFD_CLOEXEC, 0);
    if (given < 0) {
      const int failure = errno;
      if (own >= 0) close(own);
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      return failure;
    }
    RecordLaunched(pid, spec.program);
    watched.push_back({own, pid});
    {
      std::lock_guard<std::mutex> lock(mutex);
      running.insert(pid);
    }
    *child = pid;
    *handle = given;
    return 0;
  }

  void Wake() {
    const std::uint64_t one = 1;
    while (write(wake, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }

  // Every signal stays blocked here, so no handler of the service runs in a forked child
  // before it resets them.
  void Serve() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    for (;;) {
      std::vector<pollfd> waiters{{wake, POLLIN, 0}};
      for (const Watched& child : watched) waiters.push_back({child.handle, POLLIN, 0});
      if (poll(waiters.data(), waiters.size(), -1) < 0) continue;  // EINTR, or a shortage that passes
      for (std::size_t index = 1; index < waiters.size(); ++index) {
        if (waiters[index].revents != 0) CollectIfEnded(waiters[index].fd);
      }
      if (waiters[0].revents == 0) continue;
      std::uint64_t count;
      while (read(wake, &count, sizeof count) < 0 && errno == EINTR) {
      }
      std::unique_lock<std::mutex> lock(mutex);
      if (pending != nullptr) {
        const std::function<int()>* job = pending;
        lock.unlock();
        const int jobResult = (*job)();
        lock.lock();
        result = jobResult;
        pending = nullptr;
        changed.notify_all();
      }
      if (stopping) break;
    }
    EndTheRest();
  }

  void CollectIfEnded(int handle) {
    const auto found = std::find_if(watched.begin(), watched.end(),
                                    [handle](const Watched& child) { return child.handle == handle; });
    if (found == watched.end()) return;
    // 0: not yet collectable (a process whose last thread is still going).
    if (Collect(handle, WNOHANG) == 0) return;
    const pid_t pid = found->pid;
    close(handle);
    watched.erase(found);
    ForgetLaunched(pid);
    std::lock_guard<std::mutex> lock(mutex);
    running.erase(pid);
    changed.notify_all();
  }

  // The owners have asked their children to end before the launcher goes; a child still
  // running now would be killed by its parent-death signal as this thread ends: it is
  // killed and collected here instead, so none is left a zombie.
  void EndTheRest() {
    while (!watched.empty()) {
      const Watched child = watched.back();
      pidfd_send_signal(child.handle, SIGKILL, nullptr, 0);
      WaitReadable(child.handle, kCollectionWait);
      CollectIfEnded(child.handle);
      if (!watched.empty() && watched.back().handle == child.handle) {
        close(child.handle);  // beyond the wait: the process's end collects it
        watched.pop_back();
      }
    }
  }

  std::mutex callers;  // one job at a time
  std::mutex mutex;    // what follows, up to running
  std::condition_variable changed;
  const std::function<int()>* pending = nullptr;
  int result = 0;
  bool stopping = false;
  std::set<pid_t> running;  // launched and not yet collected
  std::vector<Watched> watched;  // the launcher's thread alone
  int wake = -1;                 // an event counter: a job or the end
  std::thread thread;
};

ChildLauncher::ChildLauncher() : native_(std::make_unique<Native>()) {}

ChildLauncher::~ChildLauncher() = default;

Error Process::Launch(ChildLauncher& launcher, const LaunchSpec& spec) {
  // Linux programs are asked to end with the termination signal only.
  if (spec.exitRequest.kind != ExitRequest::Kind::kTerminate) return ErrnoError(EOPNOTSUPP, "launch");
  Release();
  pid_t child = -1;
  int handle = -1;
  ChildLauncher::Native& native = *launcher.native_;
  const int error = native.Run([&] { return native.Launch(spec, &child, &handle); });
  if (error != 0) return ErrnoError(error, "fork and exec");
  handle_ = handle;
  id_ = static_cast<std::uint32_t>(child);
  launcher_ = &launcher;
  exitRequest_ = spec.exitRequest;
  program_ = spec.program;
  workingDirectory_ = spec.workingDirectory;
  return Error::Success();
}

Error Process::RequestExit() { return SendSignal(handle_, SIGTERM); }

// SIGKILL also ends a process blocked in an interruptible wait, such as an open() of a
// FIFO, which ignores the termination signal until the call returns.
Error Process::Kill() { return SendSignal(handle_, SIGKILL); }

bool Process::WaitForExit(std::chrono::milliseconds timeout) {
  if (handle_ == kNoProcess) return true;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  if (WaitReadable(Descriptor(handle_), timeout) <= 0) return false;
  // Ended. Only the launcher collects (a second waitid here would race it for the one
  // collection, and the loser could not tell the record to forget the child); its end
  // is waited for a little past the deadline: the process is not running any more.
  const auto collectionDeadline = std::max(deadline, std::chrono::steady_clock::now() + kCollectionWait);
  if (launcher_ != nullptr && !launcher_->native_->AwaitCollected(static_cast<pid_t>(id_), collectionDeadline)) {
    return false;
  }
  close(Descriptor(handle_));
  Forget();
  return true;
}

void Process::Release() {
  if (handle_ != kNoProcess) close(Descriptor(handle_));
  Forget();
}

// Devices (the TAP device, the null device) and OpenVPN's temporary directory; /proc and
// /sys are not among them: neither program sets kernel parameters, it asks the kernel
// over netlink.
std::vector<std::string> SystemWritablePaths() { return {"/dev", "/tmp"}; }

Error ConfineLaunchedPrograms(std::vector<std::string> writablePaths) {
  confinedWritablePaths.clear();
  if (writablePaths.empty()) return Error::Success();
  const long version = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (version < 0) return ErrnoError(errno, "landlock_create_ruleset");
  landlockVersion = version;
  confinedWritablePaths = std::move(writablePaths);
  return Error::Success();
}

void RecordLaunchedPrograms(const std::string& recordPath) {
  LaunchedRecord& record = Record();
  std::lock_guard<std::mutex> lock(record.mutex);
  record.path = recordPath;
  WriteRecordLocked(record);
}

namespace {

// The program a process runs; a program replaced on disk (an upgrade) still counts.
std::string ExecutableOf(pid_t pid) {
  std::error_code error;
  std::string target = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error).string();
  const std::string replaced = " (deleted)";
  if (target.size() > replaced.size() && target.compare(target.size() - replaced.size(), replaced.size(), replaced) == 0) {
    target.resize(target.size() - replaced.size());
  }
  return error ? std::string() : target;
}

bool HasArgumentBeneath(pid_t pid, const std::string& directory) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/cmdline");
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::istringstream arguments(text);
  std::string argument;
  std::getline(arguments, argument, '\0');  // the program itself
  while (std::getline(arguments, argument, '\0')) {
    const std::string normal = std::filesystem::path(argument).lexically_normal().string();
    if (normal.size() > directory.size() && normal.compare(0, directory.size(), directory) == 0) return true;
  }
  return false;
}

// The checks run while a handle holds the process, so they and the kill concern the
// same process: an identifier reused meanwhile has another start time.
bool EndIfLeftover(pid_t pid, unsigned long long startTime, const std::string& program, const std::string& directory) {
  const int handle = pidfd_open(pid, 0);
  if (handle < 0) return false;
  bool ended = StartTimeOf(pid) == startTime && ExecutableOf(pid) == program && HasArgumentBeneath(pid, directory);
  if (ended) {
    ended = pidfd_send_signal(handle, SIGKILL, nullptr, 0) == 0 &&
            WaitReadable(handle, std::chrono::seconds(2)) > 0;
  }
  close(handle);
  return ended;
}

}  // namespace

std::vector<std::uint32_t> EndRecordedLeftovers(const std::string& recordPath, const std::string& directory) {
  std::string beneath = std::filesystem::path(directory).lexically_normal().string();
  while (beneath.size() > 1 && beneath.back() == '/') beneath.pop_back();
  beneath += '/';
  std::vector<std::uint32_t> ended;
  std::ifstream record(recordPath);
  std::string line;
  while (std::getline(record, line)) {
    std::istringstream fields(line);
    long long pid = 0;
    unsigned long long startTime = 0;
    std::string program;
    if (!(fields >> pid >> startTime) || pid <= 1 || pid > INT_MAX) continue;
    std::getline(fields >> std::ws, program);
    if (EndIfLeftover(static_cast<pid_t>(pid), startTime, program, beneath)) {
      ended.push_back(static_cast<std::uint32_t>(pid));
    }
  }
  return ended;
}

bool HoldInstanceLock(const std::string& path) {
  // Never closed: the lock lasts as long as the process.
  const int file = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (file < 0) return false;
  if (flock(file, LOCK_EX | LOCK_NB) == 0) return true;
  close(file);
  return false;
}

}  // namespace platform
