#include "STunnelManager.h"

#include <chrono>
#include <thread>

#include "Logging.h"
#include "Paths.h"
#include "platform/ProcessInfo.h"

namespace vortan {
namespace {

const char* const kStunnelProgram = "stunnel/stunnel";
constexpr int kLaunchAttempts = 3;
constexpr auto kExitWait = std::chrono::milliseconds(5000);
constexpr auto kKillWait = std::chrono::milliseconds(2000);

std::chrono::milliseconds LaunchPause(int attempt) { return std::chrono::milliseconds(500 * (attempt - 1)); }

}  // namespace

STunnelManager::STunnelManager() {
  const std::string executable = platform::ExecutablePath();
  CLOG(DEBUG, loggers::kStunnel) << executable;
  stunnelPath_ = ResolveBesideExecutable(kStunnelProgram);
}

STunnelManager::~STunnelManager() {
  if (process_.Tracked()) Shutdown();
}

bool STunnelManager::IsInstalled() const {
  if (platform::PathExists(stunnelPath_)) return true;
  CLOG(DEBUG, loggers::kStunnel) << "StunnelNotInstalled dir[" << DirectoryOf(stunnelPath_) << "] : path["
                                 << stunnelPath_ << "]";
  return false;
}

int STunnelManager::CreateProcess(const std::vector<std::string>& arguments, const std::string& commandLineText) {
  const std::string directory = DirectoryOf(stunnelPath_);
  CLOG(DEBUG, loggers::kStunnel) << "CreateProcess in current dir[" << directory << "] : path[" << stunnelPath_
                                 << "] cmdLine[" << commandLineText << "]";
  return process_.Launch(platform::LaunchSpec{stunnelPath_, arguments, directory});
}

void STunnelManager::Launch(const std::string& configPath) {
  for (int attempt = 1; attempt <= kLaunchAttempts; ++attempt) {
    std::this_thread::sleep_for(LaunchPause(attempt));
    int error = CreateProcess({configPath}, " " + configPath);
    if (error == 0) {
      CLOG(DEBUG, loggers::kStunnel) << "CreateProcess retry #" << attempt << "  ok";
      return;
    }
    CLOG(DEBUG, loggers::kStunnel) << "CreateProcess retry #" << attempt << " error [" << error << "]";
  }
}

// stunnel has no exit command here: it is asked to end with the termination signal,
// sent only to the process this manager started, and killed when it has not ended
// within the wait, so that no stunnel outlives its tracking.
void STunnelManager::Shutdown() {
  if (!process_.Tracked()) return;
  int error = process_.RequestExit();
  if (error != 0 && !platform::IsProcessGone(error)) {
    CLOG(DEBUG, loggers::kStunnel) << "CreateProcess error [" << error << "]";
    return;
  }
  CLOG(DEBUG, loggers::kStunnel) << "CreateProcess  ok ";
  if (!process_.WaitForExit(kExitWait)) {
    CLOG(DEBUG, loggers::kStunnel) << "stunnel did not exit, killing it (PID=" << process_.Id() << ")";
    process_.KillAndWait(kKillWait);
  }
  process_.Release();
}

}  // namespace vortan
