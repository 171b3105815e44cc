#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "TestCommon.h"
#include "platform/PathRules.h"
#include "tunnel/RequestParser.h"
#include "tunnel/StartRequestWords.h"

namespace vortan {
namespace {

using Words = std::vector<std::string>;

// Windows separates folders with backslashes too, and has UNC and device paths.
const bool kBackslashSeparates = std::string(platform::PathSeparators()).find('\\') != std::string::npos;

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
    const auto tokenize = [&text] { RequestParser::Tokenize(text); };
    EXPECT_EQ(test::ErrorOf<std::out_of_range>(tokenize), "invalid string position") << "[" << text << "]";
  }
}

// Every field in the order of the words.
Words FieldsOf(const RequestParser& r) {
  return {r.GetRemoteHost(), r.GetRemotePort(), r.GetConfigPrefix(), r.GetConfigFileName(), r.GetDevice(),
          r.GetProtocol(), r.GetIpWin32Mode(), r.GetProxyServer(), r.GetProxyPort(), r.GetProxyUserName(),
          r.GetProxyPassword(), r.GetProxyAuthentication()};
}

TEST(RequestParser, SixWordsFillTheMandatoryFields) {
  const RequestParser request(" gw1 1194 /data/x_ tap0 udp adaptive");
  EXPECT_FALSE(request.HasProxy());
  EXPECT_EQ(FieldsOf(request),
            (Words{"gw1", "1194", "/data/x_", "x_", "tap0", "udp", "adaptive", "", "", "", "", ""}));
}

TEST(RequestParser, ElevenWordsFillTheProxyFieldsInOrder) {
  RequestParser request(" gw1 443 /data/x_ tap0 tcp dynamic \"My Proxy\" 8080 alice s3cret basic");
  EXPECT_TRUE(request.HasProxy());
  EXPECT_EQ(FieldsOf(request),
            (Words{"gw1", "443", "/data/x_", "x_", "tap0", "tcp", "dynamic", "My Proxy", "8080", "alice",
                   "s3cret", "basic"}));
}

TEST(RequestParser, WrongWordCountsAreBadArguments) {
  for (const std::string text : {"a b c d e", "a b c d e f g", "a b c d e f g h i j", "a b c d e f g h i j k l",
                                 "a \"b c\" d e f"}) {
    EXPECT_EQ(test::ErrorOf<RequestParser::BadArgumentException>([&] { RequestParser request(text); }),
              "Bad Argument")
        << "[" << text << "]";
  }
  EXPECT_THROW(RequestParser("a b c d e"), std::runtime_error);
}

TEST(RequestParser, EmptyTextAndTrailingBlankAreOutOfRange) {
  EXPECT_THROW(RequestParser(""), std::out_of_range);
  EXPECT_THROW(RequestParser("gw1 1194 /data/x_ tap0 udp adaptive "), std::out_of_range);
}

TEST(RequestParser, ConfigFileNameIsTheTextAfterTheLastSlash) {
  const std::pair<const char*, const char*> cases[] = {
      {"x_", "x_"},
      {"/home/u/.vortan/x_", "x_"},
      {"/home/u/dir/", ""},
      {"/", ""},
      {"//x_", "x_"},
      {"dir/..", ".."},
      {"C:\\data\\x_", kBackslashSeparates ? "x_" : "C:\\data\\x_"},
      {"C:\\data/x_", "x_"},
  };
  for (const auto& [prefix, fileName] : cases) {
    const RequestParser request(std::string("gw1 1194 ") + prefix + " tap0 udp adaptive");
    EXPECT_EQ(request.GetConfigFileName(), fileName) << prefix;
  }
}

// A well-formed request with a proxy, and the text of a request's words.
const Words kClean = {"gw1",    "443",  "/data/x_", "tap0", "tcp",  "adaptive",
                      "proxy1", "8080", "alice",    "pw",   "basic"};

std::string Join(const Words& words) {
  std::string text;
  for (const auto& word : words) text += " " + word;
  return text;
}

