#include <cstddef>
#include <cstdint>
#include <string>

#include "common/Text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (const char* delimiters : {" ", ","}) {
    std::vector<std::string> fields = vortan::SplitFields(text, delimiters);
    if (fields.empty()) __builtin_trap();
    // No field holds a delimiter, and only the first may be empty.
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].find_first_of(delimiters) != std::string::npos) __builtin_trap();
      if (i > 0 && fields[i].empty()) __builtin_trap();
    }
  }
  vortan::TrimLine(text);
  vortan::IsValidUtf8(text);
  return 0;
}
