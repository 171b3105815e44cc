#include "routes/RouteLedger.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

#include "common/Ipv4.h"
#include "common/Logging.h"
#include "common/Text.h"
#include "platform/ProcessInfo.h"
#include "routes/RouteManagement.h"

namespace vortan {
namespace {

std::string RouteText(std::uint32_t destination, std::uint32_t mask) {
  return FormatDotted(destination) + "/" + FormatDotted(mask);
}

bool SamePrefix(const LedgerRoute& left, const LedgerRoute& right) {
  return left.destination == right.destination && left.mask == right.mask;
}

// The platform's host unless the caller hands in its own.
class HostChoice {
 public:
  explicit HostChoice(platform::HostNetwork* host)
      : platform_(host != nullptr ? nullptr : platform::OpenHostNetwork()),
        host_(host != nullptr ? *host : *platform_) {}
  platform::HostNetwork& operator*() { return host_; }

 private:
  std::unique_ptr<platform::HostNetwork> platform_;
  platform::HostNetwork& host_;
};

// The kernel's (or the system's) own words for the failure, with its code.
std::string ErrorReason(const platform::Error& error) {
  return std::string(error.Step()) + ": " + platform::ErrorText(error.Code()) + " (code " +
         std::to_string(error.Code()) + ")";
}

void RemoveEntries(const std::vector<platform::Route>& entries, platform::HostNetwork& host,
                   const char* why) {
  for (const platform::Route& entry : entries) {
    const platform::Error error = host.DeleteRoute(entry);
    const std::string route = RouteText(entry.destination, entry.mask);
    if (error.Failed() && !platform::IsNotFound(error)) {
      CLOG(WARNING, loggers::kRoute) << "Cannot remove the route " << route << " " << why << ": "
                                     << ErrorReason(error);
    } else if (error.Succeeded()) {
      CLOG(INFO, loggers::kRoute) << "Removed the route " << route << " " << why;
    }
  }
}

}  // namespace

RestoreBudget::Verdict RestoreBudget::Take(const std::string& route, std::chrono::steady_clock::time_point now) {
  if (givenUp_[route]) return Verdict::GivenUp;
  std::deque<std::chrono::steady_clock::time_point>& times = restored_[route];
  while (!times.empty() && now - times.front() >= kWindow) times.pop_front();
  if (static_cast<int>(times.size()) >= kLimit) {
    givenUp_[route] = true;
    return Verdict::GiveUp;
  }
  times.push_back(now);
  return Verdict::Restore;
}

// The worker that puts back a tunnel's routes another program deleted: woken by the
// kernel's deletion notices, never polling. Owned by the ledger for one tunnel and
// ended (and joined) with it.
class RouteGuard {
 public:
  explicit RouteGuard(RouteLedger& ledger) : ledger_(ledger) {
    const platform::Error error = watch_.Open();
    if (error.Failed()) {
      CLOG(WARNING, loggers::kRoute) << "Routes deleted by other programs are not restored: " << ErrorReason(error);
      return;
    }
    worker_ = std::thread([this] { Run(); });
  }
  ~RouteGuard() {
    watch_.Interrupt();
    if (worker_.joinable()) worker_.join();
  }
  RouteGuard(const RouteGuard&) = delete;
  RouteGuard& operator=(const RouteGuard&) = delete;

 private:
  void Run() {
    for (;;) {
      std::vector<platform::Route> deleted;
      const platform::RouteDeletionWatch::Wake wake = watch_.Wait(std::chrono::hours(1), &deleted);
      if (wake == platform::RouteDeletionWatch::Wake::Interrupted) return;
      if (wake == platform::RouteDeletionWatch::Wake::Failed) {
        CLOG(WARNING, loggers::kRoute) << "The watch on deleted routes failed: they are no longer restored";
        return;
      }
      if (wake == platform::RouteDeletionWatch::Wake::TimedOut) continue;
      Restore(deleted, wake == platform::RouteDeletionWatch::Wake::Lost);
    }
  }

