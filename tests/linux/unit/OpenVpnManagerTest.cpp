#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <iterator>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <algorithm>
#include <atomic>
#include <thread>

#include "common/Ipv4.h"
#include "common/Logging.h"
#include "common/ClientOutbox.h"
#include "tunnel/ManagementDialogue.h"
#include "protocol/TunnelAccess.h"
#include "tunnel/OpenVpnManager.h"
#include "settings/IniFile.h"
#include "routes/RouteLedger.h"
#include "tunnel/TunnelBroadcast.h"
#include "TestSupport.h"
#include "platform/Processes.h"
#include "common/socket.h"

namespace vortan {
namespace {

using namespace std::chrono_literals;

const std::uint32_t kLoopback = HostToNet(0x7F000001);

// Owns one descriptor, closed at the latest with the object.
class OwnedFd {
 public:
  ~OwnedFd() { Close(); }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  // For a listening descriptor: the connection accepted, or -1 when nobody connects in time.
  int Accept(std::chrono::milliseconds timeout = 5s) {
    pollfd entry{fd_, POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(timeout.count())) <= 0) return -1;
    return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  }

 protected:
  int fd_ = -1;
};

// A listening TCP socket on 127.0.0.1 whose accepted connections are read with time-outs.
class LoopbackListener : public OwnedFd {
 public:
  LoopbackListener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = kLoopback;
    socklen_t length = sizeof address;
    bind(fd_, reinterpret_cast<sockaddr*>(&address), length);
    listen(fd_, 5);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  int Port() const { return port_; }

 private:
  int port_ = 0;
};

// A local socket bound at path and listening listenLag later (bind makes the file).
int BindLocal(const std::string& path, std::chrono::milliseconds listenLag = 0ms) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  if (listenLag > 0ms) std::this_thread::sleep_for(listenLag);
  listen(fd, 5);
  return fd;
}

// A directory of the test's own under /tmp, removed with all it holds at the end.
struct ScratchDirectory {
  explicit ScratchDirectory(const std::string& prefix) : path("/tmp/" + test::UniqueName(prefix)) {
    std::filesystem::create_directories(path);
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  const std::string path;
};

// A listening local socket in a scratch directory, standing in for OpenVPN's
// management channel.
class LocalListener : public OwnedFd {
 public:
  LocalListener() { fd_ = BindLocal(Channel().socketPath); }
  ~LocalListener() { Close(); }
  ManagementChannel Channel() const { return ManagementChannelFor(directory_.path, 1); }

 private:
  ScratchDirectory directory_{"mgmt"};
};

// One end of a connection, read line by line with a time-out.
class Peer : public OwnedFd {
 public:
  explicit Peer(int fd) { fd_ = fd; }
  bool Valid() const { return fd_ >= 0; }
  // Ends a send blocked on this end.
  void Shutdown() { shutdown(fd_, SHUT_RDWR); }
  void Send(const std::string& bytes) { send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
  // The next line without its line feed; "<closed>" or "<timeout>" otherwise.
  std::string Next(std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto lineFeed = buffer_.find('\n');
      if (lineFeed != std::string::npos) {
        std::string line = buffer_.substr(0, lineFeed);
        buffer_.erase(0, lineFeed + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd entry{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) <= 0) return "<timeout>";
      char chunk[512];
      ssize_t count = recv(fd_, chunk, sizeof chunk, 0);
      if (count <= 0) return "<closed>";
      buffer_.append(chunk, static_cast<std::size_t>(count));
    }
  }

 private:
  std::string buffer_;
};

// A tunnel's relay against a fake management interface, with the test as its client.
class OpenVpnListenTest : public ::testing::Test {
 protected:
  void SetUp() override { registerLoggers(); }

  void TearDown() override {
    management_.reset();
    EndRelay();
  }

