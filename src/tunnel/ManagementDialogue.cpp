#include "tunnel/ManagementDialogue.h"

#include <algorithm>
#include <ctime>
#include <thread>
#include <vector>

#include "common/Logging.h"
#include "common/Text.h"
#include "tunnel/TunnelBroadcast.h"

namespace vortan {
namespace {

const char* const kExitingSuffix = ",EXITING,exit-with-notification,,";
constexpr int kManagementRetries = 5;
constexpr auto kReplyWait = std::chrono::milliseconds(1000);
constexpr auto kListenerPoll = std::chrono::milliseconds(10);

// Sleeps up to pause, ending early once the management channel is open: OpenVPN
// opens it some tens of milliseconds after its launch.
void WaitForManagementListener(const ManagementChannel& channel, std::chrono::milliseconds pause) {
  const auto deadline = std::chrono::steady_clock::now() + pause;
  while (std::chrono::steady_clock::now() < deadline) {
    if (ManagementChannelOpen(channel)) return;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        kListenerPoll, deadline - std::chrono::steady_clock::now()));
  }
}

std::string UnixTimeText() { return std::to_string(static_cast<long long>(std::time(nullptr))); }

std::string StateName(const std::string& value) {
  std::vector<std::string> fields = SplitFields(value, ",");
  return fields.size() > 1 ? fields[1] : std::string();
}

void SendCommand(Socket& management, const std::string& command) {
  management.SendLine(command);
  CLOG(DEBUG, loggers::kOpenVpnManager) << "Management Interface S: " << command;
}

void HandleNotificationLine(const std::string& line, ManagementDialogue* dialogue, Socket& management,
                            Socket& client) {
  const std::string::size_type colon = line.find(':');
  if (colon != std::string::npos) {
    if (Notify(line.substr(1, colon - 1), line.substr(colon + 1), client)) {
      dialogue->exitingRelayed = true;
    }
  }
  const std::string type = line.substr(1, colon == std::string::npos ? std::string::npos : colon - 1);
  if (type != "HOLD") return;
  // OpenVPN holds again after every restart (connection, proxy or TLS failure,
  // ping-restart); once the first hold is released, every later one is released too.
  SendCommand(management, dialogue->holdReleased ? "hold release" : "state on");
}

void HandleResponseLine(const std::string& line, ManagementDialogue* dialogue, Socket& management) {
  if (!Contains(line, "SUCCESS:")) return;
  if (!dialogue->logOnSent) {
    dialogue->logOnSent = true;
    SendCommand(management, "log on");
  } else if (!dialogue->holdReleaseSent) {
    dialogue->holdReleaseSent = true;
    SendCommand(management, "hold release");
  } else {
    dialogue->holdReleased = true;
  }
}

// Relays until the management connection ends; true when the client was told that the
// tunnel is exiting.
bool RelayManagementLines(Socket& management, Socket& client) {
  ManagementDialogue dialogue;
  for (;;) {
    const std::string line = management.ReceiveLine();
    if (line.empty()) return dialogue.exitingRelayed;
    HandleManagementLine(line, &dialogue, management, client);
  }
}

}  // namespace

void HandleManagementLine(const std::string& line, ManagementDialogue* dialogue, Socket& management, Socket& client) {
  CLOG(DEBUG, loggers::kOpenVpnManager) << "Management Interface R: " << line;
  if (!line.empty() && line[0] == '>') {
    HandleNotificationLine(line, dialogue, management, client);
  } else {
    HandleResponseLine(line, dialogue, management);
  }
}

std::chrono::milliseconds ManagementRetryPause(int) { return std::chrono::milliseconds(500); }

void Listen(OpenVpnListenThreadStartupInfo* record) {
  std::unique_ptr<OpenVpnListenThreadStartupInfo> info(record);
  const std::string threadName = "openvpn-" + PointerText(record);
  NameThread(threadName);
  // The reply to "start" goes first: nothing is relayed to the client before it.
  if (info->replyGate) info->replyGate->WaitOpen(kReplyWait);
  const std::string endpoint = info->managementChannel.Text();
  int retriesLeft = kManagementRetries;
  bool connected = false;
  for (int attempt = 1;; ++attempt) {
    try {
      CLOG(DEBUG, loggers::kOpenVpnManager) << threadName << "Opening socket on " << endpoint;
      std::unique_ptr<LocalSocketClient> connection = ConnectManagementChannel(info->managementChannel);
      LocalSocketClient& management = *connection;
      connected = true;
      CLOG(DEBUG, loggers::kOpenVpnManager) << threadName << "socket open on " << endpoint;
      // Only the OpenVPN launched for this tunnel may receive the dialogue and feed
      // the client notifications (the channel is root's; this guards against a
      // process of root's own taking it).
      if (!ManagementEndpointBelongsTo(management, info->processId)) {
        CLOG(ERROR, loggers::kOpenVpnManager) << "The management endpoint " << endpoint
                                              << " is not held by OpenVPN (PID=" << info->processId
                                              << "), disconnecting";
        management.Close();
        info->clientConnection.SendLine("> STATE: " + UnixTimeText() + kExitingSuffix);
        break;
      }
      const bool exitingRelayed = RelayManagementLines(management, info->clientConnection);
      CLOG(DEBUG, loggers::kOpenVpnManager) << "Management Interface Connection closed (no more data)";
      // The client must always learn that its tunnel ended, also when OpenVPN was
      // killed or its exit text is not one that Notify recognises.
      if (!exitingRelayed) info->clientConnection.SendLine("> STATE: " + UnixTimeText() + kExitingSuffix);
      break;
    } catch (const std::exception& error) {
      if (retriesLeft-- > 0 && !connected) {
        CLOG(DEBUG, loggers::kOpenVpnManager) << "Management Interface Connection failed : exception ("
                                              << error.what() << "). Sleeping 500ms and retrying";
        WaitForManagementListener(info->managementChannel, ManagementRetryPause(attempt));
        continue;
      }
      CLOG(DEBUG, loggers::kOpenVpnManager) << "Management Interface Connection closed : exception: "
                                            << error.what();
      info->clientConnection.SendLine("> STATE: 00000000 ,EXITING,exit-with-notification,,");
      break;
    } catch (...) {
      CLOG(DEBUG, loggers::kOpenVpnManager) << "Management Interface Connection closed :  no more info on exception";
      info->clientConnection.SendLine("> STATE: 000000000,EXITING,exit-with-notification,,");
      break;
    }
  }
  info.reset();
  CLOG(DEBUG, loggers::kOpenVpnManager) << "LISTEN Thread closed";
}

bool Notify(const std::string& type, const std::string& value, Socket& clientConnection) {
  // The client sends its route commands as soon as it reads CONNECTED: the tunnel's
  // adapter must be ready for them by then.
  if (type == "STATE" && Contains(value, "CONNECTED,SUCCESS")) AnnounceTunnel(value);
  clientConnection.SendLine("> " + type + ": " + value);
  bool exiting = type == "STATE" && StateName(value) == "EXITING";
  if (Contains(value, "SIGTERM received")) {
    const std::vector<std::string> fields = SplitFields(value, ",");
    clientConnection.SendLine("> STATE: " + fields[0] + kExitingSuffix);
    exiting = true;
  }
  return exiting;
}

}  // namespace vortan
