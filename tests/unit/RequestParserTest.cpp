#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "RequestParser.h"

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
  const struct {
    const char* prefix;
    const char* fileName;
  } cases[] = {
      {"x_", "x_"},
      {"/home/u/.vortan/x_", "x_"},
      {"/home/u/dir/", ""},
      {"C:\\data\\x_", "C:\\data\\x_"},
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

}  // namespace
}  // namespace vortan
