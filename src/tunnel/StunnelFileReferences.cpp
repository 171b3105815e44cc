#include "tunnel/StunnelFileReferences.h"

#include "common/Text.h"

namespace vortan {
namespace {

const char* const kByteOrderMark = "\xEF\xBB\xBF";
const char* const kFileOptions[] = {"cafile", "capath", "cert", "key", "crlfile", "crlpath", "psksecrets", "include"};

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

bool IsFileOption(const std::string& option) {
  const std::string lower = ToLowerAscii(option);
  for (const char* name : kFileOptions) {
    if (lower == name) return true;
  }
  return false;
}

// The range [begin, end) of line without the blanks around it.
void Trim(const std::string& line, std::size_t* begin, std::size_t* end) {
  while (*begin < *end && IsSpace(line[*begin])) ++*begin;
  while (*end > *begin && IsSpace(line[*end - 1])) --*end;
}

}  // namespace

std::vector<FileReference> FindStunnelFileReferences(const std::string& configText) {
  std::vector<FileReference> references;
  std::size_t lineStart = configText.compare(0, 3, kByteOrderMark) == 0 ? 3 : 0;
  while (lineStart <= configText.size()) {
    std::size_t lineEnd = configText.find('\n', lineStart);
    if (lineEnd == std::string::npos) lineEnd = configText.size();
    const std::string line = configText.substr(lineStart, lineEnd - lineStart);
    const std::size_t equals = line.find('=');
    std::size_t nameBegin = 0, nameEnd = equals == std::string::npos ? 0 : equals;
    Trim(line, &nameBegin, &nameEnd);
    const bool comment = nameBegin < line.size() && (line[nameBegin] == '#' || line[nameBegin] == ';');
    if (equals != std::string::npos && !comment && IsFileOption(line.substr(nameBegin, nameEnd - nameBegin))) {
      std::size_t valueBegin = equals + 1, valueEnd = line.size();
      Trim(line, &valueBegin, &valueEnd);
      references.push_back({line.substr(nameBegin, nameEnd - nameBegin), line.substr(valueBegin, valueEnd - valueBegin),
                            lineStart + valueBegin, valueEnd - valueBegin});
    }
    lineStart = lineEnd + 1;
  }
  return references;
}

}  // namespace vortan
