#include <gtest/gtest.h>

#include <functional>
#include <new>

#include "common/Ipv4.h"
#include "common/Logging.h"
#include "common/Text.h"
#include "protocol/RouteReplies.h"
#include "routes/RouteLedger.h"
#include "routes/RouteManagement.h"
#include "TestCommon.h"

namespace vortan {
namespace {

using platform::ErrorKind;

// A platform failure with the given native code.
platform::Error Failure(ErrorKind kind, int code) { return platform::Error(kind, code, "test step"); }

std::uint32_t Ip(const char* text) {
  std::uint32_t value = 0;
  EXPECT_TRUE(ParseDottedQuad(text, &value)) << text;
  return value;
}

constexpr std::uint32_t kTapIndex = 7;
constexpr std::uint32_t kLanIndex = 2;

platform::Adapter MakeAdapter(std::uint32_t index, const std::string& name, const char* address, const char* mask) {
  platform::Adapter adapter;
  adapter.index = index;
  adapter.name = name;
  adapter.friendlyNames = {name};
  adapter.addresses.push_back({Ip(address), Ip(mask)});
  adapter.status = platform::OperStatus::Operational;
  return adapter;
}

platform::Route MakeRoute(const char* destination, const char* mask, std::uint32_t index, std::uint32_t metric,
                          const char* gateway = "0.0.0.0") {
  platform::Route route;
  route.destination = Ip(destination);
  route.mask = Ip(mask);
  route.gateway = Ip(gateway);
  route.interfaceIndex = index;
  route.metric = metric;
  return route;
}

platform::Route Broadcast(std::uint32_t index, std::uint32_t metric) {
  return MakeRoute("255.255.255.255", "255.255.255.255", index, metric);
}

std::string RouteText(const platform::Route& route) {
  return FormatDotted(route.destination) + "/" + FormatDotted(route.mask) + " dev " +
         std::to_string(route.interfaceIndex) + " metric " + std::to_string(route.metric);
}

// A host with a tunnel adapter 10.8.0.2/24 and a LAN 192.168.1.10/24 and no interface
// metrics; every read returns snapshot, every write is written down in writes.
class FakeHost : public platform::HostNetwork {
 public:
  platform::HostSnapshot snapshot;
  bool outOfMemory = false;
  platform::Route bestRoute = MakeRoute("10.8.0.0", "255.255.255.0", kTapIndex, 42);
  platform::Error bestRouteError, addRouteError, deleteRouteError, changeMetricError, flushResult;
  bool ownBroadcastRoutes = false;  // true: every interface has a broadcast route of its own
  bool followWrites = false;        // true: the broadcast writes show in the table
  int reads = 0;
  std::string writes;

  FakeHost() {
    snapshot.adapters = {MakeAdapter(kLanIndex, "eth0", "192.168.1.10", "255.255.255.0"),
                         MakeAdapter(kTapIndex, "Vortan-Dashlet", "10.8.0.2", "255.255.255.0")};
  }
  void Write(const std::string& what) { writes += (writes.empty() ? "" : "; ") + what; }

