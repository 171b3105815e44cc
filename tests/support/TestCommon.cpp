#include "TestCommon.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/ProcessInfo.h"

namespace vortan {
namespace test {

namespace fs = std::filesystem;

const char* const kWelcome = "Welcome to VortanVpnService management Interface \r\n";

std::string UniqueName(const std::string& prefix) {
  static std::atomic<int> counter{0};
  return prefix + std::to_string(platform::CurrentProcessId() % 100000) + "x" + std::to_string(counter++);
}

std::string TempPath(const std::string& name) { return (fs::temp_directory_path() / name).string(); }

// Paths go through std::filesystem::path: the system's wide paths where it has them.
std::string ReadFile(const std::string& path) {
  std::ifstream in(fs::u8path(path), std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(fs::u8path(path), std::ios::binary | std::ios::trunc);
  out << content;
}

bool FileExists(const std::string& path) { return platform::PathExists(path); }

std::string Untimed(const std::string& reply) {
  std::string::size_type first = reply.find(" | ");
  std::string::size_type second = reply.find(" | ", first + 3);
  std::string::size_type third = reply.find(" | ", second + 3);
  if (third == std::string::npos) return reply;
  return reply.substr(0, second) + reply.substr(third);
}

bool ParsePortUsed(const std::string& text, Endpoint* endpoint) {
  const std::string scheme = "zel-vpn-service://";
  if (text.compare(0, scheme.size(), scheme) != 0) return false;
  std::string rest = text.substr(scheme.size());
  std::string::size_type colon = rest.rfind(':');
  if (colon == std::string::npos) return false;
  endpoint->address = rest.substr(0, colon);
  endpoint->port = std::atoi(rest.c_str() + colon + 1);
  return endpoint->port > 0;
}

}  // namespace test
}  // namespace vortan
