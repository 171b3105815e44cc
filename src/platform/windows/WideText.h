#pragma once

#include <string>

// Conversions between the service's UTF-8 texts and the system's UTF-16 and ANSI texts.
namespace platform {

std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);

// The text in the system's ANSI code page; characters the code page lacks become the
// code page's default character.
std::string WideToAnsi(const std::wstring& text);

}  // namespace platform
