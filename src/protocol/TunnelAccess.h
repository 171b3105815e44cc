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

// Concurrent sessions of all users but root together: what is left of the service's
// descriptors stays root's, so that root's tools and the stop dialogue always get in.
constexpr int kDefaultMaxUserSessions = 512;

// Who may do what on the management interface, from the settings.
struct AccessRules {
  // Members of this local group (and root) may start and stop the tunnel and change
  // routes; empty: every local user may.
  std::string tunnelGroup;
  // Concurrent sessions of one local user, and of all users together; root is not
  // limited.
  int maxSessionsPerUser = kDefaultMaxSessionsPerUser;
  int maxUserSessions = kDefaultMaxUserSessions;
};

// Counts open sessions against the caps. Each local user with an account has an
// allowance of its own; every other caller (user ids without an account, such as a
// user's subordinate ids, and callers that cannot be told) shares one. Root's sessions
// are counted but never refused.
class SessionCounter {
 public:
  // The entry a caller is counted under (looks the account up: call without locks).
  static CallerId CountedAs(const CallerId& caller);
  enum class Admission { kAdmitted, kUserAtCap, kAllAtCap };
  // Takes a place for the caller counted as countedAs, unless a cap is reached.
  Admission TryEnter(const CallerId& countedAs, const AccessRules& rules);
  void Leave(const CallerId& countedAs);
  int OpenSessions(const CallerId& countedAs) const;
  int TotalSessions() const;

 private:
  // The open sessions of each entry with any. Few users hold sessions at once: a list
  // searched in order does.
  using Count = std::pair<CallerId, int>;
  std::vector<Count>::iterator Find(const CallerId& countedAs);
  std::vector<Count>::const_iterator Find(const CallerId& countedAs) const;

  mutable std::mutex countsMutex_;
  std::vector<Count> counts_;
  int total_ = 0;      // root's included
  int userTotal_ = 0;  // all but root's
};

// What the sessions of one main loop share: the rules, read once from the settings,
// and the count of open sessions.
struct SessionAccess {
  AccessRules rules;
  SessionCounter counter;
};

// A session's place in the counter, held for the session's life.
class SessionPlace {
 public:
  SessionPlace(SessionCounter& counter, const CallerId& caller, const AccessRules& rules);
  ~SessionPlace();
  SessionPlace(const SessionPlace&) = delete;
  SessionPlace& operator=(const SessionPlace&) = delete;
  bool Taken() const { return admission_ == SessionCounter::Admission::kAdmitted; }
  SessionCounter::Admission Admission() const { return admission_; }

 private:
  SessionCounter& counter_;
  CallerId countedAs_;
  SessionCounter::Admission admission_;
};

// The error reply for a caller outside the tunnel group (logged), or nothing when the
// caller may use the tunnel and route commands.
std::optional<std::string> TunnelGroupRefusal(const CallerId& caller, const AccessRules& rules,
                                              const std::string& command);

class OpenVpnManager;

// Finds the session's caller (once, before the welcome: a client may half-close right
// after its last request) and takes the caller's place under the per-user cap. Null,
// after one log line, when a cap is reached: the connection is then closed without a
// welcome.
std::unique_ptr<SessionPlace> AdmitSession(TunnelClient& client, SessionAccess& access);

// The error reply (logged) for a tunnel or route command that the session's caller
// may not use: outside the tunnel group, or, for the route commands, acting through a
// tunnel another user started. Nothing when the caller may. vpnManager may be null.
std::optional<std::string> TunnelCommandRefusal(const CallerId& caller, const AccessRules& rules,
                                                OpenVpnManager* vpnManager, const std::string& command);

}  // namespace vortan