  // Only the recorded routes the notices name (all of them when notices were lost), on
  // an interface that is still there: a device that went takes its routes along, and
  // the next CONNECTED writes them again.
  void Restore(const std::vector<platform::Route>& deleted, bool anyMayHaveGone) {
    const bool hostMarks = platform::MarksOwnRoutes();
    std::vector<LedgerRoute> candidates;
    for (const LedgerRoute& route : ledger_.Routes()) {
      if (anyMayHaveGone || !PresentEntries(deleted, {route}, hostMarks).empty()) candidates.push_back(route);
    }
    if (candidates.empty()) return;
    const std::unique_ptr<platform::HostNetwork> host = platform::OpenHostNetwork();
    const platform::HostSnapshot snapshot =
        host->Snapshot(platform::HostSnapshot::kAdapters | platform::HostSnapshot::kRoutes);
    if (snapshot.routesError.Failed() || snapshot.adaptersError.Failed()) return;
    const std::vector<platform::Route>& table = snapshot.routes;
    const std::vector<platform::Adapter>& adapters = snapshot.adapters;
    for (const LedgerRoute& route : candidates) {
      if (!PresentEntries(table, {route}, hostMarks).empty()) continue;
      if (std::none_of(adapters.begin(), adapters.end(),
                       [&](const platform::Adapter& adapter) { return adapter.index == route.interfaceIndex; })) {
        continue;
      }
      const std::string text = RouteText(route.destination, route.mask);
      switch (budget_.Take(text, std::chrono::steady_clock::now())) {
        case RestoreBudget::Verdict::GivenUp:
          continue;
        case RestoreBudget::Verdict::GiveUp:
          CLOG(WARNING, loggers::kRoute) << "The route " << text << " was deleted by another program "
                                         << RestoreBudget::kLimit << " times within a minute: it is no longer restored";
          continue;
        case RestoreBudget::Verdict::Restore:
          break;
      }
      const platform::Error error =
          host->AddRoute(route.destination, route.mask, route.gateway, route.interfaceIndex, route.metric);
      if (error.Failed() && !platform::IsAlreadyExists(error)) {
        CLOG(WARNING, loggers::kRoute) << "Cannot restore the route " << text << ": " << ErrorReason(error);
      } else if (error.Succeeded()) {
        CLOG(INFO, loggers::kRoute) << "Restored the route " << text << " another program deleted";
      }
    }
  }

