#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/ClientOutbox.h"
#include "common/socket.h"
#include "tunnel/ManagementChannel.h"
#include "tunnel/PathWatch.h"
#include "tunnel/RelayLog.h"
#include "tunnel/TunnelDns.h"

namespace vortan {

class RouteLedger;

// Pause before the given retry (1 for the first) of the management connection.
std::chrono::milliseconds ManagementRetryPause(int retry);

// How long OpenVPN's management channel is waited for. The attempts are counted in
// slots of one retry pause each: a slot is logged once ("Opening socket on") and
// waits for the channel to appear (woken by its socket file's creation, where it has
// one), so the channel is taken as OpenVPN opens it; a connect refused while the
// channel is there is repeated quietly, soon at first, then every poll. After the last retry one attempt
// more, then the start gives up. By default the channel must open within 2.5 s of the
// launch.
struct ManagementTiming {
  int retries = 5;
  std::chrono::milliseconds poll{10};
  // How long OpenVPN may take to answer the password, where there is one.
  std::chrono::milliseconds replyTimeout{2000};
};

// Where one tunnel's management lines go: the client's outbox (none: nobody to tell),
// the tunnel's view of the service log, and the tunnel's adapter as its start named it.
struct RelayTarget {
  ClientOutbox* client;
  RelayLog* log;
  std::string device;
  RouteLedger* routes = nullptr;  // the tunnel's routes, written again at CONNECTED; none in tests
};

// The state of one management connection: the start-up dialogue moves only forward.
struct ManagementDialogue {
  bool logOnSent = false;
  bool holdReleaseSent = false;
  bool holdReleased = false;
  bool exitingRelayed = false;
  TunnelDns dns;
  std::unique_ptr<PathWatch> path;  // from the first notification on
};

// One line from OpenVPN's management interface: notifications are relayed to the
// client (and acted on), responses move the start-up dialogue on.
void HandleManagementLine(const std::string& line, ManagementDialogue* dialogue, Socket& management,
                          RelayTarget& target);

// Relays one notification and reacts to it; true when it told the client that the
// tunnel is exiting.
bool Notify(const std::string& type, const std::string& value, RelayTarget& target);

// The management channel of the OpenVPN launched as processId, connected by connecting
// (never by looking for its socket in the system's lists, only for its file), checked to be that OpenVPN's
// and past its password. Null, once the client has been told that the tunnel is
// exiting, when it cannot be opened in time or another process holds it.
std::unique_ptr<LocalSocketClient> OpenManagementChannel(const ManagementChannel& channel, std::uint32_t processId,
                                                         ClientOutbox* client,
                                                         const ManagementTiming& timing = ManagementTiming());

// The worker of one tunnel: runs the management dialogue and relays OpenVPN's lines to
// the client until the management connection closes. Owned by its tunnel and ended
// with it; it reads the connection at all times, whether the client reads or not.
class ManagementRelay {
 public:
  // client may be null (nobody to relay to); device is the tunnel's adapter.
  ManagementRelay(std::unique_ptr<LocalSocketClient> management, std::shared_ptr<ClientOutbox> client,
                  std::string device, RouteLedger* routes = nullptr);
  // End with a short grace.
  ~ManagementRelay();
  ManagementRelay(const ManagementRelay&) = delete;
  ManagementRelay& operator=(const ManagementRelay&) = delete;

  // True once the management connection has closed: the tunnel's OpenVPN has gone.
  bool Ended() const;
  // Gives the connection up to grace to close on its own (OpenVPN exiting), then shuts
  // it down, and joins the worker.
  void End(std::chrono::milliseconds grace);
  // The worker as log lines name it.
  std::string WorkerText() const;

 private:
  void Run();

  std::unique_ptr<LocalSocketClient> management_;
  std::shared_ptr<ClientOutbox> client_;
  std::string device_;
  RouteLedger* routes_;
  mutable std::mutex mutex_;
  std::condition_variable endedChanged_;
  bool ended_ = false;
  std::thread worker_;
};

}  // namespace vortan
