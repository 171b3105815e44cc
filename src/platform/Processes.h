#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/Error.h"

// Child processes of the service (OpenVPN, stunnel). A launched process is identified by
// a process handle that stays bound to it, so an exit request can never reach another
// process that happens to reuse its identifier. The launcher that started a process
// collects it as soon as it ends, tracked or not, so none lingers as a zombie.
namespace platform {

// The system's reference to one process; wide enough for every system's kind.
using ProcessHandle = std::intptr_t;
constexpr ProcessHandle kNoProcess = -1;

// How a launched program is asked to end cleanly. Each system supports the kinds its
// programs understand; launching with another kind fails before anything starts.
struct ExitRequest {
  enum class Kind {
    kTerminate,      // the system's own request to end (the termination signal on Linux)
    kNamedEvent,     // a named event the program waits on
    kExitArguments,  // the program run again with arguments that end the first one
  };
  Kind kind = Kind::kTerminate;
  std::string eventName;                   // kNamedEvent: the event to set
  std::vector<std::string> exitArguments;  // kExitArguments: the arguments of that run
};

struct LaunchSpec {
  LaunchSpec(std::string programPath, std::vector<std::string> programArguments, std::string directory = "",
             ExitRequest howToExit = ExitRequest())
      : program(std::move(programPath)),
        arguments(std::move(programArguments)),
        workingDirectory(std::move(directory)),
        exitRequest(std::move(howToExit)) {}

  std::string program;                 // full path of the executable
  std::vector<std::string> arguments;  // the arguments after the program name
  std::string workingDirectory;        // empty: the service's own
  ExitRequest exitRequest;             // how RequestExit asks this process to end
};

// Starts the service's children and outlives them: built before whatever launches
// through it, destroyed after. Where the system ties a child's life to the thread that
// started it (Linux), the launcher has one thread that starts every child and collects
// each one the moment it ends; its destruction ends that thread, and with it whatever
// child still runs. Elsewhere it holds nothing.
class ChildLauncher {
 public:
  ChildLauncher();
  ~ChildLauncher();
  ChildLauncher(const ChildLauncher&) = delete;
  ChildLauncher& operator=(const ChildLauncher&) = delete;

 private:
  friend class Process;
  struct Native;
  std::unique_ptr<Native> native_;
};

class Process {
 public:
  Process() = default;
  // Stops tracking; a running process keeps running.
  ~Process();
  Process(Process&& other) noexcept;
  Process& operator=(Process&& other) noexcept;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Starts the program through launcher, apart from the service: none of the service's
  // handles or event handling carried over, standard streams on the null device, the
  // service's environment without its service-manager connection. Any process tracked
  // so far is released first.
  Error Launch(ChildLauncher& launcher, const LaunchSpec& spec);

  bool Tracked() const { return handle_ != kNoProcess; }
  // The operating system's process identifier; 0 when nothing is tracked.
  std::uint32_t Id() const { return id_; }

  // Asks the process to end cleanly, the way its launch description says. A ProcessGone
  // error when it has ended.
  Error RequestExit();
  // Ends the process at once.
  Error Kill();
  // Waits at most timeout for the process to end and be collected; when it has, stops
  // tracking it. True when it ended.
  bool WaitForExit(std::chrono::milliseconds timeout);
  // Ends the process at once and waits at most timeout for it to go; stops tracking it
  // either way. True when it ended.
  bool KillAndWait(std::chrono::milliseconds timeout);
  // Stops tracking the process; it runs on and is collected whenever it ends.
  void Release();

 private:
  void Forget();

  ProcessHandle handle_ = kNoProcess;
  std::uint32_t id_ = 0;
  ChildLauncher* launcher_ = nullptr;  // the one that started the tracked process
  ExitRequest exitRequest_;
  // What an exit request by a second run of the program starts: the program and the
  // directory it was launched in.
  std::string program_;
  std::string workingDirectory_;
};

// Confines every program launched afterwards: it may write only beneath writablePaths
// (reading and executing stay as they were), the protection a service manager's strict
// file-system setting gives, for the programs alone, while the service itself writes
// wherever the client it acts for may. An empty list lifts the confinement. Fails on a
// kernel that cannot confine (the programs then run unconfined). Call before
// launching, not concurrently with a launch.
Error ConfineLaunchedPrograms(std::vector<std::string> writablePaths);

// The places every program must be able to write beside its own files (devices,
// temporary and run-time directories); part of a confinement's writable paths.
std::vector<std::string> SystemWritablePaths();

// Keeps a record of the launched programs that run in recordPath, a file of the
// service's user alone, for EndRecordedLeftovers of a later instance. Call before
// launching.
void RecordLaunchedPrograms(const std::string& recordPath);

// Ends what an instance that did not stop its programs left running, as its record
// names them: a process only while it has the recorded start time, runs the recorded
// program and has an argument beneath directory. Returns the identifiers of those ended.
std::vector<std::uint32_t> EndRecordedLeftovers(const std::string& recordPath, const std::string& directory);

// Takes the lock file at path for as long as the process lives: one instance at a time
// owns the recorded programs and the private files beside it. False when another holds it.
bool HoldInstanceLock(const std::string& path);

}  // namespace platform
