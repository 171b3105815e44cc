// vortanctl: its reading of replies and command lines, its exit codes against a
// scripted peer, and a real service.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "common/Ipv4.h"
#include "TestSupport.h"
#include "VortanCtl.h"

namespace vortan {
namespace test {
namespace {

using ::testing::ElementsAreArray;
using ::testing::Eq;
using ::testing::HasSubstr;
using ::testing::Not;

TEST(VortanctlReplies, ErrorRepliesAndTheEndOfATunnelAreRecognised) {
  const auto error = vortanctl::IsErrorReply;
  const auto exiting = vortanctl::IsExitingNotification;
  const struct {
    bool (*recognises)(const std::string&);
    const char* line;
    bool expected;
  } cases[] = {
      {error, "ERROR", true}, {error, "ERROR ", true},
      {error, "ERROR | 5 | 20190302T14:03:07 | Failed to launch process. (code 5)", true},
      {error, "ERROR | RT12 | 20190302T14:03:07 | x (code 12)", true},
      {error, "ERRORS", false}, {error, "error", false}, {error, " ERROR", false}, {error, "OK", false},
      {error, "bye", false}, {error, "SUCCESS | RT0 | 20190302T14:03:07 | done (code 0)", false},
      {error, "IMPLEMENTATION:1.0.0.0 COMPATIBILITY:6.5", false},
      {exiting, "> STATE: 1700000000,EXITING,SIGTERM,,", true},
      {exiting, "> STATE: 00000000 ,EXITING,exit-with-notification,,", true},
      {exiting, "> STATE: 1700000000,CONNECTED,SUCCESS,10.8.0.2,192.0.2.1,1194,,", false},
      {exiting, "> LOG: 1700000000,I,EXITING", false}, {exiting, ">STATE:1,EXITING,,", false},
      {exiting, "> STATE: EXITING", false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.expected, c.recognises(c.line)) << c.line;
}

TEST(VortanctlRoutes, TheLedgerWithEachRoutesStateInTheTable) {
  LedgerRoute recorded;
  ASSERT_TRUE(ParseLedgerLine("10.99.0.0 255.255.0.0 10.8.0.1 7 42 3 alice", &recorded));
  platform::Route entry{recorded.destination, recorded.mask, recorded.gateway, 7, 42, true, true, {}};
  const std::string header = "ROUTE\tTUNNEL\tOWNER\tSTATE\n";
  const std::string row = "10.99.0.0/255.255.0.0 via 10.8.0.1 if 7 metric 42\t3\talice\t";
  EXPECT_EQ(vortanctl::RoutesReport({recorded}, {entry}, true), header + row + "present\n");
  entry.owned = false;  // the administrator's route of the same fields
  EXPECT_EQ(vortanctl::RoutesReport({recorded}, {entry}, true), header + row + "missing\n");
}

TEST(VortanctlEndpoints, PortUsedAndExplicitEndpoints) {
  struct Case {
    const char* text;
    bool portUsed;  // parse as portused.txt content, else as an explicit endpoint
    bool valid;
    const char* address;
    int port;
  };
  for (const Case& c : {Case{"zel-vpn-service://127.83.4.201:49731", true, true, "127.83.4.201", 49731},
                        Case{"zel-vpn-service://127.0.0.1:4500\n", true, true, "127.0.0.1", 4500},
                        Case{"127.83.4.201:49731", true, false, "", 0},
                        Case{"zel-vpn-service://127.0.0.1", true, false, "", 0},
                        Case{"127.0.0.1:1", false, true, "127.0.0.1", 1},
                        Case{"127.0.0.1:65536", false, false, "", 0}, Case{"127.0.0.1:0", false, false, "", 0},
                        Case{"127.0.0.1:-5", false, false, "", 0}, Case{"localhost:80", false, false, "", 0},
                        Case{"127.1:80", false, false, "", 0}, Case{"", false, false, "", 0}}) {
    vortanctl::Endpoint endpoint;
    bool parsed = c.portUsed ? vortanctl::ParsePortUsed(c.text, &endpoint) : vortanctl::ParseEndpoint(c.text, &endpoint);
    ASSERT_EQ(c.valid, parsed) << c.text;
    if (!c.valid) continue;
    EXPECT_EQ(c.address, FormatDotted(endpoint.address)) << c.text;
    EXPECT_EQ(c.port, endpoint.port) << c.text;
  }
}

TEST(VortanctlOptions, RequestWordsFollowTheOptions) {
  struct Case {
    std::vector<std::string> arguments;
    std::string root, endpoint;
    std::vector<std::string> request;
    bool error;
  };
  for (const Case& c :
       {Case{{"version"}, "", "", {"version"}, false},
        Case{{"--root", "/x", "route", "del", "10.0.0.0"}, "/x", "", {"route", "del", "10.0.0.0"}, false},
        Case{{"--root=/y", "-e", "127.0.0.1:80"}, "/y", "127.0.0.1:80", {}, false},
        Case{{"--endpoint=127.0.0.1:80", "start", "-x"}, "", "127.0.0.1:80", {"start", "-x"}, false},
        Case{{"--", "-odd"}, "", "", {"-odd"}, false}, Case{{"-e", "nowhere"}, "", "nowhere", {}, true},
        Case{{"--root"}, "", "", {}, true}, Case{{"--bogus", "version"}, "", "", {}, true},
        Case{{"--rooted", "version"}, "", "", {}, true}}) {
    vortanctl::Options options = vortanctl::ParseOptions(c.arguments);
    EXPECT_EQ(c.error, !options.error.empty()) << ::testing::PrintToString(c.arguments);
    if (c.error) continue;
    EXPECT_EQ(c.root, options.root);
    EXPECT_EQ(c.endpoint, options.endpoint);
    EXPECT_THAT(options.request, ElementsAreArray(c.request));
  }
  EXPECT_EQ("route add 10.1.0.0 255.255.0.0", vortanctl::RequestLine({"route", "add", "10.1.0.0", "255.255.0.0"}));
}

// A loopback TCP socket bound to a port the system chose, which *port receives.
int BoundLoopbackSocket(int* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  *port = ntohs(address.sin_port);
  return fd;
}

struct ClientCase {
  const char* name;
  std::vector<std::string> request;  // sent by the client as one line
  std::vector<std::string> lines;  // what the peer sends after the welcome
  bool closeAfterLines;
  int exitCode;
  std::vector<std::string> printed;
  std::vector<std::string> notPrinted;
};

void PrintTo(const ClientCase& c, std::ostream* os) { *os << c.name; }

class VortanctlClientTest : public ::testing::TestWithParam<ClientCase> {};

void SendText(int fd, const std::string& text) { send(fd, text.data(), text.size(), MSG_NOSIGNAL); }

TEST_P(VortanctlClientTest, ExitCodeAndOutput) {
  const ClientCase& c = GetParam();
  int port = 0;
  const int listener = BoundLoopbackSocket(&port);
  listen(listener, 1);
  // A loopback peer that greets one client, records its request line and sends the
  // scripted lines; it closes the connection afterwards, or waits for the client to.
  std::string request;
  std::thread peer([&] {
    pollfd waiter{listener, POLLIN, 0};
    if (poll(&waiter, 1, 10000) <= 0) return;
    const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    // Every read gives up after ten seconds: a client that hangs cannot hang the test.
    timeval patience{10, 0};
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    SendText(client, kWelcome);
    char character;
    while (recv(client, &character, 1, 0) == 1 && character != '\n') request += character;
    for (const std::string& line : c.lines) SendText(client, line + "\n");
    char buffer[256];
    while (!c.closeAfterLines && recv(client, buffer, sizeof buffer, 0) > 0) {
    }
    close(client);
  });
  std::vector<std::string> command = {VORTANCTL_BINARY, "-e", "127.0.0.1:" + std::to_string(port)};
  command.insert(command.end(), c.request.begin(), c.request.end());
  std::string output;
  EXPECT_EQ(c.exitCode, RunCommand(command, &output)) << output;
  peer.join();
  close(listener);
  EXPECT_EQ(vortanctl::RequestLine(c.request), request);
  for (const std::string& text : c.printed) EXPECT_THAT(output, HasSubstr(text));
  for (const std::string& text : c.notPrinted) EXPECT_THAT(output, Not(HasSubstr(text)));
}

const char* const kConnected = "> STATE: 1700000001,CONNECTED,SUCCESS,10.8.0.2,192.0.2.1,1194,,";
const char* const kExiting = "> STATE: 1700000002,EXITING,SIGTERM,,";

INSTANTIATE_TEST_SUITE_P(
    Cases, VortanctlClientTest,
    ::testing::Values(
        ClientCase{"ErrorReply", {"route", "del", "10.9.0.0"},
                   {"ERROR | RT1 | 20190302T14:03:07 | no route (code 1)"}, true, 1,
                   {"ERROR | RT1 | 20190302T14:03:07 | no route (code 1)\n"}, {}},
        ClientCase{"SuccessReply", {"route", "del", "10.9.0.0"},
                   {"SUCCESS | RT0 | 20190302T14:03:07 | deleted (code 0)"}, true, 0,
                   {"SUCCESS | RT0 | 20190302T14:03:07 | deleted (code 0)\n"}, {"Welcome"}},
        // The peer keeps the connection open: the client itself stops at EXITING.
        ClientCase{"StartFollowsTheTunnelUntilExiting", {"start", "gw", "1194", "/tmp/x_", "tap0", "udp"},
                   {"OK", kConnected, kExiting, "> LOG: 1700000003,I,after the end"}, false, 0,
                   {std::string("OK\n") + kConnected + "\n" + kExiting + "\n"}, {"after the end"}},
        ClientCase{"FailedStartPrintsNoNotifications", {"start", "gw"},
                   {"ERROR | 5 | 20190302T14:03:07 | Bad Argument (code 5)", kConnected}, true, 1,
                   {"Bad Argument"}, {"CONNECTED"}},
        ClientCase{"HelpTextLinesAreShownAsLines", {"help"},
                   {"List of Availlable commands \r\rhelp \r\t   : display the following info ...\r"}, true, 0,
                   {"List of Availlable commands \n\nhelp \n\t   : display the following info ...\n"}, {"\r"}},
        ClientCase{"ClosedBeforeTheReply", {"version"}, {}, true, 2, {"without replying"}, {}},
        ClientCase{"SendsTheWordsAsOneLine", {"route", "add", "10.1.0.0", "255.255.0.0", "10.8.0.1", "5"},
                   {"OK"}, true, 0, {}, {}}),
    [](const ::testing::TestParamInfo<ClientCase>& info) { return std::string(info.param.name); });

// Exit codes and output of whole runs: against a service that cannot reply (its port
// closed, or not running), a running one (one request, then a session fed by the input),
// and without a request at all.
TEST(VortanctlClient, ExitCodesAndOutputOfWholeRuns) {
  InstalledLayout stopped, running;
  ServiceProcess service(running);
  Endpoint published;
  ASSERT_TRUE(service.WaitForEndpoint(&published)) << service.Output();
  // A port that was just free: nothing listens on it.
  int port = 0;
  close(BoundLoopbackSocket(&port));
  const std::string endpoint = "127.0.0.1:" + std::to_string(port);
  const std::string version = "IMPLEMENTATION:" VORTAN_PROJECT_VERSION " COMPATIBILITY:6.5\n";
  const std::string client = "'" VORTANCTL_BINARY "' ";
  const struct {
    std::string commandLine;
    int exitCode;
    std::vector<::testing::Matcher<std::string>> output;
  } rows[] = {
      {client + "--endpoint " + endpoint + " version", 2, {HasSubstr("cannot connect to " + endpoint)}},
      {client + "--root '" + stopped.Root() + "' version", 2, {HasSubstr("not running")}},
      {client + "--root '" + running.Root() + "' version", 0, {Eq(version)}},
      {"printf 'version\\n' | " + client + "--root '" + running.Root() + "'", 0,
       {HasSubstr("Welcome to VortanVpnService management Interface\n" + version + "bye\n")}},
      {client + "--help", 0,
       {HasSubstr("Usage: vortanctl"),
        HasSubstr("error reply: the reply is \"ERROR\" or begins with \"ERROR \"")}},
      {client + "--frobnicate", 64, {HasSubstr("unknown option --frobnicate")}},
  };
  for (const auto& row : rows) {
    std::string output;
    EXPECT_EQ(row.exitCode, Shell(row.commandLine, &output)) << output;
    for (const auto& shown : row.output) EXPECT_THAT(output, shown) << row.commandLine;
  }
}

}  // namespace
}  // namespace test
}  // namespace vortan
