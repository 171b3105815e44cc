#include "protocol/TunnelAccess.h"

#include <algorithm>

#include "common/Logging.h"
#include "common/StatusReply.h"
#include "tunnel/OpenVpnManager.h"
#include "platform/Groups.h"
#include "platform/ProcessInfo.h"
#include "platform/SocketOwner.h"

namespace vortan {
namespace {

std::mutex accessRulesMutex;
AccessRules accessRules;

bool IsRoot(const CallerId& caller) { return caller && platform::IsPrivileged(*caller); }

}  // namespace

void SetAccessRules(const AccessRules& rules) {
  std::lock_guard<std::mutex> lock(accessRulesMutex);
  accessRules = rules;
}

AccessRules CurrentAccessRules() {
  std::lock_guard<std::mutex> lock(accessRulesMutex);
  return accessRules;
}

std::vector<SessionCounter::Count>::iterator SessionCounter::Find(const CallerId& caller) {
  return std::find_if(counts_.begin(), counts_.end(), [&](const Count& count) { return count.first == caller; });
}

std::vector<SessionCounter::Count>::const_iterator SessionCounter::Find(const CallerId& caller) const {
  return std::find_if(counts_.begin(), counts_.end(), [&](const Count& count) { return count.first == caller; });
}

bool SessionCounter::TryEnter(const CallerId& caller, int cap) {
  if (IsRoot(caller)) return true;
  std::lock_guard<std::mutex> lock(countsMutex_);
  auto entry = Find(caller);
  const int open = entry == counts_.end() ? 0 : entry->second;
  if (open >= cap) return false;
  if (entry == counts_.end()) {
    counts_.emplace_back(caller, 1);
  } else {
    ++entry->second;
  }
  return true;
}

void SessionCounter::Leave(const CallerId& caller) {
  if (IsRoot(caller)) return;
  std::lock_guard<std::mutex> lock(countsMutex_);
  auto entry = Find(caller);
  if (entry == counts_.end()) return;
  if (--entry->second <= 0) counts_.erase(entry);
}

int SessionCounter::OpenSessions(const CallerId& caller) const {
  std::lock_guard<std::mutex> lock(countsMutex_);
  auto entry = Find(caller);
  return entry == counts_.end() ? 0 : entry->second;
}

SessionCounter& OpenSessionCounter() {
  static SessionCounter counter;
  return counter;
}

SessionPlace::SessionPlace(SessionCounter& counter, const CallerId& caller, int cap)
    : counter_(counter), caller_(caller), taken_(counter.TryEnter(caller, cap)) {}

SessionPlace::~SessionPlace() {
  if (taken_) counter_.Leave(caller_);
}

std::optional<std::string> TunnelGroupRefusal(const CallerId& caller, const std::string& command) {
  const std::string group = CurrentAccessRules().tunnelGroup;
  if (group.empty() || IsRoot(caller)) return std::nullopt;
  bool member = false;
  const int error = caller ? platform::IsMemberOf(*caller, group, &member) : 0;
  if (member) return std::nullopt;
  if (error != 0) {
    const std::string reason = platform::ErrorText(error);
    CLOG(WARNING, loggers::kService) << "cannot tell whether user " << CallerText(caller) << " belongs to group "
                                     << group << ": " << reason << " (" << error << ")";
  }
  CLOG(WARNING, loggers::kService) << "\"" << command << "\" refused: user " << CallerText(caller)
                                   << " is not a member of group " << group;
  return MakeResponse(false, false, 0, "Only members of the local group " + group + " may use this command");
}

CallerId FindRequestingUser(const Socket& connection) {
  std::uint32_t local = 0, peer = 0;
  int localPort = 0, peerPort = 0;
  if (!connection.Endpoints(&local, &localPort, &peer, &peerPort)) return std::nullopt;
  CallerId owner;
  // The client's own socket: its end is our peer, its remote end is us.
  if (platform::FindTcpSocketOwner(peer, peerPort, local, localPort, &owner) != 0) return std::nullopt;
  return owner;
}

std::unique_ptr<SessionPlace> AdmitSession(TunnelClient& client) {
  client.caller = FindRequestingUser(client.connection);
  const int cap = CurrentAccessRules().maxSessionsPerUser;
  auto place = std::make_unique<SessionPlace>(OpenSessionCounter(), client.caller, cap);
  if (place->Taken()) return place;
  CLOG(WARNING, loggers::kService) << "connection of user " << CallerText(client.caller) << " closed: it holds " << cap
                                   << " sessions already";
  return nullptr;
}

std::optional<std::string> TunnelCommandRefusal(const CallerId& caller, OpenVpnManager* vpnManager,
                                                const std::string& command) {
  if (auto refusal = TunnelGroupRefusal(caller, command)) return refusal;
  // "start" and "shutdown" check the owner together with their action, in the
  // tunnel controller; the route commands act through the tunnel's adapter.
  if (command != "route" || vpnManager == nullptr) return std::nullopt;
  const std::optional<platform::CallerIdentity> owner = vpnManager->TunnelOwner();
  if (!owner || MayActOnTunnelOf(caller, *owner)) return std::nullopt;
  return ForeignTunnelRefusal(caller, *owner, command);
}

}  // namespace vortan
