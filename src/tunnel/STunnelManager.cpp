#include "tunnel/STunnelManager.h"

#include "common/Logging.h"
#include "common/Paths.h"
#include "platform/ProcessInfo.h"

namespace vortan {
namespace {

const ChildProgramTexts kStunnelTexts{
    loggers::kStunnel,
    "CreateProcess retry #%v  ok",
    "CreateProcess  ok ",
    "stunnel did not exit, killing it (PID=%v)",
    "",
};

}  // namespace

STunnelManager::STunnelManager() : program_(platform::StunnelProgram(), kStunnelTexts) {
  const std::string executable = platform::ExecutablePath();
  CLOG(DEBUG, loggers::kStunnel) << executable;
}

STunnelManager::~STunnelManager() {
  if (program_.Tracked()) Shutdown();
}

bool STunnelManager::IsInstalled() const {
  if (platform::PathExists(StunnelPath())) return true;
  CLOG(DEBUG, loggers::kStunnel) << "StunnelNotInstalled dir[" << DirectoryOf(StunnelPath()) << "] : path["
                                 << StunnelPath() << "]";
  return false;
}

void STunnelManager::Launch(const std::string& configPath) {
  program_.Launch({configPath}, DirectoryOf(StunnelPath()), " " + configPath);
}

// stunnel is asked to end the way this system's stunnel understands, only the process
// this manager started, and killed when it has not ended within the wait, so that no
// stunnel outlives its tracking.
void STunnelManager::Shutdown() {
  const int error = program_.Stop();
  if (error != 0) CLOG(DEBUG, loggers::kStunnel) << "CreateProcess error [" << error << "]";
}

}  // namespace vortan
