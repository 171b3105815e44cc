#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "settings/IniFile.h"
#include "common/socket.h"
#include "tunnel/TunnelClient.h"
#include "tunnel/TunnelOwnership.h"

namespace vortan {

// The local user behind a client's loopback connection; nothing when it cannot be told.
CallerId FindRequestingUser(const Socket& connection);

// Who may do what on the management interface, from the settings.
struct AccessRules {
  // Members of this local group (and root) may start and stop the tunnel and change
  // routes; empty: every local user may.
  std::string tunnelGroup;
  // Concurrent sessions of one local user; root is not limited.
  int maxSessionsPerUser = kDefaultMaxSessionsPerUser;
};

// The rules of the running main loop (set before it accepts connections).
void SetAccessRules(const AccessRules& rules);
AccessRules CurrentAccessRules();

// Counts the open sessions of each local user against the cap. Sessions whose user
// cannot be told share one count; root's are not counted (the stop dialogue and
// root's own tools connect as root).
class SessionCounter {
 public:
  // Takes a place for caller; false when the caller already holds the cap.
  bool TryEnter(const CallerId& caller, int cap);
  void Leave(const CallerId& caller);
  int OpenSessions(const CallerId& caller) const;

 private:
  // The open sessions of each caller with any; callers that cannot be told share one
  // entry. Few users hold sessions at once: a list searched in order does.
  using Count = std::pair<CallerId, int>;
  std::vector<Count>::iterator Find(const CallerId& caller);
  std::vector<Count>::const_iterator Find(const CallerId& caller) const;

  mutable std::mutex countsMutex_;
  std::vector<Count> counts_;
};

// The process's one session counter.
SessionCounter& OpenSessionCounter();

// A session's place in the counter, held for the session's life.
class SessionPlace {
 public:
  SessionPlace(SessionCounter& counter, const CallerId& caller, int cap);
  ~SessionPlace();
  SessionPlace(const SessionPlace&) = delete;
  SessionPlace& operator=(const SessionPlace&) = delete;
  bool Taken() const { return taken_; }

 private:
  SessionCounter& counter_;
  CallerId caller_;
  bool taken_;
};

// The error reply for a caller outside the tunnel group (logged), or nothing when the
// caller may use the tunnel and route commands.
std::optional<std::string> TunnelGroupRefusal(const CallerId& caller, const std::string& command);

class OpenVpnManager;

// Finds the session's caller (once, before the welcome: a client may half-close right
// after its last request) and takes the caller's place under the per-user cap. Null,
// after one log line, when the caller already holds the cap: the connection is then
// closed without a welcome.
std::unique_ptr<SessionPlace> AdmitSession(TunnelClient& client);

// The error reply (logged) for a tunnel or route command that the session's caller
// may not use: outside the tunnel group, or, for the route commands, acting through a
// tunnel another user started. Nothing when the caller may. vpnManager may be null.
std::optional<std::string> TunnelCommandRefusal(const CallerId& caller, OpenVpnManager* vpnManager,
                                                const std::string& command);

}  // namespace vortan
