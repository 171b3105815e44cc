#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "tunnel/RequestParser.h"
#include "tunnel/StartRequestWords.h"

namespace vortan {
namespace {

using Words = std::vector<std::string>;

struct TokenizeCase {
  const char* name;
  std::string text;
  Words words;
};

// Each expectation follows from reading words the way a string stream does: a read
// that hits the end of the text while extracting a word sets end-of-text, and a read that
// finds no word at all fails and leaves its target as it was.
const TokenizeCase kTokenizeCases[] = {
    {"plain words", "gw1 1194 /data/x_ tap0 udp adaptive", {"gw1", "1194", "/data/x_", "tap0", "udp", "adaptive"}},
    {"leading blank after the command word", " a b", {"a", "b"}},
    {"every classic white-space character separates", "a\tb\nc\vd\fe\rf  g", {"a", "b", "c", "d", "e", "f", "g"}},
    {"non-ASCII space is part of a word", "a\xC2\xA0" "b", {"a\xC2\xA0" "b"}},
    {"quoted word keeps one blank between its parts", "x \"My   Proxy\" y", {"x", "My Proxy", "y"}},
    {"tab inside a quoted word becomes a blank", "\"My\tProxy\"", {"My Proxy"}},
    {"quoted word of three parts", "\"a  b\t\tc\" d", {"a b c", "d"}},
    {"quoted single word", "\"ab\" c", {"ab", "c"}},
    {"empty quotes give an empty word", "\"\" c", {"", "c"}},
    {"unclosed quote drops the last part", "x \"a b", {"x", "a"}},
    {"unclosed quote on the last word leaves nothing", "x \"abc", {"x", ""}},
    {"unclosed quote before trailing blank keeps the last part", "\"a b ", {"a b"}},
    {"quote without opening quote stays", "ab\"cd", {"ab\"cd"}},
    {"inner quote: the last character is dropped", "\"a\"b c", {"a\"", "c"}},
    {"closing quote is taken to be the last character", "\"a b\"c d", {"a b\"", "d"}},
    {"last character dropped is a whole UTF-8 character", "\"ab\"\xC3\xA9", {"ab\""}},
    {"quoted word at the end of the text", "a \"b c\"", {"a", "b c"}},
};

TEST(RequestParserTokenize, SplitsAsAStringStreamReadsWords) {
  for (const auto& testCase : kTokenizeCases) {
    EXPECT_EQ(RequestParser::Tokenize(testCase.text), testCase.words) << testCase.name;
  }
}

TEST(RequestParserTokenize, EmptyWordRaisesInvalidStringPosition) {
  for (const std::string text : {"", "   ", "a ", "a b\t", "\"a b\" "}) {
    try {
      RequestParser::Tokenize(text);
      ADD_FAILURE() << "no error for [" << text << "]";
    } catch (const std::out_of_range& error) {
      EXPECT_STREQ(error.what(), "invalid string position") << text;
    }
  }
}

TEST(RequestParser, SixWordsFillTheMandatoryFields) {
  RequestParser request(" gw1 1194 /data/x_ tap0 udp adaptive");
  EXPECT_FALSE(request.HasProxy());
  EXPECT_EQ(request.GetRemoteHost(), "gw1");
  EXPECT_EQ(request.GetRemotePort(), "1194");
  EXPECT_EQ(request.GetConfigPrefix(), "/data/x_");
  EXPECT_EQ(request.GetConfigFileName(), "x_");
  EXPECT_EQ(request.GetDevice(), "tap0");
  EXPECT_EQ(request.GetProtocol(), "udp");
  EXPECT_EQ(request.GetIpWin32Mode(), "adaptive");
  EXPECT_EQ(request.GetProxyServer(), "");
  EXPECT_EQ(request.GetProxyAuthentication(), "");
}

TEST(RequestParser, ElevenWordsFillTheProxyFieldsInOrder) {
  RequestParser request(" gw1 443 /data/x_ tap0 tcp dynamic \"My Proxy\" 8080 alice s3cret basic");
  EXPECT_TRUE(request.HasProxy());
  EXPECT_EQ(request.GetIpWin32Mode(), "dynamic");
  EXPECT_EQ(request.GetProxyServer(), "My Proxy");
  EXPECT_EQ(request.GetProxyPort(), "8080");
  EXPECT_EQ(request.GetProxyUserName(), "alice");
  EXPECT_EQ(request.GetProxyPassword(), "s3cret");
  EXPECT_EQ(request.GetProxyAuthentication(), "basic");
}

TEST(RequestParser, WrongWordCountsAreBadArguments) {
  for (const std::string text : {"a b c d e", "a b c d e f g", "a b c d e f g h i j", "a b c d e f g h i j k l",
                                 "a \"b c\" d e f"}) {
    try {
      RequestParser request(text);
      ADD_FAILURE() << "accepted [" << text << "]";
    } catch (const RequestParser::BadArgumentException& error) {
      EXPECT_STREQ(error.what(), "Bad Argument") << text;
    }
  }
  EXPECT_THROW(RequestParser("a b c d e"), std::runtime_error);
}

TEST(RequestParser, EmptyTextAndTrailingBlankAreOutOfRange) {
  EXPECT_THROW(RequestParser(""), std::out_of_range);
  EXPECT_THROW(RequestParser("gw1 1194 /data/x_ tap0 udp adaptive "), std::out_of_range);
}

TEST(RequestParser, ConfigFileNameIsTheTextAfterTheLastSlash) {
  // A backslash separates folders only on systems whose paths are written with it.
  const bool backslashSeparates = std::filesystem::path::preferred_separator == '\\';
  const struct {
    const char* prefix;
    const char* fileName;
  } cases[] = {
      {"x_", "x_"},
      {"/home/u/.vortan/x_", "x_"},
      {"/home/u/dir/", ""},
      {"/", ""},
      {"//x_", "x_"},
      {"dir/..", ".."},
      {"C:\\data\\x_", backslashSeparates ? "x_" : "C:\\data\\x_"},
  };
  for (const auto& testCase : cases) {
    RequestParser request(std::string("gw1 1194 ") + testCase.prefix + " tap0 udp adaptive");
    EXPECT_EQ(request.GetConfigFileName(), testCase.fileName) << testCase.prefix;
  }
}

TEST(RequestParser, ControlCharacterInAnyWordIsReported) {
  const Words clean = {"gw1", "443", "/data/x_", "tap0", "tcp", "adaptive", "proxy1", "8080", "alice", "pw", "basic"};
  auto join = [](const Words& words) {
    std::string text;
    for (const auto& word : words) text += " " + word;
    return text;
  };
  EXPECT_FALSE(RequestParser(join(clean)).HasControlCharacter());
  EXPECT_FALSE(RequestParser(" gw1 443 /data/caf\xC3\xA9_ tap0 tcp adaptive").HasControlCharacter());
  for (std::size_t position = 0; position < clean.size(); ++position) {
    for (const char* control : {"\x01", "\x1F", "\x7F", "\x1B[2J"}) {
      Words words = clean;
      words[position] += control;
      EXPECT_TRUE(RequestParser(join(words)).HasControlCharacter()) << "word " << position + 1;
    }
  }
  Words sixWords(clean.begin(), clean.begin() + 6);
  sixWords[5] = "a\x02";
  EXPECT_TRUE(RequestParser(join(sixWords)).HasControlCharacter());
}

// Each field of a well-formed proxy request in turn replaced by a word: the check names
// that field, or nothing when the word is of its kind.
struct StartWordCase {
  std::size_t position;  // 1 to 11
  const char* word;      // as written in the request
  bool legal;
};

const StartWordCase kStartWordCases[] = {
    // remote host
    {1, "203.0.113.10", true},
    {1, "gw1", true},
    {1, "brix-7.example.com", true},
    {1, "\"gw1 8081\"", false},
    {1, "gw1\"", false},
    {1, "gw1\\x", false},
    {1, "gw#1", false},
    {1, "gw;1", false},
    {1, "-gw", false},
    {1, "gw..x", false},
    {1, "%VORTANPORT%", false},
    {1, "--script-security", false},
    // remote port
    {2, "1194", true},
    {2, "65535", true},
    {2, "0", false},
    {2, "65536", false},
    {2, "1194x", false},
    {2, "-1", false},
    {2, "\"1194 /etc/shadow\"", false},
    {2, "#1", false},
    // configuration prefix
    {3, "/home/u/p/x_", true},
    {3, "/home/u/.vortan/client-1_", true},
    {3, "x_", true},
    {3, "\"/home/u/p q/x_\"", false},
    {3, "/home/u/p/x\"_", false},
    {3, "/home/u/p/x'_", false},
    {3, "/home/u/p\\x_", false},
    {3, "/home/u/p/#x_", false},
    {3, "/home/u/p/;x_", false},
    {3, "/home/u/p/x%PROXY%_", false},
    // device
    {4, "Vortan-Dashlet", true},
    {4, "tap0", true},
    {4, "Vortan-Dashlet-xy", false},
    {4, "\"tap0 tap\"", false},
    {4, "tap/0", false},
    {4, "tap:0", false},
    {4, "tap\"0", false},
    {4, "tap%d", false},
    {4, "#tap", false},
    {4, "..", false},
    // protocol
    {5, "udp", true},
    {5, "UDP4", true},
    {5, "tcp-client", true},
    {5, "qbr", true},
    {5, "QBR", true},
    {5, "zelc", true},
    {5, "ZELC", true},
    {5, "Qbr", true},
    {5, "\"udp udp\"", false},
    {5, "udp#", false},
    {5, "http", false},
    // ip-win32 mode: never written as given
    {6, "adaptive", true},
    {6, "dynamic", true},
    {6, "winapi", true},
    {6, "anything", true},
    // proxy server
    {7, "127.0.0.1", true},
    {7, "proxy.example.com", true},
    {7, "\"127.0.0.1 8081 /etc/shadow basic\"", false},
    {7, "proxy;1", false},
    // proxy port
    {8, "3128", true},
    {8, "\"8081 /etc/shadow basic\"", false},
    {8, "8081\\", false},
    {8, "99999", false},
    // proxy user name and password: one line each, blanks inside allowed
    {9, "alice", true},
    {9, "\"Alice Martin\"", true},
    {9, "a#b;c\"d", true},
    {9, "\"alice \"", false},
    {10, "s3cret", true},
    {10, "p\"w'\\#;", true},
    {10, "\"pw \"", false},
    // proxy authentication
    {11, "basic", true},
    {11, "ntlm", true},
    {11, "none", true},
    {11, "nonea", true},
    {11, "Basic", false},
    {11, "\"basic /etc/shadow\"", false},
    {11, "none#", false},
    {11, "--auth-nocache", false},
};

TEST(StartRequestWords, EachFieldAcceptsItsKindAndRefusesWordsThatBreakItsLine) {
  const Words clean = {"gw1", "443", "/data/x_", "tap0", "tcp", "adaptive", "proxy1", "8080", "alice", "pw", "basic"};
  for (const auto& testCase : kStartWordCases) {
    Words words = clean;
    words[testCase.position - 1] = testCase.word;
    std::string text;
    for (const auto& word : words) text += " " + word;
    const RequestParser request(text);
    ASSERT_FALSE(request.HasControlCharacter()) << testCase.word;
    EXPECT_EQ(InvalidStartWord(request).empty(), testCase.legal)
        << "word " << testCase.position << " [" << testCase.word << "]: " << InvalidStartWord(request);
  }
}

TEST(StartRequestWords, CredentialsAreNotCheckedWhenTheProxyNeedsNone) {
  EXPECT_EQ(InvalidStartWord(RequestParser(" gw1 443 /data/x_ tap0 tcp adaptive p1 8080 \"a \" \" b\" none")), "");
  EXPECT_EQ(InvalidStartWord(RequestParser(" gw1 443 /data/x_ tap0 tcp adaptive p1 8080 \"a \" pw basic")),
            "proxy user name");
  EXPECT_EQ(InvalidStartWord(RequestParser(" gw1 443 /data/x_ Vortan-Dashlet udp adaptive")), "");
}

}  // namespace
}  // namespace vortan
