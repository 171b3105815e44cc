#include "tunnel/ManagementChannel.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tunnel/ConfigManager.h"
#include "common/FileWriter.h"
#include "common/Ipv4.h"
#include "common/Text.h"
#include "platform/Files.h"
#include "platform/LocalSocket.h"
#include "platform/LocalSocketWatch.h"
#include "platform/ProcessInfo.h"
#include "platform/Random.h"
#include "platform/Tcp.h"

namespace vortan {
namespace {

const char* const kOptionName = "management";

// OpenVPN takes an option's name with or without a leading "--".
bool IsManagementOption(const std::string& line) {
  const std::string::size_type start = line.find_first_not_of(" \t");
  if (start == std::string::npos) return false;
  std::string word = line.substr(start, line.find_first_of(" \t\r", start) - start);
  if (StartsWith(word, "--")) word.erase(0, 2);
  return word == kOptionName;
}

const char* const kPasswordPrompt = "ENTER PASSWORD:";
const char* const kPasswordAccepted = "SUCCESS:";
constexpr int kPasswordWords = 4;  // 128 bits

// A socket file: "management <path> unix". A loopback endpoint: "management <address>
// <port> <password file>".
std::string ConfigLine(const ManagementChannel& channel) {
  if (channel.passwordPath.empty()) {
    return std::string(kOptionName) + " \"" + EscapeBackslashes(channel.socketPath) + "\" unix";
  }
  const std::string::size_type colon = channel.socketPath.rfind(':');
  return std::string(kOptionName) + " " + channel.socketPath.substr(0, colon) + " " +
         channel.socketPath.substr(colon + 1) + " \"" + EscapeBackslashes(channel.passwordPath) + "\"";
}

std::string DrawPassword() {
  std::string password;
  for (int i = 0; i < kPasswordWords; ++i) {
    std::uint32_t word = 0;
    if (!platform::SecureRandom32(&word)) throw std::runtime_error("Cannot draw the management password");
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(word));
    password += hex;
  }
  return password;
}

// A port the system has just handed out on the loopback address; OpenVPN binds it
// moments later.
int FreeLoopbackPort() {
  SocketServer probe(HostToNet(0x7F000001), 0, 1);
  return probe.BoundPort();
}

ManagementChannel LoopbackChannelFor(const std::string& privateDirectory, std::uint64_t launch) {
  ManagementChannel channel;
  channel.socketPath = "127.0.0.1:" + std::to_string(FreeLoopbackPort());
  channel.password = DrawPassword();
  channel.passwordPath = privateDirectory + "/management-" + std::to_string(launch) + ".pw";
  return channel;
}

// OpenVPN reads the password from the file's first line.
void WritePasswordFile(const std::string& privateDirectory, const ManagementChannel& channel) {
  if (platform::MakeOwnerOnlyDirectory(privateDirectory).Failed()) {
    throw std::runtime_error("Cannot write file : " + privateDirectory);
  }
  const FileWriter asService(platform::ServiceIdentity());
  if (asService.Write(channel.passwordPath, channel.password + "\n", platform::FileAccess::kOwnerOnly).Failed()) {
    throw std::runtime_error("Cannot write file : " + channel.passwordPath);
  }
}

// The line's end as written (a carriage return before the line feed stays).
std::string LineEnding(const std::string& line) {
  const std::string::size_type last = line.find_last_not_of('\r');
  return last == std::string::npos ? line : line.substr(last + 1);
}

}  // namespace

ManagementChannel ManagementChannelFor(const std::string& privateDirectory, std::uint64_t launch) {
  if (!platform::LocalSocketsAreFiles()) return LoopbackChannelFor(privateDirectory, launch);
  ManagementChannel channel{privateDirectory + "/management-" + std::to_string(launch) + ".sock", "", "", nullptr};
  if (channel.socketPath.size() > platform::MaxLocalSocketPath()) {
    throw std::runtime_error("Management socket path too long : " + channel.socketPath);
  }
  return channel;
}