  // Opens the channel and starts the relay on it, as a start does, on a thread of the
  // test's; the test keeps no share of the client's outbox, so the client sees its
  // connection close when the relay ends.
  void StartListen(const ManagementChannel& channel, std::uint32_t managementProcess = getpid()) {
    auto outbox = std::make_shared<ClientOutbox>(std::make_shared<SocketClient>(kLoopback, clientListener_.Port()));
    client_.reset(new Peer(clientListener_.Accept()));
    ASSERT_TRUE(client_->Valid());
    opener_ = std::thread([this, channel, managementProcess, outbox] {
      std::unique_ptr<LocalSocketClient> management = OpenManagementChannel(channel, managementProcess, outbox.get());
      if (management) relay_ = std::make_unique<ManagementRelay>(std::move(management), outbox, "tap0");
    });
  }

  // Ends the relay as the end of its tunnel does.
  void EndRelay() {
    if (opener_.joinable()) opener_.join();
    relay_.reset();
  }

  void ConnectFakeManagement(std::uint32_t managementProcess = getpid()) {
    StartListen(managementListener_.Channel(), managementProcess);
    management_.reset(new Peer(managementListener_.Accept()));
    ASSERT_TRUE(management_->Valid());
  }

  // Plays a script as OpenVPN against the relay, a step a string: "+" a line OpenVPN
  // sends, "c" and "m" the line the client and OpenVPN read next, "~" a pattern the
  // client's next line matches (its group, if any, a time within 5 s of started_), "@"
  // the least milliseconds since started_, "x" OpenVPN's end, "." the relay's end too.
  void Play(const std::vector<std::string>& steps) {
    for (const std::string& step : steps) {
      const std::string text = step.substr(1);
      std::smatch match;
      if (step[0] == '+') {
        management_->Send(text + "\r\n");
      } else if (step[0] == 'x' || step[0] == '.') {
        if (management_) management_->Close();
        if (step[0] == '.') EndRelay();
      } else if (step[0] == '@') {
        EXPECT_GE(std::chrono::steady_clock::now() - started_, std::chrono::milliseconds(std::stoi(text)));
      } else if (step[0] == '~') {
        const std::string line = client_->Next(10s);
        ASSERT_TRUE(std::regex_match(line, match, std::regex(text))) << line;
        if (match.size() < 2) continue;
        EXPECT_GE(std::stoll(match[1]), startedAt_);
        EXPECT_LE(std::stoll(match[1]), startedAt_ + 5);
      } else {
        const auto wait = step[0] == 'c' || text != "<timeout>" ? 10s : 200ms;
        EXPECT_EQ((step[0] == 'c' ? client_ : management_)->Next(wait), text);
      }
    }
  }

