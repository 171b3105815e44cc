#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Processes.h"
#include "platform/Programs.h"

namespace vortan {

// The log lines of one child program; each program keeps its own wording. "%v" stands
// for the attempt number or the process identifier.
struct ChildProgramTexts {
  const char* logger;
  const char* launched;       // a successful attempt: "CreateProcess retry #%v  ok"
  const char* exitRequested;  // the exit request reached the process (or it had ended)
  const char* killing;        // the exit wait ran out, the process is killed
  const char* stopped;        // the process is gone or given up; empty: no line
};

// How long a child program gets to start again and to end.
struct ChildProgramTiming {
  std::chrono::milliseconds exitWait{5000};
  std::chrono::milliseconds killWait{2000};
  // Sleeps before a launch attempt.
  std::function<void(std::chrono::milliseconds)> pause = [](std::chrono::milliseconds length) {
    std::this_thread::sleep_for(length);
  };
};

// One program the service runs as a child (OpenVPN, stunnel): launched with retries,
// asked to end, given a bounded time, then killed; only the process launched here is
// ever asked to end or killed.
class ChildProgram {
 public:
  // The program lies below the executable's directory, where file names it; launcher
  // starts it and outlives this object.
  ChildProgram(platform::ChildLauncher& launcher, const platform::ChildProgramFile& file,
               const ChildProgramTexts& texts, ChildProgramTiming timing = ChildProgramTiming());

  // Full path of the program.
  const std::string& Path() const { return path_; }

  // Up to three attempts, the later ones after a pause; commandLineText is the command
  // line as the log shows it. 0, or the error code of the last attempt; a failure
  // leaves what was tracked as it was.
  int Launch(const std::vector<std::string>& arguments, const std::string& workingDirectory,
             const std::string& commandLineText);

  // Asks the tracked process to end, waits, kills it when it has not ended. 0 when it
  // is gone or no longer tracked; the error code when the exit request failed for
  // another reason than an ended process (then it stays tracked).
  int Stop();

  bool Tracked() const { return process_.Tracked(); }
  // True while the tracked process runs; an ended one is no longer tracked.
  bool Running();
  // Identifier of the tracked process; 0 when none.
  std::uint32_t Id() const { return process_.Id(); }
  // Stops tracking; the process runs on.
  void Release() { process_.Release(); }

 private:
  platform::ChildLauncher& launcher_;
  std::string path_;
  platform::ExitRequest exitRequest_;
  std::vector<std::string> leadingArguments_;
  ChildProgramTexts texts_;
  ChildProgramTiming timing_;
  platform::Process process_;
};

}  // namespace vortan
