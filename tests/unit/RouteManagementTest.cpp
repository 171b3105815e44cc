#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <new>

#include "common/Ipv4.h"
#include "common/Logging.h"
#include "routes/RouteLedger.h"
#include "routes/RouteManagement.h"
#include "TestCommon.h"

namespace vortan {
namespace {

using ::testing::ElementsAre;
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

platform::Route MakeRoute(const char* destination, const char* mask, std::uint32_t index, std::uint32_t metric) {
  platform::Route route;
  route.destination = Ip(destination);
  route.mask = Ip(mask);
  route.interfaceIndex = index;
  route.metric = metric;
  return route;
}

platform::Route WithGateway(platform::Route route, const char* gateway) {
  route.gateway = Ip(gateway);
  return route;
}

// The conflict analysis over a fixed host configuration.
class FixedNetworkStatus : public NetworkStatus {
 public:
  FixedNetworkStatus(std::vector<AdapterInfo> adapters, std::vector<IpAddrString> dns, bool readable)
      : adapters_(std::move(adapters)), dns_(std::move(dns)), readable_(readable) {}

 protected:
  std::unique_ptr<std::vector<AdapterInfo>> FetchAdapters() override {
    return readable_ ? std::make_unique<std::vector<AdapterInfo>>(adapters_) : nullptr;
  }
  std::unique_ptr<NetworkParams> FetchNetworkParams() override {
    return std::make_unique<NetworkParams>(NetworkParams{dns_});
  }

 private:
  std::vector<AdapterInfo> adapters_;
  std::vector<IpAddrString> dns_;
  bool readable_;
};

struct AddedRoute {
  std::uint32_t destination, mask, gateway, index, metric;
};

// A host with a tunnel adapter 10.8.0.2/24 and a LAN 192.168.1.10/24, recording what
// the commands ask of it.
class FakeHost : public RouteManagement::HostAccess {
 public:
  std::vector<platform::Adapter> adapters{MakeAdapter(kLanIndex, "eth0", "192.168.1.10", "255.255.255.0"),
                                          MakeAdapter(kTapIndex, "Vortan-Dashlet", "10.8.0.2", "255.255.255.0")};
  platform::Error listAdaptersError;
  std::optional<std::uint32_t> interfaceMetric;  // none: the host keeps no interface metric
  platform::Error interfaceMetricError;
  platform::Route bestRoute = MakeRoute("10.8.0.0", "255.255.255.0", kTapIndex, 42);
  platform::Error bestRouteError;
  platform::Error addRouteError;
  platform::Error deleteRouteError;
  std::vector<platform::Route> routes;
  platform::Error listRoutesError;
  bool ownBroadcastRoutes = false;  // true: every interface has a broadcast route of its own
  bool listRoutesOutOfMemory = false;
  platform::Error changeMetricError;
  platform::Error flushResult;
  std::vector<IpAddrString> dnsServers;
  bool analysisReadable = true;
  bool followWrites = false;  // true: added routes and metric changes show in routes

  std::vector<AddedRoute> added;
  std::vector<std::uint32_t> bestRouteQueries;
  std::vector<platform::Route> deleted;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> metricChanges;  // (destination index, metric)
  std::vector<std::uint32_t> flushed;

