#pragma once

#include <cstdint>

#include "platform/Error.h"
#include "routes/NetworkStatus.h"

namespace vortan {

// What a route command came to. The texts and reply codes the client reads are the
// protocol's (protocol/RouteReplies); here are only the facts they are made of.
enum class RouteOutcomeKind {
  NotImplemented,         // no such "route" sub-command
  // "route add"
  AddArgumentCount,       // not exactly four arguments
  InvalidAddress,         // a field is no dotted address, or a reserved block
  DnsServersUnreadable,   // the host's DNS servers cannot be read
  AdaptersUnreadable,     // the host's adapters cannot be read
  Refused,                // conflict (detail): nothing written
  NoTunnelAdapter,        // no tunnel adapter around the gateway
  Added,                  // written, or there already (detail: none or subnet of a LAN)
  AddAccessDenied,        // the system refused the write for want of rights
  AddFailed,              // the system refused the write (code)
  // "route del" and "route broadcast"
  Declined,               // the plain "ERROR": no address, or the default route
  DeleteLookupFailed,     // no route found for the address (code)
  DeleteFailed,           // the route cannot be (or may not be) deleted (code)
  Done,                   // the plain "OK"
  BroadcastArgumentCount,       // not exactly two arguments
  BroadcastNoTunnel,            // the device address lies on no tunnel network
  BroadcastNoInterfaceMetric,   // the tunnel's interface metric cannot be read (code)
  BroadcastTableOutOfMemory,    // no memory for the routing table
  BroadcastTableUnreadable,     // the routing table cannot be read
  BroadcastRowOutOfMemory,      // no memory for the tunnel's row
  // "route postconnect"
  NeighboursFlushed,
};

struct RouteOutcome {
  RouteOutcomeKind kind = RouteOutcomeKind::Done;
  platform::NativeErrorCode code = 0;  // the system's code, where the reply names one
  Conflict detail;                     // Refused and Added: the destination and what it met
};

}  // namespace vortan
