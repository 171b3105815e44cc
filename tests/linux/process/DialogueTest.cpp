// The management dialogue of the real executable, over TCP.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <sys/socket.h>
#include <thread>

#include "TestSupport.h"
#include "Version.h"
#include "protocol/Replies.h"

namespace vortan {
namespace {

using test::LineClient;
using ::testing::HasSubstr;
using ::testing::Not;

class DialogueTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    layout_ = new test::InstalledLayout();
    service_ = new test::ServiceProcess(*layout_);
    ASSERT_TRUE(service_->WaitForEndpoint(&endpoint_));
  }
  static void TearDownTestSuite() {
    delete service_;
    delete layout_;
  }
  // A connected client whose welcome line has been read and checked.
  std::unique_ptr<LineClient> Connect() {
    auto client = std::make_unique<LineClient>(endpoint_);
    EXPECT_EQ(client->ReadLine(), test::kWelcome);
    return client;
  }
  // Sends each input as it is and expects its reply line (line feed included).
  using Exchanges = std::vector<std::pair<std::string, std::string>>;
  static void ExpectReplies(LineClient& client, const Exchanges& exchanges) {
    for (const auto& [input, reply] : exchanges) {
      client.SendRaw(input);
      EXPECT_EQ(client.ReadLine(), reply) << input;
    }
  }
  static inline test::InstalledLayout* layout_ = nullptr;
  static inline test::ServiceProcess* service_ = nullptr;
  static inline test::Endpoint endpoint_;
};

const std::string kVersion = "IMPLEMENTATION:" + std::string(VORTAN_VERSION_TEXT) + " COMPATIBILITY:6.5\n";

TEST_F(DialogueTest, PublishesALoopbackAddressWithoutALineEnd) {
  const std::string text = test::ReadFile(layout_->Conf() + "/portused.txt");
  EXPECT_TRUE(std::regex_match(text, std::regex("zel-vpn-service://127\\.\\d+\\.\\d+\\.\\d+:\\d+"))) << text;
}

TEST_F(DialogueTest, AnswersVersionQuitAndPrefixes) {
  auto client = Connect();
  ExpectReplies(*client, {{"version\r\n", kVersion},
                          {"  \tversion \r\n", kVersion},
                          {"versions\n", kVersion},
                          {"Version\n", HelpText() + "\n"},
                          {"quitting\n", "bye\n"}});
  EXPECT_TRUE(client->WaitForClose());
}

TEST_F(DialogueTest, HelpTextIsOneLineWithCarriageReturns) {
  auto client = Connect();
  client->Send("help");
  const std::string reply = client->ReadLine();
  EXPECT_EQ(reply.find('\n'), reply.size() - 1);
  const std::string head = "List of Availlable commands \r\rhelp \r\t   : display the following info ...\r\r";
  const std::string tail = "shutdown \r    : stop the vpn connection\r\rquit \r\t: end this telnet session\r\n";
  EXPECT_EQ(reply.substr(0, head.size()), head);
  ASSERT_GT(reply.size(), tail.size());
  EXPECT_EQ(reply.substr(reply.size() - tail.size()), tail);
  for (const char* request : {"status", "Start", "STOP", "proxy_exception add a b c"}) {
    client->Send(request);
    EXPECT_EQ(client->ReadLine(), reply) << request;
  }
}

TEST_F(DialogueTest, RouteAndTunnelCommandsAlwaysAnswerOneLine) {
  auto client = Connect();
  const std::regex notImplemented("ERROR \\| 1 \\| [0-9T:]{17} \\| NOT IMPLEMENTED \\(code 1\\)");
  EXPECT_TRUE(std::regex_match(client->Ask("route flush"), notImplemented));
  ExpectReplies(*client, {{"shutdown\n", "OK\n"}});
}