  platform::Error ListAdapters(std::vector<platform::Adapter>* out) override {
    *out = adapters;
    return listAdaptersError;
  }
  platform::Error InterfaceMetric(std::uint32_t, std::optional<std::uint32_t>* metric) override {
    *metric = interfaceMetric;
    return interfaceMetricError;
  }
  platform::Error BestRoute(std::uint32_t address, platform::Route* route) override {
    bestRouteQueries.push_back(address);
    *route = bestRoute;
    return bestRouteError;
  }
  platform::Error AddRoute(std::uint32_t destination, std::uint32_t mask, std::uint32_t gateway, std::uint32_t index,
               std::uint32_t metric) override {
    added.push_back({destination, mask, gateway, index, metric});
    // Only "route broadcast" writes with the table followed.
    if (followWrites) routes.push_back(MakeRoute("255.255.255.255", "255.255.255.255", index, metric));
    return addRouteError;
  }
  platform::Error DeleteRoute(const platform::Route& route) override {
    deleted.push_back(route);
    return deleteRouteError;
  }
  platform::Error ListRoutes(std::vector<platform::Route>* out) override {
    if (listRoutesOutOfMemory) throw std::bad_alloc();
    *out = routes;
    return listRoutesError;
  }
  bool KeepsBroadcastRoutePerInterface() override { return ownBroadcastRoutes; }
  platform::Error ChangeRouteMetric(const platform::Route& route, std::uint32_t metric) override {
    metricChanges.emplace_back(route.interfaceIndex, metric);
    for (platform::Route& row : routes) {
      if (followWrites && row.interfaceIndex == route.interfaceIndex && row.metric == route.metric) row.metric = metric;
    }
    return changeMetricError;
  }
  platform::Error FlushNeighbours(std::uint32_t index) override {
    flushed.push_back(index);
    return flushResult;
  }
  std::unique_ptr<NetworkStatus> NewNetworkStatus() override {
    return std::make_unique<FixedNetworkStatus>(NetworkStatus::CopyAdapters(adapters), dnsServers, analysisReadable);
  }
};

class RouteCommands : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { registerLoggers(); }
  std::string Ask(const std::string& request) { return test::Untimed(RouteManagement::Dispatch(request, host)); }
  FakeHost host;
};

TEST_F(RouteCommands, UnknownSubCommandsAreNotImplemented) {
  for (const char* request : {"route", "route flush", "route Add 1 2 3 4", "routeadd", "route  add 1 2 3 4"}) {
    EXPECT_EQ(Ask(request), "ERROR | 1 | NOT IMPLEMENTED (code 1)") << request;
  }
  EXPECT_TRUE(host.added.empty());
}

TEST_F(RouteCommands, AddNeedsExactlyFourArguments) {
  for (const char* request : {"route add", "route add 10.9.0.0 255.255.0.0 10.8.0.1",
                              "route add 10.9.0.0 255.255.0.0 10.8.0.1 5 6",
                              "route add  10.9.0.0 255.255.0.0 10.8.0.1 5"}) {  // leading space: empty first token
    EXPECT_EQ(Ask(request), "ERROR | 2 | Invalid number of argument (code 2)") << request;
  }
  EXPECT_TRUE(host.added.empty());
}

TEST_F(RouteCommands, AddTakesRunsOfSpacesAsOneSeparatorAndIgnoresTrailingOnes) {
  EXPECT_EQ(Ask("route add 10.9.0.0   255.255.0.0 10.8.0.1  5   "),
            "SUCCESS | RT1 | Brix LAN devices network added. (code 1)");
}

TEST_F(RouteCommands, AddRejectsAnyFieldThatIsNoDottedAddress) {
  for (const char* request : {"route add 10.9.0.0 255.255.0.0 10.0.0.256 1", "route add 10.9.0 255.255.0.0 10.8.0.1 1",
                              "route add 10.9.0.0 mask 10.8.0.1 1", "route add 10.9.0.0 255.255.0.0 10.8.1 1",
                              // reserved blocks: never a network behind the tunnel
                              "route add 0.0.0.0 0.0.0.0 10.8.0.1 1", "route add 127.0.0.53 255.255.255.255 10.8.0.1 1",
                              "route add 169.254.169.254 255.255.255.255 10.8.0.1 1",
                              "route add 240.0.0.0 240.0.0.0 10.8.0.1 1",
                              "route add 255.255.255.255 255.255.255.255 10.8.0.1 1"}) {
    EXPECT_EQ(Ask(request), "ERROR | RT8 | Invalid Route address (code 8)") << request;
  }
  EXPECT_TRUE(host.added.empty());
}

// Multicast and the neighbours of the reserved blocks stay as they were.
TEST_F(RouteCommands, AddKeepsMulticastAndNeighboursOfReservedBlocks) {
  for (const char* destination : {"224.0.0.0 240.0.0.0", "1.0.0.0 255.0.0.0", "169.253.0.0 255.255.0.0"}) {
    EXPECT_EQ(Ask(std::string("route add ") + destination + " 10.8.0.1 1"),
              "SUCCESS | RT1 | Brix LAN devices network added. (code 1)");
  }
}

TEST_F(RouteCommands, AddWritesTheRouteOnTheTunnelWithTheTunnelsMetric) {
  EXPECT_EQ(Ask("route add 10.9.0.0 255.255.0.0 10.8.0.1 99"),
            "SUCCESS | RT1 | Brix LAN devices network added. (code 1)");
  ASSERT_EQ(host.added.size(), 1u);
  const AddedRoute& route = host.added[0];
  EXPECT_EQ(route.destination, Ip("10.9.0.0"));
  EXPECT_EQ(route.mask, Ip("255.255.0.0"));
  EXPECT_EQ(route.gateway, Ip("10.8.0.1"));
  EXPECT_EQ(route.index, kTapIndex);
  EXPECT_EQ(route.metric, 42u);  // from the route to the gateway, not the requested 99
  EXPECT_THAT(host.bestRouteQueries, ElementsAre(Ip("10.8.0.1")));
}

TEST_F(RouteCommands, AddUsesAllOnesWhenTheTunnelMetricCannotBeRead) {
  host.bestRouteError = Failure(ErrorKind::Other, 101);
  Ask("route add 10.9.0.0 255.255.0.0 10.8.0.1 1");
  host.bestRouteError = platform::Error::Success();
  host.interfaceMetricError = Failure(ErrorKind::NotFound, 1168);
  Ask("route add 10.9.0.0 255.255.0.0 10.8.0.1 1");
  ASSERT_EQ(host.added.size(), 2u);
  EXPECT_EQ(host.added[0].metric, kAllOnes);
  EXPECT_EQ(host.added[1].metric, kAllOnes);
}

// A host that keeps a metric per interface gives the route the tunnel's own metric.
TEST_F(RouteCommands, AddUsesTheTunnelInterfaceMetricWhereTheHostHasOne) {
  host.interfaceMetric = 25;
  Ask("route add 10.9.0.0 255.255.0.0 10.8.0.1 1");
  ASSERT_EQ(host.added.size(), 1u);
  EXPECT_EQ(host.added[0].metric, 25u);
  EXPECT_TRUE(host.bestRouteQueries.empty());
}

TEST(RouteConflictCodes, EveryKindHasItsReplyCode) {
  using RouteManagement::ConflictReplyCode;
  EXPECT_EQ(ConflictReplyCode(ConflictKind::None), 1);
  EXPECT_EQ(ConflictReplyCode(ConflictKind::DnsServer), 5);
  EXPECT_EQ(ConflictReplyCode(ConflictKind::Gateway), 4);
  EXPECT_EQ(ConflictReplyCode(ConflictKind::LocalAddress), 6);
  EXPECT_EQ(ConflictReplyCode(ConflictKind::WinsServer), 6);
  EXPECT_EQ(ConflictReplyCode(ConflictKind::SubnetOfLan), 2);
  EXPECT_EQ(ConflictReplyCode(ConflictKind::HidesLan), 3);
}

TEST_F(RouteCommands, AddAnswersCodeTenWhenTheHostConfigurationCannotBeRead) {
  host.analysisReadable = false;
  EXPECT_EQ(Ask("route add 10.9.0.0 255.255.0.0 10.8.0.1 1"),
            "ERROR | RT10 | could not allocate memory for GetAdaptersInfo call (code 10)");
  EXPECT_TRUE(host.added.empty());
}

TEST_F(RouteCommands, AddTurnsPlatformErrorsIntoReplies) {
  struct {
    platform::Error error;
    std::string expected;
  } cases[] = {
      {Failure(ErrorKind::AccessDenied, 13), "ERROR | RT9 | Cannot add route : Access denied (code 9)"},
      {Failure(ErrorKind::AccessDenied, 1), "ERROR | RT9 | Cannot add route : Access denied (code 9)"},
      {Failure(ErrorKind::Other, 101), "ERROR | RT10 | Cannot add route : Error [ 101 ] (code 10)"},
      {Failure(ErrorKind::Invalid, 22), "ERROR | RT10 | Cannot add route : Error [ 22 ] (code 10)"},
  };
  for (const auto& c : cases) {
    host.addRouteError = c.error;
    EXPECT_EQ(Ask("route add 10.9.0.0 255.255.0.0 10.8.0.1 1"), c.expected) << c.error.Code();
  }
}

// An exclusive add fails with "exists" for any route of the same prefix and metric:
// only the very route asked for (gateway and device included) counts as added.
TEST_F(RouteCommands, AddTakesAnExistingRouteAsAddedOnlyWhenItIsTheSameRoute) {
  const std::string added = "SUCCESS | RT1 | Brix LAN devices network added. (code 1)";
  const std::string exists = "ERROR | RT10 | Cannot add route : Error [ 17 ] (code 10)";
  const platform::Route asked = WithGateway(MakeRoute("10.9.0.0", "255.255.0.0", kTapIndex, 42), "10.8.0.1");
  struct {
    const char* name;
    std::vector<platform::Route> table;
    platform::Error listError;
    std::string expected;
  } cases[] = {
      {"same route", {asked}, {}, added},
      {"other gateway", {WithGateway(asked, "10.8.0.9")}, {}, exists},
      {"other device", {WithGateway(MakeRoute("10.9.0.0", "255.255.0.0", kLanIndex, 42), "10.8.0.1")}, {}, exists},
      {"the host uses another route of that metric first",
       {WithGateway(MakeRoute("10.9.0.0", "255.255.0.0", kLanIndex, 42), "192.168.1.1"), asked}, {}, exists},
      {"same route at another metric only", {WithGateway(MakeRoute("10.9.0.0", "255.255.0.0", kTapIndex, 7), "10.8.0.1")},
       {}, exists},
      {"table unreadable", {asked}, Failure(ErrorKind::Other, 5), exists},
  };
  host.addRouteError = Failure(ErrorKind::AlreadyExists, 17);
  for (const auto& c : cases) {
    host.routes = c.table;
    host.listRoutesError = c.listError;
    EXPECT_EQ(Ask("route add 10.9.0.0 255.255.0.0 10.8.0.1 1"), c.expected) << c.name;
  }
}

// The client deletes only routes it can have added: main-table routes on the tunnel.
TEST_F(RouteCommands, DelRefusesEveryRouteThatIsNotTheTunnels) {
  // The system's own code for an operation not permitted (EPERM, ERROR_ACCESS_DENIED).
  const std::string refused = "ERROR | 6 | Cannot delete route : Error [ " +
                              std::to_string(platform::NotPermitted("route del").Code()) + " ] (code 6)";
  platform::Route otherTable = MakeRoute("10.9.0.0", "255.255.0.0", kTapIndex, 5);
  otherTable.mainTable = false;
  for (const platform::Route& route : {MakeRoute("192.168.1.0", "255.255.255.0", kLanIndex, 0), otherTable}) {
    host.bestRoute = route;
    EXPECT_EQ(Ask("route del 10.9.1.2"), refused);
  }
  host.bestRoute = MakeRoute("10.9.0.0", "255.255.0.0", kTapIndex, 5);
  host.adapters.pop_back();  // no tunnel adapter
  EXPECT_EQ(Ask("route del 10.9.1.2"), refused);
  EXPECT_TRUE(host.deleted.empty());
}

TEST_F(RouteCommands, DelArgumentStartsTwoCharactersAfterTheWord) {
  host.bestRoute = MakeRoute("10.9.0.0", "255.255.0.0", kTapIndex, 5);
  EXPECT_EQ(Ask("route delX10.9.1.2"), "OK");
  EXPECT_EQ(Ask("route delete 10.9.1.2"), "ERROR");  // argument "te 10.9.1.2"
  EXPECT_EQ(host.deleted.size(), 1u);
}

TEST_F(RouteCommands, DelNeverTouchesTheDefaultRouteOrUnparsableAddresses) {
  host.bestRoute = MakeRoute("0.0.0.0", "0.0.0.0", kLanIndex, 0);
  EXPECT_EQ(Ask("route del 8.8.8.8"), "ERROR");
  for (const char* request : {"route del 0.0.0.0", "route del", "route del somewhere", "route del 10.0.0.300"}) {
    EXPECT_EQ(Ask(request), "ERROR") << request;
  }
  EXPECT_EQ(host.bestRouteQueries.size(), 1u);
  EXPECT_TRUE(host.deleted.empty());
}

TEST_F(RouteCommands, DelKeepsTheHistoricalAddressForms) {
  host.bestRoute = MakeRoute("10.0.0.0", "255.0.0.0", kTapIndex, 5);
  EXPECT_EQ(Ask("route del 10.1"), "OK");
  EXPECT_THAT(host.bestRouteQueries, ElementsAre(Ip("10.0.0.1")));
  EXPECT_EQ(Ask("route del 255.255.255.255"), "OK");  // the literal address is an address
}

TEST_F(RouteCommands, DelReportsPlatformErrors) {
  host.bestRouteError = Failure(ErrorKind::Other, 101);
  EXPECT_EQ(Ask("route del 10.9.1.2"), "ERROR | 6 | Cannot find route to delete : Error [ 101 ] (code 6)");
  host.bestRouteError = platform::Error::Success();
  host.bestRoute = MakeRoute("10.9.0.0", "255.255.0.0", kTapIndex, 5);
  host.deleteRouteError = Failure(ErrorKind::NotFound, 3);
  EXPECT_EQ(Ask("route del 10.9.1.2"), "ERROR | 6 | Cannot delete route : Error [ 3 ] (code 6)");
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

class RouteBroadcastCommand : public RouteCommands {
 protected:
  void SetUp() override {
    host.routes = {MakeRoute("192.168.1.0", "255.255.255.0", kLanIndex, 0),
                   MakeRoute("255.255.255.255", "255.255.255.255", kLanIndex, 20),
                   MakeRoute("255.255.255.255", "255.255.255.255", kTapIndex, 281),
                   MakeRoute("255.255.255.255", "255.255.255.255", kTapIndex, 500)};
  }
};

TEST_F(RouteBroadcastCommand, NeedsExactlyTwoArguments) {
  for (const char* request : {"route broadcast", "route broadcast on", "route broadcast on 10.8.0.1 x",
                              "route broadcast  on 10.8.0.1"}) {
    EXPECT_EQ(Ask(request), "ERROR | 18 | Broadcast route: Invalid number of argument (code 18)") << request;
  }
  EXPECT_TRUE(host.metricChanges.empty());
}

TEST_F(RouteBroadcastCommand, OnModeMovesTheTunnelsFirstBroadcastRouteBelowTheLowest) {
  EXPECT_EQ(Ask("route broadcast on 10.8.0.1"), "OK");
  EXPECT_THAT(host.metricChanges, ElementsAre(std::make_pair(kTapIndex, 19u)));
}

// The table follows the writes: a repeated request finds the tunnel's row already the
// lowest and writes nothing.
TEST_F(RouteBroadcastCommand, OnModeWritesOnceWhateverTheRepeats) {
  host.followWrites = true;
  for (bool withRow : {true, false}) {
    if (!withRow) host.routes.erase(host.routes.begin() + 1, host.routes.end());
    host.added.clear();
    host.metricChanges.clear();
    for (int request = 0; request < 4; ++request) EXPECT_EQ(Ask("route broadcast on 10.8.0.1"), "OK");
    EXPECT_EQ(host.added.size() + host.metricChanges.size(), 1u) << withRow;
  }
  EXPECT_EQ(host.added[0].metric, 255u);
}

TEST_F(RouteBroadcastCommand, OnModeLeavesAMetricAlreadyBelowTheTarget) {
  host.routes[2].metric = 10;
  EXPECT_EQ(Ask("route broadcast online 10.8.0.1"), "OK");
  EXPECT_EQ(Ask("route broadcast on 10.8.0.1"), "OK");
  EXPECT_TRUE(host.metricChanges.empty());
  // Every broadcast row counts for the lowest metric, but only the tunnel's first row
  // is written: 0 + 8 - 1 = 7.
  host.routes[1].metric = 30;
  host.routes[2].metric = 9;
  host.routes[3].metric = 8;
  EXPECT_EQ(Ask("route broadcast on 10.8.0.1"), "OK");
  EXPECT_THAT(host.metricChanges, ElementsAre(std::make_pair(kTapIndex, 7u)));
}

// The default metric (interface metric + 256) is no broadcast route on the tunnel at
// all: any of them would still win over the default route.
TEST_F(RouteBroadcastCommand, ResetModeRemovesEveryBroadcastRouteOfTheTunnel) {
  EXPECT_EQ(Ask("route broadcast o 10.8.0.1"), "OK");
  ASSERT_EQ(host.deleted.size(), 2u);
  EXPECT_EQ(host.deleted[0].metric, 281u);
  EXPECT_EQ(host.deleted[1].metric, 500u);
  EXPECT_TRUE(host.metricChanges.empty());
  EXPECT_TRUE(host.added.empty());
}

TEST_F(RouteBroadcastCommand, AWriteFailureIsOnlyLogged) {
  host.changeMetricError = Failure(ErrorKind::Invalid, 22);
  EXPECT_EQ(Ask("route broadcast on 10.8.0.1"), "OK");
  host.deleteRouteError = Failure(ErrorKind::AccessDenied, 1);
  EXPECT_EQ(Ask("route broadcast off 10.8.0.1"), "OK");
  host.routes.erase(host.routes.begin() + 2, host.routes.end());
  host.addRouteError = Failure(ErrorKind::AlreadyExists, 17);
  EXPECT_EQ(Ask("route broadcast on 10.8.0.1"), "OK");
  EXPECT_EQ(host.metricChanges.size(), 1u);
  EXPECT_EQ(host.deleted.size(), 2u);
  EXPECT_EQ(host.added.size(), 1u);
}

// Without a broadcast route of its own the tunnel's row is at the default metric 256:
// "on" writes one below the lowest row (its own default included) on the tunnel.
TEST_F(RouteBroadcastCommand, WithoutATunnelBroadcastRouteOnModeAddsOne) {
  host.routes.erase(host.routes.begin() + 2, host.routes.end());
  EXPECT_EQ(Ask("route broadcast on 10.8.0.1"), "OK");
  host.routes.clear();
  EXPECT_EQ(Ask("route broadcast on 10.8.0.1"), "OK");
  EXPECT_EQ(Ask("route broadcast off 10.8.0.1"), "OK");
  ASSERT_EQ(host.added.size(), 2u);
  for (const AddedRoute& route : host.added) {
    EXPECT_EQ(route.destination, kAllOnes);
    EXPECT_EQ(route.mask, kAllOnes);
    EXPECT_EQ(route.gateway, 0u);
    EXPECT_EQ(route.index, kTapIndex);
  }
  EXPECT_EQ(host.added[0].metric, 19u);
  EXPECT_EQ(host.added[1].metric, 255u);
  EXPECT_TRUE(host.deleted.empty());
  EXPECT_TRUE(host.metricChanges.empty());
}

// The tunnel interface's metric, where the host keeps one, is added to the target.
TEST_F(RouteBroadcastCommand, TheTunnelInterfaceMetricRaisesTheTarget) {
  host.interfaceMetric = 5;
  EXPECT_EQ(Ask("route broadcast on 10.8.0.1"), "OK");
  EXPECT_THAT(host.metricChanges, ElementsAre(std::make_pair(kTapIndex, 24u)));  // 5 + 20 - 1
  host.interfaceMetricError = Failure(ErrorKind::NotFound, 1168);
  EXPECT_EQ(Ask("route broadcast on 10.8.0.1"),
            "ERROR | 19 | failed to query interfaceInfo -> Can't update metic to route broadcast to Brix's "
            "LAN.1168</br> (code 19)");
  EXPECT_EQ(host.metricChanges.size(), 1u);
}

// Where every interface has its own broadcast route, both modes only change the
// tunnel's route's metric, and without one nothing is written.
TEST_F(RouteBroadcastCommand, OnHostsWithOwnBroadcastRoutesOnlyTheMetricChanges) {
  host.ownBroadcastRoutes = true;
  EXPECT_EQ(Ask("route broadcast off 10.8.0.1"), "OK");
  EXPECT_EQ(Ask("route broadcast on 10.8.0.1"), "OK");
  EXPECT_THAT(host.metricChanges, ElementsAre(std::make_pair(kTapIndex, 256u), std::make_pair(kTapIndex, 19u)));
  host.routes.erase(host.routes.begin() + 2, host.routes.end());
  EXPECT_EQ(Ask("route broadcast off 10.8.0.1"), "OK");
  EXPECT_EQ(Ask("route broadcast on 10.8.0.1"), "OK");
  EXPECT_EQ(host.metricChanges.size(), 2u);
  EXPECT_TRUE(host.deleted.empty());
  EXPECT_TRUE(host.added.empty());
}

TEST_F(RouteBroadcastCommand, DeviceMustLieInTheTunnelNetwork) {
  const std::string expected =
      "ERROR | 14 | failed to query route to Brix -> Can't update metic to route broadcast to Brix's LAN.</br> (code 14)";
  EXPECT_EQ(Ask("route broadcast on 192.168.1.1"), expected);
  EXPECT_EQ(Ask("route broadcast on 0.0.0.0"), expected);
  host.adapters.pop_back();
  EXPECT_EQ(Ask("route broadcast on 10.8.0.1"), expected);
  EXPECT_TRUE(host.metricChanges.empty());
}

TEST_F(RouteBroadcastCommand, RoutingTableFailures) {
  host.listRoutesError = Failure(ErrorKind::Other, 5);
  EXPECT_EQ(Ask("route broadcast on 10.8.0.1"), "ERROR | 16 | getIpForwardTable failed. (code 16)");
  host.listRoutesOutOfMemory = true;
  EXPECT_EQ(Ask("route broadcast on 10.8.0.1"), "ERROR | 15 | Unable to allocate memory for the IPFORWARDTALE (code 15)");
  EXPECT_TRUE(host.metricChanges.empty());
}

TEST_F(RouteCommands, PostConnectFlushesTheTunnelAndAlwaysSucceeds) {
  EXPECT_EQ(Ask("route postconnect"), "SUCCESS | RT1 | post connect arp cleanup done (code 1)");
  host.flushResult = Failure(ErrorKind::NotFound, 19);
  host.adapters.pop_back();
  EXPECT_EQ(Ask("route postconnect"), "SUCCESS | RT1 | post connect arp cleanup done (code 1)");
  EXPECT_THAT(host.flushed, ElementsAre(kTapIndex, kAllOnes));
}

TEST_F(RouteCommands, FindTunnelInterfaceTestsRangeOverlap) {
  using RouteManagement::FindTunnelInterface;
  EXPECT_EQ(FindTunnelInterface("Vortan-Dashlet", Ip("10.8.0.200"), kAllOnes, host), kTapIndex);
  EXPECT_EQ(FindTunnelInterface("Vortan-Dashlet", Ip("10.0.0.0"), Ip("255.0.0.0"), host), kTapIndex);
  EXPECT_EQ(FindTunnelInterface("Vortan-Dashlet", Ip("10.8.1.0"), Ip("255.255.255.0"), host), kAllOnes);
  EXPECT_EQ(FindTunnelInterface("Vortan-Dashlet", Ip("10.8.0.1"), 0, host), kAllOnes);
  EXPECT_EQ(FindTunnelInterface("eth0", Ip("192.168.1.1"), kAllOnes, host), kLanIndex);
  EXPECT_EQ(RouteManagement::GetAdapterIdx("VORTAN-DASHLET", host), kAllOnes);
}


platform::Route Owned(platform::Route route, bool owned = true) {
  route.owned = owned;
  return route;
}

TEST(RouteLedgerDecisions, OnlyAnExactEntryOfTheServiceIsItsOwn) {
  const LedgerRoute recorded{Ip("10.9.0.0"), Ip("255.255.0.0"), Ip("10.8.0.1"), kTapIndex, 42, 3, "alice"};
  const platform::Route exact = WithGateway(MakeRoute("10.9.0.0", "255.255.0.0", kTapIndex, 42), "10.8.0.1");
  platform::Route otherTable = Owned(exact);
  otherTable.mainTable = false;
  struct Row {
    platform::Route entry;
    bool hostMarks;
    bool own;
  } rows[] = {
      {Owned(exact), true, true},
      {Owned(exact, false), true, false},  // the administrator's, same fields
      {Owned(exact, false), false, true},  // a host without marks: the ledger decides
      {Owned(WithGateway(exact, "10.8.0.9")), true, false},
      {Owned(MakeRoute("10.9.0.0", "255.255.0.0", kTapIndex, 43)), false, false},
      {Owned(WithGateway(MakeRoute("10.9.0.0", "255.255.255.0", kTapIndex, 42), "10.8.0.1")), true, false},
      {Owned(WithGateway(MakeRoute("10.9.0.0", "255.255.0.0", kLanIndex, 42), "10.8.0.1")), true, false},
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
  void SetUp() override { RouteLedger::Shared().OpenTunnel(5, "alice", &host); }
  void TearDown() override { RouteLedger::Shared().CloseTunnel(&host); }
  platform::Route Written(std::uint32_t index) {
    return Owned(WithGateway(MakeRoute("10.9.0.0", "255.255.0.0", index, 42), "10.8.0.1"), platform::MarksOwnRoutes());
  }
};

TEST_F(RouteLedgerLife, WrittenRoutesAreRecordedReplayedOnTheNewDeviceAndRemovedAtTheEnd) {
  host.addRouteError = Failure(ErrorKind::Other, 22);
  Ask("route add 10.7.0.0 255.255.0.0 10.8.0.1 1");
  EXPECT_TRUE(RouteLedger::Shared().Routes().empty());  // a failed write leaves no record
  host.addRouteError = platform::Error();
  Ask("route add 10.9.0.0 255.255.0.0 10.8.0.1 1");
  ASSERT_EQ(RouteLedger::Shared().Routes().size(), 1u);
  EXPECT_EQ(RouteLedger::Shared().Routes()[0].owner, "alice");

  // OpenVPN's restart: the device comes back with another index and without the route.
  host.adapters[1].index = 9;
  host.added.clear();
  host.routes = {Owned(Written(9), false)};
  host.routes[0].metric = 7;  // the administrator's, on the same prefix
  RouteLedger::Shared().Replay(&host);
  ASSERT_EQ(host.added.size(), 1u);
  EXPECT_EQ(host.added[0].index, 9u);
  RouteLedger::Shared().Replay(&host);
  EXPECT_EQ(host.added.size(), 2u);  // the fake table does not follow the write

  host.routes.push_back(Written(9));
  RouteLedger::Shared().CloseTunnel(&host);
  ASSERT_EQ(host.deleted.size(), 1u);
  EXPECT_EQ(host.deleted[0].metric, 42u);
  EXPECT_TRUE(RouteLedger::Shared().Routes().empty());
}

TEST_F(RouteLedgerLife, DeletedRoutesAreForgottenAndNoTunnelRecordsNothing) {
  Ask("route add 10.9.0.0 255.255.0.0 10.8.0.1 1");
  host.bestRoute = Written(kTapIndex);
  EXPECT_EQ(Ask("route del 10.9.1.1"), "OK");
  EXPECT_TRUE(RouteLedger::Shared().Routes().empty());
  RouteLedger::Shared().CloseTunnel(&host);
  Ask("route add 10.9.0.0 255.255.0.0 10.8.0.1 1");
  EXPECT_TRUE(RouteLedger::Shared().Routes().empty());
}

}  // namespace
}  // namespace vortan
