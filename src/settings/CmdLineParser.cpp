#include "settings/CmdLineParser.h"

#include "common/Text.h"

namespace vortan {

std::string CCmdLineParser::Key(const std::string& name) const {
  return caseSensitive_ ? name : ToLowerAscii(name);
}

void CCmdLineParser::Store(const std::string& key, const std::string& value) {
  // The first value given for a switch wins.
  if (!key.empty()) switches_.emplace(Key(key), value);
}

void CCmdLineParser::Parse(const std::string& text) {
  commandLine_ = text;
  switches_.clear();
  std::string::size_type position = 0;
  while (position < text.size()) {
    const std::string::size_type introducer = text.find_first_of("-/", position);
    if (introducer == std::string::npos || introducer + 1 >= text.size()) return;
    const std::string::size_type keyStart = introducer + 1;
    const std::string::size_type separator = text.find_first_of(" :", keyStart);
    if (separator == std::string::npos) {
      Store(text.substr(keyStart), std::string());
      return;
    }
    const std::string key = text.substr(keyStart, separator - keyStart);
    if (text[separator] == ' ' || separator + 1 == text.size()) {
      Store(key, std::string());
      position = separator + 1;
      continue;
    }
    const bool quoted = text[separator + 1] == '"';
    const std::string::size_type valueStart = separator + (quoted ? 2 : 1);
    const std::string::size_type valueEnd = text.find(quoted ? '"' : ' ', valueStart);
    if (valueEnd == std::string::npos) {
      Store(key, text.substr(valueStart));
      return;
    }
    Store(key, text.substr(valueStart, valueEnd - valueStart));
    position = valueEnd + 1;
  }
}

bool CCmdLineParser::Has(const std::string& name) const { return switches_.count(Key(name)) != 0; }

bool CCmdLineParser::Value(const std::string& name, std::string* value) const {
  auto found = switches_.find(Key(name));
  if (found == switches_.end()) return false;
  *value = found->second;
  return true;
}

}  // namespace vortan
