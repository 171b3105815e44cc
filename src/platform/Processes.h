#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// Child processes of the service (OpenVPN, stunnel). A launched process is identified by
// a process handle that stays bound to it, so a signal can never reach another process
// that happens to reuse its identifier. A reaper collects every launched process as soon
// as it ends, tracked or not, so none lingers as a zombie. Calls return 0 or the
// platform error code.
namespace platform {

struct LaunchSpec {
  std::string program;                 // full path of the executable
  std::vector<std::string> arguments;  // the arguments after the program name
  std::string workingDirectory;        // empty: the service's own
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

  // Starts the program detached from the service: a session of its own, default signal
  // handling, standard streams on the null device, no inherited descriptors, the
  // service's environment without its service-manager socket. Any process tracked so
  // far is released first.
  int Launch(const LaunchSpec& spec);

  bool Tracked() const { return handle_ >= 0; }
  // The operating system's process identifier; 0 when nothing is tracked.
  std::uint32_t Id() const { return id_; }
  // The process handle (for ownership checks); -1 when nothing is tracked.
  int Handle() const { return handle_; }

  // Asks the process to end cleanly (termination signal). An error when it has ended.
  int RequestExit();
  // Ends the process at once.
  int Kill();
  // Waits at most timeout for the process to end; when it has, stops tracking it. True
  // when it ended.
  bool WaitForExit(std::chrono::milliseconds timeout);
  // Ends the process at once and waits at most timeout for it to go; stops tracking it
  // either way. True when it ended.
  bool KillAndWait(std::chrono::milliseconds timeout);
  // Stops tracking the process; it runs on and is collected whenever it ends.
  void Release();

 private:
  int Signal(int signalNumber);
  void Forget();

  int handle_ = -1;
  std::uint32_t id_ = 0;
};

// Confines every program launched afterwards: it may write only beneath writablePaths
// (reading and executing stay as they were), the protection a service manager's strict
// file-system setting gives, for the programs alone, while the service itself writes
// wherever the client it acts for may. An empty list lifts the confinement. Returns 0,
// or the code of a kernel that cannot confine (the programs then run unconfined).
// Call before launching, not concurrently with a launch.
int ConfineLaunchedPrograms(std::vector<std::string> writablePaths);

// True when the error of RequestExit or Kill says the process has already ended.
bool IsProcessGone(int code);

}  // namespace platform
