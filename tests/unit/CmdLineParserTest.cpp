#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "settings/CmdLineParser.h"

namespace vortan {
namespace {

const char* const kAbsent = "<absent>";

// A command line and the value each name then has: "" for a switch without a value,
// kAbsent for a name the line does not hold.
TEST(CmdLineParser, EachLineGivesItsSwitchesAndValues) {
  const struct {
    const char* line;
    std::vector<std::pair<const char*, const char*>> values;
  } rows[] = {
      // Switches with slash or dash are case-insensitive.
      {"prog /console", {{"console", ""}, {"Console", ""}}},
      {"prog -console", {{"console", ""}, {"Console", ""}}},
      {"prog /CONSOLE", {{"console", ""}, {"Console", ""}}},
      // Values follow a colon and keep their case.
      {"prog /install:Other /auto", {{"install", "Other"}, {"auto", ""}, {"remove", kAbsent}}},
      {"prog /install:\"My Service\" /auto", {{"install", "My Service"}, {"auto", ""}}},
      // An unclosed quote takes the rest of the text.
      {"prog /install:\"My Service /auto", {{"install", "My Service /auto"}, {"auto", kAbsent}}},
      {"prog /install:", {{"install", ""}}},
      // The first value wins; a dash inside a path adds a stray key (unknown keys are ignored).
      {"/opt/my-dir/prog /install:A -INSTALL:B", {{"install", "A"}, {"opt/my-dir/prog", ""}}},
  };
  for (const auto& row : rows) {
    CCmdLineParser parser;
    parser.Parse(row.line);
    for (const auto& [name, expected] : row.values) {
      const bool present = expected != std::string(kAbsent);
      std::string value = kAbsent;
      EXPECT_EQ(parser.Value(name, &value), present) << row.line << ": " << name;
      EXPECT_EQ(value, expected) << row.line << ": " << name;
      EXPECT_EQ(parser.Has(name), present) << row.line << ": " << name;
    }
  }
}

TEST(CmdLineParser, NothingAfterTheIntroducerAndEmptyKeysStoreNothing) {
  CCmdLineParser parser;
  parser.Parse("prog / -");
  EXPECT_TRUE(parser.Switches().empty());
  parser.Parse("");
  EXPECT_TRUE(parser.Switches().empty());
  parser.Parse("prog /a /b");
  parser.Parse("prog /c");
  EXPECT_FALSE(parser.Has("a"));  // a new parse replaces the map
}

}  // namespace
}  // namespace vortan