ManagementChannel PrepareManagementChannel(const std::string& privateDirectory, std::uint64_t launch) {
  ManagementChannel channel = ManagementChannelFor(privateDirectory, launch);
  RemoveManagementChannel(channel);
  if (!channel.passwordPath.empty()) WritePasswordFile(privateDirectory, channel);
  if (platform::LocalSocketsAreFiles()) channel.watch = std::make_shared<platform::LocalSocketWatch>(channel.socketPath);
  return channel;
}

std::string WithManagementChannel(const std::string& configText, const ManagementChannel& channel) {
  std::string result;
  bool replaced = false;
  std::string::size_type start = 0;
  while (start < configText.size()) {
    std::string::size_type end = configText.find('\n', start);
    const bool hasLineFeed = end != std::string::npos;
    if (!hasLineFeed) end = configText.size();
    const std::string line = configText.substr(start, end - start);
    const std::string lineFeed = hasLineFeed ? "\n" : "";
    if (!IsManagementOption(line)) {
      result += line + lineFeed;
    } else if (!replaced) {
      result += ConfigLine(channel) + LineEnding(line) + lineFeed;
      replaced = true;
    }
    start = end + 1;
  }
  if (!replaced) {
    if (!result.empty() && result.back() != '\n') result += "\n";
    result += ConfigLine(channel) + "\n";
  }
  return result;
}

std::unique_ptr<LocalSocketClient> ConnectManagementChannel(const ManagementChannel& channel, std::uint32_t processId,
                                                            std::chrono::milliseconds replyTimeout) {
  auto connection = std::make_unique<LocalSocketClient>(channel.socketPath);
  // The password goes to the launched OpenVPN only: another process that took the
  // endpoint first would learn it.
  if (!ManagementEndpointBelongsTo(*connection, processId)) {
    connection->Close();
    throw ForeignManagementPeer("not held by OpenVPN");
  }
  if (!channel.password.empty()) EnterManagementPassword(*connection, channel.password, replyTimeout);
  return connection;
}

namespace {

constexpr auto kCloseGrace = std::chrono::milliseconds(200);

// Ends a wait for the far end once the time is up: the connection is shut down, so a
// far end that never answers cannot hold the caller.
class ReplyWatchdog {
 public:
  ReplyWatchdog(Socket& connection, std::chrono::milliseconds timeout)
      : watchdog_([this, &connection, timeout] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (answered_.wait_for(lock, timeout, [this] { return done_; })) return;
          platform::ShutdownSocket(connection.Handle());
          // Where shutting a connection down does not end a blocked receive, closing does.
          if (!answered_.wait_for(lock, kCloseGrace, [this] { return done_; })) connection.Close();
        }) {}
  ~ReplyWatchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    answered_.notify_all();
    watchdog_.join();
  }
  ReplyWatchdog(const ReplyWatchdog&) = delete;
  ReplyWatchdog& operator=(const ReplyWatchdog&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable answered_;
  bool done_ = false;
  std::thread watchdog_;
};

}  // namespace

// OpenVPN prompts without a line end and takes the first line it reads as the
// password; sent at once, the password is answered by one line: the prompt followed
// by "SUCCESS: password is correct". A wrong one gets the prompt again.
void EnterManagementPassword(Socket& management, const std::string& password, std::chrono::milliseconds replyTimeout) {
  std::string reply;
  {
    const ReplyWatchdog watchdog(management, replyTimeout);
    management.SendLine(password);
    reply = management.ReceiveLine();
  }
  const std::string prompt = kPasswordPrompt;
  if (!StartsWith(reply, prompt) || !StartsWith(reply.substr(prompt.size()), kPasswordAccepted)) {
    throw std::runtime_error("Management password refused");
  }
}

void RemoveManagementChannel(const ManagementChannel& channel) {
  if (platform::IsSocketFile(channel.socketPath)) platform::RemoveFile(channel.socketPath);
  if (!channel.passwordPath.empty() && platform::PathExists(channel.passwordPath)) {
    platform::RemoveFile(channel.passwordPath);
  }
}

bool ManagementEndpointBelongsTo(const LocalSocketClient& management, std::uint32_t processId) {
  return processId != 0 && management.PeerProcess() == processId;
}

}  // namespace vortan