  platform::HostSnapshot Snapshot(unsigned) override {
    ++reads;
    if (outOfMemory) throw std::bad_alloc();
    return snapshot;
  }
  platform::Error BestRoute(std::uint32_t address, platform::Route* route) override {
    Write("best " + FormatDotted(address));
    *route = bestRoute;
    return bestRouteError;
  }
  platform::Error AddRoute(std::uint32_t destination, std::uint32_t mask, std::uint32_t gateway, std::uint32_t index,
                           std::uint32_t metric) override {
    platform::Route added = MakeRoute("0.0.0.0", "0.0.0.0", index, metric);
    added.destination = destination;
    added.mask = mask;
    Write("add " + RouteText(added) + " via " + FormatDotted(gateway));
    if (followWrites) snapshot.routes.push_back(added);
    return addRouteError;
  }
  platform::Error DeleteRoute(const platform::Route& route) override {
    Write("del " + RouteText(route));
    return deleteRouteError;
  }
  platform::Error ChangeRouteMetric(const platform::Route& route, std::uint32_t metric) override {
    Write("change " + RouteText(route) + " to " + std::to_string(metric));
    for (platform::Route& row : snapshot.routes) {
      if (followWrites && row.interfaceIndex == route.interfaceIndex && row.metric == route.metric) row.metric = metric;
    }
    return changeMetricError;
  }
  platform::Error FlushNeighbours(std::uint32_t index) override {
    Write("flush " + std::to_string(index));
    return flushResult;
  }
  bool KeepsBroadcastRoutePerInterface() const override { return ownBroadcastRoutes; }
};

// Requests (separated by "|") on one host: their replies (joined the same way) and what
// they wrote.
struct CommandCase {
  const char* name;
  std::function<void(FakeHost&)> setUp;
  std::string requests;
  std::string replies;
  std::string writes;
};

const std::string kAdded = "SUCCESS | RT1 | Brix LAN devices network added. (code 1)";
const std::string kNotImplemented = "ERROR | 1 | NOT IMPLEMENTED (code 1)";
const std::string kArgumentCount = "ERROR | 2 | Invalid number of argument (code 2)";
const std::string kInvalid = "ERROR | RT8 | Invalid Route address (code 8)";
const std::string kExists = "ERROR | RT10 | Cannot add route : Error [ 17 ] (code 10)";
const std::string kAdd = "route add 10.9.0.0 255.255.0.0 10.8.0.1 1";
const std::string kBroadcastCount = "ERROR | 18 | Broadcast route: Invalid number of argument (code 18)";
const std::string kNoTunnel =
    "ERROR | 14 | failed to query route to Brix -> Can't update metic to route broadcast to Brix's LAN.</br> (code 14)";
const std::string kOn = "route broadcast on 10.8.0.1";
const std::string kOff = "route broadcast off 10.8.0.1";
const std::string kTunnelRow = "255.255.255.255/255.255.255.255 dev 7 metric 281";
const std::string kTunnelRows = "del " + kTunnelRow + "; del 255.255.255.255/255.255.255.255 dev 7 metric 500";
const std::string kFlushed = "SUCCESS | RT1 | post connect arp cleanup done (code 1)";

using SetUp = std::function<void(FakeHost&)>;

void Nothing(FakeHost&) {}
// The tunnel's interface metric as the host reads it.
SetUp TunnelMetric(std::uint32_t metric, platform::Error error = {}) {
  return [metric, error](FakeHost& host) { host.snapshot.interfaceMetrics = {{kTapIndex, metric, error}}; };
}
// An exclusive add that fails with "exists" on a host with this table.
SetUp Exists(std::vector<platform::Route> table, platform::Error listError = {}) {
  return [table, listError](FakeHost& host) {
    host.addRouteError = Failure(ErrorKind::AlreadyExists, 17);
    host.snapshot.routes = table;
    host.snapshot.routesError = listError;
  };
}
// The first rows of a table with the LAN's broadcast route at 20 and two of the
// tunnel's, at 281 and 500; then more.
SetUp Rows(std::size_t rows, SetUp more = Nothing) {
  return [rows, more](FakeHost& host) {
    host.snapshot.routes = {MakeRoute("192.168.1.0", "255.255.255.0", kLanIndex, 0), Broadcast(kLanIndex, 20),
                            Broadcast(kTapIndex, 281), Broadcast(kTapIndex, 500)};
    host.snapshot.routes.resize(rows);
    more(host);
  };
}
const SetUp kBroadcastTable = Rows(4);
// The route the host uses for the address asked for, then more.
SetUp Best(platform::Route route, SetUp more = Nothing) {
  return [route, more](FakeHost& host) {
    host.bestRoute = route;
    more(host);
  };
}
SetUp AddFails(ErrorKind kind, int code) {
  return [kind, code](FakeHost& host) { host.addRouteError = Failure(kind, code); };
}
void NoBestRoute(FakeHost& host) { host.bestRouteError = Failure(ErrorKind::Other, 101); }
void FollowWrites(FakeHost& host) { host.followWrites = true; }
void OwnBroadcastRoutes(FakeHost& host) { host.ownBroadcastRoutes = true; }
void NoTunnelAdapter(FakeHost& host) { host.snapshot.adapters.pop_back(); }

// What an add through the tunnel's gateway looks up and writes for destination/mask.
std::string Wrote(const std::string& network) {
  return "best 10.8.0.1; add " + network + " dev 7 metric 42 via 10.8.0.1";
}
const std::string kLookedUpAndWritten = Wrote("10.9.0.0/255.255.0.0");
std::string AddedBroadcast(int metric) {
  return "add 255.255.255.255/255.255.255.255 dev 7 metric " + std::to_string(metric) + " via 0.0.0.0";
}

const platform::Route kAsked = MakeRoute("10.9.0.0", "255.255.0.0", kTapIndex, 42, "10.8.0.1");
const platform::Route kTunnelRoute = MakeRoute("10.9.0.0", "255.255.0.0", kTapIndex, 5);
const platform::Route kTunnelNet8 = MakeRoute("10.0.0.0", "255.0.0.0", kTapIndex, 5);
const std::string kRefused = "ERROR | 6 | Cannot delete route : Error [ " +
                             std::to_string(platform::NotPermitted("route del").Code()) + " ] (code 6)";
const std::string kDenied = "ERROR | RT9 | Cannot add route : Access denied (code 9)";
const std::string kNoParams = "ERROR | RT10 | could not allocate memory for GetNetworkParams call (code 10)";
const std::string kDel = "route del 10.9.1.2";
const std::string kDeleted = "best 10.9.1.2; del 10.9.0.0/255.255.0.0 dev 7 metric 5";
const std::string kOnFourTimes = kOn + "|" + kOn + "|" + kOn + "|" + kOn;
const std::string kTo19 = "change " + kTunnelRow + " to 19";

const CommandCase kCommandCases[] = {
    {"unknown sub-command", nullptr, "route", kNotImplemented, ""},
    {"unknown sub-command", nullptr, "route flush", kNotImplemented, ""},
    {"words are case-sensitive", nullptr, "route Add 1 2 3 4", kNotImplemented, ""},
    {"no blank after route", nullptr, "routeadd", kNotImplemented, ""},
    {"two blanks after route", nullptr, "route  add 1 2 3 4", kNotImplemented, ""},
    {"add alone", nullptr, "route add", kArgumentCount, ""},
    {"three arguments", nullptr, "route add 10.9.0.0 255.255.0.0 10.8.0.1", kArgumentCount, ""},
    {"five arguments", nullptr, "route add 10.9.0.0 255.255.0.0 10.8.0.1 5 6", kArgumentCount, ""},
    {"leading space: empty first token", nullptr, "route add  10.9.0.0 255.255.0.0 10.8.0.1 5",
     kArgumentCount, ""},
    {"runs of spaces separate once, trailing ones none", nullptr,
     "route add 10.9.0.0   255.255.0.0 10.8.0.1  5   ", kAdded, kLookedUpAndWritten},
    {"gateway part above 255", nullptr, "route add 10.9.0.0 255.255.0.0 10.0.0.256 1", kInvalid, ""},
    {"destination of three parts", nullptr, "route add 10.9.0 255.255.0.0 10.8.0.1 1", kInvalid, ""},
    {"mask no address", nullptr, "route add 10.9.0.0 mask 10.8.0.1 1", kInvalid, ""},
    {"gateway of three parts", nullptr, "route add 10.9.0.0 255.255.0.0 10.8.1 1", kInvalid, ""},
    // Reserved blocks: never a network behind the tunnel.
    {"this network", nullptr, "route add 0.0.0.0 0.0.0.0 10.8.0.1 1", kInvalid, ""},
    {"loopback", nullptr, "route add 127.0.0.53 255.255.255.255 10.8.0.1 1", kInvalid, ""},
    {"metadata", nullptr, "route add 169.254.169.254 255.255.255.255 10.8.0.1 1", kInvalid, ""},
    {"reserved", nullptr, "route add 240.0.0.0 240.0.0.0 10.8.0.1 1", kInvalid, ""},
    {"limited broadcast", nullptr, "route add 255.255.255.255 255.255.255.255 10.8.0.1 1", kInvalid, ""},
    // Multicast and the neighbours of the reserved blocks stay as they were.
    {"multicast", nullptr, "route add 224.0.0.0 240.0.0.0 10.8.0.1 1", kAdded, Wrote("224.0.0.0/240.0.0.0")},
    {"next to this network", nullptr, "route add 1.0.0.0 255.0.0.0 10.8.0.1 1", kAdded,
     Wrote("1.0.0.0/255.0.0.0")},
    {"next to link-local", nullptr, "route add 169.253.0.0 255.255.0.0 10.8.0.1 1", kAdded,
     Wrote("169.253.0.0/255.255.0.0")},
    // The metric follows the tunnel, not the request's 99.
    {"metric of the route to the gateway", nullptr, "route add 10.9.0.0 255.255.0.0 10.8.0.1 99", kAdded,
     kLookedUpAndWritten},
    {"route to the gateway unknown", NoBestRoute, kAdd, kAdded,
     "best 10.8.0.1; add 10.9.0.0/255.255.0.0 dev 7 metric 4294967295 via 10.8.0.1"},
    {"interface metric unreadable", TunnelMetric(25, Failure(ErrorKind::NotFound, 1168)), kAdd, kAdded,
     "add 10.9.0.0/255.255.0.0 dev 7 metric 4294967295 via 10.8.0.1"},
    {"the tunnel's interface metric", TunnelMetric(25), kAdd, kAdded,
     "add 10.9.0.0/255.255.0.0 dev 7 metric 25 via 10.8.0.1"},
    {"adapters unreadable", [](FakeHost& h) { h.snapshot.adaptersError = Failure(ErrorKind::Other, 5); },
     kAdd, "ERROR | RT10 | could not allocate memory for GetAdaptersInfo call (code 10)", ""},
    {"DNS servers unreadable come first",
     [](FakeHost& h) { h.snapshot.adaptersError = h.snapshot.dnsError = Failure(ErrorKind::Other, 5); }, kAdd,
     kNoParams, ""},
    {"no memory to read the host", [](FakeHost& h) { h.outOfMemory = true; }, kAdd, kNoParams, ""},
    {"no tunnel adapter", NoTunnelAdapter, kAdd,
     "ERROR | RT7 | failed to get Tap interface -> Can't create route to Brix's LAN. </br> (code 7)", ""},
    {"conflict refused unwritten", [](FakeHost& h) { h.snapshot.dnsServers = {Ip("10.9.0.53")}; }, kAdd,
     "ERROR | RT5 | Unable to add Brix LAN device(s) network.<BR / >the Brix's LAN (10.9.0.0/255.255.0.0) "
     "is in conflict with registered DNS address on this computer (10.9.0.53). (code 5)", ""},
    {"access denied", AddFails(ErrorKind::AccessDenied, 13), kAdd, kDenied, kLookedUpAndWritten},
    {"access denied, other code", AddFails(ErrorKind::AccessDenied, 1), kAdd, kDenied, kLookedUpAndWritten},
    {"other error", AddFails(ErrorKind::Other, 101), kAdd,
     "ERROR | RT10 | Cannot add route : Error [ 101 ] (code 10)", kLookedUpAndWritten},
    {"invalid", AddFails(ErrorKind::Invalid, 22), kAdd,
     "ERROR | RT10 | Cannot add route : Error [ 22 ] (code 10)", kLookedUpAndWritten},
    // An exclusive add fails with "exists" for any route of the same prefix and metric:
    // only the very route asked for (gateway and device included) counts as added.
    {"exists: same route", Exists({kAsked}), kAdd, kAdded, kLookedUpAndWritten},
    {"exists: other gateway", Exists({MakeRoute("10.9.0.0", "255.255.0.0", kTapIndex, 42, "10.8.0.9")}), kAdd,
     kExists, kLookedUpAndWritten},
    {"exists: other device", Exists({MakeRoute("10.9.0.0", "255.255.0.0", kLanIndex, 42, "10.8.0.1")}), kAdd,
     kExists, kLookedUpAndWritten},
    {"exists: the host uses another route of that metric first",
     Exists({MakeRoute("10.9.0.0", "255.255.0.0", kLanIndex, 42, "192.168.1.1"), kAsked}), kAdd, kExists,
     kLookedUpAndWritten},
    {"exists: same route at another metric only",
     Exists({MakeRoute("10.9.0.0", "255.255.0.0", kTapIndex, 7, "10.8.0.1")}), kAdd, kExists,
     kLookedUpAndWritten},
    {"exists: table unreadable", Exists({kAsked}, Failure(ErrorKind::Other, 5)), kAdd, kExists,
     kLookedUpAndWritten},
    // The client deletes only routes it can have added: main-table routes on the tunnel.
    {"del: a LAN route", Best(MakeRoute("192.168.1.0", "255.255.255.0", kLanIndex, 0)), kDel, kRefused,
     "best 10.9.1.2"},
    {"del: another table", Best(kTunnelRoute, [](FakeHost& h) { h.bestRoute.mainTable = false; }), kDel,
     kRefused, "best 10.9.1.2"},
    {"del: no tunnel adapter", Best(kTunnelRoute, NoTunnelAdapter), kDel, kRefused, "best 10.9.1.2"},
    {"del: argument two characters after the word", Best(kTunnelRoute), "route delX10.9.1.2", "OK", kDeleted},
    {"del: argument \"te 10.9.1.2\"", Best(kTunnelRoute), "route delete 10.9.1.2", "ERROR", ""},
    {"del: never the default route", Best(MakeRoute("0.0.0.0", "0.0.0.0", kLanIndex, 0)), "route del 8.8.8.8",
     "ERROR", "best 8.8.8.8"},
    {"del: 0.0.0.0", nullptr, "route del 0.0.0.0", "ERROR", ""},
    {"del: no address", nullptr, "route del", "ERROR", ""},
    {"del: a name", nullptr, "route del somewhere", "ERROR", ""},
    {"del: part above 255", nullptr, "route del 10.0.0.300", "ERROR", ""},
    {"del: historical short form", Best(kTunnelNet8), "route del 10.1", "OK",
     "best 10.0.0.1; del 10.0.0.0/255.0.0.0 dev 7 metric 5"},
    {"del: the literal all-ones address", Best(kTunnelNet8), "route del 255.255.255.255", "OK",
     "best 255.255.255.255; del 10.0.0.0/255.0.0.0 dev 7 metric 5"},
    {"del: no route found", NoBestRoute, kDel,
     "ERROR | 6 | Cannot find route to delete : Error [ 101 ] (code 6)", "best 10.9.1.2"},
    {"del: deletion refused",
     Best(kTunnelRoute, [](FakeHost& h) { h.deleteRouteError = Failure(ErrorKind::NotFound, 3); }), kDel,
     "ERROR | 6 | Cannot delete route : Error [ 3 ] (code 6)", kDeleted},
    {"broadcast alone", kBroadcastTable, "route broadcast", kBroadcastCount, ""},
    {"broadcast one argument", kBroadcastTable, "route broadcast on", kBroadcastCount, ""},
    {"broadcast three arguments", kBroadcastTable, "route broadcast on 10.8.0.1 x", kBroadcastCount, ""},
    {"broadcast leading space", kBroadcastTable, "route broadcast  on 10.8.0.1", kBroadcastCount, ""},
    {"on: the tunnel's first row one below the lowest", kBroadcastTable, kOn, "OK", kTo19},
    // The table follows the writes: a repeated request finds the tunnel's row already
    // the lowest and writes nothing.
    {"on: once whatever the repeats", Rows(4, FollowWrites), kOnFourTimes, "OK|OK|OK|OK", kTo19},
    {"on: once without a row", Rows(1, FollowWrites), kOnFourTimes, "OK|OK|OK|OK", AddedBroadcast(255)},
    {"on: a metric already below the target stays",
     Rows(4, [](FakeHost& h) { h.snapshot.routes[2].metric = 10; }), "route broadcast online 10.8.0.1|" + kOn,
     "OK|OK", ""},
    // Every broadcast row counts for the lowest metric, but only the tunnel's first row
    // is written: 0 + 8 - 1 = 7.
    {"on: the lowest of every row",
     Rows(4,
          [](FakeHost& h) {
            h.snapshot.routes[1].metric = 30;
            h.snapshot.routes[2].metric = 9;
            h.snapshot.routes[3].metric = 8;
          }),
     kOn, "OK", "change 255.255.255.255/255.255.255.255 dev 7 metric 9 to 7"},
    // The default metric (interface metric + 256) is no broadcast route on the tunnel at
    // all: any of them would still win over the default route.
    {"reset removes every broadcast route of the tunnel", kBroadcastTable, "route broadcast o 10.8.0.1", "OK",
     kTunnelRows},
    {"write failures are only logged: change",
     Rows(4, [](FakeHost& h) { h.changeMetricError = Failure(ErrorKind::Invalid, 22); }), kOn, "OK", kTo19},
    {"write failures are only logged: delete",
     Rows(4, [](FakeHost& h) { h.deleteRouteError = Failure(ErrorKind::AccessDenied, 1); }), kOff, "OK",
     kTunnelRows},
    {"write failures are only logged: add", Rows(2, AddFails(ErrorKind::AlreadyExists, 17)), kOn, "OK",
     AddedBroadcast(19)},
    // Without a broadcast route of its own the tunnel's row is at the default metric
    // 256: "on" writes one below the lowest row (its own default included).
    {"without a tunnel row on adds one", Rows(2), kOn, "OK", AddedBroadcast(19)},
    {"without any row on adds one below the default", Rows(0), kOn, "OK", AddedBroadcast(255)},
    {"without any row reset writes nothing", Rows(0), kOff, "OK", ""},
    {"the interface metric raises the target", Rows(4, TunnelMetric(5)), kOn, "OK",
     "change " + kTunnelRow + " to 24"},
    {"interface metric unreadable", Rows(4, TunnelMetric(5, Failure(ErrorKind::NotFound, 1168))), kOn,
     "ERROR | 19 | failed to query interfaceInfo -> Can't update metic to route broadcast to Brix's "
     "LAN.1168</br> (code 19)", ""},
    // Where every interface has its own broadcast route, both modes only change the
    // tunnel's route's metric, and without one nothing is written.
    {"own broadcast routes: only the metric changes", Rows(4, OwnBroadcastRoutes), kOff + "|" + kOn, "OK|OK",
     "change " + kTunnelRow + " to 256; " + kTo19},
    {"own broadcast routes: none on the tunnel", Rows(2, OwnBroadcastRoutes), kOff + "|" + kOn, "OK|OK", ""},
    {"device outside the tunnel", kBroadcastTable, "route broadcast on 192.168.1.1", kNoTunnel, ""},
    {"device 0.0.0.0", kBroadcastTable, "route broadcast on 0.0.0.0", kNoTunnel, ""},
    {"broadcast without tunnel adapter", Rows(4, NoTunnelAdapter), kOn, kNoTunnel, ""},
    {"routing table unreadable",
     Rows(4, [](FakeHost& h) { h.snapshot.routesError = Failure(ErrorKind::Other, 5); }), kOn,
     "ERROR | 16 | getIpForwardTable failed. (code 16)", ""},
    {"no memory for the routing table", [](FakeHost& h) { h.outOfMemory = true; }, kOn,
     "ERROR | 15 | Unable to allocate memory for the IPFORWARDTALE (code 15)", ""},
    {"postconnect flushes the tunnel", nullptr, "route postconnect", kFlushed, "flush 7"},
    {"postconnect always succeeds",
     [](FakeHost& h) {
       h.flushResult = Failure(ErrorKind::NotFound, 19);
       h.snapshot.adapters.pop_back();
     },
     "route postconnect", kFlushed, "flush 4294967295"},
};

class RouteCommands : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { registerLoggers(); }
  std::string Ask(const std::string& request) {
    return test::Untimed(RouteReply(RouteManagement::Dispatch(request, host, ledger)));
  }
  FakeHost host;
  RouteLedger ledger;
};

// Each command reads the host at most once, and decides on that copy.
TEST_F(RouteCommands, EveryCaseRepliesAndWritesAsItsRowSays) {
  for (const CommandCase& c : kCommandCases) {
    FakeHost fresh;
    if (c.setUp) c.setUp(fresh);
    std::string replies;
    int requests = 0;
    for (const std::string& request : SplitFields(c.requests, "|")) {
      const std::string reply = test::Untimed(RouteReply(RouteManagement::Dispatch(request, fresh, ledger)));
      replies += (requests++ == 0 ? "" : "|") + reply;
    }
    EXPECT_EQ(replies, c.replies) << c.name;
    EXPECT_EQ(fresh.writes, c.writes) << c.name;
    EXPECT_LE(fresh.reads, requests) << c.name;
  }
}

TEST(RouteBroadcastMode, OnlyTokensBeginningWithOnSelectOnMode) {
  struct {
    const char* token;
    bool on;
  } cases[] = {{"on", true}, {"online", true}, {"onX", true}, {"o", false}, {"", false},
               {"off", false}, {"On", false}, {"no", false}, {"reset", false}};
  for (const auto& c : cases) EXPECT_EQ(RouteManagement::IsBroadcastOnMode(c.token), c.on) << c.token;
}

TEST(RouteBroadcastMetric, ArithmeticWrapsAroundAndOnModeOnlyLowers) {
  using RouteManagement::BroadcastTargetMetric;
  struct {
    bool on;
    std::uint32_t interfaceMetric, lowest, current;
    std::optional<std::uint32_t> expected;
    bool hasRow = true;
  } cases[] = {
      {true, 25, 276, 281, std::nullopt},         // 300 is not below 281
      {true, 5, 20, 281, 24u},                    // 5 + 20 - 1
      {true, 5, 20, 24, std::nullopt},            // repeated request: already there
      {false, 5, 20, 24, 261u},                   // reset: whatever the route had
      {false, 5, 20, 261, 261u},                  // reset writes unconditionally
      {true, 0, 0, 10, std::nullopt},             // 0 + 0 - 1 wraps to all ones
      {true, 5, 0xFFFFFFFFu, 10, 3u, false},      // 5 + all ones - 1 wraps to 3
      {false, 0xFFFFFFF0u, 0, 10, 0xF0u},         // reset wraps as well
      {true, 0, 1, 1, 0u, false},                 // no row yet: one below the default
      {true, 0, 10, 10, std::nullopt},            // already the lowest row
      {true, 0, 256, 256, 255u, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BroadcastTargetMetric(c.on, c.interfaceMetric, c.lowest, c.current, c.hasRow), c.expected)
        << c.on << " " << c.interfaceMetric << " " << c.lowest << " " << c.current;
  }
}

TEST_F(RouteCommands, FindTunnelInterfaceTestsRangeOverlap) {
  using RouteManagement::FindTunnelInterface;
  const std::vector<platform::Adapter>& adapters = host.snapshot.adapters;
  EXPECT_EQ(FindTunnelInterface("Vortan-Dashlet", Ip("10.8.0.200"), kAllOnes, adapters), kTapIndex);
  EXPECT_EQ(FindTunnelInterface("Vortan-Dashlet", Ip("10.0.0.0"), Ip("255.0.0.0"), adapters), kTapIndex);
  EXPECT_EQ(FindTunnelInterface("Vortan-Dashlet", Ip("10.8.1.0"), Ip("255.255.255.0"), adapters), kAllOnes);
  EXPECT_EQ(FindTunnelInterface("Vortan-Dashlet", Ip("10.8.0.1"), 0, adapters), kAllOnes);
  EXPECT_EQ(FindTunnelInterface("eth0", Ip("192.168.1.1"), kAllOnes, adapters), kLanIndex);
  EXPECT_EQ(RouteManagement::GetAdapterIdx("VORTAN-DASHLET", adapters), kAllOnes);
}

platform::Route Owned(platform::Route route, bool owned = true) {
  route.owned = owned;
  return route;
}

TEST(RouteLedgerDecisions, OnlyAnExactEntryOfTheServiceIsItsOwn) {
  const LedgerRoute recorded{Ip("10.9.0.0"), Ip("255.255.0.0"), Ip("10.8.0.1"), kTapIndex, 42, 3, "alice"};
  platform::Route otherTable = Owned(kAsked);
  otherTable.mainTable = false;
  struct Row {
    platform::Route entry;
    bool hostMarks;
    bool own;
  } rows[] = {
      {Owned(kAsked), true, true},
      {Owned(kAsked, false), true, false},  // the administrator's, same fields
      {Owned(kAsked, false), false, true},  // a host without marks: the ledger decides
      {Owned(MakeRoute("10.9.0.0", "255.255.0.0", kTapIndex, 42, "10.8.0.9")), true, false},
      {Owned(MakeRoute("10.9.0.0", "255.255.0.0", kTapIndex, 43)), false, false},
      {Owned(MakeRoute("10.9.0.0", "255.255.255.0", kTapIndex, 42, "10.8.0.1")), true, false},
      {Owned(MakeRoute("10.9.0.0", "255.255.0.0", kLanIndex, 42, "10.8.0.1")), true, false},
      {otherTable, true, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(IsRecordedEntry(row.entry, recorded, row.hostMarks), row.own) << &row - rows;
    EXPECT_EQ(LeftoverEntries({row.entry}, {recorded}, row.hostMarks).size(),
              row.hostMarks ? std::size_t(row.entry.owned && row.entry.mainTable) : std::size_t(row.own));
  }
  LedgerRoute parsed;
  ASSERT_TRUE(ParseLedgerLine(FormatLedgerLine(recorded), &parsed));
  EXPECT_EQ(FormatLedgerLine(parsed), "10.9.0.0 255.255.0.0 10.8.0.1 7 42 3 alice");
  EXPECT_FALSE(ParseLedgerLine("10.9.0.0 255.255.0.0 x 7 42 3 alice", &parsed));
}

TEST(RouteLedgerDecisions, ARouteIsRestoredFiveTimesAMinuteThenNeverAgain) {
  RestoreBudget budget;
  const auto start = std::chrono::steady_clock::now();
  using Verdict = RestoreBudget::Verdict;
  for (int i = 0; i < 5; ++i) EXPECT_EQ(budget.Take("a", start + std::chrono::seconds(i)), Verdict::Restore);
  EXPECT_EQ(budget.Take("b", start), Verdict::Restore);  // counted per route
  EXPECT_EQ(budget.Take("b", start + std::chrono::seconds(200)), Verdict::Restore);
  for (int i = 0; i < 4; ++i) budget.Take("b", start + std::chrono::seconds(201));
  EXPECT_EQ(budget.Take("b", start + std::chrono::seconds(259)), Verdict::GiveUp);
  EXPECT_EQ(budget.Take("a", start + std::chrono::seconds(60)), Verdict::Restore);  // the first left the window
  EXPECT_EQ(budget.Take("a", start + std::chrono::seconds(60)), Verdict::GiveUp);
  EXPECT_EQ(budget.Take("a", start + std::chrono::hours(2)), Verdict::GivenUp);
}

class RouteLedgerLife : public RouteCommands {
 protected:
  void SetUp() override { ledger.OpenTunnel(5, "alice", &host); }
  void TearDown() override { ledger.CloseTunnel(&host); }
  platform::Route Written(std::uint32_t index) {
    return Owned(MakeRoute("10.9.0.0", "255.255.0.0", index, 42, "10.8.0.1"), platform::MarksOwnRoutes());
  }
};

TEST_F(RouteLedgerLife, WrittenRoutesAreRecordedReplayedOnTheNewDeviceAndRemovedAtTheEnd) {
  host.addRouteError = Failure(ErrorKind::Other, 22);
  Ask("route add 10.7.0.0 255.255.0.0 10.8.0.1 1");
  EXPECT_TRUE(ledger.Routes().empty());  // a failed write leaves no record
  host.addRouteError = platform::Error();
  Ask(kAdd);
  ASSERT_EQ(ledger.Routes().size(), 1u);
  EXPECT_EQ(ledger.Routes()[0].owner, "alice");

  // OpenVPN's restart: the device comes back with another index and without the route.
  host.snapshot.adapters[1].index = 9;
  host.writes.clear();
  host.snapshot.routes = {Owned(Written(9), false)};
  host.snapshot.routes[0].metric = 7;  // the administrator's, on the same prefix
  ledger.Replay(&host);
  EXPECT_EQ(host.writes, "add 10.9.0.0/255.255.0.0 dev 9 metric 42 via 10.8.0.1");
  ledger.Replay(&host);  // the fake table does not follow the write
  EXPECT_EQ(host.writes, "add 10.9.0.0/255.255.0.0 dev 9 metric 42 via 10.8.0.1; "
                         "add 10.9.0.0/255.255.0.0 dev 9 metric 42 via 10.8.0.1");

  host.snapshot.routes.push_back(Written(9));
  host.writes.clear();
  ledger.CloseTunnel(&host);
  EXPECT_EQ(host.writes, "del 10.9.0.0/255.255.0.0 dev 9 metric 42");
  EXPECT_TRUE(ledger.Routes().empty());
}

TEST_F(RouteLedgerLife, DeletedRoutesAreForgottenAndNoTunnelRecordsNothing) {
  Ask(kAdd);
  host.bestRoute = Written(kTapIndex);
  EXPECT_EQ(Ask("route del 10.9.1.1"), "OK");
  EXPECT_TRUE(ledger.Routes().empty());
  ledger.CloseTunnel(&host);
  Ask(kAdd);
  EXPECT_TRUE(ledger.Routes().empty());
}

}  // namespace
}  // namespace vortan
