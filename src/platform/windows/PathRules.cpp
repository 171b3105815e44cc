#include "platform/PathRules.h"

#include <cstddef>

namespace platform {
namespace {

const char* const kSeparators = "\\/";

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualsIgnoringCase(const std::string& text, const char* name) {
  std::size_t i = 0;
  for (; i < text.size() && name[i] != '\0'; ++i) {
    if (UpperAscii(text[i]) != name[i]) return false;
  }
  return i == text.size() && name[i] == '\0';
}

// The DOS device names, which Windows resolves in any folder and with any extension.
bool IsReservedDeviceName(std::string base) {
  while (!base.empty() && (base.back() == ' ' || base.back() == '.')) base.pop_back();
  for (const char* name : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (EqualsIgnoringCase(base, name)) return true;
  }
  if (base.size() != 4 || base[3] < '0' || base[3] > '9') return false;
  const std::string stem = base.substr(0, 3);
  return EqualsIgnoringCase(stem, "COM") || EqualsIgnoringCase(stem, "LPT");
}

}  // namespace

const char* PathSeparators() { return kSeparators; }

// File names are appended to a prefix's last component, so only a component holding a
// dot can end up as a device name ("NUL." + "auth.txt").
bool NamesRemoteFileOrDevice(const std::string& path) {
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) return true;
  if (path.compare(0, 4, "\\??\\") == 0) return true;
  // A drive's colon ends a component too ("C:NUL.").
  const std::size_t componentEnd = path.find_last_of("\\/:");
  const std::string last = componentEnd == std::string::npos ? path : path.substr(componentEnd + 1);
  const std::size_t dot = last.find('.');
  return dot != std::string::npos && IsReservedDeviceName(last.substr(0, dot));
}

}  // namespace platform
