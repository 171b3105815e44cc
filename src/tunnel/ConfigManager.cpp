#include "tunnel/ConfigManager.h"

#include <stdexcept>

#include "common/Logging.h"
#include "common/Paths.h"
#include "platform/ProcessInfo.h"

namespace vortan {

namespace {

const char* const kByteOrderMark = "\xEF\xBB\xBF";

// A text-mode read stores each CR LF of the file as a single LF.
std::string WithLineFeedsOnly(const std::string& bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
    text += bytes[i];
  }
  return text;
}

}  // namespace

ConfigManager::~ConfigManager() = default;

std::string ConfigManager::GetConfigFilePath() const { return configFilePath; }

const std::string& ConfigManager::GetConfigText() const { return configText; }

void ConfigManager::WriteConfigFile(const FileWriter& writer, const std::string& path, const std::string& text,
                                    platform::FileAccess access, const char* loggerId) {
  int error = 0;
  if (!WriteUtf8File(writer, path, text, access, &error)) {
    const std::string reason = platform::ErrorText(error);
    CLOG(DEBUG, loggerId) << "write of " << path << " failed, errno " << error << " (" << reason << ")";
    throw std::runtime_error("Cannot write file : " + path);
  }
  configFilePath = path;
  configText = Utf8FileBytes(text);
}

std::string ResolveTemplatePath(const std::string& relativeTemplate, const char* loggerId,
                                const TemplateMessages& messages) {
  const std::string besideExecutable = ResolveBesideExecutable(relativeTemplate);
  CLOG(DEBUG, loggerId) << messages.checking << besideExecutable;
  std::string chosen = besideExecutable;
  if (!platform::CanOpenForReading(besideExecutable)) {
    CLOG(DEBUG, loggerId) << messages.sideBySide << relativeTemplate;
    chosen = relativeTemplate;
  }
  CLOG(DEBUG, loggerId) << messages.reading << chosen;
  return chosen;
}

// Each line, the last one included, is followed by CR LF: an empty file is one empty
// line, and a final line feed opens one more empty line.
std::string ReadTextFile(const std::string& path) {
  std::string bytes;
  if (platform::ReadWholeFile(path, &bytes).Failed()) return std::string();
  const std::string content = WithLineFeedsOnly(bytes);
  std::string text;
  std::string::size_type start = 0;
  for (;;) {
    const std::string::size_type end = content.find('\n', start);
    text += content.substr(start, end == std::string::npos ? std::string::npos : end - start);
    text += "\r\n";
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return text;
}

void ReplaceAll(std::string& text, const std::string& placeholder, const std::string& value) {
  if (placeholder.empty()) return;
  std::string::size_type position = text.find(placeholder);
  while (position != std::string::npos) {
    text.replace(position, placeholder.size(), value);
    position = text.find(placeholder, position + value.size());
  }
}

std::string FillPlaceholders(const std::string& templateText, const std::vector<Placeholder>& placeholders) {
  std::string text;
  text.reserve(templateText.size());
  std::size_t position = 0;
  while (position < templateText.size()) {
    const Placeholder* found = nullptr;
    for (const Placeholder& placeholder : placeholders) {
      const std::size_t length = std::char_traits<char>::length(placeholder.name);
      if (length > 0 && templateText.compare(position, length, placeholder.name) == 0) {
        found = &placeholder;
        break;
      }
    }
    if (found == nullptr) {
      text += templateText[position++];
    } else {
      text += found->value;
      position += std::char_traits<char>::length(found->name);
    }
  }
  return text;
}

std::string WithTextModeLineEnds(const std::string& text) {
  std::string bytes;
  bytes.reserve(text.size() + text.size() / 16);
  for (char c : text) {
    if (c == '\n') bytes += '\r';
    bytes += c;
  }
  return bytes;
}

std::string Utf8FileBytes(const std::string& text) {
  if (text.empty()) return std::string();
  return kByteOrderMark + WithTextModeLineEnds(text);
}

bool WriteUtf8File(const FileWriter& writer, const std::string& path, const std::string& text,
                   platform::FileAccess access, int* error) {
  const platform::Error result = writer.Write(path, Utf8FileBytes(text), access);
  if (error != nullptr) *error = static_cast<int>(result.Code());
  return result.Succeeded();
}

std::string EscapeBackslashes(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    if (c == '\\') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

}  // namespace vortan
