#include "tunnel/ManagementChannel.h"

#include <stdexcept>
#include <vector>

#include "tunnel/ConfigManager.h"
#include "common/Text.h"
#include "platform/LocalSocket.h"
#include "platform/ProcessInfo.h"

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

std::string ConfigLine(const ManagementChannel& channel) {
  return std::string(kOptionName) + " \"" + EscapeBackslashes(channel.socketPath) + "\" unix";
}

// The line's end as written (a carriage return before the line feed stays).
std::string LineEnding(const std::string& line) {
  const std::string::size_type last = line.find_last_not_of('\r');
  return last == std::string::npos ? line : line.substr(last + 1);
}

}  // namespace

ManagementChannel ManagementChannelFor(const std::string& privateDirectory, std::uint64_t launch) {
  ManagementChannel channel{privateDirectory + "/management-" + std::to_string(launch) + ".sock"};
  if (channel.socketPath.size() > platform::MaxLocalSocketPath()) {
    throw std::runtime_error("Management socket path too long : " + channel.socketPath);
  }
  return channel;
}

ManagementChannel PrepareManagementChannel(const std::string& privateDirectory, std::uint64_t launch) {
  ManagementChannel channel = ManagementChannelFor(privateDirectory, launch);
  RemoveManagementChannel(channel);
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

std::unique_ptr<LocalSocketClient> ConnectManagementChannel(const ManagementChannel& channel) {
  return std::make_unique<LocalSocketClient>(channel.socketPath);
}

bool ManagementChannelOpen(const ManagementChannel& channel) {
  return platform::IsLocalSocketListening(channel.socketPath);
}

void RemoveManagementChannel(const ManagementChannel& channel) {
  if (platform::IsSocketFile(channel.socketPath)) platform::RemoveFile(channel.socketPath);
}

bool ManagementEndpointBelongsTo(const LocalSocketClient& management, std::uint32_t processId) {
  return processId != 0 && management.PeerProcess() == processId;
}

}  // namespace vortan
