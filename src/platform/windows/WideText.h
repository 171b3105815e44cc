#pragma once

#include <string>

// Conversions between the service's UTF-8 texts and the system's UTF-16 and ANSI texts.
namespace platform {

std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);

// The one rule for paths at the system's calls: the service's paths are UTF-8 (the
// client's requests arrive in UTF-8), the system's calls take UTF-16. False when the
// bytes are no UTF-8: such a path is refused, never guessed.
bool Utf8PathToWide(const std::string& text, std::wstring* wide);

// The text in the system's ANSI code page; characters the code page lacks become the
// code page's default character.
std::string WideToAnsi(const std::wstring& text);

}  // namespace platform