  RouteLedger& ledger_;
  platform::RouteDeletionWatch watch_;
  RestoreBudget budget_;
  std::thread worker_;
};

std::string FormatLedgerLine(const LedgerRoute& route) {
  return FormatDotted(route.destination) + " " + FormatDotted(route.mask) + " " + FormatDotted(route.gateway) + " " +
         std::to_string(route.interfaceIndex) + " " + std::to_string(route.metric) + " " +
         std::to_string(route.tunnel) + " " + route.owner;
}

bool ParseLedgerLine(const std::string& line, LedgerRoute* route) {
  std::istringstream in(line);
  std::string destination, mask, gateway;
  LedgerRoute parsed;
  if (!(in >> destination >> mask >> gateway >> parsed.interfaceIndex >> parsed.metric >> parsed.tunnel)) return false;
  if (!ParseDottedQuad(destination, &parsed.destination) || !ParseDottedQuad(mask, &parsed.mask) ||
      !ParseDottedQuad(gateway, &parsed.gateway)) {
    return false;
  }
  std::getline(in >> std::ws, parsed.owner);
  *route = parsed;
  return true;
}

std::vector<LedgerRoute> ReadLedgerFile(const std::string& path) {
  std::vector<LedgerRoute> routes;
  std::ifstream in(std::filesystem::u8path(path));
  for (std::string line; std::getline(in, line);) {
    LedgerRoute route;
    if (ParseLedgerLine(line, &route)) routes.push_back(route);
  }
  return routes;
}

bool IsRecordedEntry(const platform::Route& entry, const LedgerRoute& route, bool hostMarks) {
  return entry.mainTable && (entry.owned || !hostMarks) && entry.destination == route.destination &&
         entry.mask == route.mask && entry.gateway == route.gateway && entry.interfaceIndex == route.interfaceIndex &&
         entry.metric == route.metric;
}

std::vector<platform::Route> LeftoverEntries(const std::vector<platform::Route>& table,
                                             const std::vector<LedgerRoute>& recorded, bool hostMarks) {
  std::vector<platform::Route> leftovers;
  for (const platform::Route& entry : table) {
    if (hostMarks ? entry.mainTable && entry.owned : !PresentEntries({entry}, recorded, false).empty()) {
      leftovers.push_back(entry);
    }
  }
  return leftovers;
}

std::vector<platform::Route> PresentEntries(const std::vector<platform::Route>& table,
                                            const std::vector<LedgerRoute>& recorded, bool hostMarks) {
  std::vector<platform::Route> present;
  for (const platform::Route& entry : table) {
    if (std::any_of(recorded.begin(), recorded.end(),
                    [&](const LedgerRoute& route) { return IsRecordedEntry(entry, route, hostMarks); })) {
      present.push_back(entry);
    }
  }
  return present;
}

std::vector<LedgerRoute> MissingRoutes(const std::vector<platform::Route>& table,
                                       const std::vector<LedgerRoute>& recorded, std::uint32_t interfaceIndex,
                                       bool hostMarks) {
  std::vector<LedgerRoute> missing;
  for (LedgerRoute route : recorded) {
    route.interfaceIndex = interfaceIndex;
    if (std::none_of(table.begin(), table.end(),
                     [&](const platform::Route& entry) { return IsRecordedEntry(entry, route, hostMarks); })) {
      missing.push_back(route);
    }
  }
  return missing;
}

void RouteLedger::UseFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  path_ = path;
  SaveLocked();
}

RouteLedger::RouteLedger() = default;
RouteLedger::~RouteLedger() = default;

void RouteLedger::OpenTunnel(std::uint64_t tunnel, const std::string& owner, platform::HostNetwork* host) {
  CloseTunnel(host);
  std::unique_ptr<RouteGuard> guard;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tunnel_ = tunnel;
    owner_ = owner;
    if (path_.empty()) return;
  }
  // Started without the lock: the worker reads the ledger.
  guard = std::make_unique<RouteGuard>(*this);
  std::lock_guard<std::mutex> lock(mutex_);
  guard_ = std::move(guard);
}

std::vector<LedgerRoute> RouteLedger::TakeRoutes() {
  std::unique_ptr<RouteGuard> guard;
  std::vector<LedgerRoute> routes;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    guard = std::move(guard_);
    routes.swap(routes_);
    tunnel_ = 0;
    owner_.clear();
  }
  // The worker ends before the routes go, so it does not put them back.
  guard.reset();
  return routes;
}

void RouteLedger::CloseTunnel(platform::HostNetwork* host) {
  // Forgotten first: a route command of the ending tunnel must not find them.
  const std::vector<LedgerRoute> routes = TakeRoutes();
  if (routes.empty()) {
    std::lock_guard<std::mutex> lock(mutex_);
    SaveLocked();
    return;
  }
  HostChoice chosen(host);
  const platform::HostSnapshot snapshot = (*chosen).Snapshot(platform::HostSnapshot::kRoutes);
  const platform::Error& error = snapshot.routesError;
  if (error.Failed()) {
    CLOG(WARNING, loggers::kRoute) << "Cannot read the routes to remove the tunnel's own: " << ErrorReason(error);
  } else {
    RemoveEntries(PresentEntries(snapshot.routes, routes, platform::MarksOwnRoutes()), *chosen, "of the ended tunnel");
  }
  std::lock_guard<std::mutex> lock(mutex_);
  SaveLocked();
}

