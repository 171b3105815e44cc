#pragma once

#include <optional>
#include <string>

#include "platform/CallerIdentity.h"
#include "tunnel/TunnelOutcome.h"

namespace vortan {

// The local user behind a session: known when the system names the owner of the
// client's socket, absent otherwise.
using CallerId = std::optional<platform::CallerIdentity>;

// The caller as log lines name it (the user id on Linux), or "unknown".
std::string CallerText(const CallerId& caller);

// True when caller may act on a tunnel that owner started: the owner and a privileged
// user (root) may.
bool MayActOnTunnelOf(const CallerId& caller, const platform::CallerIdentity& owner);

// The refusal (logged) for a caller who may not act on a tunnel that another user
// started.
TunnelOutcome ForeignTunnelRefusal(const CallerId& caller, const platform::CallerIdentity& owner,
                                   const std::string& command);

// The tunnel's states. A start or a shutdown takes its turn by moving the state to
// starting or stopping and gives it back with a tunnel running (running) or none
// (idle).
enum class TunnelState { kIdle, kStarting, kRunning, kStopping };

enum class TunnelEvent {
  kAsk,        // the owner check a start or shutdown makes at once, without waiting
  kStart,      // a start takes its turn
  kShutdown,   // a shutdown takes its turn
  kGiveRunning,  // the turn goes back with a tunnel running
  kGiveIdle,     // the turn goes back with none
};

// What the step is decided on besides the state and the event.
struct TunnelGuards {
  bool retired = false;      // the service is stopping: starts are refused
  bool mayAct = true;        // the caller may act on the owner's tunnel
  bool tunnelEnded = false;  // the running tunnel's OpenVPN ended on its own
};

struct TunnelStep {
  TunnelStep(TunnelState next, bool wait = false, std::optional<TunnelOutcomeKind> refusal = std::nullopt)
      : next(next), wait(wait), refusal(refusal) {}
  TunnelState next;
  bool wait = false;  // another start or shutdown has the turn: wait and ask again
  std::optional<TunnelOutcomeKind> refusal;
};

// The transition table of the tunnel's state, taken under the state's lock.
TunnelStep NextTunnelStep(TunnelState state, TunnelEvent event, const TunnelGuards& guards);

// True while the tunnel belongs to someone: from a start's turn until its shutdown, as
// long as its OpenVPN runs (one that ended on its own belongs to nobody).
bool TunnelHeld(TunnelState state, bool tunnelEnded);

}  // namespace vortan
