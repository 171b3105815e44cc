#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "tunnel/RequestParser.h"
#include "tunnel/StartRequestWords.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    vortan::RequestParser request(text);
    request.HasControlCharacter();
    // A prefix accepted as one word holds nothing that could end it in a configuration line.
    if (vortan::InvalidStartWord(request).empty() &&
        request.GetConfigPrefix().find_first_of(" \t\"'\\#;%") != std::string::npos) {
      __builtin_trap();
    }
    if (request.GetConfigFileName().size() > request.GetConfigPrefix().size()) __builtin_trap();
  } catch (const std::exception&) {
  }
  return 0;
}
