#include "common/Paths.h"

#include <filesystem>

#include "platform/ProcessInfo.h"

namespace vortan {

namespace {

bool IsSeparator(std::filesystem::path::value_type c) {
  return c == std::filesystem::path::preferred_separator || c == '/';
}

}  // namespace

// Texts are joined, not appended as path elements, so that "../" stays as written and an
// absolute relative text does not replace the directory. Paths are UTF-8 text on every
// system (a narrow path would be read in Windows' ANSI code page).
std::string ResolveBesideExecutable(const std::string& relative) {
  std::filesystem::path directory = std::filesystem::u8path(platform::ExecutablePath()).remove_filename();
  return (directory += std::filesystem::u8path(relative)).u8string();
}

InstalledPaths::InstalledPaths()
    : root(DirectoryOf(DirectoryOf(platform::ExecutablePath()))),
      settings(ResolveBesideExecutable(paths::kSettings)),
      portUsed(ResolveBesideExecutable(paths::kPortUsed)),
      logFile(ResolveBesideExecutable(paths::kLogFile)),
      logConfig(ResolveBesideExecutable(paths::kLogConfig)),
      crashDump(ResolveBesideExecutable(paths::kCrashDump)) {}

std::string DirectoryOf(const std::string& path) {
  std::filesystem::path::string_type directory = std::filesystem::u8path(path).remove_filename().native();
  if (directory.empty()) return path;
  if (IsSeparator(directory.back())) directory.pop_back();
  return std::filesystem::path(directory).u8string();
}

}  // namespace vortan
