#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "tunnel/OpenVpnFileReferences.h"
#include "tunnel/RequestParser.h"
#include "tunnel/StartRequestWords.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    vortan::RequestParser request(text);
    request.HasControlCharacter();
    if (request.GetConfigFileName().size() > request.GetConfigPrefix().size()) __builtin_trap();
    if (!vortan::InvalidStartWord(request).empty()) return 0;
    // An accepted prefix stays one file parameter where OpenVPN's configuration names
    // files with its last component, and inside the quoted credentials path.
    const std::string& fileName = request.GetConfigFileName();
    const auto references = vortan::FindFileReferences(
        "ca " + fileName + "ca.crt\nhttp-proxy p 1 " + vortan::QuotedOpenVpnParameter(request.GetConfigPrefix() + "a") +
        " basic\n");
    if (references.size() != 2 || references[0].path != fileName + "ca.crt" ||
        references[1].path != request.GetConfigPrefix() + "a") {
      __builtin_trap();
    }
  } catch (const std::exception&) {
  }
  return 0;
}
