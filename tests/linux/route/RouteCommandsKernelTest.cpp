// The route requests of the real executable, answered against a real routing table in
// a network namespace of the test's own: a tunnel TAP "Vortan-Dashlet" 10.8.0.2/24
// (its network route at metric 50), a LAN veth 192.168.50.10/24 with the default
// gateway 192.168.50.1, and the name server 172.20.0.53.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "NetnsSupport.h"
#include "TestSupport.h"

namespace vortan {
namespace {

using test::NetworkNamespace;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;

const char* const kTunnel = "Vortan-Dashlet";
const std::string kRefusal = "Unable to add Brix LAN device(s) network.<BR / >the Brix's LAN (";

class RouteKernel : public ::testing::Test {
 protected:
  void SetUp() override {
    ns_.AddVethPair("lan", "lanpeer");
    ns_.MustIp("address add 192.168.50.10/24 dev lan");
    ns_.MustIp("route add default via 192.168.50.1 dev lan");
    ns_.AddTap(kTunnel);
    ns_.MustIp(std::string("address add 10.8.0.2/24 dev ") + kTunnel + " noprefixroute");
    ns_.MustIp(std::string("link set ") + kTunnel + " up");
    ns_.MustIp(std::string("route add 10.8.0.0/24 dev ") + kTunnel + " proto kernel scope link src 10.8.0.2 metric 50");
    ns_.WriteResolvConf("# test resolver\nnameserver 172.20.0.53\nnameserver 2001:db8::53\n");
  }

  // Starts the service inside the namespace (wrapped further by extraWrapper) and
  // connects to it.
  void StartService(const std::vector<std::string>& extraWrapper = {}) {
    std::vector<std::string> wrapper = ns_.ExecWrapper();
    wrapper.insert(wrapper.end(), extraWrapper.begin(), extraWrapper.end());
    service_ = std::make_unique<test::ServiceProcess>(layout_, std::vector<std::string>{"/console"}, wrapper);
    test::Endpoint endpoint;
    ASSERT_TRUE(service_->WaitForEndpoint(&endpoint)) << service_->Output();
    client_ = ns_.Connect(endpoint);
    ASSERT_TRUE(client_->Connected());
    ASSERT_EQ(client_->ReadLine(), test::kWelcome);
  }

  // The service starts with the first request unless the test started it before.
  std::string Ask(const std::string& request) {
    if (!service_) StartService();
    return client_ ? test::Untimed(client_->Ask(request)) : "";
  }

  // What "ip <arguments>" shows inside the namespace.
  std::string Shown(const std::string& arguments) const {
    std::string output;
    ns_.Ip(arguments, &output);
    return output;
  }
  std::string Routes(const std::string& selector = "") const { return Shown("route show " + selector); }

