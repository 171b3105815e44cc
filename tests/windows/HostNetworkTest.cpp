#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <tuple>

#include "FakeIpHelper.h"
#include "TestCommon.h"
#include "common/Logging.h"
#include "platform/HostNetwork.h"
#include "routes/RouteLedger.h"

namespace {

using platform::Adapter;
using platform::ErrorKind;
using platform::OperStatus;
using platform::Route;
using test::Address;
using test::FakeAdapter;
using test::ForwardRow;

constexpr DWORD kTunnelIndex = 17;
constexpr DWORD kLanIndex = 11;

FakeAdapter LanAdapter() {
  FakeAdapter adapter("{4B3F7C2A-0000-4000-8000-00000000000B}", kLanIndex, L"Ethernet",
                      L"Intel(R) Ethernet Connection");
  adapter.addresses = {{"192.168.1.10", "255.255.255.0"}, {"172.16.5.3", "255.255.0.0"}};
  adapter.gateways = {"192.168.1.1"};
  adapter.haveWins = true;
  adapter.primaryWins = "192.168.1.2";
  adapter.secondaryWins = "192.168.1.3";
  return adapter;
}

FakeAdapter TunnelAdapter() {
  FakeAdapter adapter("{9D1A0E55-0000-4000-8000-000000000011}", kTunnelIndex, L"Vortan-Dashlet",
                      L"TAP-Windows Adapter V9");
  adapter.addresses = {{"10.8.0.6", "255.255.255.252"}};
  return adapter;
}

FakeAdapter LoopbackAdapter() {
  FakeAdapter adapter("{00000000-0000-0000-0000-000000000001}", 1, L"Loopback Pseudo-Interface 1");
  adapter.type = IF_TYPE_SOFTWARE_LOOPBACK;
  adapter.hasIpv4 = false;
  adapter.operStatus = MIB_IF_OPER_STATUS_CONNECTED;
  return adapter;
}

bool SameRow(const MIB_IPFORWARDROW& left, const MIB_IPFORWARDROW& right) {
  return std::memcmp(&left, &right, sizeof left) == 0;
}

class HostNetworkTest : public ::testing::Test {
 protected:
  // The one adapter listed when the system has this one alone.
  Adapter ListedAlone(const FakeAdapter& adapter) {
    fake.adapters = {adapter};
    std::vector<Adapter> adapters;
    EXPECT_TRUE(platform::ListAdapters(&adapters).Succeeded());
    EXPECT_EQ(adapters.size(), 1u);
    return adapters.empty() ? Adapter() : adapters[0];
  }

  platform::Error ListRoutes(std::vector<Route>* routes) {
    platform::HostSnapshot snapshot = host_->Snapshot(platform::HostSnapshot::kRoutes);
    *routes = snapshot.routes;
    return snapshot.routesError;
  }