  // OpenVPN's start-up dialogue up to the acknowledged hold release.
  const std::vector<std::string> kReleaseHold = {
      "+>INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info",
      "+>HOLD:Waiting for hold release:0", "mstate on", "+SUCCESS: real-time state notification set to ON",
      "mlog on", "+SUCCESS: real-time log notification set to ON", "mhold release",
      "+SUCCESS: hold release succeeded",
      "c> INFO: OpenVPN Management Interface Version 5 -- type 'help' for more info",
      "c> HOLD: Waiting for hold release:0"};
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  long long startedAt_ = static_cast<long long>(std::time(nullptr));
  LoopbackListener clientListener_;
  LocalListener managementListener_;
  std::unique_ptr<Peer> client_;
  std::unique_ptr<Peer> management_;
  std::thread opener_;
  std::unique_ptr<ManagementRelay> relay_;
};




// Scripts played as OpenVPN against the relay (see Play).
TEST_F(OpenVpnListenTest, ScriptsPlayedAsOpenVpn) {
  enum class Management { kFake, kOpenedByAnotherProcess, kUnreachable };
  const struct {
    Management management;
    bool releaseHold;
    std::vector<std::string> steps;
  } rows[] = {
      // A restart after the release holds again: released at once, no new "state on";
      // an exiting state was relayed: nothing is added.
      {Management::kFake, true,
       {"+>STATE:1,CONNECTING,,,", "c> STATE: 1,CONNECTING,,,", "+>HOLD:Waiting for hold release:10",
        "c> HOLD: Waiting for hold release:10", "mhold release", "+SUCCESS: hold release succeeded",
        "+>STATE:1700000000,EXITING,SIGTERM,,,,,", "c> STATE: 1700000000,EXITING,SIGTERM,,,,,", ".",
        "c<closed>"}},
      // Only success responses advance the dialogue; a hold without ":" is answered, not
      // relayed.
      {Management::kFake, false,
       {"+>HOLD", "mstate on", "+ERROR: unknown command", "+SUCCESS: one", "mlog on", "+SUCCESS: two",
        "mhold release", "+SUCCESS: three", "+>LOG:1700000000,I,after the release",
        "c> LOG: 1700000000,I,after the release", "m<timeout>"}},
      // A SIGTERM log line is followed by the synthesised exiting state.
      {Management::kFake, true,
       {"+>LOG:1700000001,,SIGTERM received, sending exit notification to peer",
        "c> LOG: 1700000001,,SIGTERM received, sending exit notification to peer",
        "c> STATE: 1700000001,EXITING,exit-with-notification,,", ".", "c<closed>"}},
      // Connected without a tunnel address (too few fields, or one no adapter carries):
      // only relayed, no announcement.
      {Management::kFake, true,
       {"+>STATE:1700000002,CONNECTED,SUCCESS", "c> STATE: 1700000002,CONNECTED,SUCCESS",
        "+>STATE:1700000003,CONNECTED,SUCCESS,192.0.2.77,192.0.2.1,1194,,",
        "c> STATE: 1700000003,CONNECTED,SUCCESS,192.0.2.77,192.0.2.1,1194,,",
        "+>STATE:1700000004,RECONNECTING,ping-restart,,,,,",
        "c> STATE: 1700000004,RECONNECTING,ping-restart,,,,,"}},
      // The connection lost without an exiting state: the client is told, with the time.
      {Management::kFake, true,
       {"x", "~> STATE: ([0-9]+),EXITING,exit-with-notification,,", ".", "c<closed>"}},
      // Unreachable: six attempts, five pauses of 500 ms between them.
      {Management::kUnreachable, false,
       {"c> STATE: 00000000 ,EXITING,exit-with-notification,,", "@2400", ".", "c<closed>"}},
      // A channel another process opened hears nothing.
      {Management::kOpenedByAnotherProcess, false,
       {"~> STATE: [0-9]+,EXITING,exit-with-notification,,", "+>HOLD:Waiting for hold release:0",
        "m<closed>"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << "row " << (&row - rows));
    started_ = std::chrono::steady_clock::now();
    startedAt_ = static_cast<long long>(std::time(nullptr));
    if (row.management == Management::kUnreachable) {
      StartListen(ManagementChannelFor("/nonexistent", 1));
    } else {
      ConnectFakeManagement(row.management == Management::kFake ? getpid() : getppid());
    }
    if (row.releaseHold) Play(kReleaseHold);
    Play(row.steps);
    management_.reset();
    EndRelay();
  }
}

// The channel is waited for, for 2.5 s: a socket that only shows in the system's list of
// sockets (bound elsewhere, its file gone) neither counts nor cuts the wait short; a
// stand-in is taken as its socket appears (before the first 500 ms slot ends), also one
// that listens a moment after binding; one opening after 3 s is refused.
TEST(ManagementChannelWaitTest, OpenedByConnectingWithinTheDeadline) {
  silenceLogging();
  const struct {
    bool decoy;
    std::optional<std::chrono::milliseconds> opensAfter;
    bool opened;
    std::chrono::milliseconds listenLag{0};
  } rows[] = {{true, std::nullopt, false}, {true, 300ms, true}, {false, 300ms, true}, {false, 300ms, true, 40ms},
              {false, 3s, false},          {false, std::nullopt, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.decoy << " " << (row.opensAfter ? row.opensAfter->count() : -1));
    const ScratchDirectory directory("mgmtwait");
    const ManagementChannel channel = ManagementChannelFor(directory.path, 1);
    const int decoy = row.decoy ? BindLocal(channel.socketPath) : -1;
    if (row.decoy) std::filesystem::remove(channel.socketPath);
    int standIn = -1;
    std::thread opener([&] {
      if (!row.opensAfter) return;
      std::this_thread::sleep_for(*row.opensAfter);  // the stand-in's own start-up time
      standIn = BindLocal(channel.socketPath, row.listenLag);
    });
    const auto started = std::chrono::steady_clock::now();
    const bool opened = OpenManagementChannel(channel, getpid(), nullptr) != nullptr;
    const auto elapsed = std::chrono::steady_clock::now() - started;
    opener.join();
    EXPECT_EQ(opened, row.opened);
    EXPECT_GE(elapsed, row.opened ? 0ms : 2400ms);
    EXPECT_LT(elapsed, row.opened ? *row.opensAfter + row.listenLag + 190ms : 3s);
    for (int fd : {decoy, standIn}) {
      if (fd >= 0) close(fd);
    }
  }
}

// OpenVPN is read on while its client reads nothing: a million lines go through, the
// dialogue goes on, and the log (deduplicated, rate-limited) stays small and unrolled.
TEST_F(OpenVpnListenTest, FloodIsReadOnWhileTheClientReadsNothingAndTheLogStaysSmall) {
  const ScratchDirectory directory("flood");
  const std::string log = directory.path + "/vortanVpnService.log";
  test::WriteFile(directory.path + "/log.conf",
                  "* GLOBAL:\n  TO_STANDARD_OUTPUT = false\n  MAX_LOG_FILE_SIZE = 1048576\n");
  applyLogConfiguration(log, directory.path + "/log.conf");
  el::Helpers::installPreRollOutCallback(rollLogFiles);
  ConnectFakeManagement();
  Play(kReleaseHold);
  std::atomic<bool> written{false};
  std::thread flood([&] {
    std::string chunk;
    for (int i = 0; i < 1000000; ++i) {
      chunk += i < 100000 ? std::string(">LOG:1700000000,N,the same line\r\n")
                          : ">LOG:1700000000,N,line " + std::to_string(i) + "\r\n";
      if (chunk.size() < 65536 && i + 1 < 1000000) continue;
      management_->Send(chunk);
      chunk.clear();
    }
    written = true;
  });
  const bool done = test::WaitUntil([&] { return written.load(); }, 120s);
  if (!done) management_->Shutdown();
  flood.join();
  EXPECT_TRUE(done) << "OpenVPN's lines were no longer read";
  Play({"+>HOLD:Waiting for hold release:10", "mhold release", "."});
  el::Helpers::uninstallPreRollOutCallback();
  silenceLogging();
  EXPECT_FALSE(test::FileExists(log + ".1"));
  EXPECT_LT(std::filesystem::file_size(log), 256u * 1024);
  EXPECT_NE(test::ReadFile(log).find("last line repeated 99999 times"), std::string::npos);
}

// The reply to a request goes before every line relayed while it was served.
TEST(ClientOutboxTest, TheReplyGoesBeforeTheLinesRelayedMeanwhile) {
  LoopbackListener listener;
  auto connection = std::make_shared<SocketClient>(kLoopback, listener.Port());
  Peer client(listener.Accept());
  {
    ClientOutbox outbox(connection);
    outbox.Reply("welcome");
    outbox.HoldRelayed();
    outbox.Relay("> STATE: 1,CONNECTING,,,");
    outbox.Reply("OK");
    outbox.Relay("> STATE: 2,WAIT,,,");
  }
  for (const char* line : {"welcome", "OK", "> STATE: 1,CONNECTING,,,", "> STATE: 2,WAIT,,,"}) {
    EXPECT_EQ(client.Next(), line);
  }
}

// OpenVPN reads a copy whose management option names the root-only channel.
TEST(ManagementChannelTest, TheManagementOptionIsPointedAtTheChannel) {
  const ManagementChannel channel = ManagementChannelFor("/opt/v/run", 7);
  EXPECT_EQ(channel.socketPath, "/opt/v/run/management-7.sock");
  const std::string line = "management \"/opt/v/run/management-7.sock\" unix";
  const struct {
    std::string config;
    std::string expected;
  } rows[] = {
      {"client\nmanagement 127.4.5.6 3001\nmanagement-hold\n", "client\n" + line + "\nmanagement-hold\n"},
      {"client\r\n  management 127.4.5.6 3001\r\n", "client\r\n" + line + "\r\n"},
      {"--management 127.0.0.1 3001\nmanagement 127.0.0.2 3002\n", line + "\n"},
      {"client\n# management 127.0.0.1 3001\nmanagement-hold", "client\n# management 127.0.0.1 3001\nmanagement-hold\n" +
                                                                line + "\n"},
  };
  for (const auto& row : rows) EXPECT_EQ(WithManagementChannel(row.config, channel), row.expected) << row.config;
  EXPECT_THROW(ManagementChannelFor("/" + std::string(120, 'd'), 1), std::runtime_error);
}

TEST(TunnelBroadcastAddressTest, ComputedFromTheMatchingEntry) {
  auto adapter = [&](const char* name, std::vector<std::pair<const char*, const char*>> entries) {
    platform::Adapter result;
    result.name = name;
    for (const auto& entry : entries) {
      result.addresses.push_back({InetAddr(entry.first), InetAddr(entry.second)});
    }
    return result;
  };
  struct Case {
    const char* target;
    std::vector<platform::Adapter> adapters;
    const char* expectedAdapter;  // nullptr: no match
    const char* expectedBroadcast;
  };
  const Case cases[] = {
      {"10.8.0.6", {adapter("eth0", {{"192.0.2.2", "255.255.255.0"}}), adapter("tap", {{"10.8.0.6", "255.255.255.0"}})},
       "tap", "10.8.0.255"},
      {"10.8.0.6", {adapter("tap", {{"10.8.0.6", "255.255.255.252"}})}, "tap", "10.8.0.7"},
      {"10.8.0.6", {adapter("tap", {{"10.8.0.6", "255.255.255.255"}})}, "tap", "10.8.0.6"},
      {"0.0.0.0", {adapter("none", {{"0.0.0.0", "0.0.0.0"}})}, nullptr, ""},
      {"not an address", {adapter("tap", {{"10.8.0.6", "255.255.255.0"}})}, nullptr, ""},
      {"10.1.2.3", {adapter("first", {{"10.1.2.3", "255.0.0.0"}}), adapter("second", {{"10.1.2.3", "255.255.0.0"}})},
       "first", "10.255.255.255"},
      {"10.1.2.3", {adapter("zeromask", {{"10.1.2.3", "0.0.0.0"}}), adapter("second", {{"10.1.2.3", "255.255.0.0"}})},
       "second", "10.1.255.255"},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.target);
    TunnelAdapterEntry entry;
    const bool found = FindTunnelAdapterEntry(InetAddr(testCase.target), testCase.adapters, &entry);
    ASSERT_EQ(found, testCase.expectedAdapter != nullptr);
    if (!found) continue;
    EXPECT_EQ(entry.adapterName, testCase.expectedAdapter);
    EXPECT_EQ(BroadcastAddressText(entry.address, entry.mask), testCase.expectedBroadcast);
  }
}

TEST(OpenVpnRetryPauseTest, PausesHalfASecond) {
  for (int retry = 1; retry <= 5; ++retry) EXPECT_EQ(ManagementRetryPause(retry), 500ms);
}

// Child processes: launched detached, signalled and collected only through their handle.
class ChildProcessTest : public ::testing::Test {
 protected:
  static platform::LaunchSpec Shell(const std::string& script, const std::string& workingDirectory = "") {
    return platform::LaunchSpec{"/bin/sh", {"-c", script}, workingDirectory};
  }
  static bool Gone(std::uint32_t pid) { return !test::FileExists("/proc/" + std::to_string(pid)); }

