#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tunnel/OpenVpnFileReferences.h"

// Every file reference replaced by a path must read back as exactly that path, with
// the same options in the same order.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::vector<vortan::FileReference> references = vortan::FindFileReferences(text);
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < references.size(); ++i) {
    if (references[i].offset + references[i].length > text.size()) __builtin_trap();
    paths.push_back("/run/a \"b\"\\" + std::to_string(i));
  }
  const std::vector<vortan::FileReference> again =
      vortan::FindFileReferences(vortan::ReplaceFileReferences(text, references, paths));
  if (again.size() != references.size()) __builtin_trap();
  for (std::size_t i = 0; i < again.size(); ++i) {
    if (again[i].option != references[i].option || again[i].path != paths[i]) __builtin_trap();
  }
  return 0;
}