void RouteLedger::Replay(platform::HostNetwork* host) {
  const std::vector<LedgerRoute> routes = Routes();
  if (routes.empty()) return;
  HostChoice chosen(host);
  platform::HostNetwork& access = *chosen;
  const platform::HostSnapshot snapshot =
      access.Snapshot(platform::HostSnapshot::kAdapters | platform::HostSnapshot::kRoutes);
  const std::uint32_t index =
      snapshot.adaptersError.Failed()
          ? kAllOnes
          : RouteManagement::GetAdapterIdx(RouteManagement::kTunnelAdapterName, snapshot.adapters);
  const std::vector<platform::Route>& table = snapshot.routes;
  platform::Error error = snapshot.routesError;
  if (index == kAllOnes || error.Failed()) {
    CLOG(WARNING, loggers::kRoute) << "Cannot write the tunnel's routes again: "
                                   << (index == kAllOnes ? std::string("no tunnel adapter") : ErrorReason(error));
    return;
  }
  for (const LedgerRoute& route : MissingRoutes(table, routes, index, platform::MarksOwnRoutes())) {
    // Recorded on the new interface first, as every write is.
    if (!Record(route)) return;
    error = access.AddRoute(route.destination, route.mask, route.gateway, route.interfaceIndex, route.metric);
    const std::string text = RouteText(route.destination, route.mask);
    // Another writer's entry of the same key (the administrator's) already carries it.
    if (platform::IsAlreadyExists(error)) continue;
    if (error.Failed()) {
      CLOG(WARNING, loggers::kRoute) << "Cannot write the route " << text << " through the tunnel again: "
                                     << ErrorReason(error);
    } else {
      CLOG(INFO, loggers::kRoute) << "Wrote the route " << text << " through the tunnel again";
    }
  }
}

bool RouteLedger::Record(LedgerRoute route) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (tunnel_ == 0) return false;
  route.tunnel = tunnel_;
  route.owner = owner_;
  auto same = std::find_if(routes_.begin(), routes_.end(), [&](const LedgerRoute& kept) { return SamePrefix(kept, route); });
  if (same != routes_.end()) {
    *same = route;
  } else {
    routes_.push_back(route);
  }
  SaveLocked();
  return true;
}

void RouteLedger::Forget(std::uint32_t destination, std::uint32_t mask) {
  std::lock_guard<std::mutex> lock(mutex_);
  LedgerRoute prefix;
  prefix.destination = destination;
  prefix.mask = mask;
  const auto end = std::remove_if(routes_.begin(), routes_.end(),
                                  [&](const LedgerRoute& kept) { return SamePrefix(kept, prefix); });
  if (end == routes_.end()) return;
  routes_.erase(end, routes_.end());
  SaveLocked();
}

std::vector<LedgerRoute> RouteLedger::Routes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return routes_;
}

// Written aside and renamed: a crash leaves the old ledger or the new one, never half.
// No routes, no file: run/ holds only what a running tunnel needs.
void RouteLedger::SaveLocked() const {
  if (path_.empty()) return;
  const std::filesystem::path path = std::filesystem::u8path(path_);
  if (routes_.empty()) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    return;
  }
  std::filesystem::path written = path;
  written += ".new";
  {
    std::ofstream out(written, std::ios::trunc);
    for (const LedgerRoute& route : routes_) out << FormatLedgerLine(route) << "\n";
    if (!out.flush()) {
      CLOG(WARNING, loggers::kRoute) << "Cannot write the route ledger " << path_;
      return;
    }
  }
  std::error_code error;
  std::filesystem::rename(written, path, error);
  if (error) CLOG(WARNING, loggers::kRoute) << "Cannot write the route ledger " << path_ << ": " << error.message();
}

void RemoveLeftoverRoutes(const std::string& path, platform::HostNetwork* host) {
  HostChoice chosen(host);
  const platform::HostSnapshot snapshot = (*chosen).Snapshot(platform::HostSnapshot::kRoutes);
  const platform::Error& error = snapshot.routesError;
  if (error.Failed()) {
    CLOG(WARNING, loggers::kRoute) << "Cannot read the routes a previous instance left: " << ErrorReason(error);
    return;
  }
  RemoveEntries(LeftoverEntries(snapshot.routes, ReadLedgerFile(path), platform::MarksOwnRoutes()), *chosen,
                "a previous instance left");
}

}  // namespace vortan