  test::FakeIpHelper fake;
  platform::ScopedIpHelper scope{fake};
  const std::unique_ptr<platform::HostNetwork> host_ = platform::OpenHostNetwork();
};

// ---- adapters ----

TEST_F(HostNetworkTest, AdaptersJoinIpv4RecordsWithFriendlyNamesInSystemOrder) {
  fake.adapters = {LanAdapter(), TunnelAdapter(), LoopbackAdapter()};
  fake.growthsLeft = 3;  // the tables grow between size query and read

  std::vector<Adapter> adapters;
  ASSERT_TRUE(platform::ListAdapters(&adapters).Succeeded());

  ASSERT_EQ(adapters.size(), 3u);
  const Adapter& lan = adapters[0];
  EXPECT_EQ(lan.index, kLanIndex);
  EXPECT_EQ(lan.name, LanAdapter().name);
  EXPECT_EQ(lan.friendlyNames, std::vector<std::string>{"Ethernet"});
  EXPECT_EQ(lan.description, "Intel(R) Ethernet Connection");
  ASSERT_EQ(lan.addresses.size(), 2u);
  EXPECT_EQ(lan.addresses[0].address, Address("192.168.1.10"));
  EXPECT_EQ(lan.addresses[0].mask, Address("255.255.255.0"));
  EXPECT_EQ(lan.addresses[1].address, Address("172.16.5.3"));
  EXPECT_EQ(lan.gateways, std::vector<std::uint32_t>{Address("192.168.1.1")});
  EXPECT_EQ(lan.primaryWins, Address("192.168.1.2"));
  EXPECT_EQ(lan.secondaryWins, Address("192.168.1.3"));
  EXPECT_FALSE(lan.loopback);

  const Adapter& tunnel = adapters[1];
  EXPECT_EQ(tunnel.index, kTunnelIndex);
  EXPECT_EQ(tunnel.friendlyNames, std::vector<std::string>{"Vortan-Dashlet"});
  EXPECT_TRUE(tunnel.gateways.empty());  // the system's "0.0.0.0" entry is no gateway
  ASSERT_EQ(tunnel.addresses.size(), 1u);
  // The tunnel's broadcast address comes from this entry: 10.8.0.6/30 -> 10.8.0.7.
  EXPECT_EQ(tunnel.addresses[0].address | ~tunnel.addresses[0].mask, Address("10.8.0.7"));

  const Adapter& loopback = adapters[2];
  EXPECT_TRUE(loopback.loopback);
  EXPECT_EQ(loopback.index, 1u);  // an adapter without IPv4 goes by its IPv6 index
  EXPECT_EQ(loopback.status, OperStatus::Connected);
  EXPECT_TRUE(loopback.addresses.empty());
  EXPECT_EQ(loopback.friendlyNames, std::vector<std::string>{"Loopback Pseudo-Interface 1"});
}

TEST_F(HostNetworkTest, WinsServersAreReadOnlyWhereTheAdapterHasThem) {
  FakeAdapter adapter = LanAdapter();
  adapter.haveWins = false;
  const Adapter listed = ListedAlone(adapter);
  EXPECT_EQ(listed.primaryWins, 0u);
  EXPECT_EQ(listed.secondaryWins, 0u);
}

TEST_F(HostNetworkTest, AdapterWithoutAddressHasNoAddressEntries) {
  FakeAdapter adapter = TunnelAdapter();
  adapter.addresses.clear();  // the system lists 0.0.0.0/0.0.0.0
  EXPECT_TRUE(ListedAlone(adapter).addresses.empty());
}

TEST_F(HostNetworkTest, AdapterStatusIsTheInterfaceOperationalStatus) {
  struct Case {
    DWORD operStatus;
    DWORD queryError;
    OperStatus expected;
  };
  const Case cases[] = {
      {MIB_IF_OPER_STATUS_NON_OPERATIONAL, NO_ERROR, OperStatus::NonOperational},
      {MIB_IF_OPER_STATUS_UNREACHABLE, NO_ERROR, OperStatus::Unreachable},
      {MIB_IF_OPER_STATUS_DISCONNECTED, NO_ERROR, OperStatus::Disconnected},
      {MIB_IF_OPER_STATUS_CONNECTING, NO_ERROR, OperStatus::Connecting},
      {MIB_IF_OPER_STATUS_CONNECTED, NO_ERROR, OperStatus::Connected},
      {MIB_IF_OPER_STATUS_OPERATIONAL, NO_ERROR, OperStatus::Operational},
      // A status that cannot be read counts as working.
      {MIB_IF_OPER_STATUS_DISCONNECTED, ERROR_INVALID_DATA, OperStatus::Operational},
  };
  for (const Case& c : cases) {
    FakeAdapter adapter = LanAdapter();
    adapter.operStatus = c.operStatus;
    adapter.ifEntryError = c.queryError;
    EXPECT_EQ(ListedAlone(adapter).status, c.expected)
        << "status " << c.operStatus << " error " << c.queryError;
  }
}

// ---- DNS servers ----

TEST_F(HostNetworkTest, DnsServersInResolverOrder) {
  fake.dnsServers = {"10.1.2.3", "192.168.1.1", "8.8.8.8"};
  fake.growthsLeft = 1;
  std::vector<std::uint32_t> servers;
  ASSERT_TRUE(platform::ListDnsServers(&servers).Succeeded());
  EXPECT_EQ(servers, (std::vector<std::uint32_t>{Address("10.1.2.3"), Address("192.168.1.1"), Address("8.8.8.8")}));
}

// ---- interface metric ----

// A system without interface rows has no interface metric.
TEST_F(HostNetworkTest, InterfaceMetricIsTheIpv4InterfaceRowMetric) {
  fake.interfaceMetric = 25;
  for (const bool hasRows : {true, false}) {
    fake.hasIpInterfaceEntry = hasRows;
    fake.interfaceQueries.clear();
    std::optional<std::uint32_t> metric = 3;
    ASSERT_TRUE(platform::InterfaceMetric(kTunnelIndex, &metric).Succeeded());
    EXPECT_EQ(metric, hasRows ? std::optional<std::uint32_t>(25u) : std::nullopt) << hasRows;
    ASSERT_EQ(fake.interfaceQueries.size(), hasRows ? 1u : 0u);
    if (!hasRows) continue;
    EXPECT_EQ(fake.interfaceQueries[0].Family, AF_INET);
    EXPECT_EQ(fake.interfaceQueries[0].InterfaceIndex, kTunnelIndex);
  }
}

// One request's snapshot: every adapter with its interface metric (or the read's error),
// the route table and the DNS servers, each part only when asked for.
TEST_F(HostNetworkTest, SnapshotReadsTheAskedPartsWithEveryAdaptersMetric) {
  fake.adapters = {LanAdapter(), TunnelAdapter()};
  fake.interfaceMetric = 25;
  fake.routes = {ForwardRow("0.0.0.0", "0.0.0.0", "192.168.1.1", kLanIndex, 25)};
  fake.dnsServers = {"10.1.2.3"};
  const std::unique_ptr<platform::HostNetwork> host = platform::OpenHostNetwork();
  platform::HostSnapshot snapshot = host->Snapshot(platform::HostSnapshot::kAdapters);
  ASSERT_EQ(snapshot.adapters.size(), 2u);
  ASSERT_EQ(snapshot.interfaceMetrics.size(), 2u);
  EXPECT_EQ(snapshot.interfaceMetrics[1].interfaceIndex, kTunnelIndex);
  EXPECT_EQ(snapshot.interfaceMetrics[1].metric, 25u);
  EXPECT_TRUE(snapshot.routes.empty());
  EXPECT_TRUE(snapshot.dnsServers.empty());
  EXPECT_TRUE(host->KeepsBroadcastRoutePerInterface());

  fake.failures["GetIpInterfaceEntry"] = ERROR_NOT_FOUND;
  snapshot = host->Snapshot(platform::HostSnapshot::kAdapters | platform::HostSnapshot::kRoutes |
                            platform::HostSnapshot::kDnsServers);
  EXPECT_EQ(snapshot.interfaceMetrics[0].error.Code(), platform::NativeErrorCode{ERROR_NOT_FOUND});
  EXPECT_EQ(snapshot.routes.size(), 1u);
  EXPECT_EQ(snapshot.dnsServers, std::vector<std::uint32_t>{Address("10.1.2.3")});
}

// ---- routes ----

TEST_F(HostNetworkTest, BestRouteIsTheSystemsRowAndDeletesExactlyThatRow) {
  fake.bestRoute = ForwardRow("10.20.0.0", "255.255.0.0", "10.8.0.5", kTunnelIndex, 281);
  Route route;
  ASSERT_TRUE(platform::BestRoute(Address("10.20.1.7"), &route).Succeeded());
  EXPECT_EQ(fake.bestRouteDestination, Address("10.20.1.7"));
  // destination, mask, gateway, interface, metric, main table
  EXPECT_EQ(std::make_tuple(route.destination, route.mask, route.gateway, route.interfaceIndex, route.metric,
                            route.mainTable),
            std::make_tuple(Address("10.20.0.0"), Address("255.255.0.0"), Address("10.8.0.5"), kTunnelIndex,
                            281ul, true));

  ASSERT_TRUE(platform::DeleteRoute(route).Succeeded());
  ASSERT_EQ(fake.deleted.size(), 1u);
  EXPECT_TRUE(SameRow(fake.deleted[0], fake.bestRoute));
}

TEST_F(HostNetworkTest, RouteTableIsReadUnsortedAndRowsGoBackAsRead) {
  fake.routes = {ForwardRow("0.0.0.0", "0.0.0.0", "192.168.1.1", kLanIndex, 25),
                 ForwardRow("255.255.255.255", "255.255.255.255", "10.8.0.6", kTunnelIndex, 281),
                 ForwardRow("255.255.255.255", "255.255.255.255", "192.168.1.10", kLanIndex, 276)};
  fake.growthsLeft = 2;
  std::vector<Route> routes;
  ASSERT_TRUE(ListRoutes(&routes).Succeeded());
  EXPECT_EQ(fake.sortedTableReads, 0);
  ASSERT_EQ(routes.size(), 3u);
  EXPECT_EQ(routes[1].destination, 0xFFFFFFFFu);
  EXPECT_EQ(routes[1].interfaceIndex, kTunnelIndex);
  EXPECT_EQ(routes[1].metric, 281u);
  EXPECT_EQ(routes[2].metric, 276u);

  ASSERT_TRUE(host_->ChangeRouteMetric(routes[1], 24).Succeeded());
  ASSERT_EQ(fake.changed.size(), 1u);
  MIB_IPFORWARDROW expected = fake.routes[1];
  expected.dwForwardMetric1 = 24;
  EXPECT_TRUE(SameRow(fake.changed[0], expected));

  ASSERT_TRUE(platform::DeleteRoute(routes[2]).Succeeded());
  ASSERT_EQ(fake.deleted.size(), 1u);
  EXPECT_TRUE(SameRow(fake.deleted[0], fake.routes[2]));
}

TEST_F(HostNetworkTest, AddedRouteIsAStaticRowOnTheInterfaceWithUnusedMetrics) {
  ASSERT_TRUE(host_->AddRoute(Address("10.20.0.0"), Address("255.255.0.0"), Address("10.8.0.5"), kTunnelIndex, 25)
                  .Succeeded());
  ASSERT_EQ(fake.created.size(), 1u);
  // Every field: no policy, age or next hop AS, and the unused metrics at -1.
  MIB_IPFORWARDROW expected = ForwardRow("10.20.0.0", "255.255.0.0", "10.8.0.5", kTunnelIndex, 25);
  expected.dwForwardType = MIB_IPROUTE_TYPE_INDIRECT;
  expected.dwForwardProto = MIB_IPPROTO_NETMGMT;
  expected.dwForwardAge = 0;
  for (DWORD* unused : {&expected.dwForwardMetric2, &expected.dwForwardMetric3, &expected.dwForwardMetric4,
                        &expected.dwForwardMetric5}) {
    *unused = 0xFFFFFFFFu;
  }
  EXPECT_TRUE(SameRow(fake.created[0], expected));
}

TEST_F(HostNetworkTest, AddRouteRefusesAMaskWithHolesWithoutAsking) {
  platform::Error error = host_->AddRoute(Address("10.20.0.0"), Address("255.0.255.0"), Address("10.8.0.5"),
                                             kTunnelIndex, 25);
  EXPECT_TRUE(platform::IsInvalid(error));
  EXPECT_TRUE(fake.created.empty());
}

TEST_F(HostNetworkTest, RouteWriteFailuresKeepTheSystemsCodeAndKind) {
  struct Case {
    DWORD code;
    ErrorKind kind;
  };
  const Case cases[] = {
      {ERROR_OBJECT_ALREADY_EXISTS, ErrorKind::AlreadyExists},
      {ERROR_ACCESS_DENIED, ErrorKind::AccessDenied},
      {ERROR_INVALID_PARAMETER, ErrorKind::Invalid},
      {ERROR_NOT_FOUND, ErrorKind::NotFound},
      {ERROR_NOT_SUPPORTED, ErrorKind::Other},
  };
  fake.routes = {ForwardRow("10.20.0.0", "255.255.0.0", "10.8.0.5", kTunnelIndex, 25)};
  std::vector<Route> routes;
  ASSERT_TRUE(ListRoutes(&routes).Succeeded());
  for (const Case& c : cases) {
    for (const char* write : {"CreateIpForwardEntry", "DeleteIpForwardEntry", "SetIpForwardEntry"}) {
      fake.failures[write] = c.code;
    }
    const platform::Error add = host_->AddRoute(Address("10.20.0.0"), Address("255.255.0.0"), 0, kTunnelIndex, 25);
    const platform::Error del = platform::DeleteRoute(routes[0]);
    const platform::Error change = host_->ChangeRouteMetric(routes[0], 7);
    for (const platform::Error& error : {add, del, change}) {
      EXPECT_EQ(error.Code(), static_cast<platform::NativeErrorCode>(c.code)) << error.Step();
      EXPECT_EQ(error.Kind(), c.kind) << error.Step() << " " << c.code;
    }
    EXPECT_STREQ(add.Step(), "CreateIpForwardEntry");
    EXPECT_STREQ(del.Step(), "DeleteIpForwardEntry");
    EXPECT_STREQ(change.Step(), "SetIpForwardEntry");
  }
}

TEST_F(HostNetworkTest, RouteNotReadFromTheSystemIsNeverWritten) {
  Route made;
  made.destination = Address("10.20.0.0");
  made.mask = Address("255.255.0.0");
  EXPECT_TRUE(platform::IsInvalid(platform::DeleteRoute(made)));
  EXPECT_TRUE(platform::IsInvalid(host_->ChangeRouteMetric(made, 5)));
  EXPECT_TRUE(fake.deleted.empty());
  EXPECT_TRUE(fake.changed.empty());
}

// ---- neighbours ----

TEST_F(HostNetworkTest, FlushReportsTheSystemsAnswerForTheInterface) {
  ASSERT_TRUE(host_->FlushNeighbours(kTunnelIndex).Succeeded());
  fake.failures["FlushIpNetTable"] = ERROR_NOT_SUPPORTED;  // what Wine answers
  platform::Error error = host_->FlushNeighbours(0xFFFFFFFFu);
  EXPECT_EQ(error.Code(), ERROR_NOT_SUPPORTED);
  EXPECT_STREQ(error.Step(), "FlushIpNetTable");
  EXPECT_EQ(fake.flushed, (std::vector<DWORD>{kTunnelIndex, 0xFFFFFFFFu}));
}

// ---- reads ----

TEST_F(HostNetworkTest, ReadFailuresCarryTheSystemsCodeAndNameTheCall) {
  struct Case {
    const char* step;
    std::function<platform::Error()> read;
  };
  std::vector<Adapter> adapters;
  std::vector<std::uint32_t> servers;
  std::optional<std::uint32_t> metric;
  Route route;
  std::vector<Route> routes;
  const Case cases[] = {
      {"GetAdaptersInfo", [&] { return platform::ListAdapters(&adapters); }},
      {"GetAdaptersAddresses", [&] { return platform::ListAdapters(&adapters); }},
      {"GetNetworkParams", [&] { return platform::ListDnsServers(&servers); }},
      {"GetIpInterfaceEntry", [&] { return platform::InterfaceMetric(kTunnelIndex, &metric); }},
      {"GetBestRoute", [&] { return platform::BestRoute(Address("10.20.1.7"), &route); }},
      {"GetIpForwardTable", [&] { return ListRoutes(&routes); }},
  };
  fake.adapters = {LanAdapter()};
  for (const Case& c : cases) {
    fake.failures = {{c.step, ERROR_NOT_SUPPORTED}};
    const platform::Error error = c.read();
    fake.failures.clear();
    EXPECT_EQ(error.Code(), ERROR_NOT_SUPPORTED) << c.step;
    EXPECT_STREQ(error.Step(), c.step);
  }
  EXPECT_FALSE(metric.has_value());
}

TEST_F(HostNetworkTest, EmptyTablesReadAsEmptyLists) {
  std::vector<Adapter> adapters{Adapter{}};
  std::vector<std::uint32_t> servers{1};
  std::vector<Route> routes(2);
  ASSERT_TRUE(platform::ListAdapters(&adapters).Succeeded());
  ASSERT_TRUE(platform::ListDnsServers(&servers).Succeeded());
  ASSERT_TRUE(ListRoutes(&routes).Succeeded());
  EXPECT_TRUE(adapters.empty());
  EXPECT_TRUE(servers.empty());
  EXPECT_TRUE(routes.empty());
}

// IP Helper rows carry no mark: a start removes only the rows exactly as the previous
// instance's ledger records them.
TEST_F(HostNetworkTest, LeftoverRowsAreKnownByTheLedgerAlone) {
  vortan::registerLoggers();
  EXPECT_FALSE(platform::MarksOwnRoutes());
  fake.routes = {ForwardRow("10.20.0.0", "255.255.0.0", "10.8.0.5", kTunnelIndex, 25),
                 ForwardRow("10.20.0.0", "255.255.0.0", "10.8.0.5", kTunnelIndex, 26),  // the administrator's
                 ForwardRow("10.30.0.0", "255.255.0.0", "10.8.0.5", kTunnelIndex, 25)};
  const std::string ledger = vortan::test::TempPath("vortan-ledger-test.txt");
  vortan::test::WriteFile(ledger, "10.20.0.0 255.255.0.0 10.8.0.5 17 25 4 alice\n");
  vortan::RemoveLeftoverRoutes(ledger);
  std::filesystem::remove(std::filesystem::u8path(ledger));
  ASSERT_EQ(fake.deleted.size(), 1u);
  EXPECT_TRUE(SameRow(fake.deleted[0], fake.routes[0]));
}

// ---- the system's IP Helper (Wine shows the Linux host's adapters and routes) ----

TEST(SystemHostNetworkTest, ReadsAdaptersRoutesAndTheLoopbackRoute) {
  std::vector<Adapter> adapters;
  ASSERT_TRUE(platform::ListAdapters(&adapters).Succeeded());
  bool anyIpv4 = false;
  for (const Adapter& adapter : adapters) anyIpv4 = anyIpv4 || !adapter.addresses.empty();
  EXPECT_TRUE(anyIpv4);

  const platform::HostSnapshot host = platform::OpenHostNetwork()->Snapshot(platform::HostSnapshot::kRoutes);
  ASSERT_TRUE(host.routesError.Succeeded());
  const std::vector<Route>& routes = host.routes;
  EXPECT_FALSE(routes.empty());

  Route loopback;
  EXPECT_TRUE(platform::BestRoute(Address("127.0.0.1"), &loopback).Succeeded());

  std::vector<std::uint32_t> servers;
  EXPECT_TRUE(platform::ListDnsServers(&servers).Succeeded());
}

TEST(SystemHostNetworkTest, InterfaceMetricWorksWithAndWithoutInterfaceRows) {
  std::vector<Adapter> adapters;
  ASSERT_TRUE(platform::ListAdapters(&adapters).Succeeded());
  for (const Adapter& adapter : adapters) {
    if (adapter.addresses.empty()) continue;
    std::optional<std::uint32_t> metric;
    EXPECT_TRUE(platform::InterfaceMetric(adapter.index, &metric).Succeeded()) << adapter.name;
  }
}

}  // namespace