  const ScratchDirectory scratch_{"vortan-proc"};
  const std::string directory_ = scratch_.path;
  platform::ChildLauncher launcher_;  // outlives the processes of each test
};

TEST_F(ChildProcessTest, ChildStartsCleanAndDetached) {
  // What the service's own state could leak: a blocked signal, an ignored signal, an
  // inherited descriptor and the service manager's socket.
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  struct sigaction ignore {}, previousAction {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGUSR2, &ignore, &previousAction);
  int leaked = open("/dev/null", O_RDONLY);
  setenv("NOTIFY_SOCKET", "/run/systemd/notify", 1);

  platform::Process process;
  const platform::Error error = process.Launch(launcher_, {"/bin/sleep", {"30"}, directory_});

  unsetenv("NOTIFY_SOCKET");
  close(leaked);
  sigaction(SIGUSR2, &previousAction, nullptr);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  ASSERT_TRUE(error.Succeeded());

  const std::string proc = "/proc/" + std::to_string(process.Id());
  // The kernel names the new program a moment before it closes the descriptors marked
  // close-on-exec, and the program's loader then opens and closes its libraries: the
  // listing is read until it shows the standard three (a leaked descriptor never goes).
  const auto listDescriptors = [&] {
    std::vector<std::string> listed;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(proc + "/fd", error)) {
      const auto target = std::filesystem::read_symlink(entry.path(), error);
      if (!error) listed.push_back(entry.path().filename().string() + "=" + target.string());
    }
    std::sort(listed.begin(), listed.end());
    return listed;
  };
  const std::vector<std::string> standard{"0=/dev/null", "1=/dev/null", "2=/dev/null"};
  std::vector<std::string> descriptors;
  test::WaitUntil([&] {
    descriptors = listDescriptors();
    return test::ReadFile(proc + "/comm") == "sleep\n" && descriptors == standard;
  }, 5s);
  ASSERT_EQ(test::ReadFile(proc + "/comm"), "sleep\n");
  EXPECT_EQ(descriptors, standard);
  EXPECT_EQ(std::filesystem::read_symlink(proc + "/cwd").string(), directory_);
  const std::string status = test::ReadFile(proc + "/status");
  EXPECT_NE(status.find("SigBlk:\t0000000000000000\n"), std::string::npos) << status;
  // glibc's spawn leaves its two internal signals (32, 33) ignored; every glibc program
  // installs its own handlers for them at start-up.
  const std::string ignored = status.substr(status.find("SigIgn:\t") + 8, 16);
  EXPECT_EQ(std::stoull(ignored, nullptr, 16) & ~0x180000000ull, 0u) << status;
  // Field 6 of stat is the session: the child leads its own.
  const std::string stat = test::ReadFile(proc + "/stat");
  const std::string afterName = stat.substr(stat.rfind(')') + 2);
  std::istringstream fields(afterName);
  std::string state, parent, group, session;
  fields >> state >> parent >> group >> session;
  EXPECT_EQ(session, std::to_string(process.Id()));
  EXPECT_EQ(test::ReadFile(proc + "/environ").find("NOTIFY_SOCKET="), std::string::npos);