  NetworkNamespace ns_{"vtrt"};  // first: it must outlive the service inside it
  test::InstalledLayout layout_;
  std::unique_ptr<test::ServiceProcess> service_;
  std::unique_ptr<test::LineClient> client_;
};

TEST_F(RouteKernel, AddWritesAMarkedRouteOnTheTunnelWithTheTunnelsMetricTwice) {
  const std::string added = "SUCCESS | RT1 | Brix LAN devices network added. (code 1)";
  EXPECT_EQ(Ask("route add 10.9.0.0 255.255.0.0 10.8.0.1 99"), added);
  EXPECT_THAT(Routes("10.9.0.0/16"),
              MatchesRegex("10\\.9\\.0\\.0/16 via 10\\.8\\.0\\.1 dev Vortan-Dashlet proto 157 metric 50[^\n]*\n"));
  EXPECT_EQ(Ask("route add 10.9.0.0 255.255.0.0 10.8.0.1 99"), added);  // already there: still a success
  EXPECT_THAT(Routes("10.9.0.0/16"), MatchesRegex("[^\n]*\n"));         // and still one route
}

TEST_F(RouteKernel, AddDoesNotTakeAnotherRouteOfTheSamePrefixAndMetricAsAdded) {
  ns_.MustIp("route add 10.9.0.0/16 via 192.168.50.1 dev lan metric 50");
  EXPECT_EQ(Ask("route add 10.9.0.0 255.255.0.0 10.8.0.1 1"), "ERROR | RT10 | Cannot add route : Error [ 17 ] (code 10)");
  EXPECT_THAT(Routes("10.9.0.0/16"), MatchesRegex("10\\.9\\.0\\.0/16 via 192\\.168\\.50\\.1 dev lan [^\n]*\n"));
  EXPECT_THAT(layout_.LogText(), HasSubstr("Cannot add route : Error [17]"));
}

TEST_F(RouteKernel, AddWarnsForASubnetOfTheLanAndStillWrites) {
  EXPECT_EQ(Ask("route add 192.168.50.128 255.255.255.192 10.8.0.1 1"),
            "SUCCESS | RT2 | Brix LAN devices network added with possible conflicts.<BR / >the Brix's LAN "
            "(192.168.50.128/255.255.255.192) is a subnet of this computer's LAN (192.168.50.10/255.255.255.0). Some "
            "local services might not be available. (code 2)");
  EXPECT_THAT(Routes("192.168.50.128/26"), HasSubstr("via 10.8.0.1 dev Vortan-Dashlet proto 157 metric 50"));
}

TEST_F(RouteKernel, AddRefusesEveryConflictAndLeavesTheTableAlone) {
  // A second default route whose gateway lies outside every local network.
  ns_.MustIp("route add default via 172.31.0.1 dev lan onlink metric 200");
  StartService();
  const std::string before = Routes("table all");
  struct {
    const char* request;
    std::string expected;
  } cases[] = {
      {"route add 192.168.50.0 255.255.255.0 10.8.0.1 1",
       "ERROR | RT3 | " + kRefusal +
           "192.168.50.0/255.255.255.0) would be hiding one of this computer's LAN (192.168.50.10/255.255.255.0). (code 3)"},
      {"route add 192.168.50.0 255.255.255.128 10.8.0.1 1",
       "ERROR | RT6 | " + kRefusal +
           "192.168.50.0/255.255.255.128) is in conflict with local IP address on this computer "
           "(192.168.50.10/255.255.255.0). (code 6)"},
      {"route add 172.20.0.0 255.255.0.0 10.8.0.1 1",
       "ERROR | RT5 | " + kRefusal +
           "172.20.0.0/255.255.0.0) is in conflict with registered DNS address on this computer (172.20.0.53). (code 5)"},
      {"route add 172.31.0.0 255.255.0.0 10.8.0.1 1",
       "ERROR | RT4 | " + kRefusal +
           "172.31.0.0/255.255.0.0) is in conflict with registered Gateway address on this computer (192.168.50.1). "
           "(code 4)"},
  };
  for (const auto& c : cases) EXPECT_EQ(Ask(c.request), c.expected) << c.request;
  EXPECT_EQ(Routes("table all"), before);
}

TEST_F(RouteKernel, AddAnswersArgumentAndAddressErrors) {
  EXPECT_EQ(Ask("route add  10.9.0.0 255.255.0.0 10.8.0.1 1"), "ERROR | 2 | Invalid number of argument (code 2)");
  EXPECT_EQ(Ask("route add 10.9.0.0 255.255.0.0 10.8.0.256 1"), "ERROR | RT8 | Invalid Route address (code 8)");
  // Destinations the kernel refuses come back with its errno (EINVAL).
  EXPECT_EQ(Ask("route add 10.9.0.0 255.0.255.0 10.8.0.1 1"), "ERROR | RT10 | Cannot add route : Error [ 22 ] (code 10)");
  EXPECT_EQ(Ask("route add 10.9.1.0 255.255.0.0 10.8.0.1 1"), "ERROR | RT10 | Cannot add route : Error [ 22 ] (code 10)");
  EXPECT_EQ(Routes("10.9.0.0/16"), "");
  EXPECT_THAT(layout_.LogText(), HasSubstr("Invalid Route address Gateway[10.8.0.256]"));
}

TEST_F(RouteKernel, AddNeedsTheTunnelAdapterAroundTheGateway) {
  const std::string noTap =
      "ERROR | RT7 | failed to get Tap interface -> Can't create route to Brix's LAN. </br> (code 7)";
  EXPECT_EQ(Ask("route add 10.9.0.0 255.255.0.0 10.7.0.1 1"), noTap);
  EXPECT_EQ(Ask("route add 10.9.0.0 255.255.0.0 192.168.50.1 1"), noTap);
  ns_.MustIp(std::string("link set dev ") + kTunnel + " name tap0");
  EXPECT_EQ(Ask("route add 10.9.0.0 255.255.0.0 10.8.0.1 1"), noTap);
  // The adapter is found by its alias as well.
  ns_.MustIp(std::string("link set dev tap0 alias ") + kTunnel);
  EXPECT_EQ(Ask("route add 10.9.0.0 255.255.0.0 10.8.0.1 1"), "SUCCESS | RT1 | Brix LAN devices network added. (code 1)");
  EXPECT_THAT(Routes("10.9.0.0/16"), HasSubstr("via 10.8.0.1 dev tap0"));
}

TEST_F(RouteKernel, AddWithoutTheRightToChangeRoutesIsAccessDenied) {
  StartService({"setpriv", "--bounding-set=-net_admin", "--inh-caps=-net_admin", "--"});
  EXPECT_EQ(Ask("route add 10.9.0.0 255.255.0.0 10.8.0.1 1"), "ERROR | RT9 | Cannot add route : Access denied (code 9)");
  EXPECT_EQ(Routes("10.9.0.0/16"), "");
}

TEST_F(RouteKernel, DelRemovesTheRouteUsedForAnAddressButNeverTheDefault) {
  ns_.MustIp(std::string("route add 10.9.0.0/16 via 10.8.0.1 dev ") + kTunnel + " metric 7");
  ns_.MustIp(std::string("route add 10.9.0.0/16 via 10.8.0.3 dev ") + kTunnel + " metric 9");
  EXPECT_EQ(Ask("route del 10.9.3.4"), "OK");
  // Exactly the entry in use went: the other metric stays.
  EXPECT_THAT(Routes("10.9.0.0/16"), MatchesRegex("10\\.9\\.0\\.0/16 via 10\\.8\\.0\\.3 [^\n]* metric 9[^\n]*\n"));
  EXPECT_EQ(Ask("route del 8.8.8.8"), "ERROR");
  EXPECT_EQ(Ask("route del not-an-address"), "ERROR");
  EXPECT_THAT(Routes("default"), HasSubstr("default via 192.168.50.1 dev lan"));
  ns_.MustIp("route del default");
  EXPECT_EQ(Ask("route del 8.8.8.8"), "ERROR | 6 | Cannot find route to delete : Error [ 101 ] (code 6)");
}

// The kernel's lookup names these entries by the lookup's type (multicast, broadcast):
// the deletion goes by the entry's own key.
TEST_F(RouteKernel, DelRemovesTheTunnelsMulticastLinkLocalAndBroadcastRoutes) {
  for (const char* route : {"224.1.2.0/24 via 10.8.0.1", "169.254.10.0/24 via 10.8.0.1", "255.255.255.255"}) {
    ns_.MustIp(std::string("route add ") + route + " dev " + kTunnel + " metric 51");
  }
  for (const char* address : {"224.1.2.3", "169.254.10.5", "255.255.255.255"}) {
    EXPECT_EQ(Ask(std::string("route del ") + address), "OK") << address;
  }
  EXPECT_THAT(Routes(std::string("dev ") + kTunnel), Not(HasSubstr("metric 51")));
}

TEST_F(RouteKernel, DelRefusesEveryRouteThatDoesNotLeaveThroughTheTunnelOfTheMainTable) {
  ns_.MustIp(std::string("route add 10.9.0.0/16 via 10.8.0.1 dev ") + kTunnel + " table 100");
  ns_.MustIp("rule add to 10.9.0.0/16 table 100");
  StartService();
  const std::string before = Routes("table all");
  const std::string refused = "ERROR | 6 | Cannot delete route : Error [ 1 ] (code 6)";
  EXPECT_EQ(Ask("route del 192.168.50.5"), refused);  // the host's own LAN
  EXPECT_EQ(Ask("route del 10.9.3.4"), refused);      // the tunnel's, but another table
  EXPECT_EQ(Routes("table all"), before);
  EXPECT_THAT(layout_.LogText(), HasSubstr("Cannot delete route 192.168.50.0/255.255.255.0"));
}

TEST_F(RouteKernel, BroadcastMovesTheTunnelsBroadcastRouteMetric) {
  ns_.MustIp("route add 255.255.255.255 dev lan metric 20");
  ns_.MustIp(std::string("route add 255.255.255.255 dev ") + kTunnel + " metric 281");
  EXPECT_EQ(Ask("route broadcast on 10.8.0.1"), "OK");
  EXPECT_THAT(Routes(std::string("255.255.255.255 dev ") + kTunnel), MatchesRegex("[^\n]*metric 19[^\n]*\n"));
  EXPECT_EQ(Ask("route broadcast reset 10.8.0.1"), "OK");
  EXPECT_EQ(Routes(std::string("255.255.255.255 dev ") + kTunnel), "");  // the default metric is no route
  EXPECT_THAT(Routes("255.255.255.255 dev lan"), MatchesRegex("[^\n]*metric 20[^\n]*\n"));
  EXPECT_EQ(Ask("route broadcast on 10.7.0.1"),
            "ERROR | 14 | failed to query route to Brix -> Can't update metic to route broadcast to Brix's LAN.</br> "
            "(code 14)");
}

// The far end of the tunnel adapter: the frames the host sends through the TAP device.
class TapFarEnd {
 public:
  TapFarEnd(const NetworkNamespace& ns, const std::string& device) {
    // The device is looked up in the network namespace of the opener.
    ns.Run([&] {
      fd_ = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
      if (fd_ < 0) throw std::runtime_error("cannot open /dev/net/tun");
      ifreq request{};
      request.ifr_flags = IFF_TAP | IFF_NO_PI;
      device.copy(request.ifr_name, IFNAMSIZ - 1);
      if (ioctl(fd_, TUNSETIFF, &request) != 0) throw std::runtime_error("cannot attach to " + device);
    });
  }
  ~TapFarEnd() {
    if (fd_ >= 0) close(fd_);
  }
  TapFarEnd(const TapFarEnd&) = delete;
  TapFarEnd& operator=(const TapFarEnd&) = delete;

