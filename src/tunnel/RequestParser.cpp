#include "tunnel/RequestParser.h"

#include <locale>
#include <sstream>

#include "common/Text.h"
#include "platform/PathRules.h"

namespace vortan {
namespace {

constexpr std::size_t kWordsWithoutProxy = 6;
constexpr std::size_t kWordsWithProxy = 11;

bool HasQuote(const std::string& word) { return word.find('"') != std::string::npos; }

bool IsContinuationByte(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Length of the UTF-8 sequence that lead starts, 1 for anything that is no lead byte.
std::size_t SequenceLength(unsigned char lead) {
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 1;
}

// Removes the last character: a whole UTF-8 sequence when the word ends in one, so that
// the result stays valid text; otherwise the last byte.
std::string WithoutLastCharacter(const std::string& word) {
  const std::size_t last = word.size() - 1;
  std::size_t start = last;
  while (start > 0 && last - start < 3 && IsContinuationByte(static_cast<unsigned char>(word[start]))) --start;
  if (start == last || SequenceLength(static_cast<unsigned char>(word[start])) != last - start + 1) start = last;
  return word.substr(0, start);
}

void AppendPart(std::string* joined, const std::string& part) {
  if (!joined->empty()) *joined += ' ';
  *joined += part;
}

// Collects the parts of a word that opened with a double quote up to the part holding
// the closing quote, whose last character is taken to be that quote and dropped. When
// the text ends before a closing quote, the last part read is left out.
std::string CollectQuotedWord(std::istringstream& stream, const std::string& opening) {
  std::string rest = opening.substr(1);
  std::string joined;
  while (!stream.eof()) {
    if (HasQuote(rest)) break;
    AppendPart(&joined, rest);
    // A failed read leaves rest as it was, which the test after the loop then sees.
    stream >> rest;
  }
  if (HasQuote(rest)) AppendPart(&joined, WithoutLastCharacter(rest));
  return joined;
}

}  // namespace

RequestParser::RequestParser(const std::string& text) {
  const std::vector<std::string> words = Tokenize(text);
  if (words.size() != kWordsWithoutProxy && words.size() != kWordsWithProxy) throw BadArgumentException();
  remoteHost_ = words[0];
  remotePort_ = words[1];
  configPrefix_ = words[2];
  device_ = words[3];
  protocol_ = words[4];
  ipWin32Mode_ = words[5];
  if (words.size() == kWordsWithProxy) {
    hasProxy_ = true;
    proxyServer_ = words[6];
    proxyPort_ = words[7];
    proxyUserName_ = words[8];
    proxyPassword_ = words[9];
    proxyAuthentication_ = words[10];
  }
  // The last component, after the system's last separator; empty when the prefix ends
  // in one.
  const std::size_t separator = configPrefix_.find_last_of(platform::PathSeparators());
  configFileName_ = separator == std::string::npos ? configPrefix_ : configPrefix_.substr(separator + 1);
}

// Words are read as a string stream reads them: white space of the classic locale
// separates them. A read that meets the end of the text without a word leaves the word
// empty, so an empty text or one that ends in white space ends in the out-of-range error.
std::vector<std::string> RequestParser::Tokenize(const std::string& text) {
  std::istringstream stream(text);
  stream.imbue(std::locale::classic());
  std::vector<std::string> words;
  while (!stream.eof()) {
    std::string word;
    stream >> word;
    if (word.empty()) throw std::out_of_range("invalid string position");
    if (word[0] == '"') word = CollectQuotedWord(stream, word);
    words.push_back(word);
  }
  return words;
}

bool RequestParser::HasControlCharacter() const {
  for (const std::string* word : {&remoteHost_, &remotePort_, &configPrefix_, &device_, &protocol_, &ipWin32Mode_,
                                  &proxyServer_, &proxyPort_, &proxyUserName_, &proxyPassword_,
                                  &proxyAuthentication_}) {
    if (HasControlByte(*word)) return true;
  }
  return false;
}

}  // namespace vortan