  EXPECT_TRUE(process.RequestExit().Succeeded());
  EXPECT_TRUE(process.WaitForExit(5s));
}

TEST_F(ChildProcessTest, MissingProgramReportsItsErrorCode) {
  platform::Process process;
  EXPECT_EQ(process.Launch(launcher_, {directory_ + "/missing", {}, ""}).Code(), ENOENT);
  EXPECT_FALSE(process.Tracked());
  EXPECT_EQ(process.Id(), 0u);
}

// A confined program writes only beneath its writable paths; devices stay usable, and
// the service's own rights are untouched.
TEST_F(ChildProcessTest, ConfinedProgramWritesOnlyBeneathItsWritablePaths) {
  const std::string writable = directory_ + "/writable";
  const std::string other = directory_ + "/other";
  std::filesystem::create_directories(writable + "/deeper");
  std::filesystem::create_directories(other);
  ASSERT_TRUE(platform::ConfineLaunchedPrograms({"/dev", writable}).Succeeded());
  platform::Process process;
  const platform::Error error = process.Launch(
      launcher_, Shell("touch deeper/yes; touch " + other + "/no; echo > /dev/null && touch devices-usable; "
            "cat /proc/self/status > /dev/null && touch reads-usable",
            writable));
  platform::Process missing;
  const platform::Error missingError = missing.Launch(launcher_, {directory_ + "/missing", {}, ""});
  platform::ConfineLaunchedPrograms({});
  ASSERT_TRUE(error.Succeeded());
  ASSERT_TRUE(process.WaitForExit(10s));
  EXPECT_EQ(missingError.Code(), ENOENT);
  EXPECT_TRUE(test::FileExists(writable + "/deeper/yes"));
  EXPECT_FALSE(test::FileExists(other + "/no"));
  EXPECT_TRUE(test::FileExists(writable + "/devices-usable"));
  EXPECT_TRUE(test::FileExists(writable + "/reads-usable"));
  test::WriteFile(other + "/service", "x");
  EXPECT_TRUE(test::FileExists(other + "/service"));
  platform::Process free;
  ASSERT_TRUE(free.Launch(launcher_, Shell("touch " + other + "/free")).Succeeded());
  ASSERT_TRUE(free.WaitForExit(10s));
  EXPECT_TRUE(test::FileExists(other + "/free"));
}

TEST_F(ChildProcessTest, ExitRequestThisSystemCannotDeliverStartsNothing) {
  platform::ExitRequest namedEvent;
  namedEvent.kind = platform::ExitRequest::Kind::kNamedEvent;
  namedEvent.eventName = "VortanOpenVpnExitEvent";
  platform::Process process;
  EXPECT_EQ(process.Launch(launcher_, {"/bin/sleep", {"30"}, "", namedEvent}).Code(), EOPNOTSUPP);
  EXPECT_FALSE(process.Tracked());
}

// An exit request ends and collects the process; one that ignores it (the ignored
// termination signal survives exec into sleep) is killed after a bounded wait.
TEST_F(ChildProcessTest, ExitRequestOrKillAfterABoundedWaitEndsAndCollectsTheProcess) {
  const struct {
    platform::LaunchSpec spec;
    bool ignoresExitRequest;
  } rows[] = {{{"/bin/sleep", {"30"}, ""}, false}, {Shell("trap '' TERM; exec sleep 30"), true}};
  for (const auto& row : rows) {
    platform::Process process;
    ASSERT_TRUE(process.Launch(launcher_, row.spec).Succeeded());
    const std::uint32_t pid = process.Id();
    const std::string comm = "/proc/" + std::to_string(pid) + "/comm";
    // The shell has installed its trap once sleep runs in its place.
    const auto execed = [&] { return test::ReadFile(comm) == "sleep\n"; };
    ASSERT_TRUE(!row.ignoresExitRequest || test::WaitUntil(execed, 5s));
    EXPECT_TRUE(process.RequestExit().Succeeded());
    if (row.ignoresExitRequest) {
      EXPECT_FALSE(process.WaitForExit(200ms));
      EXPECT_TRUE(process.Tracked());
      EXPECT_TRUE(process.Kill().Succeeded());
    }
    EXPECT_TRUE(process.WaitForExit(5s));
    EXPECT_TRUE(Gone(pid));
    EXPECT_EQ(process.Id(), 0u);
    EXPECT_TRUE(platform::IsProcessGone(process.RequestExit()));
  }
}

TEST_F(ChildProcessTest, EndedProcessIsCollectedTrackedOrNot) {
  std::uint32_t releasedPid = 0;
  {
    platform::Process released;
    ASSERT_TRUE(released.Launch(launcher_, {"/bin/sleep", {"0.2"}, ""}).Succeeded());
    releasedPid = released.Id();
  }  // no longer tracked while it runs
  platform::Process tracked;
  ASSERT_TRUE(tracked.Launch(launcher_, {"/bin/sleep", {"0.1"}, ""}).Succeeded());
  const std::uint32_t trackedPid = tracked.Id();
  EXPECT_TRUE(test::WaitUntil([&] { return Gone(releasedPid) && Gone(trackedPid); }, 5s)) << "left a zombie";
  // The handle still names the ended process: no signal can reach a newcomer.
  EXPECT_TRUE(tracked.Tracked());
  EXPECT_TRUE(platform::IsProcessGone(tracked.RequestExit()));
  EXPECT_TRUE(tracked.WaitForExit(0ms));
}

// A launcher's end joins its thread; a child that ended was collected at once, one that
// still runs is ended and collected: no zombie either way, its Process released or not.
TEST_F(ChildProcessTest, LauncherEndJoinsItsThreadWithEveryChildCollected) {
  const auto threads = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}); };
  const auto before = threads();
  std::uint32_t ended = 0, running = 0;
  {
    platform::ChildLauncher launcher;
    platform::Process process;
    ASSERT_TRUE(process.Launch(launcher, {"/bin/true", {}, ""}).Succeeded());
    ended = process.Id();
    process.Release();
    EXPECT_TRUE(test::WaitUntil([&] { return Gone(ended); }, 5s)) << "left a zombie";
    ASSERT_TRUE(process.Launch(launcher, {"/bin/sleep", {"30"}, ""}).Succeeded());
    running = process.Id();
    process.Release();
  }
  EXPECT_TRUE(Gone(running));
  EXPECT_EQ(threads(), before);
}

