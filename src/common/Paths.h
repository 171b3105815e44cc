#pragma once

#include <string>

namespace vortan {

// Relative texts of the files the service finds beside its executable's directory.
namespace paths {
inline constexpr const char* kPortUsed = "../conf/portused.txt";
inline constexpr const char* kSettings = "../conf/VortanVpnService.ini";
inline constexpr const char* kLogConfig = "../conf/servicelog.conf";
inline constexpr const char* kLogFile = "../logs/vortanVpnService.log";
inline constexpr const char* kCrashDump = "../log/VortanVpnService.dump";
}  // namespace paths

// The executable's full path with its last component (the file name) replaced by
// relative, as text: nothing is normalised or resolved against the current directory.
std::string ResolveBesideExecutable(const std::string& relative);

// The installed tree's paths the main loop uses, built once from the executable's path.
struct InstalledPaths {
  InstalledPaths();
  std::string root;      // the directory above the executable's directory
  std::string settings;  // kSettings resolved, and so on
  std::string portUsed;
  std::string logFile;
  std::string logConfig;
  std::string crashDump;
};

// The text of path before its last separator ("/", on Windows also "\\"); the whole
// path when it has none.
std::string DirectoryOf(const std::string& path);

}  // namespace vortan
