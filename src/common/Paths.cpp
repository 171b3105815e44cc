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
// absolute relative text does not replace the directory.
std::string ResolveBesideExecutable(const std::string& relative) {
  std::filesystem::path directory = std::filesystem::path(platform::ExecutablePath()).remove_filename();
  return (directory += relative).string();
}

std::string DirectoryOf(const std::string& path) {
  std::filesystem::path::string_type directory = std::filesystem::path(path).remove_filename().native();
  if (directory.empty()) return path;
  if (IsSeparator(directory.back())) directory.pop_back();
  return std::filesystem::path(directory).string();
}

}  // namespace vortan