// At exit the controller closes the tunnel for good: a session's "start" in the last
// moments writes nothing and launches nothing; "shutdown" stays harmless.
TEST(OpenVpnManagerExit, RetiredControllerRefusesEveryStart) {
  silenceLogging();
  const ScratchDirectory directory("vortan-retired");
  RouteLedger routes;
  platform::ChildLauncher launcher;
  OpenVpnManager manager{IniFile(std::string()), routes, launcher};
  manager.Retire();
  TunnelClient client{std::make_shared<Socket>(), CallerId{platform::ServiceIdentity()}};
  EXPECT_EQ(manager.Start(" 192.0.2.1 1194 " + directory.path + "/x_ vt0 udp adaptive", client).kind,
            TunnelOutcomeKind::kServiceStopping);
  manager.Shutdown();
  EXPECT_EQ(manager.ProcessId(), 0u);
  EXPECT_TRUE(std::filesystem::is_empty(directory.path));
}

// The files at a client's prefix on a hung mount: a write stalls until released.
class StallingManager : public OpenVpnManager {
 public:
  StallingManager(RouteLedger& routes, platform::ChildLauncher& launcher)
      : OpenVpnManager(IniFile(std::string()), routes, launcher) {}
  mutable std::atomic<bool> entered{false};
  std::atomic<bool> released{false};

