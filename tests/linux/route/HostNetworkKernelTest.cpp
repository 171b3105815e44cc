#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <stdexcept>

#include "common/Ipv4.h"
#include "NetnsSupport.h"
#include "TestSupport.h"
#include "platform/HostNetwork.h"
#include "platform/RouteChanges.h"

namespace vortan {
namespace {

using test::NetworkNamespace;
using ::testing::ElementsAre;

// The adapter of that name; its absence fails the test.
const platform::Adapter& Named(const std::vector<platform::Adapter>& adapters, const std::string& name) {
  auto found = std::find_if(adapters.begin(), adapters.end(), [&](const auto& a) { return a.name == name; });
  if (found == adapters.end()) throw std::runtime_error("no adapter " + name);
  return *found;
}

std::uint32_t Ip(const char* text) {
  std::uint32_t value = 0;
  EXPECT_TRUE(ParseDottedQuad(text, &value)) << text;
  return value;
}

std::vector<std::string> AddressTexts(const platform::Adapter& adapter) {
  std::vector<std::string> texts;
  for (const auto& entry : adapter.addresses) texts.push_back(FormatDotted(entry.address) + "/" + FormatDotted(entry.mask));
  return texts;
}

std::vector<std::string> GatewayTexts(const platform::Adapter& adapter) {
  std::vector<std::string> texts;
  for (std::uint32_t gateway : adapter.gateways) texts.push_back(FormatDotted(gateway));
  return texts;
}

// The adapters ListAdapters reports inside ns.
std::vector<platform::Adapter> AdaptersIn(const NetworkNamespace& ns) {
  std::vector<platform::Adapter> adapters;
  platform::Error error(platform::ErrorKind::Other, -1, "not run");
  ns.Run([&] { error = platform::ListAdapters(&adapters); });
  EXPECT_TRUE(error.Succeeded()) << error.Step() << " " << error.Code();
  return adapters;
}

TEST(HostNetworkKernel, ListAdaptersReportsNamesAddressesGatewaysAndStatus) {
  NetworkNamespace ns;
  ns.AddVethPair("lan", "lanpeer");
  ns.MustIp("address add 192.168.77.10/24 dev lan");
  ns.MustIp("address add 10.77.0.1/16 dev lan");
  ns.MustIp("route add default via 192.168.77.1 dev lan");
  ns.MustIp("route add default metric 50 nexthop via 192.168.77.2 dev lan nexthop via 10.77.0.254 dev lan");
  ns.AddTap("Vortan-Dashlet");
  ns.MustIp("address add 10.8.0.2/24 dev Vortan-Dashlet");
  ns.MustIp("link set dev Vortan-Dashlet alias tunnel-alias");
  ns.MustIp("link property add dev Vortan-Dashlet altname vortan-alt");

  const std::vector<platform::Adapter> adapters = AdaptersIn(ns);
  const platform::Adapter& loopback = Named(adapters, "lo");
  EXPECT_TRUE(loopback.loopback);
  EXPECT_THAT(AddressTexts(loopback), ElementsAre("127.0.0.1/255.0.0.0"));

  const platform::Adapter& lan = Named(adapters, "lan");
  EXPECT_FALSE(lan.loopback);
  EXPECT_EQ(lan.status, platform::OperStatus::Operational);
  EXPECT_THAT(AddressTexts(lan), ElementsAre("192.168.77.10/255.255.255.0", "10.77.0.1/255.255.0.0"));
  EXPECT_THAT(GatewayTexts(lan), ElementsAre("192.168.77.1", "192.168.77.2", "10.77.0.254"));
  EXPECT_THAT(lan.friendlyNames, ElementsAre("lan"));

  const platform::Adapter& tap = Named(adapters, "Vortan-Dashlet");
  EXPECT_NE(tap.index, lan.index);
  EXPECT_EQ(tap.status, platform::OperStatus::Disconnected);  // created down
  EXPECT_EQ(tap.description, "tunnel-alias");
  EXPECT_THAT(tap.friendlyNames, ElementsAre("Vortan-Dashlet", "tunnel-alias", "vortan-alt"));
  EXPECT_EQ(tap.primaryWins, 0u);  // Linux has no WINS
  EXPECT_EQ(tap.secondaryWins, 0u);
  EXPECT_THAT(AddressTexts(tap), ElementsAre("10.8.0.2/255.255.255.0"));
  EXPECT_TRUE(tap.gateways.empty());
}

TEST(HostNetworkKernel, ListAdaptersAgreesWithTheKernelsIndexes) {
  NetworkNamespace ns;
  ns.AddVethPair("first", "second");
  std::string output;
  ASSERT_EQ(ns.Ip("-o link show dev second", &output), 0);
  std::uint32_t expectedIndex = static_cast<std::uint32_t>(std::stoul(output));
  EXPECT_EQ(Named(AdaptersIn(ns), "second").index, expectedIndex);
}

// The row read is the row deleted: a second deletion finds nothing, and the kernel's
// "no such process" for a missing route reaches the callers as "not found".
TEST(HostNetworkKernel, DeletingARouteTwiceReportsItNotFound) {
  NetworkNamespace ns;
  ns.AddVethPair("lan", "lanpeer");
  ns.MustIp("link set dev lan up");
  ns.MustIp("address add 192.168.78.10/24 dev lan");
  ns.MustIp("route add 10.78.0.0/16 via 192.168.78.1 dev lan metric 7");
  std::vector<platform::Route> routes;
  platform::Error first;
  platform::Error second;
  ns.Run([&] {
    routes = platform::OpenHostNetwork()->Snapshot(platform::HostSnapshot::kRoutes).routes;
    for (const platform::Route& route : routes) {
      if (route.destination != Ip("10.78.0.0")) continue;
      first = platform::DeleteRoute(route);
      second = platform::DeleteRoute(route);
    }
  });
  EXPECT_TRUE(first.Succeeded()) << first.Step() << " " << first.Code();
  EXPECT_TRUE(platform::IsNotFound(second)) << second.Step() << " " << second.Code();
  EXPECT_EQ(second.Code(), ESRCH);
}

// The announcements that wake the tunnel's watch of the way to its server: one wake for
// each command, however many messages it made the kernel send.
TEST(HostNetworkKernel, RouteChangesWakeOnceForEachChangeOfRoutesAddressesAndLinks) {
  using Wake = platform::RouteChanges::Wake;
  NetworkNamespace ns;
  ns.AddVethPair("lan", "lanpeer");
  ns.MustIp("address add 192.168.78.10/24 dev lan");
  std::unique_ptr<platform::RouteChanges> changes;
  platform::Error error;
  ns.Run([&] { changes = platform::SubscribeToRouteChanges(&error); });
  ASSERT_TRUE(changes) << error.Step() << " " << error.Code();
  for (const char* command : {"route add 10.78.0.0/16 via 192.168.78.1", "route change 10.78.0.0/16 via 192.168.78.2",
                              "address add 192.168.79.10/24 dev lan", "link set dev lan down"}) {
    EXPECT_EQ(changes->Wait(std::chrono::milliseconds(0)), Wake::TimedOut) << command;
    ns.MustIp(command);
    EXPECT_EQ(changes->Wait(std::chrono::seconds(5)), Wake::Changed) << command;
  }
  changes->Nudge();
  EXPECT_EQ(changes->Wait(std::chrono::seconds(5)), Wake::Nudged);
}

// The resolver files as a host shows them; an empty text leaves the file out.
struct ResolverLayout {
  std::string resolvConf;
  std::string resolvedUpstream;  // systemd-resolved's /run/systemd/resolve/resolv.conf
};

// In a mount namespace of the calling process's own: scratch/resolv.conf over
// /etc/resolv.conf and scratch/resolve as /run/systemd/resolve (on a fresh /run).
bool LayResolverFilesPrivately(const std::string& scratch) {
  return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         mount((scratch + "/resolv.conf").c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0 &&
         mount("tmpfs", "/run", "tmpfs", 0, nullptr) == 0 && mkdir("/run/systemd", 0755) == 0 &&
         mkdir("/run/systemd/resolve", 0755) == 0 &&
         mount((scratch + "/resolve").c_str(), "/run/systemd/resolve", nullptr, MS_BIND, nullptr) == 0;
}

// Lays the files over the host's in a private mount namespace of a forked child (the
// test's own files stay untouched) and returns what ListDnsServers reports there: the
// error code, then the servers, as one line of text.
std::string DnsServersSeenWith(const ResolverLayout& layout) {
  const std::string scratch = "/tmp/" + test::UniqueName("vtdns");
  std::filesystem::create_directories(scratch + "/resolve");
  test::WriteFile(scratch + "/resolv.conf", layout.resolvConf);
  if (!layout.resolvedUpstream.empty()) test::WriteFile(scratch + "/resolve/resolv.conf", layout.resolvedUpstream);
  pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    // The report goes to the scratch folder, which the child's mounts leave visible.
    std::string line = "mount namespace set-up failed";
    if (LayResolverFilesPrivately(scratch)) {
      std::vector<std::uint32_t> servers;
      line = std::to_string(platform::ListDnsServers(&servers).Code());
      for (std::uint32_t server : servers) line += " " + FormatDotted(server);
    }
    test::WriteFile(scratch + "/report", line);
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  const std::string result = test::ReadFile(scratch + "/report");
  std::filesystem::remove_all(scratch);
  return result;
}

TEST(HostNetworkKernel, DnsServersAreTheUpstreamServersOfALocalStubResolver) {
  const std::string upstream = "# resolved\nnameserver 10.1.2.3\nnameserver 10.1.2.4\nsearch example\n";
  struct {
    const char* name;
    ResolverLayout layout;
    std::string expected;
  } cases[] = {
      {"systemd-resolved stub", {"nameserver 127.0.0.53\noptions edns0 trust-ad\n", upstream}, "0 10.1.2.3 10.1.2.4"},
      {"stub beside real servers",
       {"nameserver 192.0.2.1\nnameserver 127.0.0.53\nnameserver 10.1.2.4\n", upstream},
       "0 192.0.2.1 10.1.2.3 10.1.2.4"},
      {"no local resolver", {"nameserver 172.20.0.53\n", upstream}, "0 172.20.0.53"},
      {"local cache without published upstream servers", {"nameserver 127.0.0.1\n", ""}, "0 127.0.0.1"},
  };
  for (const auto& c : cases) EXPECT_EQ(DnsServersSeenWith(c.layout), c.expected) << c.name;
}

}  // namespace
}  // namespace vortan
