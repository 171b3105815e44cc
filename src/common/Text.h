#pragma once

#include <string>
#include <vector>

namespace vortan {

// The whitespace set that request and management lines are trimmed of.
extern const char* const kLineWhitespace;  // " \t\n\r\f\v"

// Splits text at any character of delimiters: runs of delimiters count as one
// separator, a leading delimiter gives an empty first field, trailing delimiters give
// no empty last field, and an empty text gives one empty field.
std::vector<std::string> SplitFields(const std::string& text, const std::string& delimiters);

// Removes every character of kLineWhitespace from the end, then from the start.
std::string TrimLine(const std::string& text);

// True when text is well-formed UTF-8 (no overlong forms, surrogates or values past
// U+10FFFF).
bool IsValidUtf8(const std::string& text);

// ASCII lower-casing, character by character; other bytes are left as they are.
std::string ToLowerAscii(std::string text);

// An ASCII control character (C0 or DEL): in a configuration line or a log line it
// would end the line or move a terminal's cursor.
bool IsControlByte(char c);
bool HasControlByte(const std::string& text);

bool StartsWith(const std::string& text, const std::string& prefix);
bool Contains(const std::string& text, const std::string& part);

}  // namespace vortan