  // Reads frames until one carries marker; true when one carrying payload came first.
  bool SeesBefore(const std::string& payload, const std::string& marker) {
    bool seen = false;
    char frame[2048];
    for (;;) {
      pollfd ready{fd_, POLLIN, 0};
      if (poll(&ready, 1, 10000) != 1) throw std::runtime_error("no frame on the tunnel");
      ssize_t size = read(fd_, frame, sizeof frame);
      if (size <= 0) throw std::runtime_error("cannot read the tunnel");
      std::string text(frame, static_cast<std::size_t>(size));
      if (text.find(payload) != std::string::npos) seen = true;
      if (text.find(marker) != std::string::npos) return seen;
    }
  }

 private:
  int fd_ = -1;
};

// Sends one datagram to 255.255.255.255 from inside the namespace; bound to device
// when one is named (a bound limited broadcast leaves through that device whatever the
// routes say).
void SendLimitedBroadcast(const NetworkNamespace& ns, const std::string& payload, const std::string& device = "") {
  ns.Run([&] {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    if (!device.empty()) setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, device.c_str(), device.size());
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(5353);
    target.sin_addr.s_addr = INADDR_BROADCAST;
    ssize_t sent = sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&target), sizeof target);
    close(fd);
    if (sent != static_cast<ssize_t>(payload.size())) throw std::runtime_error("broadcast not sent");
  });
}

