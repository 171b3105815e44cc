#pragma once

#include <memory>

#include "common/ClientOutbox.h"
#include "common/socket.h"
#include "tunnel/TunnelOwnership.h"

namespace vortan {

// The client side of a tunnel request, filled and owned by the session that serves
// the client. Every line for the client goes through its outbox, which the session and
// the tunnel its "start" began share: the tunnel relays OpenVPN's notifications there,
// also after the session has ended.
struct TunnelClient {
  std::shared_ptr<Socket> connection;  // shared with the outbox
  CallerId caller;  // the local user behind the connection, found once
  std::shared_ptr<ClientOutbox> outbox = nullptr;  // null until the session greets the client
};

}  // namespace vortan
