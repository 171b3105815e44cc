#pragma once

#include <memory>

#include "common/socket.h"
#include "tunnel/ReplyGate.h"
#include "tunnel/TunnelOwnership.h"

namespace vortan {

// The client side of a tunnel request, filled and owned by the session that serves
// the client: the tunnel's listen thread relays OpenVPN's notifications on its
// connection.
struct TunnelClient {
  Socket connection;
  CallerId caller;  // the local user behind the connection, found once
  // Set by a "start" that began a tunnel: opened once its reply is sent.
  std::shared_ptr<ReplyGate> replyGate = nullptr;
};

}  // namespace vortan
