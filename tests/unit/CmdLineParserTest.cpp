#include <gtest/gtest.h>

#include "settings/CmdLineParser.h"

namespace vortan {
namespace {

std::string ValueOf(const CCmdLineParser& parser, const std::string& name) {
  std::string value = "<absent>";
  parser.Value(name, &value);
  return value;
}

TEST(CmdLineParser, SwitchesWithSlashOrDashAreCaseInsensitive) {
  for (const char* line : {"prog /console", "prog -console", "prog /CONSOLE"}) {
    CCmdLineParser parser;
    parser.Parse(line);
    EXPECT_TRUE(parser.Has("console")) << line;
    EXPECT_TRUE(parser.Has("Console")) << line;
  }
}

TEST(CmdLineParser, ValuesFollowAColonAndKeepTheirCase) {
  CCmdLineParser parser;
  parser.Parse("prog /install:Other /auto");
  EXPECT_EQ(ValueOf(parser, "install"), "Other");
  EXPECT_EQ(ValueOf(parser, "auto"), "");
  EXPECT_EQ(ValueOf(parser, "remove"), "<absent>");
}

TEST(CmdLineParser, QuotedValueKeepsItsBlanks) {
  CCmdLineParser parser;
  parser.Parse("prog /install:\"My Service\" /auto");
  EXPECT_EQ(ValueOf(parser, "install"), "My Service");
  EXPECT_TRUE(parser.Has("auto"));
}

TEST(CmdLineParser, UnclosedQuoteTakesTheRestOfTheText) {
  CCmdLineParser parser;
  parser.Parse("prog /install:\"My Service /auto");
  EXPECT_EQ(ValueOf(parser, "install"), "My Service /auto");
  EXPECT_FALSE(parser.Has("auto"));
}

TEST(CmdLineParser, ColonAtTheEndGivesAnEmptyValue) {
  CCmdLineParser parser;
  parser.Parse("prog /install:");
  EXPECT_EQ(ValueOf(parser, "install"), "");
}

TEST(CmdLineParser, FirstValueWinsAndDashesInsidePathsAddStrayKeys) {
  CCmdLineParser parser;
  parser.Parse("/opt/my-dir/prog /install:A -INSTALL:B");
  EXPECT_EQ(ValueOf(parser, "install"), "A");
  EXPECT_TRUE(parser.Has("opt/my-dir/prog"));  // harmless: unknown keys are ignored
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
