#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/HostNetwork.h"

namespace vortan {

// One route the service wrote for a tunnel, as it wrote it (addresses in network order).
struct LedgerRoute {
  std::uint32_t destination = 0;
  std::uint32_t mask = 0;
  std::uint32_t gateway = 0;
  std::uint32_t interfaceIndex = 0;
  std::uint32_t metric = 0;
  std::uint64_t tunnel = 0;  // the launch of the tunnel it belongs to
  std::string owner;         // the user whose tunnel it is
};

// One line of the ledger file: "destination mask gateway interface metric tunnel owner".
std::string FormatLedgerLine(const LedgerRoute& route);
bool ParseLedgerLine(const std::string& line, LedgerRoute* route);
// The routes of the ledger file; none when it is missing.
std::vector<LedgerRoute> ReadLedgerFile(const std::string& path);

// Whether the table's entry is exactly the recorded route and, on a host that marks the
// service's routes, carries the mark: an entry that matches only partly, or one of
// another writer with the same fields, is never the service's.
bool IsRecordedEntry(const platform::Route& entry, const LedgerRoute& route, bool hostMarks);
// The entries a start removes: on a host that marks, every marked entry (no tunnel is
// live yet); elsewhere the entries exactly as the previous instance recorded them.
std::vector<platform::Route> LeftoverEntries(const std::vector<platform::Route>& table,
                                             const std::vector<LedgerRoute>& recorded, bool hostMarks);
// The tunnel's recorded routes that are still in the table, which its end removes.
std::vector<platform::Route> PresentEntries(const std::vector<platform::Route>& table,
                                            const std::vector<LedgerRoute>& recorded, bool hostMarks);
// The recorded routes to write again on the tunnel's (new) interface: those not in the
// table as they would be written.
std::vector<LedgerRoute> MissingRoutes(const std::vector<platform::Route>& table,
                                       const std::vector<LedgerRoute>& recorded, std::uint32_t interfaceIndex,
                                       bool hostMarks);

// How often one route is restored after another program deleted it: at most kLimit
// times within kWindow; the next deletion gives up on it for the rest of the tunnel.
class RestoreBudget {
 public:
  static constexpr int kLimit = 5;
  static constexpr std::chrono::seconds kWindow{60};
  enum class Verdict { Restore, GiveUp, GivenUp };
  Verdict Take(const std::string& route, std::chrono::steady_clock::time_point now);

 private:
  std::map<std::string, std::deque<std::chrono::steady_clock::time_point>> restored_;
  std::map<std::string, bool> givenUp_;
};

class RouteGuard;

// The routes the service wrote for the running tunnel, kept in memory and, once the
// service names its file, in a root-only file under run/ that a later start reads to
// clean up. A route is recorded before it is written and forgotten when it is deleted.
// The service's composition root owns the one instance and hands it to the tunnel and
// the route commands. The host arguments below default to the system's.
class RouteLedger {
 public:
  RouteLedger();
  RouteLedger(const RouteLedger&) = delete;
  RouteLedger& operator=(const RouteLedger&) = delete;

  // From now on every change is written to path (a file in the root-only directory).
  void UseFile(const std::string& path);
  // A new tunnel's routes are recorded from now on; what an earlier tunnel left (one
  // whose OpenVPN ended on its own) is removed first. Once the service named its file,
  // a worker of the tunnel restores a recorded route that another program deletes
  // while the tunnel is up (within RestoreBudget).
  void OpenTunnel(std::uint64_t tunnel, const std::string& owner, platform::HostNetwork* host = nullptr);
  // The tunnel ended: its recorded routes still in the table are removed and forgotten.
  void CloseTunnel(platform::HostNetwork* host = nullptr);
  // The tunnel's device is up (again): its recorded routes are written on it anew. A
  // failure is logged at WARNING with the kernel's reason.
  void Replay(platform::HostNetwork* host = nullptr);

  ~RouteLedger();
  // Records route for the open tunnel before it is written, replacing a record of the
  // same prefix; false (nothing recorded) when no tunnel is open.
  bool Record(LedgerRoute route);
  // Forgets the record of destination/mask, if any.
  void Forget(std::uint32_t destination, std::uint32_t mask);
  std::vector<LedgerRoute> Routes() const;

 private:
  void SaveLocked() const;
  std::vector<LedgerRoute> TakeRoutes();

  mutable std::mutex mutex_;
  std::string path_;
  std::uint64_t tunnel_ = 0;  // 0: no tunnel open
  std::string owner_;
  std::vector<LedgerRoute> routes_;
  // While a tunnel is open (with a file): restores its routes another program deletes.
  std::unique_ptr<RouteGuard> guard_;
};

// At the service's start, before run/ is emptied: removes the routes a previous instance
// left (marked ones, or those its ledger file at path records where the host keeps no
// mark). Entries of other writers are never touched.
void RemoveLeftoverRoutes(const std::string& path, platform::HostNetwork* host = nullptr);

}  // namespace vortan
