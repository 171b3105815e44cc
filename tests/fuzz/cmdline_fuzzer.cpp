#include <cstddef>
#include <cstdint>
#include <string>

#include "settings/CmdLineParser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vortan::CCmdLineParser parser;
  parser.Parse(std::string(reinterpret_cast<const char*>(data), size));
  std::string value;
  parser.Value("install", &value);
  return 0;
}
