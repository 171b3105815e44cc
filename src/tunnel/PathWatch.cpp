#include "tunnel/PathWatch.h"

#include <atomic>
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

PathWatch::PathWatch(std::function<void()> restart, std::chrono::milliseconds interval)
    : restart_(std::move(restart)), interval_(interval) {
  worker_ = std::thread([this] { Run(); });
}

PathWatch::~PathWatch() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  worker_.join();
}

void PathWatch::Observe(const std::string& type, const std::string& value) {
  if (type != "STATE") return;
  const std::vector<std::string> fields = SplitFields(value, ",");
  std::uint32_t server = 0;
  // A server behind a local stunnel is reached over loopback: no way to watch.
  const bool connected = fields.size() > 4 && fields[1] == "CONNECTED" && ParseDottedQuad(fields[4], &server) &&
                         (NetToHost(server) >> 24) != 127 && restartOnPathChange;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    server_ = connected ? server : 0;
    rebase_ = connected;
  }
  changed_.notify_all();
}

void PathWatch::Run() {
  NameThread("pathwatch-" + PointerText(this));
  PathChangeDecision decision;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    const std::uint32_t server = server_;
    const bool rebase = rebase_;
    rebase_ = false;
    lock.unlock();
    if (server == 0) {
      decision.Disarm();
    } else if (rebase) {
      decision.Connected(LookAt(server));
    } else if (decision.Observe(LookAt(server))) {
      CLOG(INFO, loggers::kOpenVpnManager) << "The way to the VPN server " << FormatDotted(server)
                                           << " changed: restarting the tunnel";
      restart_();
    }
    lock.lock();
    changed_.wait_for(lock, interval_, [this] { return stop_ || rebase_; });
  }
}

}  // namespace vortan