TEST(RequestParser, ControlCharacterInAnyWordIsReported) {
  EXPECT_FALSE(RequestParser(Join(kClean)).HasControlCharacter());
  EXPECT_FALSE(RequestParser(" gw1 443 /data/caf\xC3\xA9_ tap0 tcp adaptive").HasControlCharacter());
  for (std::size_t position = 0; position < kClean.size(); ++position) {
    for (const char* control : {"\x01", "\x1F", "\x7F", "\x1B[2J"}) {
      Words words = kClean;
      words[position] += control;
      EXPECT_TRUE(RequestParser(Join(words)).HasControlCharacter()) << "word " << position + 1;
    }
  }
  Words sixWords(kClean.begin(), kClean.begin() + 6);
  sixWords[5] = "a\x02";
  EXPECT_TRUE(RequestParser(Join(sixWords)).HasControlCharacter());
}

// Each field of a well-formed proxy request in turn replaced by a word: the check names
// that field, or nothing when the word is of its kind.
enum Legal { kRefused, kAccepted, kWhereBackslashSeparates, kWhereOnlySlashSeparates };

struct StartWordCase {
  std::size_t position;  // 1 to 11
  const char* word;      // as written in the request
  Legal legal;
  const char* protocol = "tcp";
};

const StartWordCase kStartWordCases[] = {
    // remote host
    {1, "203.0.113.10", kAccepted},
    {1, "gw1", kAccepted},
    {1, "brix-7.example.com", kAccepted},
    {1, "brix_paris.corp.example", kAccepted},
    {1, "gw.example.com.", kAccepted},
    {1, "2001:db8:10::5", kAccepted},
    {1, "::1", kAccepted},
    {1, "2001:DB8:0:0:0:0:0:5", kAccepted},
    {1, "\"gw1 8081\"", kRefused},
    {1, "gw1\"", kRefused},
    {1, "gw1\\x", kRefused},
    {1, "gw#1", kRefused},
    {1, "gw;1", kRefused},
    {1, "gw/1", kRefused},
    {1, "gw%1", kRefused},
    {1, "-gw", kRefused},
    {1, "gw..x", kRefused},
    {1, "gw1:443", kRefused},
    {1, "2001:db8::5%eth0", kRefused},
    {1, "1:::2", kRefused},
    {1, "1::2::3", kRefused},
    {1, "1:2:3:4:5:6:7:8:9", kRefused},
    {1, "12345::1", kRefused},
    {1, "%VORTANPORT%", kRefused},
    {1, "--script-security", kRefused},
    // remote port
    {2, "1194", kAccepted},
    {2, "65535", kAccepted},
    {2, "0", kRefused},
    {2, "65536", kRefused},
    {2, "1194x", kRefused},
    {2, "-1", kRefused},
    {2, "\"1194 /etc/shadow\"", kRefused},
    {2, "#1", kRefused},
    // configuration prefix
    {3, "/home/u/p/x_", kAccepted},
    {3, "/home/u/.vortan/client-1_", kAccepted},
    {3, "x_", kAccepted},
    {3, "\"/home/ana/Joe's Garage/x_\"", kAccepted},
    {3, "/home/ana/Brix#2/x_", kAccepted},
    {3, "/home/ana/100%/x_", kAccepted},
    {3, "/home/ana/a;b/x_", kAccepted},
    {3, "\"/home/me/vpn files/x_\"", kAccepted},
    {3, "/home/u/a\\b/x_", kAccepted},
    {3, "/home/u/p/x#_", kAccepted},
    {3, "C:\\data\\x_", kWhereBackslashSeparates},
    {3, "\"C:\\Users\\John Smith\\x_\"", kWhereBackslashSeparates},
    {3, "/home/u/p\\x_", kWhereBackslashSeparates},
    {3, "\"/home/u/p/x _\"", kRefused},
    {3, "/home/u/p/x\"_", kRefused},
    {3, "/home/u/p\"q/x_", kRefused},
    {3, "/home/u/p/x'_", kRefused},
    {3, "/home/u/p/#x_", kRefused},
    {3, "/home/u/p/;x_", kRefused},
    {3, "/home/u/p/x%PROXY%_", kRefused},
    {3, "\\\\server\\share\\x_", kRefused},
    {3, "\\\\?\\C:\\x_", kRefused},
    {3, "\\\\.\\pipe\\x_", kRefused},
    {3, "//server/share/x_", kWhereOnlySlashSeparates},
    {3, "/data/NUL.", kWhereOnlySlashSeparates},
    // device
    {4, "Vortan-Dashlet", kAccepted},
    {4, "tap0", kAccepted},
    {4, "Vortan-Dashlet-xy", kRefused},
    {4, "\"tap0 tap\"", kRefused},
    {4, "tap/0", kRefused},
    {4, "tap:0", kRefused},
    {4, "tap\"0", kRefused},
    {4, "tap%d", kRefused},
    {4, "#tap", kRefused},
    {4, "..", kRefused},
    // protocol and ip-win32 mode: each only chooses a fixed text
    {5, "udp", kAccepted},
    {5, "UDP4", kAccepted},
    {5, "tcp-server", kAccepted},
    {5, "QBR", kAccepted},
    {5, "\"udp udp\"", kAccepted},
    {6, "adaptive", kAccepted},
    {6, "anything", kAccepted},
    // proxy server
    {7, "127.0.0.1", kAccepted},
    {7, "proxy_1.corp.", kAccepted},
    {7, "2001:db8::1", kAccepted},
    {7, "\"127.0.0.1 8081 /etc/shadow basic\"", kRefused},
    {7, "proxy;1", kRefused},
    // proxy port
    {8, "3128", kAccepted},
    {8, "\"8081 /etc/shadow basic\"", kRefused},
    {8, "8081\\", kRefused},
    {8, "99999", kRefused},
    // proxy user name and password: one line each; blanks at either end only where
    // stunnel, which trims them, carries them
    {9, "alice", kAccepted},
    {9, "\"Alice Martin\"", kAccepted},
    {9, "a#b;c\"d", kAccepted},
    {9, "\"alice \"", kAccepted},
    {9, "\"alice \"", kRefused, "qbr"},
    {10, "s3cret", kAccepted},
    {10, "p\"w'\\#;", kAccepted},
    {10, "\"secret \"", kAccepted},
    {10, "\"pw \"", kRefused, "ZELC"},
    // proxy authentication
    {11, "basic", kAccepted},
    {11, "ntlm", kAccepted},
    {11, "NTLM", kAccepted},
    {11, "Basic", kAccepted},
    {11, "ntlm2", kAccepted},
    {11, "none", kAccepted},
    {11, "nonea", kAccepted},
    {11, "abcdefghijklmnopqrstuvwxyz0123456", kRefused},
    {11, "\"basic /etc/shadow\"", kRefused},
    {11, "none#", kRefused},
    {11, "--auth-nocache", kRefused},
};

