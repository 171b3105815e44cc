#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <regex>
#include <sstream>
#include <thread>

#include "TestSupport.h"
#include "TunnelWorld.h"
#include "routes/RouteLedger.h"

namespace vortan {
namespace test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const char* const kAnnouncement = "Coucou I'm a Vortan client";
const std::regex kConnected("> STATE: [0-9]+,CONNECTED,SUCCESS,(10\\.8\\.0\\.[0-9]+),.*");
const std::regex kSynthesisedExiting("> STATE: [0-9]+,EXITING,exit-with-notification,,");

std::chrono::milliseconds Since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

bool IsNotification(const std::string& line) { return line.rfind("> ", 0) == 0; }
bool IsConnected(const std::string& line) { return std::regex_match(line, kConnected); }
bool IsSynthesisedExiting(const std::string& line) { return std::regex_match(line, kSynthesisedExiting); }
bool IsExitingState(const std::string& line) { return line.rfind("> STATE: ", 0) == 0 && line.find(",EXITING,") != std::string::npos; }

using Lines = std::vector<std::string>;
using Predicate = std::function<bool(const std::string&)>;

bool Contains(const Lines& lines, const Predicate& predicate) {
  return std::any_of(lines.begin(), lines.end(), predicate);
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

// Sends a request; returns the reply line, collecting the notification lines that
// arrive before it.
std::string Request(LineClient& client, const std::string& request, std::vector<std::string>* notifications,
                    std::chrono::milliseconds timeout = 20s) {
  client.Send(request);
  std::string reply;
  ReadUntil(
      client,
      [&](const std::string& line) {
        if (IsNotification(line)) return false;
        reply = line;
        return true;
      },
      notifications, timeout);
  if (!reply.empty() && notifications != nullptr) notifications->pop_back();
  return reply;
}

// The proxy words of a start through the proxy that wants credentials.
std::string ProxyWords() {
  return std::string(kServerAddress) + " " + std::to_string(kAuthProxyPort) + " " + kProxyUser + " " +
         kProxyPassword + " basic";
}

std::uint32_t CountOf(const std::string& text, const std::string& part) {
  std::uint32_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// True when every one of the attempts to connect to address:port from inside the
// namespace as the user nobody is refused.
bool AnotherUserIsRefused(const NetworkNamespace& ns, const std::string& address, int port, int attempts) {
  const pid_t child = fork();
  if (child == 0) {
    const int netns = open(ns.Path().c_str(), O_RDONLY | O_CLOEXEC);
    if (netns < 0 || setns(netns, CLONE_NEWNET) != 0 || setgroups(0, nullptr) != 0 || setgid(65534) != 0 ||
        setuid(65534) != 0) {
      _exit(2);
    }
    sockaddr_in target{AF_INET, htons(static_cast<std::uint16_t>(port)), {inet_addr(address.c_str())}, {}};
    for (int i = 0; i < attempts; ++i) {
      const int fd = socket(AF_INET, SOCK_STREAM, 0);
      if (connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0 || errno != ECONNREFUSED) _exit(1);
      close(fd);
    }
    _exit(0);
  }
  int status = -1;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// systemd-resolved on a D-Bus system bus of its own, in the client's namespace and a
// mount namespace of its own: its /run and the user it runs as never reach the host.
// Taken from VORTAN_RESOLVED_ROOT (an unpacked systemd-resolved package; "/" where it is
// installed).
class PrivateResolver {
 public:
  static std::string Root() {
    const char* root = std::getenv("VORTAN_RESOLVED_ROOT");
    return root == nullptr ? std::string() : root;
  }

  explicit PrivateResolver(const NetworkNamespace& ns) : ns_(ns) {
    const std::string dir = dir_.Path();
    // The daemon reaches the bus after it has dropped root.
    std::filesystem::permissions(dir, std::filesystem::perms::others_exec, std::filesystem::perm_options::add);
    WriteFile(dir + "/bus.conf", "<busconfig><type>system</type><listen>unix:path=" + dir +
                                     "/bus</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                     "<allow user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/>"
                                     "<allow receive_sender=\"*\"/></policy></busconfig>\n");
    WriteFile(dir + "/passwd", ReadFile("/etc/passwd") + "systemd-resolve:x:65534:65534::/:/usr/sbin/nologin\n");
    WriteFile(dir + "/group", ReadFile("/etc/group") + "systemd-resolve:x:65534:\n");
    WriteFile(dir + "/start.sh", "set -e\nmount --bind " + dir + "/passwd /etc/passwd\nmount --bind " + dir +
                                     "/group /etc/group\nmount -t tmpfs tmpfs /run\nmkdir -p /run/systemd/resolve\n"
                                     "chown 65534:65534 /run/systemd/resolve\nexport DBUS_SYSTEM_BUS_ADDRESS=" +
                                     Bus() + "\nexec " + Root() + "/lib/systemd/systemd-resolved\n");
    bus_ = std::make_unique<NamespacedProgram>(
        ns, std::vector<std::string>{"dbus-daemon", "--config-file=" + dir + "/bus.conf", "--nofork", "--nopidfile"},
        dir);
    EXPECT_TRUE(WaitUntil([&] { return std::filesystem::exists(dir + "/bus"); }, 5s));
    daemon_ = std::make_unique<NamespacedProgram>(
        ns, std::vector<std::string>{"unshare", "--mount", "--propagation", "private", "sh", dir + "/start.sh"}, dir);
    EXPECT_TRUE(WaitUntil([&] { return Status().find("Global") != std::string::npos; }, 10s)) << Status();
  }

  std::string Bus() const { return "unix:path=" + dir_.Path() + "/bus"; }

  std::string Status() const { return Resolvectl("status"); }

  std::string Resolvectl(const std::string& arguments) const {
    std::string output;
    Shell("ip netns exec " + ns_.Name() + " env DBUS_SYSTEM_BUS_ADDRESS=" + Bus() + " " + Root() +
              "/usr/bin/resolvectl " + arguments + " 2>&1",
          &output);
    return output;
  }

 private:
  const NetworkNamespace& ns_;
  TempDirectory dir_{"vortan-resolved"};
  std::unique_ptr<NamespacedProgram> bus_;
  std::unique_ptr<NamespacedProgram> daemon_;
};

// A world with both sides and the service running in the client's namespace.
class TunnelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<ServerSide>();
    client_ = std::make_unique<ClientSide>(server_.get(), ClientSide::Options{});
    BeforeService();
    client_->StartService();
  }
  virtual void BeforeService() {}

  void TearDown() override {
    if (!client_) return;
    // The service's log explains a failure (VORTAN_TUNNEL_LOGS=1 shows it always).
    if (HasFailure() || std::getenv("VORTAN_TUNNEL_LOGS") != nullptr) {
      std::cout << "----- service log -----\n"
                << client_->Layout().LogText() << "-----------------------" << std::endl;
    }
    connection_.reset();
    resolver_.reset();
    // Stopping the service stops OpenVPN and stunnel: nothing may stay behind.
    EXPECT_TRUE(client_->StopService().empty()) << "processes left in the client namespace";
    client_.reset();
    server_.reset();
  }

  // Starts a tunnel on the connection and waits for it to connect; returns the lines
  // relayed up to the connected state and reports how long that took.
  std::vector<std::string> StartConnected(LineClient& connection, const std::string& request, const char* mode) {
    std::vector<std::string> lines;
    const auto started = Clock::now();
    EXPECT_EQ(Request(connection, request, &lines), "OK");
    EXPECT_TRUE(ReadUntil(connection, IsConnected, &lines, 30s)) << Joined(lines);
    const auto elapsed = Since(started);
    std::cout << "[ timing ] start-to-CONNECTED " << mode << ": " << elapsed.count() << " ms" << std::endl;
    RecordProperty(std::string("start_to_connected_ms_") + mode, static_cast<int>(elapsed.count()));
    return lines;
  }

  // What "ip <arguments>" shows inside the client's namespace.
  std::string Shown(const std::string& arguments) const {
    std::string output;
    client_->Namespace().Ip(arguments, &output);
    return output;
  }

  std::unique_ptr<LineClient> ConnectedUdp(const char* mode) {
    auto connection = client_->Connect();
    StartConnected(*connection, client_->StartRequest("udp", kOpenVpnPort), mode);
    return connection;
  }

  void ExpectAnnouncement() {
    Datagram datagram;
    ASSERT_TRUE(server_->ReceiveAnnouncement(&datagram, 5s)) << "no announcement";
    EXPECT_EQ(datagram.payload, kAnnouncement);
    EXPECT_EQ(datagram.destination, kTunnelBroadcast);
  }

  // cause restarts the tunnel on the connection: CONNECTED again (then onConnected runs)
  // through the hold, announced again, by the same OpenVPN; the time it took is reported.
  void ExpectReconnected(LineClient& connection, const char* what, const std::function<void()>& cause,
                         const std::function<void()>& onConnected = nullptr) {
    const auto restarted = Clock::now();
    cause();
    std::vector<std::string> lines;
    ASSERT_TRUE(ReadUntil(connection, IsConnected, &lines, 60s)) << what << "\n" << Joined(lines);
    std::cout << "[ timing ] " << what << " to CONNECTED again: " << Since(restarted).count() << " ms"
              << std::endl;
    if (onConnected) onConnected();
    EXPECT_TRUE(Contains(lines, [](const std::string& line) { return line.rfind("> HOLD: ", 0) == 0; }))
        << what << "\n" << Joined(lines);
    ExpectAnnouncement();
    ASSERT_EQ(client_->LaunchedOpenVpnPids().size(), 1u) << "the same OpenVPN reconnects";
  }

  // "shutdown" answers once OpenVPN is gone (and collected). The exiting state, where
  // one is awaited, reaches the client around the reply: among the lines before it, or
  // soon after.
  void ExpectShutdown(LineClient& connection, const Predicate& isExiting = nullptr) {
    const std::vector<std::uint32_t> launched = client_->LaunchedOpenVpnPids();
    ASSERT_FALSE(launched.empty());
    std::vector<std::string> beforeReply, after;
    EXPECT_EQ(Request(connection, "shutdown", &beforeReply), "OK");
    // Collected by then; the kernel may need a moment to drop its entry.
    EXPECT_TRUE(WaitUntil([&] { return ProcessGone(launched.back()); }, 1s)) << "OpenVPN still there after shutdown";
    if (!isExiting || Contains(beforeReply, isExiting)) return;
    EXPECT_TRUE(ReadUntil(connection, isExiting, &after, 5s)) << Joined(beforeReply) << Joined(after);
  }

  std::unique_ptr<ServerSide> server_;
  std::unique_ptr<ClientSide> client_;
  std::unique_ptr<LineClient> connection_;  // where a test keeps it in the fixture
  std::unique_ptr<PrivateResolver> resolver_;
};

TEST_F(TunnelTest, DirectUdpRelaysConnectsAnnouncesAndShutsDown) {
  auto connection = client_->Connect();
  const Lines lines = StartConnected(*connection, client_->StartRequest("udp", kOpenVpnPort), "udp");
  ASSERT_GE(lines.size(), 3u) << Joined(lines);
  EXPECT_EQ(lines[0], "> INFO: OpenVPN Management Interface Version 5 -- type 'help' for more info");
  EXPECT_EQ(lines[1], "> HOLD: Waiting for hold release:0");
  for (std::size_t i = 2; i < lines.size(); ++i) {
    EXPECT_TRUE(lines[i].rfind("> STATE: ", 0) == 0 || lines[i].rfind("> LOG: ", 0) == 0) << lines[i];
  }
  EXPECT_TRUE(Contains(lines, [](const std::string& line) { return line.rfind("> LOG: ", 0) == 0; }));
  ASSERT_TRUE(std::regex_match(lines.back(), kConnected));
  EXPECT_NE(lines.back().find(",192.0.2.1,1194,,"), std::string::npos) << lines.back();
  ExpectAnnouncement();
  // Over UDP OpenVPN says "SIGTERM received": the client gets the synthesised exiting state.
  ExpectShutdown(*connection, IsSynthesisedExiting);
}

// OpenVPN names the interface after the device word. The route commands reach the
// running tunnel through it, the announcement leaves through it even where its address
// also sits on a LAN interface listed first, and the route the server pushed to the
// host's name server is gone (the other pushed route stays).
TEST_F(TunnelTest, DeviceWordTap0CarriesTheRouteCommandsAndTheAnnouncement) {
  const NetworkNamespace& ns = client_->Namespace();
  ns.AddVethPair("lanx", "lanxpeer");
  ns.MustIp("address add 10.8.0.100/16 dev lanx");
  auto connection = client_->Connect();
  std::string request = client_->StartRequest("udp", kOpenVpnPort);
  request.replace(request.find(" Vortan-Dashlet "), 16, " tap0 ");
  const std::vector<std::string> lines = StartConnected(*connection, request, "udp-tap0");
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find(",10.8.0.100,"), std::string::npos) << lines.back();
  ExpectAnnouncement();
  std::string routes = Shown("route show dev tap0");
  EXPECT_EQ(routes.find("198.51.100.53"), std::string::npos) << routes;
  EXPECT_NE(routes.find("203.0.113.0/24 via 10.8.0.1"), std::string::npos) << routes;

  EXPECT_EQ(Untimed(Request(*connection, "route add 192.168.50.0 255.255.255.0 10.8.0.1 1", nullptr)),
            "SUCCESS | RT1 | Brix LAN devices network added. (code 1)");
  EXPECT_EQ(Request(*connection, "route broadcast on 10.8.0.1", nullptr), "OK");
  ns.MustIp("neigh add 10.8.0.77 lladdr 02:00:00:00:00:77 dev tap0 nud stale");
  Request(*connection, "route postconnect", nullptr);
  const std::string neighbours = Shown("neigh show dev tap0");
  EXPECT_EQ(neighbours.find("10.8.0.77"), std::string::npos) << neighbours;
  EXPECT_EQ(Request(*connection, "route del 192.168.50.7", nullptr), "OK");
  routes = Shown("route show dev tap0");
  EXPECT_EQ(routes.find("192.168.50.0/24"), std::string::npos) << routes;
  EXPECT_NE(routes.find("255.255.255.255"), std::string::npos) << routes;
  ExpectShutdown(*connection);
}

// A new address on the client's way to the server: the service has OpenVPN restart at
// once. OpenVPN alone, with the configuration the service rendered (less its management
// lines), is timed too: it has only its ping timeout (10 s from the lab server), and over
// UDP the server may follow its new address without a restart.
TEST_F(TunnelTest, ReaddressedPathRestartsTheTunnelWithinSeconds) {
  const NetworkNamespace& ns = client_->Namespace();
  int host = 2;  // the client is 192.0.2.<host>
  const auto readdress = [&] {
    ns.MustIp("address del 192.0.2." + std::to_string(host) + "/24 dev vcli0");
    ns.MustIp("address add 192.0.2." + std::to_string(++host) + "/24 dev vcli0");
    return Clock::now();
  };
  for (const std::string protocol : {"udp", "tcp"}) {
    auto connection = client_->Connect();
    StartConnected(*connection, client_->StartRequest(protocol, kOpenVpnPort), protocol.c_str());
    auto changed = readdress();
    std::vector<std::string> lines;
    EXPECT_TRUE(ReadUntil(*connection, IsConnected, &lines, 10s)) << protocol << "\n" << Joined(lines);
    const auto service = Since(changed);
    ExpectShutdown(*connection);

    TempDirectory alone("vortan-alone");
    std::string config;
    std::istringstream rendered(ReadFile(client_->Prefix() + "vortanclient.ovpn"));
    for (std::string line; std::getline(rendered, line);) {
      if (line.rfind("management", 0) != 0 && line.rfind("syslog", 0) != 0) config += line + "\n";
    }
    const std::string log = alone.Path() + "/alone.log";
    WriteFile(alone.Path() + "/alone.ovpn", config + "log " + log + "\n");
    const auto completions = [&] { return CountOf(ReadFile(log), "Initialization Sequence Completed"); };
    // In the client's directory: the configuration names its files relative to it.
    NamespacedProgram openvpn(ns, {"openvpn", "--config", alone.Path() + "/alone.ovpn"},
                              client_->Layout().Root() + "/client");
    ASSERT_TRUE(WaitUntil([&] { return completions() == 1 || !openvpn.Running(); }, 30s) && openvpn.Running())
        << ReadFile(log);
    changed = readdress();
    const bool reconnected = WaitUntil([&] { return completions() == 2; }, 25s);
    const auto byItself = Since(changed);
    std::cout << "[ timing ] re-address-to-CONNECTED " << protocol << ": service " << service.count()
              << " ms, OpenVPN alone " << (reconnected ? std::to_string(byItself.count()) + " ms" : "none within 25 s")
              << std::endl;
    RecordProperty("readdress_to_connected_ms_service_" + protocol, static_cast<int>(service.count()));
    RecordProperty("readdress_to_connected_ms_openvpn_alone_" + protocol,
                   reconnected ? static_cast<int>(byItself.count()) : -1);
  }
}

// The lab server pushes a name server and a domain. Without systemd-resolved they are
// not applied: the operator is told once, and no resolv.conf changes.
TEST_F(TunnelTest, PushedDnsWithoutResolvedIsReportedOnceAndResolvConfStaysAsItWas) {
  const std::string namespaceConf = "/etc/netns/" + client_->Namespace().Name() + "/resolv.conf";
  const std::string namespaceBefore = ReadFile(namespaceConf);
  const std::string hostBefore = ReadFile("/etc/resolv.conf");
  auto connection = ConnectedUdp("udp-dns");
  ExpectShutdown(*connection);
  EXPECT_EQ(CountOf(client_->Layout().LogText(), "pushed are not applied: systemd-resolved does not run"), 1u);
  EXPECT_EQ(ReadFile(namespaceConf), namespaceBefore);
  EXPECT_EQ(ReadFile("/etc/resolv.conf"), hostBefore);
}

TEST_F(TunnelTest, DirectTcp) {
  auto connection = client_->Connect();
  StartConnected(*connection, client_->StartRequest("tcp", kOpenVpnPort), "tcp");
  ExpectAnnouncement();
  ExpectShutdown(*connection, IsExitingState);
}

TEST_F(TunnelTest, QbrThroughStunnelStoppedWithTheService) {
  auto connection = client_->Connect();
  StartConnected(*connection, client_->StartRequest("qbr", kStunnelServerPort), "qbr");
  ExpectAnnouncement();
  EXPECT_NE(ReadFile(client_->Prefix() + "_stunnel.conf").find("connect = 192.0.2.1:443"), std::string::npos);
  EXPECT_EQ(client_->ProcessesInNamespace().size(), 3u) << "the service, OpenVPN and stunnel";
  // No "shutdown": stopping the service must end OpenVPN and stunnel (checked on tear-down).
}

TEST_F(TunnelTest, QbrThroughStunnelAndProxyWithCredentials) {
  auto connection = client_->Connect();
  StartConnected(*connection, client_->StartRequest("QBR", kStunnelServerPort, ProxyWords()), "qbr-proxy");
  ExpectAnnouncement();
  EXPECT_NE(server_->AuthProxyLog().find("CONNECT 192.0.2.1:443 auth=basic"), std::string::npos)
      << server_->AuthProxyLog();
  // stunnel's accept end sends whatever reaches it through the proxy with the owner's
  // credentials: another user's connections are refused, and do not fill its log.
  std::smatch accept;
  const std::string stunnelConfig = ReadFile(client_->Layout().Root() + "/run/stunnel.conf");
  ASSERT_TRUE(std::regex_search(stunnelConfig, accept, std::regex("accept = ([0-9.]+):([0-9]+)"))) << stunnelConfig;
  EXPECT_TRUE(AnotherUserIsRefused(client_->Namespace(), accept[1], std::stoi(accept[2]), 1000));
  const std::string stunnelLog = ReadFile(client_->Layout().Logs() + "/stunnelLog.txt");
  EXPECT_LT(stunnelLog.size(), 16384u);
  EXPECT_EQ(stunnelLog.find("Proxy-Authorization"), std::string::npos) << stunnelLog;
  ExpectShutdown(*connection);
  // "shutdown" stops stunnel too: only the service remains, and the guard goes.
  EXPECT_TRUE(WaitUntil([&] { return client_->ProcessesInNamespace().size() == 1; }, 2s));
  std::string tables;
  RunCommand({"ip", "netns", "exec", client_->Namespace().Name(), "nft", "list", "tables"}, &tables);
  EXPECT_EQ(tables.find("vortan_qbr"), std::string::npos) << tables;
}

TEST_F(TunnelTest, DirectThroughProxyWithCredentials) {
  auto connection = client_->Connect();
  StartConnected(*connection, client_->StartRequest("tcp", kOpenVpnPort, ProxyWords()), "tcp-proxy");
  ExpectAnnouncement();
  EXPECT_NE(server_->AuthProxyLog().find("CONNECT 192.0.2.1:1194 auth=basic"), std::string::npos)
      << server_->AuthProxyLog();
  EXPECT_NE(ReadFile(client_->Prefix() + "vortanclient.ovpn").find(client_->Prefix() + "auth.txt"), std::string::npos);
  ExpectShutdown(*connection);
}

TEST_F(TunnelTest, StartWhileRunningReplacesTheTunnel) {
  auto connection = ConnectedUdp("udp");
  ExpectAnnouncement();
  const std::uint32_t first = client_->LaunchedOpenVpnPids().back();
  const auto withOneTunnel = client_->ServiceThreadsAndDescriptors();

  const auto restarted = Clock::now();
  std::vector<std::string> lines = StartConnected(*connection, client_->StartRequest("tcp", kOpenVpnPort), "tcp-restart");
  EXPECT_GE(Clock::now() - restarted, 2s) << "no pause after the shutdown";
  EXPECT_TRUE(WaitUntil([&] { return ProcessGone(first); }, 1s));
  EXPECT_TRUE(Contains(lines, IsExitingState)) << Joined(lines);
  const std::vector<std::uint32_t> launched = client_->LaunchedOpenVpnPids();
  ASSERT_EQ(launched.size(), 2u);
  EXPECT_FALSE(ProcessGone(launched[1]));
  ExpectAnnouncement();
  // The replaced tunnel's worker and connections went with it.
  EXPECT_TRUE(WaitUntil([&] { return client_->ServiceThreadsAndDescriptors() == withOneTunnel; }, 2s))
      << client_->ServiceThreadsAndDescriptors().first << " threads, "
      << client_->ServiceThreadsAndDescriptors().second << " descriptors";
  ExpectShutdown(*connection);
}

TEST_F(TunnelTest, TwoClientsStartingAtOnceLeaveOneTrackedTunnel) {
  auto first = client_->Connect();
  auto second = client_->Connect();
  const std::string request = client_->StartRequest("udp", kOpenVpnPort);
  std::string firstReply, secondReply;
  std::thread other([&] { secondReply = Request(*second, request, nullptr); });
  firstReply = Request(*first, request, nullptr);
  other.join();
  EXPECT_EQ(firstReply, "OK");
  EXPECT_EQ(secondReply, "OK");

  const std::vector<std::uint32_t> launched = client_->LaunchedOpenVpnPids();
  ASSERT_EQ(launched.size(), 2u);
  EXPECT_TRUE(WaitUntil([&] { return ProcessGone(launched[0]); }, 1s));
  EXPECT_FALSE(ProcessGone(launched[1]));
  // The surviving tunnel is the one the service tracks: "shutdown" ends it.
  ExpectShutdown(*first);
  const std::vector<std::uint32_t> inside = client_->ProcessesInNamespace();
  EXPECT_EQ(inside.size(), 1u) << "only the service should remain";
}

TEST_F(TunnelTest, KilledOpenVpnTellsTheClientAndLeavesNoZombie) {
  auto connection = ConnectedUdp("udp");
  const std::uint32_t pid = client_->LaunchedOpenVpnPids().back();
  ASSERT_EQ(kill(static_cast<pid_t>(pid), SIGKILL), 0);
  std::vector<std::string> lines;
  EXPECT_TRUE(ReadUntil(*connection, IsSynthesisedExiting, &lines, 5s)) << Joined(lines);
  EXPECT_TRUE(WaitUntil([&] { return ProcessGone(pid); }, 2s)) << "OpenVPN left as a zombie";
}

// The routes a client added are the service's: marked in the kernel, recorded in its
// ledger, back with OpenVPN's own restart before the client reads CONNECTED again and
// after another program's deletion (within a bound), and gone after a crash and a new
// start, while the administrator's stay.
TEST_F(TunnelTest, TunnelComesBackAfterServerRestart) {
  auto connection = ConnectedUdp("udp");
  ExpectAnnouncement();
  ExpectReconnected(*connection, "server restart", [&] { server_->RestartUdpServer(); });
  ExpectShutdown(*connection);
}

TEST_F(TunnelTest, ClientRoutesFollowTheTunnelAcrossRestartsAndCrashes) {
  const NetworkNamespace& ns = client_->Namespace();
  auto routeOf = [&](const std::string& selector) { return Shown("route show " + selector); };
  auto connection = ConnectedUdp("udp");
  ExpectAnnouncement();
  EXPECT_EQ(Untimed(Request(*connection, "route add 10.99.0.0 255.255.0.0 10.8.0.1 5", nullptr)),
            "SUCCESS | RT1 | Brix LAN devices network added. (code 1)");
  EXPECT_NE(routeOf("10.99.0.0/16").find("proto 157"), std::string::npos) << routeOf("10.99.0.0/16");
  EXPECT_NE(ReadFile(client_->Layout().Root() + "/run/routes.txt").find("10.99.0.0 255.255.0.0 10.8.0.1"),
            std::string::npos);

  struct Restart {
    const char* what;
    std::function<void()> cause;
  } restarts[] = {
      {"SIGUSR1 to the client's OpenVPN",
       [&] { ASSERT_EQ(kill(static_cast<pid_t>(client_->LaunchedOpenVpnPids().back()), SIGUSR1), 0); }},
      {"server restart", [&] { server_->RestartUdpServer(); }},
  };
  for (const Restart& restart : restarts) {
    ASSERT_NO_FATAL_FAILURE(ExpectReconnected(*connection, restart.what, restart.cause, [&] {
      EXPECT_TRUE(WaitUntil([&] { return !routeOf("10.99.0.0/16").empty(); }, 1s)) << restart.what;
    }));
  }

  // Another program deletes it: back within 2 s, five times a minute, then left alone.
  for (int deletion = 1; deletion <= RestoreBudget::kLimit + 1; ++deletion) {
    ns.MustIp("route del 10.99.0.0/16");
    EXPECT_EQ(WaitUntil([&] { return !routeOf("10.99.0.0/16").empty(); }, 2s), deletion <= RestoreBudget::kLimit)
        << "deletion " << deletion;
  }

  // A marked route on a device that outlives the crash, and the administrator's own.
  ns.MustIp("route add 10.77.0.0/16 dev vcli0 proto 157");
  ns.MustIp("route add 10.78.0.0/16 dev vcli0");
  ns.MustIp("route add 10.79.0.0/16 dev vcli0 proto 157 metric 3 table 7");
  connection.reset();
  client_->KillService();
  client_->StartService();
  EXPECT_EQ(routeOf("proto 157"), "");
  EXPECT_NE(routeOf("10.78.0.0/16"), "");
  EXPECT_NE(routeOf("table 7"), "");  // another table: never the service's
  connection = ConnectedUdp("udp-after-crash");
  ExpectShutdown(*connection);
}

class TunnelDnsTest : public TunnelTest {
 protected:
  void SetUp() override {
    if (PrivateResolver::Root().empty()) GTEST_SKIP() << "VORTAN_RESOLVED_ROOT names no systemd-resolved";
    TunnelTest::SetUp();
  }
  void BeforeService() override {
    resolver_ = std::make_unique<PrivateResolver>(client_->Namespace());
    client_->UseSystemBus(resolver_->Bus());
  }
};

// The lab's name server behind the tunnel: every question gets the address 10.8.0.77.
const char* const kLabNameServer =
    "import socket\ns=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\ns.bind(('10.8.0.1',53))\n"
    "while True:\n q,a=s.recvfrom(512)\n e=12\n while q[e]: e+=q[e]+1\n"
    " s.sendto(q[:2]+bytes([129,128,0,1,0,1,0,0,0,0])+q[12:e+5]+bytes([192,12,0,1,0,1,0,0,0,60,0,4,10,8,0,77]),a)\n";

// The pushed server and domain are on the tunnel's link when the client reads
// CONNECTED, names of the domain are answered through the tunnel, and nothing is left
// once the tunnel has ended.
TEST_F(TunnelDnsTest, PushedServerAndDomainAreOnTheTunnelLinkUntilTheTunnelEnds) {
  NamespacedProgram nameServer(server_->Namespace(), {"python3", "-c", kLabNameServer}, "/");
  auto connection = ConnectedUdp("udp-resolved");
  auto applied = [&] {
    const std::string status = resolver_->Status();
    return status.find("10.8.0.1") != std::string::npos && status.find("lab.example") != std::string::npos;
  };
  EXPECT_TRUE(WaitUntil(applied, 1s)) << resolver_->Status();
  auto answered = [&] { return resolver_->Resolvectl("query -t A host.lab.example").find("10.8.0.77"); };
  EXPECT_TRUE(WaitUntil([&] { return answered() != std::string::npos; }, 5s))
      << resolver_->Resolvectl("query -t A host.lab.example");
  ExpectShutdown(*connection);
  const std::string after = resolver_->Status();
  EXPECT_EQ(after.find("10.8.0.1"), std::string::npos) << after;
  EXPECT_EQ(after.find("lab.example"), std::string::npos) << after;
}

// A killed service takes its OpenVPN along, and with it the tunnel's link: resolved
// keeps nothing of the pushed settings.
TEST_F(TunnelDnsTest, KilledServiceLeavesNothingOnAnyLink) {
  auto connection = ConnectedUdp("udp-resolved-kill");
  ASSERT_TRUE(WaitUntil([&] { return resolver_->Status().find("lab.example") != std::string::npos; }, 1s));
  for (std::uint32_t pid : client_->ProcessesInNamespace()) {
    const bool service = ReadFile("/proc/" + std::to_string(pid) + "/comm") == "VortanVpnServic\n";
    if (service) kill(static_cast<pid_t>(pid), SIGKILL);
  }
  EXPECT_TRUE(WaitUntil([&] { return resolver_->Status().find("lab.example") == std::string::npos; }, 5s))
      << resolver_->Status();
}

// A service killed with its tunnel up left settings on a link that is still there: the
// next start takes them back.
class TunnelDnsLeftoverTest : public TunnelDnsTest {
 protected:
  void BeforeService() override {
    TunnelDnsTest::BeforeService();
    const NetworkNamespace& ns = client_->Namespace();
    ns.MustIp("tuntap add vtdnsleft mode tap");
    ns.MustIp("link property add dev vtdnsleft altname Vortan-Dashlet");
    ns.MustIp("link set vtdnsleft up");
    resolver_->Resolvectl("dns vtdnsleft 10.77.0.53");
    ASSERT_NE(resolver_->Status().find("10.77.0.53"), std::string::npos) << resolver_->Status();
  }
};

TEST_F(TunnelDnsLeftoverTest, StartTakesBackWhatALinkOfTheTunnelsNameKept) {
  EXPECT_TRUE(WaitUntil([&] { return resolver_->Status().find("10.77.0.53") == std::string::npos; }, 2s))
      << resolver_->Status();
}

// A name server resolved uses on a LAN link counts as one of the host's: the pushed
// route that would carry it into the tunnel is removed.
TEST_F(TunnelDnsTest, ServersOfOtherLinksAreGuardedFromPushedRoutes) {
  resolver_->Resolvectl("dns vcli0 203.0.113.53");
  auto connection = ConnectedUdp("udp-resolved-lan");
  const std::string routes = Shown("route show");
  EXPECT_EQ(routes.find("203.0.113.0/24"), std::string::npos) << routes;
  ExpectShutdown(*connection);
}

// A reply that matches the error line of code and message (a pattern).
bool IsError(const std::string& reply, int code, const std::string& message) {
  return std::regex_match(reply, std::regex("ERROR \\| " + std::to_string(code) +
                                            " \\| [0-9]{8}T[0-9]{2}:[0-9]{2}:[0-9]{2} \\| " + message +
                                            " \\(code " + std::to_string(code) + "\\)"));
}

const char* const kExitedWithoutChannel = "> STATE: 00000000 ,EXITING,exit-with-notification,,";

// The service alone in a namespace without a network: answers that need no server.
class TunnelStartRefusedTest : public TunnelTest {
 protected:
  void SetUp() override {}
  void StartService(ClientSide::Options options) {
    client_ = std::make_unique<ClientSide>(nullptr, options);
    // Files for OpenVPN to be given; no server would accept them.
    for (const char* name : {"ca.crt", "client.crt", "client.key"}) WriteFile(client_->Prefix() + name, "unused\n");
    client_->StartService();
    connection_ = client_->Connect();
  }
  std::string Start(const std::string& protocol = "udp") {
    const int port = protocol == "qbr" ? kStunnelServerPort : kOpenVpnPort;
    return Request(*connection_, client_->StartRequest(protocol, port), nullptr);
  }
};

TEST_F(TunnelStartRefusedTest, MissingOpenVpnAnswersWithTheErrorCode) {
  StartService({false, true});
  const auto started = Clock::now();
  const std::string reply = Start();
  EXPECT_TRUE(IsError(reply, ENOENT, "Failed to launch process\\.")) << reply;
  EXPECT_GE(Clock::now() - started, 1500ms) << "three attempts 0, 500 and 1000 ms apart";
  EXPECT_EQ(CountOf(client_->Layout().LogText(), "CreateProcess retry #"), 3u);
}

TEST_F(TunnelStartRefusedTest, LaunchRetriesUntilTheProgramAppearsThenManagementIsUnreachable) {
  StartService({false, true});
  // A stand-in program that exits at once and never opens the management interface;
  // it appears between the second and the third attempt.
  std::thread appear([&] {
    const auto secondFailed = [&] { return CountOf(client_->Layout().LogText(), "retry #2 error") == 1; };
    EXPECT_TRUE(WaitUntil(secondFailed, 5s));
    std::filesystem::create_symlink("/bin/true", client_->Layout().Bin() + "/openvpn");
  });
  const std::string reply = Start();
  appear.join();
  EXPECT_EQ(reply, "OK");
  EXPECT_EQ(connection_->ReadText(10s), kExitedWithoutChannel);
  const std::string log = client_->Layout().LogText();
  EXPECT_EQ(CountOf(log, "CreateProcess retry #1 error [2]"), 1u) << log;
  EXPECT_EQ(CountOf(log, "CreateProcess retry #2 error [2]"), 1u) << log;
  EXPECT_EQ(CountOf(log, "CreateProcess retry #3  ok "), 1u) << log;
  EXPECT_EQ(CountOf(log, "Opening socket on "), 6u) << log;
  EXPECT_EQ(CountOf(log, "Sleeping 500ms and retrying"), 5u) << log;
}

// An OpenVPN that never opens its management channel is stopped, and its tunnel has no
// owner left.
TEST_F(TunnelStartRefusedTest, OpenVpnThatNeverOpensItsChannelIsStopped) {
  StartService({false, true});
  const std::string standIn = client_->Layout().Bin() + "/openvpn";
  WriteFile(standIn, "#!/bin/sh\nexec sleep 30\n");
  std::filesystem::permissions(standIn, std::filesystem::perms::owner_all);
  EXPECT_EQ(Start(), "OK");
  EXPECT_EQ(connection_->ReadText(10s), kExitedWithoutChannel);
  const std::vector<std::uint32_t> launched = client_->LaunchedOpenVpnPids();
  ASSERT_EQ(launched.size(), 1u);
  EXPECT_TRUE(WaitUntil([&] { return ProcessGone(launched[0]); }, 2s));
}

TEST_F(TunnelStartRefusedTest, WrongWordsAreRefusedBeforeAnythingIsWritten) {
  StartService({true, true});
  const std::string prefix = client_->Prefix();
  for (const std::string& request :
       {std::string("start 192.0.2.1 1194 ") + prefix + " Vortan-Dashlet udp",
        std::string("start 192.0.2.1 1194 ") + prefix + " Vortan-Dashlet udp adaptive extra",
        std::string("start 192.0.2.1 1194 ") + prefix + " Vortan-Dashlet udp adap\x01tive"}) {
    SCOPED_TRACE(request);
    const std::string reply = Request(*connection_, request, nullptr);
    EXPECT_TRUE(IsError(reply, 0, "Dashlet sent wrong request arguments")) << reply;
  }
  EXPECT_FALSE(FileExists(prefix + "vortanclient.ovpn"));
  EXPECT_FALSE(FileExists(prefix + "_stunnel.conf"));
  EXPECT_TRUE(client_->LaunchedOpenVpnPids().empty());
}

TEST_F(TunnelStartRefusedTest, MalformedSettingsEndTheMainLoopBeforeAControllerIsBuilt) {
  client_ = std::make_unique<ClientSide>(nullptr, ClientSide::Options{});
  client_->Layout().WriteConf("VortanVpnService.ini", "no separator here\n");
  ServiceProcess service(client_->Layout(), {"/console"}, client_->Namespace().ExecWrapper());
  EXPECT_EQ(service.WaitForExit(10s), 1);
  EXPECT_NE(service.Output().find("Service running error : CFG: Couldn't find separator on line: 1"), std::string::npos)
      << service.Output();
  EXPECT_TRUE(client_->LaunchedOpenVpnPids().empty());
}

TEST_F(TunnelStartRefusedTest, QbrWithoutStunnelIsRefused) {
  StartService({true, false});
  const std::string reply = Start("qbr");
  EXPECT_TRUE(IsError(reply, 0, "QBR not installed ")) << reply;
  EXPECT_TRUE(client_->LaunchedOpenVpnPids().empty());
}

}  // namespace
}  // namespace test
}  // namespace vortan
