#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/RouteChanges.h"

namespace vortan {

// Whether a tunnel is restarted at once when the way to its server changes (the
// settings decide; on by default).
void EnableRestartOnPathChange(bool enabled);

// One look at the way to the VPN server: the route the host uses for it.
struct ServerPath {
  bool reachable = false;
  std::uint32_t gateway = 0;
  std::uint32_t interfaceIndex = 0;
  std::vector<std::uint32_t> addresses;  // of that device: a new one is a new source
  bool operator==(const ServerPath& other) const {
    return reachable == other.reachable && gateway == other.gateway && interfaceIndex == other.interfaceIndex &&
           addresses == other.addresses;
  }
};

// When to restart, apart from where the looks come from: once the way has differed from
// the one the tunnel connected over (gone, or through another gateway or device) and
// is usable again. Once per connection: the next CONNECTED arms it again.
class PathChangeDecision {
 public:
  void Connected(const ServerPath& path);
  void Disarm() { armed_ = false; }
  // Whether a look can still lead to a restart.
  bool Armed() const { return armed_; }
  // True when the tunnel should restart now.
  bool Observe(const ServerPath& path);

 private:
  ServerPath baseline_;
  bool armed_ = false;
  bool changed_ = false;
};

// Watches the way to the server of one tunnel while it is connected, and calls restart
// (on its own thread, which it owns) when the decision says so. OpenVPN would otherwise
// notice only at its ping timeout. It looks at the way once at CONNECTED and then only
// when the host announces a change of its routes, links or addresses.
class PathWatch {
 public:
  // One look at the way to a server (network byte order).
  using LookAtPath = std::function<ServerPath(std::uint32_t server)>;

  // Follows the host's own announcements and routes.
  explicit PathWatch(std::function<void()> restart);
  // changes: null when the host gives none (nothing is watched then).
  PathWatch(std::function<void()> restart, std::unique_ptr<platform::RouteChanges> changes, LookAtPath look);
  ~PathWatch();
  PathWatch(const PathWatch&) = delete;
  PathWatch& operator=(const PathWatch&) = delete;

  // Every state notification passes here; CONNECTED takes a look at the way.
  void Observe(const std::string& type, const std::string& value);

 private:
  void Run();

  std::function<void()> restart_;
  std::unique_ptr<platform::RouteChanges> changes_;
  LookAtPath look_;
  std::mutex mutex_;
  std::uint32_t server_ = 0;  // network byte order; 0: not connected
  ServerPath baseline_;       // the way at CONNECTED
  bool rebase_ = false;       // a new connection: take its way as the baseline
  bool stop_ = false;
  std::thread worker_;
};

}  // namespace vortan
