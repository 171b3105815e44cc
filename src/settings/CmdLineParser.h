#pragma once

#include <map>
#include <string>

namespace vortan {

// Command-line switches introduced by "/" or "-", with optional ":" values.
class CCmdLineParser {
 public:
  explicit CCmdLineParser(bool caseSensitive = false) : caseSensitive_(caseSensitive) {}
  virtual ~CCmdLineParser() = default;

  // Fills the switch map from text, replacing what was there.
  void Parse(const std::string& text);
  bool Has(const std::string& name) const;
  // The value of a switch; false when it is absent (an empty value is present).
  bool Value(const std::string& name, std::string* value) const;
  const std::map<std::string, std::string>& Switches() const { return switches_; }

 private:
  std::string Key(const std::string& name) const;
  void Store(const std::string& key, const std::string& value);

  std::string commandLine_;
  std::map<std::string, std::string> switches_;
  bool caseSensitive_;
};

}  // namespace vortan
