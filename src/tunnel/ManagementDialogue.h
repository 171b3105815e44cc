#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "common/socket.h"
#include "tunnel/ManagementChannel.h"
#include "tunnel/ReplyGate.h"

namespace vortan {

// What a listen thread gets: its own share of the client's connection and the
// management channel. Owned and released by the thread.
struct OpenVpnListenThreadStartupInfo {
  Socket clientConnection;
  ManagementChannel managementChannel;
  std::uint32_t processId;  // the OpenVPN that must be listening on the channel
  std::shared_ptr<ReplyGate> replyGate = nullptr;  // opened when the session's reply is sent
};

// Pause before the given retry (1 for the first) of the management connection.
std::chrono::milliseconds ManagementRetryPause(int retry);

// The state of one management connection: the start-up dialogue moves only forward.
struct ManagementDialogue {
  bool logOnSent = false;
  bool holdReleaseSent = false;
  bool holdReleased = false;
  bool exitingRelayed = false;
};

// One line from OpenVPN's management interface: notifications are relayed to the
// client (and acted on), responses move the start-up dialogue on.
void HandleManagementLine(const std::string& line, ManagementDialogue* dialogue, Socket& management, Socket& client);

// The listen thread's body: management dialogue and relaying to the client.
void Listen(OpenVpnListenThreadStartupInfo* info);

// Relays one notification and reacts to it; true when it told the client that the
// tunnel is exiting.
bool Notify(const std::string& type, const std::string& value, Socket& clientConnection);

}  // namespace vortan
