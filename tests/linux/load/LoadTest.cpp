// Many clients at once against the real executable: every reply checked, a third of
// the clients vanishing mid-request, and the service's descriptors and memory
// compared before and after. Figures are printed; nothing is timed.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "Version.h"
#include "protocol/Replies.h"

namespace vortan {
namespace {

constexpr int kClients = 1000;
#if defined(__SANITIZE_THREAD__)
constexpr long kSanitizerThreads = 1;  // ThreadSanitizer's background thread in the service
#else
constexpr long kSanitizerThreads = 0;
#endif
constexpr int kRequestsPerClient = 120;  // about 100,000 requests in all

struct ServiceFigures {
  long descriptors = 0;
  long rssKiB = 0;
  long threads = 0;
};

ServiceFigures Measure(pid_t pid) {
  ServiceFigures figures;
  const std::string proc = "/proc/" + std::to_string(pid);
  const std::filesystem::directory_iterator descriptors(proc + "/fd");
  figures.descriptors = std::distance(begin(descriptors), end(descriptors));
  std::ifstream status(proc + "/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") status >> figures.rssKiB;
    if (key == "Threads:") status >> figures.threads;
  }
  return figures;
}

// Connects without waiting for the handshake; -1 on failure.
int StartConnect(const test::Endpoint& endpoint) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<uint16_t>(endpoint.port));
  inet_pton(AF_INET, endpoint.address.c_str(), &peer.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0 && errno != EINPROGRESS) {
    close(fd);
    return -1;
  }
  return fd;
}

// The indexes of the descriptors (those not negative) that have something to read, or
// whose peer closed, within timeoutMs; none after the time-out.
std::vector<size_t> Readable(const std::vector<int>& fds, int timeoutMs) {
  std::vector<pollfd> waiters;
  std::vector<size_t> owners, readable;
  for (size_t i = 0; i < fds.size(); ++i) {
    if (fds[i] < 0) continue;
    waiters.push_back({fds[i], POLLIN, 0});
    owners.push_back(i);
  }
  if (poll(waiters.data(), waiters.size(), timeoutMs) <= 0) return readable;
  for (size_t w = 0; w < waiters.size(); ++w) {
    if (waiters[w].revents != 0) readable.push_back(owners[w]);
  }
  return readable;
}

// One client's conversation: alternating requests with different replies, one
// request in flight at a time; a vanishing client drops out in the middle.
struct Client {
  std::unique_ptr<test::LineClient> connection;
  bool vanishes = false;
  int sent = 0;
  int answered = 0;
};

const std::string kVersionReply = "IMPLEMENTATION:" + std::string(VORTAN_VERSION_TEXT) + " COMPATIBILITY:6.5";

std::string RequestFor(int index) { return index % 2 == 0 ? "version" : "status"; }
bool ReplyMatches(int index, const std::string& reply) {
  return index % 2 == 0 ? reply == kVersionReply : reply == HelpText();
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kGreetingTimeoutMs = 10000;
#else
constexpr int kGreetingTimeoutMs = 2000;
#endif

// The service inherits the test's descriptor limit: raised before it starts.
class Load : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    rlimit limit{8192, 8192};
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  void SetUp() override { ASSERT_TRUE(service_.WaitForEndpoint(&endpoint_)); }
  test::InstalledLayout layout_;
  test::ServiceProcess service_{layout_};
  test::Endpoint endpoint_;
};

// Clients that connect all at once each get their welcome at once: none is left in a
// connection the service never learnt of.
TEST_F(Load, FiveHundredClientsConnectingAtOnceAreAllGreeted) {
  constexpr int kBurst = 500;
  std::vector<int> fds;
  for (int i = 0; i < kBurst; ++i) {
    const int fd = StartConnect(endpoint_);
    if (fd < 0) break;
    fds.push_back(fd);
  }
  // Every connection stays open to the end; waiting holds those not yet greeted.
  std::vector<int> waiting = fds;
  std::vector<std::string> received(fds.size());
  int greetedCount = 0;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kGreetingTimeoutMs);
  while (greetedCount < static_cast<int>(fds.size())) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    const std::vector<size_t> readable = Readable(waiting, static_cast<int>(left.count()));
    if (readable.empty()) break;
    for (size_t i : readable) {
      char chunk[256];
      const ssize_t count = recv(fds[i], chunk, sizeof chunk, 0);
      if (count > 0) received[i].append(chunk, static_cast<size_t>(count));
      // Closed without a welcome: not greeted, and no longer waited for.
      if (count <= 0 || received[i] == test::kWelcome) waiting[i] = -1;
      if (received[i] == test::kWelcome) ++greetedCount;
    }
  }
  for (int fd : fds) close(fd);
  std::printf("clients connecting at once %d, greeted within %d ms %d\n", kBurst, kGreetingTimeoutMs, greetedCount);
  EXPECT_EQ(static_cast<int>(fds.size()), kBurst);
  EXPECT_EQ(greetedCount, kBurst);
  EXPECT_TRUE(service_.Running());
}

