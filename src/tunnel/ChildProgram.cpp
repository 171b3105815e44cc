#include "tunnel/ChildProgram.h"

#include <sstream>
#include <utility>

#include "common/Logging.h"
#include "common/Paths.h"

namespace vortan {
namespace {

constexpr int kLaunchAttempts = 3;

std::chrono::milliseconds LaunchPause(int attempt) { return std::chrono::milliseconds(500 * (attempt - 1)); }

// The text with its first "%v" replaced by value.
template <typename Value>
std::string FillIn(const std::string& text, const Value& value) {
  const std::string::size_type marker = text.find("%v");
  if (marker == std::string::npos) return text;
  std::ostringstream valueText;
  valueText << value;
  return text.substr(0, marker) + valueText.str() + text.substr(marker + 2);
}

}  // namespace

ChildProgram::ChildProgram(platform::ChildLauncher& launcher, const platform::ChildProgramFile& file,
                           const ChildProgramTexts& texts, ChildProgramTiming timing)
    : launcher_(launcher),
      path_(ResolveBesideExecutable(file.relativePath)),
      exitRequest_(file.exitRequest),
      leadingArguments_(file.leadingArguments),
      texts_(texts),
      timing_(std::move(timing)) {}

int ChildProgram::Launch(const std::vector<std::string>& arguments, const std::string& workingDirectory,
                         const std::string& commandLineText) {
  std::vector<std::string> allArguments = leadingArguments_;
  allArguments.insert(allArguments.end(), arguments.begin(), arguments.end());
  std::string shownCommandLine;
  for (const std::string& leading : leadingArguments_) shownCommandLine += " " + leading;
  shownCommandLine += commandLineText;
  const platform::LaunchSpec spec{path_, allArguments, workingDirectory, exitRequest_};
  platform::Error error;
  for (int attempt = 1; attempt <= kLaunchAttempts; ++attempt) {
    timing_.pause(LaunchPause(attempt));
    CLOG(DEBUG, texts_.logger) << "CreateProcess in current dir[" << workingDirectory << "] : path[" << path_
                               << "] cmdLine[" << shownCommandLine << "]";
    platform::Process launched;
    error = launched.Launch(launcher_, spec);
    if (error.Succeeded()) {
      CLOG(DEBUG, texts_.logger) << FillIn(texts_.launched, attempt);
      process_ = std::move(launched);
      return 0;
    }
    CLOG(DEBUG, texts_.logger) << "CreateProcess retry #" << attempt << " error [" << error.Code() << "]";
  }
  return static_cast<int>(error.Code());
}

// A process that ignores the exit request must not outlive its tracking: it would
// keep its endpoints from every later instance.
int ChildProgram::Stop() {
  if (!process_.Tracked()) return 0;
  const std::uint32_t processId = process_.Id();
  const platform::Error error = process_.RequestExit();
  if (error.Failed() && !platform::IsProcessGone(error)) return static_cast<int>(error.Code());
  CLOG(DEBUG, texts_.logger) << FillIn(texts_.exitRequested, processId);
  if (!process_.WaitForExit(timing_.exitWait)) {
    CLOG(DEBUG, texts_.logger) << FillIn(texts_.killing, processId);
    process_.KillAndWait(timing_.killWait);
  }
  if (*texts_.stopped != '\0') CLOG(DEBUG, texts_.logger) << texts_.stopped;
  process_.Release();
  return 0;
}

bool ChildProgram::Running() { return process_.Tracked() && !process_.WaitForExit(std::chrono::milliseconds(0)); }

}  // namespace vortan