// Input that ends a session: at most one reply, then the close; the next session is served.
TEST_F(DialogueTest, SessionsThatEndAnswerAtMostOnceAndTheServiceGoesOn) {
  const std::string browserLines = "Host: x\r\n\r\nversion\n";
  const struct {
    const char* name;
    std::string input;
    bool endInput;  // the client ends its sending after the input
    std::string reply;
  } cases[] = {
      {"blank line", " \r\n", false, ""},
      {"last request without line feed", "version", true, kVersion},
      {"CONTROL in console mode", "CONTROL please\n", false, "OK\n"},
      {"overlong line", std::string(70000, 'a'), false, ""},
      {"browser GET", "GET / HTTP/1.1\r\n" + browserLines, false, ""},
      {"browser POST", "POST /start HTTP/1.1\r\n" + browserLines, false, ""},
      {"browser header first", "host: 127.0.0.1\r\n" + browserLines, false, ""},
      {"browser OPTIONS", "OPTIONS * HTTP/1.1\r\n" + browserLines, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto client = Connect();
    client->SendRaw(c.input);
    if (c.endInput) shutdown(client->Fd(), SHUT_WR);
    EXPECT_EQ(c.reply.empty() ? std::string() : client->ReadLine(), c.reply);
    EXPECT_TRUE(client->WaitForClose());
    EXPECT_EQ(client->ReadLine(std::chrono::milliseconds(10)), "");
    ExpectReplies(*Connect(), {{"version\n", kVersion}});
  }
  EXPECT_THAT(layout_->LogText(), HasSubstr("exceeds 65536 bytes"));
  EXPECT_THAT(layout_->LogText(), HasSubstr("[WARNING]"));
}

TEST_F(DialogueTest, NonUtf8RequestGetsTheHelpTextAndTheSessionGoesOn) {
  ExpectReplies(*Connect(), {{"version \xC3\x28\n", HelpText() + "\n"},
                             {"version\n", kVersion}});
  EXPECT_THAT(layout_->LogText(), HasSubstr("Got a non UTF-8 request from client: bad conversion"));
}

TEST_F(DialogueTest, ClientVanishingWhileTheServiceWritesHarmsNothing) {
  for (int i = 0; i < 20; ++i) {
    auto client = Connect();
    for (int k = 0; k < 50; ++k) client->Send("help");
    client->Close();
  }
  ExpectReplies(*Connect(), {{"version\n", kVersion}});
  EXPECT_TRUE(service_->Running());
}

// Only the first line of a session is judged as a browser's: later lines are ordinary requests.
TEST_F(DialogueTest, LaterLinesThatLookLikeABrowsersAreRequests) {
  ExpectReplies(*Connect(), {{"version\n", kVersion},
                             {"GET / HTTP/1.1\n", HelpText() + "\n"}});
}

TEST_F(DialogueTest, ProxyCredentialsNeverReachTheLog) {
  auto client = Connect();
  client->Send("start gw 1194 /tmp/x_ tap0 udp adaptive px 8080 someuser s3cretpass basic");
  client->ReadLine();
  EXPECT_THAT(layout_->LogText(), Not(HasSubstr("s3cretpass")));
  EXPECT_THAT(layout_->LogText(), Not(HasSubstr("someuser")));
  client->Send("version proxy secret2");
  client->ReadLine();
  EXPECT_THAT(layout_->LogText(), HasSubstr("telnet Request = version proxy OBFUCATED PARAMS"));
}

TEST_F(DialogueTest, ManyConcurrentSessionsEachGetTheirOwnReplies) {
  constexpr int kClients = 200, kRequests = 50;
  std::atomic<int> wrong{0};
  // Connect one after another (the listener's backlog is small), then talk at once.
  std::vector<std::unique_ptr<LineClient>> clients;
  for (int c = 0; c < kClients; ++c) clients.push_back(Connect());
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([&, c] {
      LineClient& client = *clients[c];
      for (int r = 0; r < kRequests; ++r) {
        // Alternate two requests whose replies differ, so a crossed reply shows.
        const bool version = (r % 2) == 0;
        client.Send(version ? "version" : "shutdownX");
        if (client.ReadLine() != (version ? kVersion : "OK\n")) ++wrong;
      }
      client.Send("quit");
      if (client.ReadLine() != "bye\n") ++wrong;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace vortan