TEST_F(Load, ThousandClientsHundredThousandRequestsNothingLost) {
  const ServiceFigures before = Measure(service_.Pid());

  // Each client waits for its welcome before the next one connects: this test is about
  // sustained requests (a burst of connects has its own test).
  std::vector<Client> clients(kClients);
  for (int i = 0; i < kClients; ++i) {
    clients[i].connection = std::make_unique<test::LineClient>(endpoint_);
    ASSERT_TRUE(clients[i].connection->Connected()) << "client " << i;
    clients[i].vanishes = i % 3 == 2;
    ASSERT_EQ(clients[i].connection->ReadLine(), test::kWelcome) << "client " << i;
  }

  long expected = 0, correct = 0, incorrect = 0, vanished = 0;
  int open = kClients;
  auto hangUp = [&](Client& client) {
    client.connection->Close();
    --open;
  };
  auto send = [&](Client& client) {
    const std::string request = RequestFor(client.sent) + "\n";
    if (client.vanishes && client.sent == kRequestsPerClient / 2) {
      // Half a request, then gone: the service must just end that session.
      client.connection->SendRaw(request.substr(0, request.size() / 2));
      hangUp(client);
      ++vanished;
      return;
    }
    client.connection->SendRaw(request);
    ++client.sent;
    ++expected;
  };
  // The reply to the one request in flight; the next request, or the end.
  auto take = [&](Client& client) {
    const std::string line = client.connection->ReadLine();
    if (line.empty() || line.back() != '\n') return hangUp(client);
    (ReplyMatches(client.answered, line.substr(0, line.size() - 1)) ? correct : incorrect)++;
    if (++client.answered < kRequestsPerClient) return send(client);
    hangUp(client);
  };

  for (Client& client : clients) send(client);
  while (open > 0) {
    std::vector<int> fds;
    for (const Client& client : clients) fds.push_back(client.connection->Fd());
    const std::vector<size_t> readable = Readable(fds, 20000);
    ASSERT_FALSE(readable.empty()) << "service stopped answering with " << open << " clients open";
    for (size_t index : readable) take(clients[index]);
  }

  const ServiceFigures peak = Measure(service_.Pid());
  // Sessions end once they notice their client has gone.
  test::WaitUntil([&] { return Measure(service_.Pid()).threads <= before.threads + kSanitizerThreads; },
                  std::chrono::seconds(20));
  const ServiceFigures after = Measure(service_.Pid());
  std::printf("requests sent %ld, answered correctly %ld, incorrect %ld, lost %ld, clients vanished %ld\n", expected,
              correct, incorrect, expected - correct - incorrect, vanished);
  std::printf("service descriptors %ld -> %ld, threads %ld -> %ld, RSS %ld KiB -> %ld KiB (peak %ld KiB)\n",
              before.descriptors, after.descriptors, before.threads, after.threads, before.rssKiB, after.rssKiB,
              peak.rssKiB);
  EXPECT_EQ(incorrect, 0);
  EXPECT_EQ(expected, correct);
  EXPECT_GE(expected, 100000);
  EXPECT_LE(after.descriptors, before.descriptors + 2);
  EXPECT_LE(after.threads, before.threads + kSanitizerThreads);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Sanitizers keep freed memory in quarantine: the bound holds for plain builds.
  EXPECT_LT(after.rssKiB, before.rssKiB + 64 * 1024);
#endif
  EXPECT_TRUE(service_.Running());
}

}  // namespace
}  // namespace vortan