TEST_F(RouteKernel, BroadcastOnSendsLimitedBroadcastsThroughTheTunnelAndResetNoLonger) {
  TapFarEnd farEnd(ns_, kTunnel);
  StartService();
  EXPECT_THAT(Shown("route get 255.255.255.255"), Not(HasSubstr(kTunnel)));

  // Without a broadcast route of its own the tunnel's row has the default metric 256.
  EXPECT_EQ(Ask("route broadcast on 10.8.0.1"), "OK");
  EXPECT_THAT(Routes(std::string("255.255.255.255 dev ") + kTunnel), MatchesRegex("[^\n]*metric 255[^\n]*\n"));
  EXPECT_THAT(Shown("route get 255.255.255.255"), HasSubstr(std::string("dev ") + kTunnel));
  SendLimitedBroadcast(ns_, "vortan-broadcast-on");
  SendLimitedBroadcast(ns_, "vortan-marker-on", kTunnel);
  EXPECT_TRUE(farEnd.SeesBefore("vortan-broadcast-on", "vortan-marker-on"));

  EXPECT_EQ(Ask("route broadcast off 10.8.0.1"), "OK");
  EXPECT_EQ(Routes(std::string("255.255.255.255 dev ") + kTunnel), "");
  EXPECT_THAT(Shown("route get 255.255.255.255"), HasSubstr("dev lan"));
  SendLimitedBroadcast(ns_, "vortan-broadcast-off");
  SendLimitedBroadcast(ns_, "vortan-marker-off", kTunnel);
  EXPECT_FALSE(farEnd.SeesBefore("vortan-broadcast-off", "vortan-marker-off"));
  const std::string log = layout_.LogText();
  EXPECT_THAT(log, HasSubstr("set metric for broadcast route to 255 (=0(vpn interface) + 256 (lowest broadcat metric) -1)"));
  EXPECT_THAT(log, HasSubstr("set metric for broadcast route to 256 (=0(vpn interface) + 256"));
}

TEST_F(RouteKernel, PostConnectFlushesOnlyTheTunnelsNeighbours) {
  ns_.MustIp(std::string("neigh add 10.8.0.7 lladdr 02:00:00:00:00:07 dev ") + kTunnel + " nud stale");
  ns_.MustIp(std::string("neigh add 10.8.0.8 lladdr 02:00:00:00:00:08 dev ") + kTunnel + " nud reachable");
  ns_.MustIp("neigh add 192.168.50.1 lladdr 02:00:00:00:00:01 dev lan nud stale");
  EXPECT_EQ(Ask("route postconnect"), "SUCCESS | RT1 | post connect arp cleanup done (code 1)");
  EXPECT_EQ(Shown(std::string("neigh show dev ") + kTunnel), "");
  EXPECT_THAT(Shown("neigh show dev lan"), HasSubstr("192.168.50.1 lladdr 02:00:00:00:00:01"));
  EXPECT_THAT(layout_.LogText(), HasSubstr("flush response: 0"));
}

}  // namespace
}  // namespace vortan
