#include <gtest/gtest.h>

#include "common/Ipv4.h"
#include "common/Paths.h"
#include "common/Text.h"
#include "platform/ProcessInfo.h"

namespace vortan {
namespace {

using Fields = std::vector<std::string>;

TEST(Paths, DirectoryOfIsTheTextBeforeTheLastSeparator) {
  const std::pair<const char*, const char*> cases[] = {
      {"/opt/vortan/bin/service", "/opt/vortan/bin"},
      {"/opt/vortan/bin/", "/opt/vortan/bin"},
      {"bin//service", "bin/"},
      {"/service", ""},
      {"/", ""},
      {"service", "service"},
      {"", ""},
  };
  for (const auto& [path, directory] : cases) EXPECT_EQ(DirectoryOf(path), directory) << path;
}

TEST(Paths, BesideExecutableJoinsTheTextUnchanged) {
  // The executable's directory with its separator, as the system writes it.
  const std::string executable = platform::ExecutablePath();
  const std::string directory = executable.substr(0, executable.find_last_of("/\\") + 1);
  ASSERT_FALSE(directory.empty()) << executable;
  for (const std::string text : {"../conf/x", "./x", "/abs", ""}) {
    EXPECT_EQ(ResolveBesideExecutable(text), directory + text) << text;
  }
}

TEST(SplitFields, RunsOfDelimitersCountAsOneAndEdgesFollowTheRules) {
  EXPECT_EQ(SplitFields("a  b c", " "), (Fields{"a", "b", "c"}));
  EXPECT_EQ(SplitFields(" a b", " "), (Fields{"", "a", "b"}));
  EXPECT_EQ(SplitFields("a b   ", " "), (Fields{"a", "b"}));
  EXPECT_EQ(SplitFields("", " "), (Fields{""}));
  EXPECT_EQ(SplitFields("   ", " "), (Fields{""}));
  EXPECT_EQ(SplitFields("1,CONNECTED,SUCCESS,10.8.0.6,192.0.2.1,1194,,", ","),
            (Fields{"1", "CONNECTED", "SUCCESS", "10.8.0.6", "192.0.2.1", "1194"}));
  EXPECT_EQ(SplitFields("1,CONNECTED,SUCCESS,,192.0.2.1", ",")[3], "192.0.2.1");
}

TEST(TrimLine, RemovesTheSixWhitespaceCharactersAtBothEndsOnly) {
  EXPECT_EQ(TrimLine("  route add  x \r\n"), "route add  x");
  EXPECT_EQ(TrimLine(" \t\r\n"), "");
  EXPECT_EQ(TrimLine("\f\vabc\v"), "abc");
}

TEST(IsValidUtf8, AcceptsWellFormedAndRejectsMalformedSequences) {
  EXPECT_TRUE(IsValidUtf8("version"));
  EXPECT_TRUE(IsValidUtf8("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"));
  EXPECT_FALSE(IsValidUtf8("\xC3"));              // truncated
  EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));          // overlong
  EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));      // surrogate
  EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80"));  // past U+10FFFF
  EXPECT_FALSE(IsValidUtf8("\xFF"));
}

TEST(Ipv4, StrictParserTakesExactlyFourDecimalParts) {
  std::uint32_t address = 0;
  EXPECT_TRUE(ParseDottedQuad("10.0.0.255", &address));
  EXPECT_EQ(FormatDotted(address), "10.0.0.255");
  for (const char* bad : {"10.0.0.256", "10.0.0", "10.0.0.1.2", "1.2.3.4 ", "01.2.3.4", "a.b.c.d", ""}) {
    EXPECT_FALSE(ParseDottedQuad(bad, &address)) << bad;
  }
}

TEST(Ipv4, InetAddrKeepsItsHistoricalForms) {
  EXPECT_EQ(FormatDotted(InetAddr("127.1")), "127.0.0.1");
  EXPECT_EQ(FormatDotted(InetAddr("0x7f.1")), "127.0.0.1");
  EXPECT_EQ(FormatDotted(InetAddr("010.0.0.1")), "8.0.0.1");
  EXPECT_EQ(InetAddr("0.0.0.0"), 0u);
  EXPECT_EQ(InetAddr("not an address"), kAllOnes);
  EXPECT_EQ(InetAddr("1.2.3.256"), kAllOnes);
  EXPECT_EQ(InetAddr(""), kAllOnes);
}

}  // namespace
}  // namespace vortan
