#include "platform/NarrowPaths.h"

#include <winsock2.h>
#include <windows.h>

#include <vector>

#include "platform/windows/WideText.h"

namespace platform {
namespace {

// The text in the ANSI code page when every character has its own there.
bool ToAnsiExactly(const std::wstring& wide, std::string* ansi) {
  BOOL lost = FALSE;
  const int length = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                                           nullptr, 0, nullptr, &lost);
  if (length <= 0 || lost) return false;
  ansi->assign(static_cast<std::size_t>(length), '\0');
  ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()), ansi->data(),
                        length, nullptr, &lost);
  return !lost;
}

std::wstring ShortForm(const std::wstring& path) {
  const DWORD length = ::GetShortPathNameW(path.c_str(), nullptr, 0);
  if (length == 0) return std::wstring();
  std::vector<wchar_t> buffer(length);
  const DWORD written = ::GetShortPathNameW(path.c_str(), buffer.data(), length);
  return written == 0 || written >= length ? std::wstring() : std::wstring(buffer.data(), written);
}

}  // namespace

// A file that does not exist yet has no short form: its directory's is used, with the
// name itself when that fits the code page.
std::string PathForNarrowCalls(const std::string& utf8Path) {
  std::wstring wide;
  if (!Utf8PathToWide(utf8Path, &wide)) return utf8Path;
  std::string ansi;
  if (ToAnsiExactly(wide, &ansi)) return ansi;
  std::wstring shortPath = ShortForm(wide);
  if (shortPath.empty()) {
    const std::size_t separator = wide.find_last_of(L"\\/");
    std::string name;
    if (separator != std::wstring::npos && ToAnsiExactly(wide.substr(separator + 1), &name)) {
      const std::wstring directory = ShortForm(wide.substr(0, separator));
      if (!directory.empty()) shortPath = directory + L"\\" + wide.substr(separator + 1);
    }
  }
  if (shortPath.empty() || !ToAnsiExactly(shortPath, &ansi)) return utf8Path;
  return ansi;
}

std::string PathFromNarrowCalls(const std::string& narrowPath) {
  if (narrowPath.empty()) return narrowPath;
  const int length =
      ::MultiByteToWideChar(CP_ACP, 0, narrowPath.data(), static_cast<int>(narrowPath.size()), nullptr, 0);
  if (length <= 0) return narrowPath;
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, narrowPath.data(), static_cast<int>(narrowPath.size()), wide.data(), length);
  return WideToUtf8(wide);
}

}  // namespace platform
