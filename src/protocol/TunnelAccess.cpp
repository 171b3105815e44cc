#include "protocol/TunnelAccess.h"

#include <algorithm>

#include "common/Logging.h"
#include "common/StatusReply.h"
#include "protocol/Replies.h"
#include "tunnel/OpenVpnManager.h"
#include "platform/Groups.h"
#include "platform/ProcessInfo.h"
#include "platform/SocketOwner.h"

namespace vortan {
namespace {

bool IsRoot(const CallerId& caller) { return caller && platform::IsPrivileged(*caller); }

}  // namespace

std::vector<SessionCounter::Count>::iterator SessionCounter::Find(const CallerId& countedAs) {
  return std::find_if(counts_.begin(), counts_.end(), [&](const Count& count) { return count.first == countedAs; });
}

std::vector<SessionCounter::Count>::const_iterator SessionCounter::Find(const CallerId& countedAs) const {
  return std::find_if(counts_.begin(), counts_.end(), [&](const Count& count) { return count.first == countedAs; });
}

// Ids without an account cost nothing to hold (subordinate ids of one user, ids in a
// user namespace): apart, each would bring a whole allowance of its own.
CallerId SessionCounter::CountedAs(const CallerId& caller) {
  if (!caller || IsRoot(caller) || platform::HasAccount(*caller)) return caller;
  return std::nullopt;
}

SessionCounter::Admission SessionCounter::TryEnter(const CallerId& countedAs, const AccessRules& rules) {
  std::lock_guard<std::mutex> lock(countsMutex_);
  if (IsRoot(countedAs)) {
    ++total_;
    return Admission::kAdmitted;
  }
  auto entry = Find(countedAs);
  const int open = entry == counts_.end() ? 0 : entry->second;
  if (open >= rules.maxSessionsPerUser) return Admission::kUserAtCap;
  if (userTotal_ >= rules.maxUserSessions) return Admission::kAllAtCap;
  if (entry == counts_.end()) {
    counts_.emplace_back(countedAs, 1);
  } else {
    ++entry->second;
  }
  ++total_;
  ++userTotal_;
  return Admission::kAdmitted;
}

void SessionCounter::Leave(const CallerId& countedAs) {
  std::lock_guard<std::mutex> lock(countsMutex_);
  --total_;
  if (IsRoot(countedAs)) return;
  --userTotal_;
  auto entry = Find(countedAs);
  if (entry == counts_.end()) return;
  if (--entry->second <= 0) counts_.erase(entry);
}

int SessionCounter::OpenSessions(const CallerId& countedAs) const {
  std::lock_guard<std::mutex> lock(countsMutex_);
  auto entry = Find(countedAs);
  return entry == counts_.end() ? 0 : entry->second;
}

int SessionCounter::TotalSessions() const {
  std::lock_guard<std::mutex> lock(countsMutex_);
  return total_;
}

SessionPlace::SessionPlace(SessionCounter& counter, const CallerId& caller, const AccessRules& rules)
    : counter_(counter),
      countedAs_(SessionCounter::CountedAs(caller)),
      admission_(counter.TryEnter(countedAs_, rules)) {}

SessionPlace::~SessionPlace() {
  if (Taken()) counter_.Leave(countedAs_);
}

std::optional<std::string> TunnelGroupRefusal(const CallerId& caller, const AccessRules& rules,
                                              const std::string& command) {
  const std::string& group = rules.tunnelGroup;
  if (group.empty() || IsRoot(caller)) return std::nullopt;
  bool member = false;
  const platform::Error error = caller ? platform::IsMemberOf(*caller, group, &member) : platform::Error::Success();
  if (member) return std::nullopt;
  if (error.Failed()) {
    const std::string reason = platform::ErrorText(error.Code());
    CLOG(WARNING, loggers::kService) << "cannot tell whether user " << CallerText(caller) << " belongs to group "
                                     << group << ": " << reason << " (" << error.Code() << ")";
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
  if (platform::FindTcpSocketOwner(peer, peerPort, local, localPort, &owner).Failed()) return std::nullopt;
  return owner;
}

std::unique_ptr<SessionPlace> AdmitSession(TunnelClient& client, SessionAccess& access) {
  client.caller = FindRequestingUser(*client.connection);
  const AccessRules& rules = access.rules;
  auto place = std::make_unique<SessionPlace>(access.counter, client.caller, rules);
  if (place->Taken()) return place;
  if (place->Admission() == SessionCounter::Admission::kUserAtCap) {
    CLOG(WARNING, loggers::kService) << "connection of user " << CallerText(client.caller) << " closed: it holds "
                                     << rules.maxSessionsPerUser << " sessions already";
  } else {
    CLOG(WARNING, loggers::kService) << "connection of user " << CallerText(client.caller) << " closed: "
                                     << rules.maxUserSessions << " sessions of users are open";
  }
  return nullptr;
}

std::optional<std::string> TunnelCommandRefusal(const CallerId& caller, const AccessRules& rules,
                                                OpenVpnManager* vpnManager, const std::string& command) {
  if (auto refusal = TunnelGroupRefusal(caller, rules, command)) return refusal;
  // "start" and "shutdown" check the owner together with their action, in the
  // tunnel controller; the route commands act through the tunnel's adapter.
  if (command != "route" || vpnManager == nullptr) return std::nullopt;
  const std::optional<platform::CallerIdentity> owner = vpnManager->TunnelOwner();
  if (!owner || MayActOnTunnelOf(caller, *owner)) return std::nullopt;
  return TunnelReply(ForeignTunnelRefusal(caller, *owner, command));
}

}  // namespace vortan
