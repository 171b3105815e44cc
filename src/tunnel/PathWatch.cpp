#include "tunnel/PathWatch.h"

#include <atomic>
#include <chrono>
#include <utility>
#include <vector>

#include "common/Ipv4.h"
#include "common/Logging.h"
#include "common/Text.h"
#include "platform/HostNetwork.h"

namespace vortan {
namespace {

std::atomic<bool> restartOnPathChange{true};

ServerPath LookAt(std::uint32_t server) {
  platform::Route route;
  ServerPath path;
  if (platform::BestRoute(server, &route).Failed()) return path;
  path.reachable = true;
  path.gateway = route.gateway;
  path.interfaceIndex = route.interfaceIndex;
  std::vector<platform::Adapter> adapters;
  if (platform::ListAdapters(&adapters).Failed()) return path;
  for (const platform::Adapter& adapter : adapters) {
    if (adapter.index != route.interfaceIndex) continue;
    for (const platform::AdapterAddress& entry : adapter.addresses) path.addresses.push_back(entry.address);
  }
  return path;
}

// Nothing to do without a change; the wait ends anyway now and then.
constexpr auto kNoChangeFor = std::chrono::hours(1);

std::unique_ptr<platform::RouteChanges> Subscribe() {
  platform::Error error;
  std::unique_ptr<platform::RouteChanges> changes = platform::SubscribeToRouteChanges(&error);
  if (!changes) {
    CLOG(WARNING, loggers::kOpenVpnManager) << "The host's network changes cannot be followed (" << error.Step()
                                            << ": " << error.Code()
                                            << "): the tunnel restarts only at OpenVPN's own ping timeout";
  }
  return changes;
}

}  // namespace

void EnableRestartOnPathChange(bool enabled) { restartOnPathChange = enabled; }

void PathChangeDecision::Connected(const ServerPath& path) {
  baseline_ = path;
  armed_ = path.reachable;
  changed_ = false;
}

bool PathChangeDecision::Observe(const ServerPath& path) {
  if (!armed_) return false;
  if (!(path == baseline_)) changed_ = true;
  if (!changed_ || !path.reachable) return false;
  armed_ = false;
  return true;
}

PathWatch::PathWatch(std::function<void()> restart) : PathWatch(std::move(restart), Subscribe(), LookAt) {}

PathWatch::PathWatch(std::function<void()> restart, std::unique_ptr<platform::RouteChanges> changes, LookAtPath look)
    : restart_(std::move(restart)), changes_(std::move(changes)), look_(std::move(look)) {
  if (changes_) worker_ = std::thread([this] { Run(); });
}

PathWatch::~PathWatch() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  if (!worker_.joinable()) return;
  changes_->Nudge();
  worker_.join();
}

void PathWatch::Observe(const std::string& type, const std::string& value) {
  if (type != "STATE") return;
  const std::vector<std::string> fields = SplitFields(value, ",");
  std::uint32_t server = 0;
  // A server behind a local stunnel is reached over loopback: no way to watch.
  const bool connected = fields.size() > 4 && fields[1] == "CONNECTED" && ParseDottedQuad(fields[4], &server) &&
                         (NetToHost(server) >> 24) != 127 && restartOnPathChange;
  if (!changes_) return;
  // The baseline is taken before the client reads CONNECTED: a change it makes after
  // that is measured against the way the tunnel connected over.
  ServerPath baseline;
  if (connected) baseline = look_(server);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    server_ = connected ? server : 0;
    baseline_ = std::move(baseline);
    rebase_ = connected;
  }
  changes_->Nudge();
}

void PathWatch::Run() {
  NameThread("pathwatch-" + PointerText(this));
  PathChangeDecision decision;
  bool changed = false;
  for (;;) {
    std::uint32_t server = 0;
    bool rebase = false;
    ServerPath baseline;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_) return;
      server = server_;
      rebase = rebase_;
      rebase_ = false;
      if (rebase) baseline = baseline_;
    }
    if (server == 0) {
      decision.Disarm();
    } else {
      if (rebase) decision.Connected(baseline);
      // A change may have come after the baseline was taken, and woken this round.
      if (changed && decision.Armed() && decision.Observe(look_(server))) {
        CLOG(INFO, loggers::kOpenVpnManager) << "The way to the VPN server " << FormatDotted(server)
                                             << " changed: restarting the tunnel";
        restart_();
      }
    }
    // Changes that come while looking wake the next wait, all of them at once.
    const platform::RouteChanges::Wake wake = changes_->Wait(kNoChangeFor);
    if (wake == platform::RouteChanges::Wake::Failed) break;
    changed = wake == platform::RouteChanges::Wake::Changed;
  }
  CLOG(WARNING, loggers::kOpenVpnManager) << "The host's network changes can no longer be followed: "
                                          << "the tunnel restarts only at OpenVPN's own ping timeout";
}

}  // namespace vortan
