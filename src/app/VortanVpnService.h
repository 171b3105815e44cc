#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "protocol/TunnelAccess.h"
#include "protocol/ReplyGate.h"
#include "common/socket.h"

namespace vortan {

class IService;
class OpenVpnManager;

// Management listener endpoint, written during start-up before the service reports
// running, read afterwards.
extern std::atomic<std::uint32_t> listenerAddress;  // network byte order
extern std::atomic<int> listenerPort;
// Set by a session serving "CONTROL" while a stop is pending; ends the accept loop.
extern std::atomic<bool> stopRequested;

// The record of one accepted connection, owned by its session thread.
struct SessionStart {
  Socket connection;
  IService* service;          // null in console mode
  OpenVpnManager* vpnManager;  // the process's one tunnel controller (may be null in tests)
  CallerId caller;             // the local user behind the connection, found once
  // Set by a "start" that began a tunnel: opened once its reply is sent.
  std::shared_ptr<ReplyGate> replyGate = nullptr;
};

// The process entry: logging, command line, run mode. Returns the exit code.
int ServiceEntry(int argc, char** argv);

// The main loop: listener, portused.txt, accept loop, clean-up. Returns 0 after a
// stop, 1 after a failure that ended it.
int Run(IService* service, OpenVpnManager* vpnManager);

// Ends the accept loop from another thread through the protocol itself.
void NotifyMainThread();

// The session thread's body.
void Answer(SessionStart* start);

// One request of a session: the reply line and whether the session ends after it.
struct SessionReply {
  std::string text;
  bool endSession;
};
SessionReply HandleRequest(const std::string& request, SessionStart& session);

// The process's one tunnel controller (built by ServiceEntry), or null.
OpenVpnManager* TheOpenVpnManager();

// The text logged for a request: every "start" word from the proxy user name on, and
// everything from the last "proxy" on, are hidden; a line of more than 512 bytes is
// logged as its first 512 bytes and its length.
std::string LogCopy(const std::string& request);

// True for a line that begins like an HTTP request or header (a browser led here).
bool LooksLikeHttp(const std::string& line);

// The help reply and the "version" reply.
const std::string& HelpText();
std::string VersionReply();

}  // namespace vortan
