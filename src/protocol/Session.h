#pragma once

#include <functional>
#include <string>

#include "tunnel/TunnelClient.h"

namespace vortan {

class OpenVpnManager;
class RouteLedger;
struct SessionAccess;

// The record of one accepted connection, owned by the main loop's session registry.
struct SessionStart {
  TunnelClient client;  // the connection, its caller and its outbox
  // Answers the stop dialogue's "CONTROL": true when a stop is pending, in which case
  // the accept loop ends. Empty in console mode, where no stop is ever pending.
  std::function<bool()> stopOnControl;
  OpenVpnManager* vpnManager;  // the main loop's tunnel controller (may be null in tests)
  // The main loop's access rules and session count; null in tests: the default rules,
  // and the session is not counted.
  SessionAccess* access = nullptr;
  // The service's route ledger, which the route commands record in; null in tests.
  RouteLedger* routeLedger = nullptr;
};

// The session thread's body; returns when the client leaves or the connection is shut
// down.
void Answer(SessionStart& start);

// One request of a session: the reply line and whether the session ends after it.
struct SessionReply {
  std::string text;
  bool endSession;
};
SessionReply HandleRequest(const std::string& request, SessionStart& session);

}  // namespace vortan
