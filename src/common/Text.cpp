#include "common/Text.h"

#include <cstdint>

namespace vortan {

const char* const kLineWhitespace = " \t\n\r\f\v";

namespace {

// The field splitting, with the delimiter search as a parameter: a single delimiter
// (the common case) is found with a plain character search.
template <typename FindDelimiter, typename SkipDelimiters>
std::vector<std::string> SplitWith(const std::string& text, FindDelimiter findDelimiter, SkipDelimiters skip) {
  std::vector<std::string> fields;
  std::string::size_type start = 0;
  for (;;) {
    std::string::size_type end = findDelimiter(start);
    fields.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = skip(end);
    if (start == std::string::npos) break;
  }
  return fields;
}

}  // namespace

std::vector<std::string> SplitFields(const std::string& text, const std::string& delimiters) {
  if (delimiters.size() == 1) {
    const char delimiter = delimiters[0];
    return SplitWith(
        text, [&](std::string::size_type from) { return text.find(delimiter, from); },
        [&](std::string::size_type from) { return text.find_first_not_of(delimiter, from); });
  }
  return SplitWith(
      text, [&](std::string::size_type from) { return text.find_first_of(delimiters, from); },
      [&](std::string::size_type from) { return text.find_first_not_of(delimiters, from); });
}

std::string TrimLine(const std::string& text) {
  std::string::size_type last = text.find_last_not_of(kLineWhitespace);
  if (last == std::string::npos) return std::string();
  std::string::size_type first = text.find_first_not_of(kLineWhitespace);
  return text.substr(first, last - first + 1);
}

bool IsControlByte(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

bool HasControlByte(const std::string& text) {
  for (char c : text) {
    if (IsControlByte(c)) return true;
  }
  return false;
}

bool IsValidUtf8(const std::string& text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t size = text.size();
  for (std::size_t i = 0; i < size;) {
    unsigned char lead = bytes[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length;
    std::uint32_t codePoint;
    if ((lead & 0xE0) == 0xC0) {
      length = 2;
      codePoint = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      codePoint = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      codePoint = lead & 0x07;
    } else {
      return false;
    }
    if (i + length > size) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) return false;
      codePoint = (codePoint << 6) | (bytes[i + k] & 0x3F);
    }
    static const std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < kSmallest[length] || codePoint > 0x10FFFF) return false;
    if (codePoint >= 0xD800 && codePoint <= 0xDFFF) return false;
    i += length;
  }
  return true;
}

std::string ToLowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace vortan
