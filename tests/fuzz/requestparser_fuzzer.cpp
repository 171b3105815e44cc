#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "RequestParser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    vortan::RequestParser request(text);
    request.HasControlCharacter();
    if (request.GetConfigFileName().size() > request.GetConfigPrefix().size()) __builtin_trap();
  } catch (const std::exception&) {
  }
  return 0;
}