bool ExpectedLegal(Legal legal) {
  if (legal == kWhereBackslashSeparates) return kBackslashSeparates;
  if (legal == kWhereOnlySlashSeparates) return !kBackslashSeparates;
  return legal == kAccepted;
}

std::string StartText(std::size_t position, const std::string& word, const std::string& protocol = "tcp") {
  Words words = kClean;
  words[4] = protocol;
  words[position - 1] = word;
  return Join(words);
}

TEST(StartRequestWords, EachFieldAcceptsItsKindAndRefusesWordsThatBreakItsLine) {
  for (const auto& testCase : kStartWordCases) {
    const RequestParser request(StartText(testCase.position, testCase.word, testCase.protocol));
    ASSERT_FALSE(request.HasControlCharacter()) << testCase.word;
    EXPECT_EQ(InvalidStartWord(request).empty(), ExpectedLegal(testCase.legal))
        << "word " << testCase.position << " [" << testCase.word << "]: " << InvalidStartWord(request);
  }
  // OpenVPN takes a configuration line of at most 255 bytes with its line end.
  std::string host(241, 'a');
  for (std::size_t dot = 50; dot < host.size(); dot += 51) host[dot] = '.';
  EXPECT_EQ(InvalidStartWord(RequestParser(StartText(1, host))), "");
  EXPECT_EQ(InvalidStartWord(RequestParser(StartText(1, host + "a"))), "remote host");
}

TEST(StartRequestWords, CredentialsAreNotCheckedWhenTheProxyNeedsNone) {
  EXPECT_EQ(InvalidStartWord(RequestParser(" gw1 443 /data/x_ tap0 qbr adaptive p1 8080 \"a \" \" b\" none")), "");
  EXPECT_EQ(InvalidStartWord(RequestParser(" gw1 443 /data/x_ tap0 qbr adaptive p1 8080 \"a \" pw basic")),
            "proxy user name");
  EXPECT_EQ(InvalidStartWord(RequestParser(" gw1 443 /data/x_ Vortan-Dashlet udp adaptive")), "");
}

}  // namespace
}  // namespace vortan
