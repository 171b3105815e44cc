#include "Paths.h"

#include "platform/ProcessInfo.h"

namespace vortan {

namespace paths {
const char* const kPortUsed = "../conf/portused.txt";
const char* const kSettings = "../conf/VortanVpnService.ini";
const char* const kLogConfig = "../conf/servicelog.conf";
const char* const kLogFile = "../logs/vortanVpnService.log";
const char* const kCrashDump = "../log/VortanVpnService.dump";
}  // namespace paths

std::string ResolveBesideExecutable(const std::string& relative) {
  std::string executable = platform::ExecutablePath();
  std::string::size_type slash = executable.rfind('/');
  if (slash == std::string::npos) return relative;
  return executable.substr(0, slash + 1) + relative;
}

std::string DirectoryOf(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(0, slash);
}

}  // namespace vortan
