#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "settings/IniFile.h"
#include "common/Ipv4.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    vortan::CidrRange range(text);
    std::uint32_t address = range.randomAddress();
    if (address != 0 && range.maskBits() < 31 && (address >> 24) != 127) __builtin_trap();
  } catch (const std::runtime_error&) {
  }
  vortan::PortRange ports = vortan::ParsePortRange(text);
  if (ports.first > ports.last) __builtin_trap();
  std::uint32_t parsed = 0;
  if (vortan::ParseDottedQuad(text, &parsed) && vortan::FormatDotted(parsed) != text) __builtin_trap();
  vortan::InetAddr(text);
  return 0;
}
