#include "tunnel/TunnelOwnership.h"

#include "common/Logging.h"

namespace vortan {

std::string CallerText(const CallerId& caller) {
  return caller ? platform::IdentityText(*caller) : std::string("unknown");
}

bool MayActOnTunnelOf(const CallerId& caller, const platform::CallerIdentity& owner) {
  return caller && (*caller == owner || platform::IsPrivileged(*caller));
}

TunnelOutcome ForeignTunnelRefusal(const CallerId& caller, const platform::CallerIdentity& owner,
                                   const std::string& command) {
  CLOG(WARNING, loggers::kService) << "\"" << command << "\" refused: user " << CallerText(caller)
                                   << " asked to act on the tunnel of user " << platform::IdentityText(owner);
  return {TunnelOutcomeKind::kForeignTunnel};
}

bool TunnelHeld(TunnelState state, bool tunnelEnded) {
  switch (state) {
    case TunnelState::kIdle:
      return false;
    case TunnelState::kStarting:
    case TunnelState::kStopping:
      return true;
    case TunnelState::kRunning:
      return !tunnelEnded;
  }
  return false;
}

TunnelStep NextTunnelStep(TunnelState state, TunnelEvent event, const TunnelGuards& guards) {
  const bool foreign = TunnelHeld(state, guards.tunnelEnded) && !guards.mayAct;
  const bool turnTaken = state == TunnelState::kStarting || state == TunnelState::kStopping;
  switch (event) {
    case TunnelEvent::kAsk:
      if (foreign) return {state, false, TunnelOutcomeKind::kForeignTunnel};
      return {state};
    case TunnelEvent::kStart:
      if (turnTaken) return {state, true};
      // While this start waited, the service may have begun to stop or another user's
      // tunnel may have started.
      if (guards.retired) return {state, false, TunnelOutcomeKind::kServiceStopping};
      if (foreign) return {state, false, TunnelOutcomeKind::kForeignTunnel};
      return {TunnelState::kStarting};
    case TunnelEvent::kShutdown:
      if (turnTaken) return {state, true};
      if (foreign) return {state, false, TunnelOutcomeKind::kForeignTunnel};
      return {TunnelState::kStopping};
    case TunnelEvent::kGiveRunning:
      return {TunnelState::kRunning};
    case TunnelEvent::kGiveIdle:
      return {TunnelState::kIdle};
  }
  return {state};
}

}  // namespace vortan
