#include "tunnel/STunnelManager.h"

#include "common/Logging.h"
#include "common/Paths.h"
#include "platform/EndpointGuard.h"
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

STunnelManager::STunnelManager(platform::ChildLauncher& launcher, std::uint32_t acceptAddress, int acceptPort)
    : program_(launcher, platform::StunnelProgram(), kStunnelTexts),
      acceptAddress_(acceptAddress),
      acceptPort_(acceptPort) {
  const std::string executable = platform::ExecutablePath();
  CLOG(DEBUG, loggers::kStunnel) << executable;
}

STunnelManager::~STunnelManager() {
  if (program_.Tracked() || guarded_) Shutdown();
}

bool STunnelManager::IsInstalled() const {
  if (platform::PathExists(StunnelPath())) return true;
  CLOG(DEBUG, loggers::kStunnel) << "StunnelNotInstalled dir[" << DirectoryOf(StunnelPath()) << "] : path["
                                 << StunnelPath() << "]";
  return false;
}

// The accept end hands every connection to the proxy with the tunnel owner's
// credentials: other local users must not reach it, so stunnel runs only behind the guard.
void STunnelManager::Launch(const std::string& configPath) {
  std::string detail;
  const platform::Error error = platform::GuardEndpoint(acceptAddress_, acceptPort_, &detail);
  if (error.Failed()) {
    const std::string reason = detail.empty() ? platform::ErrorText(error.Code()) : detail;
    CLOG(ERROR, loggers::kStunnel) << "stunnel not started: its accept end cannot be closed to other users: " << reason
                                   << " (" << error.Code() << ")";
    return;
  }
  guarded_ = true;
  program_.Launch({configPath}, DirectoryOf(StunnelPath()), " " + configPath);
}

// stunnel is asked to end the way this system's stunnel understands, only the process
// this manager started, and killed when it has not ended within the wait, so that no
// stunnel outlives its tracking.
void STunnelManager::Shutdown() {
  const int error = program_.Stop();
  if (error != 0) CLOG(DEBUG, loggers::kStunnel) << "CreateProcess error [" << error << "]";
  if (!guarded_ || program_.Tracked()) return;
  std::string detail;
  const platform::Error guardError = platform::ReleaseEndpointGuard(acceptAddress_, acceptPort_, &detail);
  if (guardError.Failed()) {
    CLOG(WARNING, loggers::kStunnel) << "the guard of stunnel's accept end stays: " << detail << " (" << guardError.Code()
                                     << ")";
  }
  guarded_ = false;
}

}  // namespace vortan
