#include "tunnel/OpenVpnFileReferences.h"

#include <algorithm>

namespace vortan {
namespace {

const char* const kByteOrderMark = "\xEF\xBB\xBF";
const char* const kInlineParameter = "[[INLINE]]";

// The option and the position (from 1) of its file parameter.
struct FileOption {
  const char* name;
  std::size_t parameter;
};

const FileOption kFileOptions[] = {
    {"ca", 1},          {"cert", 1},         {"key", 1},        {"tls-auth", 1},       {"tls-crypt", 1},
    {"tls-crypt-v2", 1}, {"dh", 1},          {"pkcs12", 1},     {"crl-verify", 1},     {"extra-certs", 1},
    {"secret", 1},      {"auth-user-pass", 1}, {"askpass", 1},  {"http-proxy", 3},     {"socks-proxy", 3},
};

// Parameter values that name no file.
bool NamesNoFile(const std::string& option, const std::string& value) {
  if (value == kInlineParameter || value == "stdin") return true;
  if (option == "dh" && value == "none") return true;
  return option == "http-proxy" && (value == "auto" || value == "auto-nct");
}

const FileOption* FindFileOption(const std::string& option) {
  for (const FileOption& candidate : kFileOptions) {
    if (option == candidate.name) return &candidate;
  }
  return nullptr;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

struct Token {
  std::string value;
  std::size_t offset;
  std::size_t length;
};

// Splits one line as OpenVPN does: blanks separate, "#" or ";" where a word would begin
// starts a comment, double quotes group with backslash escapes inside, single quotes
// group literally, and a backslash outside quotes takes the next character as it is.
std::vector<Token> SplitOpenVpnLine(const std::string& line) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (i < line.size()) {
    if (IsSpace(line[i])) {
      ++i;
      continue;
    }
    if (line[i] == '#' || line[i] == ';') break;
    Token token{std::string(), i, 0};
    while (i < line.size() && !IsSpace(line[i])) {
      const char c = line[i];
      if (c == '"' || c == '\'') {
        ++i;
        while (i < line.size() && line[i] != c) {
          if (c == '"' && line[i] == '\\' && i + 1 < line.size()) ++i;
          token.value += line[i++];
        }
        if (i < line.size()) ++i;  // the closing quote
      } else if (c == '\\' && i + 1 < line.size()) {
        token.value += line[i + 1];
        i += 2;
      } else {
        token.value += c;
        ++i;
      }
    }
    token.length = i - token.offset;
    tokens.push_back(token);
  }
  return tokens;
}

std::string OptionName(const std::string& word) { return word.compare(0, 2, "--") == 0 ? word.substr(2) : word; }

// "<ca>" opens an inline block that "</ca>" closes; the lines between are file content.
bool OpensInlineBlock(const std::string& word, std::string* closing) {
  if (word.size() < 3 || word.front() != '<' || word.back() != '>' || word[1] == '/') return false;
  *closing = "</" + word.substr(1);
  return true;
}

}  // namespace

std::vector<FileReference> FindFileReferences(const std::string& configText) {
  std::vector<FileReference> references;
  std::size_t lineStart = configText.compare(0, 3, kByteOrderMark) == 0 ? 3 : 0;
  std::string blockEnd;
  while (lineStart <= configText.size()) {
    std::size_t lineEnd = configText.find('\n', lineStart);
    if (lineEnd == std::string::npos) lineEnd = configText.size();
    const std::vector<Token> tokens = SplitOpenVpnLine(configText.substr(lineStart, lineEnd - lineStart));
    if (!blockEnd.empty()) {
      if (!tokens.empty() && tokens.front().value == blockEnd) blockEnd.clear();
    } else if (!tokens.empty() && !OpensInlineBlock(tokens.front().value, &blockEnd)) {
      const std::string option = OptionName(tokens.front().value);
      const FileOption* fileOption = FindFileOption(option);
      if (fileOption != nullptr && fileOption->parameter < tokens.size()) {
        const Token& parameter = tokens[fileOption->parameter];
        if (!NamesNoFile(option, parameter.value)) {
          references.push_back({option, parameter.value, lineStart + parameter.offset, parameter.length});
        }
      }
    }
    lineStart = lineEnd + 1;
  }
  return references;
}

std::string QuotedOpenVpnParameter(const std::string& path) {
  std::string quoted = "\"";
  for (char c : path) {
    if (c == '\\' || c == '"') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

std::string ReplaceReferencedText(const std::string& configText, const std::vector<FileReference>& references,
                                  const std::vector<std::string>& values) {
  std::vector<std::size_t> order(std::min(references.size(), values.size()));
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  // From the end of the text backwards, so that earlier offsets stay valid.
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return references[a].offset > references[b].offset; });
  std::string text = configText;
  for (std::size_t index : order) text.replace(references[index].offset, references[index].length, values[index]);
  return text;
}

std::string ReplaceFileReferences(const std::string& configText, const std::vector<FileReference>& references,
                                  const std::vector<std::string>& paths) {
  std::vector<std::string> quoted;
  for (const std::string& path : paths) quoted.push_back(QuotedOpenVpnParameter(path));
  return ReplaceReferencedText(configText, references, quoted);
}

}  // namespace vortan
