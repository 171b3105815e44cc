#include "tunnel/ManagementDialogue.h"

#include <algorithm>
#include <ctime>
#include <sstream>
#include <utility>
#include <vector>

#include "common/Logging.h"
#include "common/Text.h"
#include "platform/LocalSocketWatch.h"
#include "platform/Tcp.h"
#include "tunnel/TunnelBroadcast.h"

namespace vortan {
namespace {

using Clock = std::chrono::steady_clock;

const char* const kExitingSuffix = ",EXITING,exit-with-notification,,";
constexpr auto kEndGrace = std::chrono::milliseconds(1000);

std::string UnixTimeText() { return std::to_string(static_cast<long long>(std::time(nullptr))); }

std::string StateName(const std::string& value) {
  std::vector<std::string> fields = SplitFields(value, ",");
  return fields.size() > 1 ? fields[1] : std::string();
}

void Tell(ClientOutbox* client, const std::string& line) {
  if (client != nullptr) client->Relay(line);
}

void SendCommand(Socket& management, const std::string& command) {
  management.SendLine(command);
  CLOG(DEBUG, loggers::kOpenVpnManager) << "Management Interface S: " << command;
}

void HandleNotificationLine(const std::string& line, ManagementDialogue* dialogue, Socket& management,
                            RelayTarget& target) {
  const std::string::size_type colon = line.find(':');
  if (colon != std::string::npos) {
    dialogue->dns.Observe(line.substr(1, colon - 1), line.substr(colon + 1));
    if (!dialogue->path) {
      // The watch sends from its own thread: each command is one send, which the kernel
      // keeps whole next to this thread's.
      dialogue->path = std::make_unique<PathWatch>([&] { SendCommand(management, "signal SIGUSR1"); });
    }
    dialogue->path->Observe(line.substr(1, colon - 1), line.substr(colon + 1));
    if (Notify(line.substr(1, colon - 1), line.substr(colon + 1), target)) dialogue->exitingRelayed = true;
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
bool RelayManagementLines(Socket& management, RelayTarget& target) {
  ManagementDialogue dialogue;
  for (;;) {
    const std::string line = management.ReceiveLine();
    if (line.empty()) return dialogue.exitingRelayed;
    HandleManagementLine(line, &dialogue, management, target);
  }
}

}  // namespace

void HandleManagementLine(const std::string& line, ManagementDialogue* dialogue, Socket& management,
                          RelayTarget& target) {
  if (target.log != nullptr) target.log->Received(line);
  if (!line.empty() && line[0] == '>') {
    HandleNotificationLine(line, dialogue, management, target);
  } else {
    HandleResponseLine(line, dialogue, management);
  }
}

std::chrono::milliseconds ManagementRetryPause(int) { return std::chrono::milliseconds(500); }

std::unique_ptr<LocalSocketClient> OpenManagementChannel(const ManagementChannel& channel, std::uint32_t processId,
                                                         ClientOutbox* client, const ManagementTiming& timing) {
  constexpr auto kFirstConnectRepeat = std::chrono::milliseconds(1);
  const std::string name = "openvpn-" + PointerText(&channel);
  const std::string endpoint = channel.Text();
  auto slotEnd = Clock::now();
  // A channel without a watch of its own gets one now; it is ended when this call
  // returns, which costs that call a moment.
  std::unique_ptr<platform::LocalSocketWatch> ownWatch;
  if (!channel.watch) ownWatch = std::make_unique<platform::LocalSocketWatch>(channel.socketPath);
  platform::LocalSocketWatch& watch = channel.watch ? *channel.watch : *ownWatch;
  for (int attempt = 1;; ++attempt) {
    const bool last = attempt > timing.retries;
    slotEnd += ManagementRetryPause(attempt);
    CLOG(DEBUG, loggers::kOpenVpnManager) << name << "Opening socket on " << endpoint;
    // The slot waits for OpenVPN's socket to appear, woken by its creation; the last
    // attempt is one connect at the deadline.
    const platform::Error appeared =
        last ? platform::Error::Success()
             : watch.Wait(std::chrono::ceil<std::chrono::milliseconds>(slotEnd - Clock::now()));
    std::string failure;
    std::chrono::milliseconds repeatPause = std::min(kFirstConnectRepeat, timing.poll);
    for (;;) {
      try {
        std::unique_ptr<LocalSocketClient> management =
            ConnectManagementChannel(channel, processId, timing.replyTimeout);
        watch.Stop();
        CLOG(DEBUG, loggers::kOpenVpnManager) << name << "socket open on " << endpoint;
        return management;
      } catch (const ForeignManagementPeer&) {
        // Only the OpenVPN launched for this tunnel may receive the dialogue and feed
        // the client notifications.
        CLOG(ERROR, loggers::kOpenVpnManager) << "The management endpoint " << endpoint
                                              << " is not held by OpenVPN (PID=" << processId << "), disconnecting";
        Tell(client, "> STATE: " + UnixTimeText() + kExitingSuffix);
        return nullptr;
      } catch (const std::exception& error) {
        failure = error.what();
      }
      // Refused although the socket is there: its owner has bound it and not yet called
      // listen, which no event marks (a loopback endpoint shows nothing before that).
      // Only then, or where the directory cannot be watched, is the connect repeated
      // until the slot ends: soon at first (listen usually follows bind within
      // microseconds), then each poll.
      if (last || platform::IsNotFound(appeared) || Clock::now() + repeatPause >= slotEnd) break;
      std::this_thread::sleep_for(repeatPause);
      repeatPause = std::min(repeatPause * 2, timing.poll);
    }
    if (last) {
      CLOG(DEBUG, loggers::kOpenVpnManager) << "Management Interface Connection closed : exception: " << failure;
      Tell(client, "> STATE: 00000000 ,EXITING,exit-with-notification,,");
      return nullptr;
    }
    CLOG(DEBUG, loggers::kOpenVpnManager) << "Management Interface Connection failed : exception (" << failure
                                          << "). Sleeping 500ms and retrying";
    std::this_thread::sleep_until(slotEnd);
  }
}

ManagementRelay::ManagementRelay(std::unique_ptr<LocalSocketClient> management, std::shared_ptr<ClientOutbox> client,
                                 std::string device, RouteLedger* routes)
    : management_(std::move(management)), client_(std::move(client)), device_(std::move(device)), routes_(routes) {
  worker_ = std::thread([this] { Run(); });
}

ManagementRelay::~ManagementRelay() { End(kEndGrace); }

bool ManagementRelay::Ended() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ended_;
}

void ManagementRelay::End(std::chrono::milliseconds grace) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!worker_.joinable()) return;
  if (!endedChanged_.wait_for(lock, grace, [this] { return ended_; })) {
    platform::ShutdownSocket(management_->Handle());
    // Where shutting a connection down does not end a blocked receive, closing does.
    if (!endedChanged_.wait_for(lock, grace, [this] { return ended_; })) management_->Close();
  }
  lock.unlock();
  worker_.join();
}