 protected:
  struct StalledWriter : FileWriter {
    explicit StalledWriter(const StallingManager& owner)
        : FileWriter(platform::ServiceIdentity()), manager(owner) {}
    platform::Error Write(const std::string&, const std::string&, platform::FileAccess) const override {
      manager.entered = true;
      test::WaitUntil([this] { return manager.released.load(); }, 60s);
      return platform::Error(platform::ErrorKind::Other, EIO, "write");
    }
    const StallingManager& manager;
  };
  std::unique_ptr<FileWriter> ClientWriter(const platform::CallerIdentity&) const override {
    return std::make_unique<StalledWriter>(*this);
  }
};

// A start waiting on a slow file holds up no other session: the owner check of "route"
// and "shutdown" answer at once.
TEST(OpenVpnManagerLock, RouteAndShutdownAnswerWhileAStartWaitsOnASlowFile) {
  silenceLogging();
  const ScratchDirectory directory("stall");
  RouteLedger routes;
  platform::ChildLauncher launcher;
  StallingManager manager(routes, launcher);
  const CallerId caller{platform::ServiceIdentity()};
  TunnelClient client{std::make_shared<Socket>(), caller};
  TunnelOutcome outcome{TunnelOutcomeKind::kStarted};
  const std::string startLine = " 192.0.2.1 1194 " + directory.path + "/x_ vt0 udp adaptive";
  std::thread start([&] { outcome = manager.Start(startLine, client); });
  EXPECT_TRUE(test::WaitUntil([&] { return manager.entered.load(); }, 10s));
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(TunnelCommandRefusal(caller, AccessRules{}, &manager, "route"), std::nullopt);
  EXPECT_EQ(manager.ShutdownFor(caller).kind, TunnelOutcomeKind::kStopped);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 100ms);
  manager.released = true;
  start.join();
  EXPECT_EQ(outcome.kind, TunnelOutcomeKind::kStartError);
  EXPECT_EQ(outcome.detail.rfind("Cannot write file : ", 0), 0u) << outcome.detail;
}

}  // namespace
}  // namespace vortan
