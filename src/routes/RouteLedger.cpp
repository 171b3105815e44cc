#include "routes/RouteLedger.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "common/Ipv4.h"
#include "common/Logging.h"
#include "common/Text.h"
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
  explicit HostChoice(RouteManagement::HostAccess* host) : host_(host != nullptr ? *host : platform_) {}
  RouteManagement::HostAccess& operator*() { return host_; }

 private:
  RouteManagement::HostAccess platform_;
  RouteManagement::HostAccess& host_;
};

std::string ErrorReason(const platform::Error& error) {
  return std::string(error.Step()) + " : code " + std::to_string(error.Code());
}

void RemoveEntries(const std::vector<platform::Route>& entries, RouteManagement::HostAccess& host,
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

RouteLedger& RouteLedger::Shared() {
  static RouteLedger ledger;
  return ledger;
}

void RouteLedger::UseFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  path_ = path;
  SaveLocked();
}

void RouteLedger::OpenTunnel(std::uint64_t tunnel, const std::string& owner, RouteManagement::HostAccess* host) {
  CloseTunnel(host);
  std::lock_guard<std::mutex> lock(mutex_);
  tunnel_ = tunnel;
  owner_ = owner;
}

std::vector<LedgerRoute> RouteLedger::TakeRoutes() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<LedgerRoute> routes;
  routes.swap(routes_);
  tunnel_ = 0;
  owner_.clear();
  return routes;
}

void RouteLedger::CloseTunnel(RouteManagement::HostAccess* host) {
  // Forgotten first: a route command of the ending tunnel must not find them.
  const std::vector<LedgerRoute> routes = TakeRoutes();
  if (routes.empty()) {
    std::lock_guard<std::mutex> lock(mutex_);
    SaveLocked();
    return;
  }
  HostChoice chosen(host);
  std::vector<platform::Route> table;
  const platform::Error error = (*chosen).ListRoutes(&table);
  if (error.Failed()) {
    CLOG(WARNING, loggers::kRoute) << "Cannot read the routes to remove the tunnel's own: " << ErrorReason(error);
  } else {
    RemoveEntries(PresentEntries(table, routes, platform::MarksOwnRoutes()), *chosen, "of the ended tunnel");
  }
  std::lock_guard<std::mutex> lock(mutex_);
  SaveLocked();
}

void RouteLedger::Replay(RouteManagement::HostAccess* host) {
  const std::vector<LedgerRoute> routes = Routes();
  if (routes.empty()) return;
  HostChoice chosen(host);
  RouteManagement::HostAccess& access = *chosen;
  const std::uint32_t index = RouteManagement::GetAdapterIdx(RouteManagement::kTunnelAdapterName, access);
  std::vector<platform::Route> table;
  platform::Error error = access.ListRoutes(&table);
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
void RouteLedger::SaveLocked() const {
  if (path_.empty()) return;
  const std::filesystem::path path = std::filesystem::u8path(path_);
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

void RemoveLeftoverRoutes(const std::string& path, RouteManagement::HostAccess* host) {
  HostChoice chosen(host);
  std::vector<platform::Route> table;
  const platform::Error error = (*chosen).ListRoutes(&table);
  if (error.Failed()) {
    CLOG(WARNING, loggers::kRoute) << "Cannot read the routes a previous instance left: " << ErrorReason(error);
    return;
  }
  RemoveEntries(LeftoverEntries(table, ReadLedgerFile(path), platform::MarksOwnRoutes()), *chosen,
                "a previous instance left");
}

}  // namespace vortan