std::string ManagementRelay::WorkerText() const {
  std::ostringstream text;
  text << worker_.get_id();
  return text.str();
}

void ManagementRelay::Run() {
  NameThread("openvpn-" + PointerText(this));
  {
    RelayLog log;
    RelayTarget target{client_.get(), &log, device_, routes_};
    try {
      const bool exitingRelayed = RelayManagementLines(*management_, target);
      log.Flush();
      CLOG(DEBUG, loggers::kOpenVpnManager) << "Management Interface Connection closed (no more data)";
      // The client must always learn that its tunnel ended, also when OpenVPN was
      // killed or its exit text is not one that Notify recognises.
      if (!exitingRelayed) Tell(client_.get(), "> STATE: " + UnixTimeText() + kExitingSuffix);
    } catch (const std::exception& error) {
      log.Flush();
      CLOG(DEBUG, loggers::kOpenVpnManager) << "Management Interface Connection closed : exception: " << error.what();
      Tell(client_.get(), "> STATE: 00000000 ,EXITING,exit-with-notification,,");
    } catch (...) {
      log.Flush();
      CLOG(DEBUG, loggers::kOpenVpnManager) << "Management Interface Connection closed :  no more info on exception";
      Tell(client_.get(), "> STATE: 000000000,EXITING,exit-with-notification,,");
    }
  }
  CLOG(DEBUG, loggers::kOpenVpnManager) << "LISTEN Thread closed";
  std::lock_guard<std::mutex> lock(mutex_);
  ended_ = true;
  endedChanged_.notify_all();
}

bool Notify(const std::string& type, const std::string& value, RelayTarget& target) {
  // The client sends its route commands as soon as it reads CONNECTED: the tunnel's
  // adapter must be ready for them by then.
  if (type == "STATE" && Contains(value, "CONNECTED,SUCCESS")) AnnounceTunnel(value, target.routes);
  Tell(target.client, "> " + type + ": " + value);
  bool exiting = type == "STATE" && StateName(value) == "EXITING";
  if (Contains(value, "SIGTERM received")) {
    const std::vector<std::string> fields = SplitFields(value, ",");
    Tell(target.client, "> STATE: " + fields[0] + kExitingSuffix);
    exiting = true;
  }
  return exiting;
}

}  // namespace vortan
