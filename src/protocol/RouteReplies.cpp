#include "protocol/RouteReplies.h"

#include "common/Ipv4.h"
#include "common/StatusReply.h"

namespace vortan {
namespace {

enum class Form {
  Plain,         // the message alone
  Error,         // "ERROR | code | ..."
  RouteError,    // "ERROR | RTcode | ..."
  RouteSuccess,  // "SUCCESS | RTcode | ..."
};

struct ReplyRow {
  RouteOutcomeKind kind;
  Form form;
  int code;             // 0: the conflict's code
  const char* message;  // nullptr: the conflict's message; a trailing system code, where named, follows
  const char* afterCode;
};

constexpr ReplyRow kReplies[] = {
    {RouteOutcomeKind::NotImplemented, Form::Error, 1, "NOT IMPLEMENTED", nullptr},
    {RouteOutcomeKind::AddArgumentCount, Form::Error, 2, "Invalid number of argument", nullptr},
    {RouteOutcomeKind::InvalidAddress, Form::RouteError, 8, "Invalid Route address", nullptr},
    {RouteOutcomeKind::DnsServersUnreadable, Form::RouteError, 10,
     "could not allocate memory for GetNetworkParams call", nullptr},
    {RouteOutcomeKind::AdaptersUnreadable, Form::RouteError, 10, "could not allocate memory for GetAdaptersInfo call",
     nullptr},
    {RouteOutcomeKind::Refused, Form::RouteError, 0, nullptr, nullptr},
    {RouteOutcomeKind::NoTunnelAdapter, Form::RouteError, 7,
     "failed to get Tap interface -> Can't create route to Brix's LAN. </br>", nullptr},
    {RouteOutcomeKind::Added, Form::RouteSuccess, 0, nullptr, nullptr},
    {RouteOutcomeKind::AddAccessDenied, Form::RouteError, 9, "Cannot add route : Access denied", nullptr},
    {RouteOutcomeKind::AddFailed, Form::RouteError, 10, "Cannot add route : Error [ ", " ]"},
    {RouteOutcomeKind::Declined, Form::Plain, 0, "ERROR", nullptr},
    {RouteOutcomeKind::DeleteLookupFailed, Form::Error, 6, "Cannot find route to delete : Error [ ", " ]"},
    {RouteOutcomeKind::DeleteFailed, Form::Error, 6, "Cannot delete route : Error [ ", " ]"},
    {RouteOutcomeKind::Done, Form::Plain, 0, "OK", nullptr},
    {RouteOutcomeKind::BroadcastArgumentCount, Form::Error, 18, "Broadcast route: Invalid number of argument", nullptr},
    {RouteOutcomeKind::BroadcastNoTunnel, Form::Error, 14,
     "failed to query route to Brix -> Can't update metic to route broadcast to Brix's LAN.</br>", nullptr},
    {RouteOutcomeKind::BroadcastNoInterfaceMetric, Form::Error, 19,
     "failed to query interfaceInfo -> Can't update metic to route broadcast to Brix's LAN.", "</br>"},
    {RouteOutcomeKind::BroadcastTableOutOfMemory, Form::Error, 15, "Unable to allocate memory for the IPFORWARDTALE",
     nullptr},
    {RouteOutcomeKind::BroadcastTableUnreadable, Form::Error, 16, "getIpForwardTable failed.", nullptr},
    {RouteOutcomeKind::BroadcastRowOutOfMemory, Form::Error, 17, "Malloc failed. Out of memory.", nullptr},
    {RouteOutcomeKind::NeighboursFlushed, Form::RouteSuccess, 1, "post connect arp cleanup done", nullptr},
};

int ConflictCode(ConflictKind kind) {
  switch (kind) {
    case ConflictKind::None: return 1;
    case ConflictKind::DnsServer: return 5;
    case ConflictKind::Gateway: return 4;
    case ConflictKind::LocalAddress:
    case ConflictKind::WinsServer: return 6;
    case ConflictKind::SubnetOfLan: return 2;
    case ConflictKind::HidesLan: return 3;
  }
  return 10;
}

// The destination and the host entry as dotted texts: the client wrote the destination
// in exactly this form, as only that form is accepted.
std::string ConflictMessage(const Conflict& conflict) {
  const std::string refusal = "Unable to add Brix LAN device(s) network.<BR / >the Brix's LAN (";
  const std::string network = FormatDotted(conflict.destination) + "/" + FormatDotted(conflict.mask);
  const std::string entry = FormatDotted(conflict.entryAddress);
  const std::string entryNetwork = entry + "/" + FormatDotted(conflict.entryMask);
  switch (conflict.kind) {
    case ConflictKind::None:
      return "Brix LAN devices network added.";
    case ConflictKind::DnsServer:
      return refusal + network + ") is in conflict with registered DNS address on this computer (" + entry + ").";
    case ConflictKind::Gateway:
      return refusal + network + ") is in conflict with registered Gateway address on this computer (" + entry + ").";
    case ConflictKind::LocalAddress:
      return refusal + network + ") is in conflict with local IP address on this computer (" + entryNetwork + ").";
    case ConflictKind::WinsServer:
      return refusal + network + ") is in conflict with a known service IP address on this computer's LAN (" + entry +
             ").";
    case ConflictKind::SubnetOfLan:
      return "Brix LAN devices network added with possible conflicts.<BR / >the Brix's LAN (" + network +
             ") is a subnet of this computer's LAN (" + entryNetwork + "). Some local services might not be available.";
    case ConflictKind::HidesLan:
      return refusal + network + ") would be hiding one of this computer's LAN (" + entryNetwork + ").";
  }
  return {};
}

}  // namespace

std::string RouteReply(const RouteOutcome& outcome) {
  for (const ReplyRow& row : kReplies) {
    if (row.kind != outcome.kind) continue;
    const int code = row.code != 0 || row.form == Form::Plain ? row.code : ConflictCode(outcome.detail.kind);
    std::string message = row.message != nullptr ? row.message : ConflictMessage(outcome.detail);
    if (row.afterCode != nullptr) message += std::to_string(outcome.code) + row.afterCode;
    switch (row.form) {
      case Form::Plain: return message;
      case Form::Error: return MakeResponse(false, false, code, message);
      case Form::RouteError: return MakeResponse(false, true, code, message);
      case Form::RouteSuccess: return MakeResponse(true, true, code, message);
    }
  }
  return MakeResponse(false, false, 1, "NOT IMPLEMENTED");
}

}  // namespace vortan
