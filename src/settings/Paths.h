#pragma once

#include <string>

namespace vortan {

// Relative texts of the files the service finds beside its executable's directory.
namespace paths {
extern const char* const kPortUsed;        // "../conf/portused.txt"
extern const char* const kSettings;        // "../conf/VortanVpnService.ini"
extern const char* const kLogConfig;       // "../conf/servicelog.conf"
extern const char* const kLogFile;         // "../logs/vortanVpnService.log"
extern const char* const kCrashDump;       // "../log/VortanVpnService.dump"
}  // namespace paths

// The executable's full path with its last component (the file name) replaced by
// relative, as text: nothing is normalised or resolved against the current directory.
std::string ResolveBesideExecutable(const std::string& relative);

// The text of path before its last separator ("/", on Windows also "\\"); the whole
// path when it has none.
std::string DirectoryOf(const std::string& path);

}  // namespace vortan
