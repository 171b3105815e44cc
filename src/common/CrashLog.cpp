#include "common/CrashLog.h"

#include <algorithm>
#include <cstdlib>
#include <atomic>
#include <cstring>
#include <list>
#include <vector>

#include "platform/Crash.h"
#include "platform/Journal.h"

namespace vortan {

FixedText& FixedText::Append(const char* data, std::size_t size) {
  const std::size_t room = sizeof buffer_ - size_;
  if (size > room) size = room;
  std::memcpy(buffer_ + size_, data, size);
  size_ += size;
  return *this;
}

FixedText& FixedText::operator<<(const char* text) { return Append(text, std::strlen(text)); }

FixedText& FixedText::operator<<(std::uint64_t number) {
  char digits[24];
  std::size_t count = 0;
  do {
    digits[sizeof digits - ++count] = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number != 0);
  return Append(digits + sizeof digits - count, count);
}

FixedText& FixedText::Hex(std::uint64_t number) {
  char digits[24];
  std::size_t count = 0;
  do {
    digits[sizeof digits - ++count] = "0123456789ABCDEF"[number % 16];
    number /= 16;
  } while (number != 0);
  return Append(digits + sizeof digits - count, count);
}

namespace {

// A line's layout: the resolved format of the library (level and logger name already
// in place) cut at its date, thread and message fields.
enum class Field { kText, kDate, kThread, kMessage };
struct Segment {
  Field field;
  std::string text;
};

struct Layout {
  std::vector<Segment> segments;
  LineFormat format;
  CrashLog::Destinations destinations;
  // The journal reads the priority from a prefix; the log file never carries one.
  bool journalPriority = false;
};

// The local time's offset from UTC, which daylight saving time changes: taken when the
// layout is prepared and again whenever a thread names itself (each new session).
std::atomic<long> utcOffset{0};

// Replaced layouts are kept: a handler on another thread may still read one.
std::list<Layout> preparedLayouts;
std::atomic<const Layout*> preparedLayout{nullptr};
// Once standard output could not take a line in time, the handler stops trying.
std::atomic<bool> standardOutputStuck{false};
constexpr int kStandardOutputWaitMs = 500;

// A plain array: read in the handler without any initialisation on first use.
thread_local char threadName[64];

const char* const kDays[7] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
const char* const kDaysAbbrev[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[12] = {"January", "February", "March",     "April",   "May",      "June",
                                 "July",    "August",   "September", "October", "November", "December"};
const char* const kMonthsAbbrev[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The library replaces the first occurrence of each field that is not escaped by a
// preceding "%"; an escaped one loses its escape character and stays text.
std::vector<Segment> SplitFormat(const std::string& format) {
  static const struct {
    const char* specifier;
    Field field;
  } kFields[] = {{"%datetime", Field::kDate}, {"%thread", Field::kThread}, {"%msg", Field::kMessage}};
  bool placed[3] = {false, false, false};
  std::vector<Segment> segments;
  std::string text;
  for (std::size_t i = 0; i < format.size();) {
    bool matched = false;
    for (std::size_t k = 0; k < 3 && !matched; ++k) {
      const std::size_t length = std::strlen(kFields[k].specifier);
      if (placed[k] || format.compare(i, length, kFields[k].specifier) != 0) continue;
      matched = true;
      if (i > 0 && format[i - 1] == '%') {
        // The escape character goes, the specifier stays as text: the "%" already
        // taken in stands for the specifier's own.
        text += format.substr(i + 1, length - 1);
      } else {
        if (!text.empty()) segments.push_back({Field::kText, text});
        text.clear();
        segments.push_back({kFields[k].field, std::string()});
        placed[k] = true;
      }
      i += length;
    }
    if (!matched) text += format[i++];
  }
  if (!text.empty()) segments.push_back({Field::kText, text});
  return segments;
}

struct CivilTime {
  std::int64_t year;
  unsigned month;  // 1..12
  unsigned day;
  unsigned weekday;  // 0 = Sunday
  unsigned hour, minute, second;
};

// Calendar fields of a count of seconds since 1970 (days to civil date after Howard
// Hinnant's algorithm: no time-zone database, no lock).
CivilTime ToCivil(std::int64_t seconds) {
  std::int64_t days = seconds / 86400;
  std::int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  CivilTime civil{};
  civil.hour = static_cast<unsigned>(rest / 3600);
  civil.minute = static_cast<unsigned>(rest % 3600 / 60);
  civil.second = static_cast<unsigned>(rest % 60);
  civil.weekday = static_cast<unsigned>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned dayOfEra = static_cast<unsigned>(z - era * 146097);
  const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;
  civil.day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
  civil.month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
  civil.year = yearOfEra + era * 400 + (civil.month <= 2 ? 1 : 0);
  return civil;
}

// The library's number text: the last len digits of n (at most 8), zero-padded to len
// when asked; out stops at limit.
char* AddNumber(std::size_t n, int len, char* out, const char* limit, bool zeroPadded = true) {
  char digits[10] = "";
  char* p = digits + sizeof digits - 2;
  if (n > 0) {
    for (; n > 0 && p > digits && len > 0; n /= 10, --len) *--p = static_cast<char>(n % 10 + '0');
  } else {
    *--p = '0';
    --len;
  }
  if (zeroPadded) {
    while (p > digits && len-- > 0) *--p = '0';
  }
  while (out < limit && *p != '\0') *out++ = *p++;
  return out;
}

char* AddText(const char* text, char* out, const char* limit) {
  while (out < limit && *text != '\0') *out++ = *text++;
  return out;
}

}  // namespace

void ReplaceFirstWithEscape(std::string& text, const std::string& what, const std::string& with) {
  std::size_t at = std::string::npos;
  while ((at = text.find(what, at + 1)) != std::string::npos) {
    if (at > 0 && text[at - 1] == '%') {
      text.erase(at - 1, 1);
      ++at;
    } else {
      text.replace(at, what.size(), with);
      return;
    }
  }
}

namespace {

const char* LevelText(el::Level level, bool shortForm) {
  switch (level) {
    case el::Level::Trace: return shortForm ? "T" : "TRACE";
    case el::Level::Debug: return shortForm ? "D" : "DEBUG";
    case el::Level::Fatal: return shortForm ? "F" : "FATAL";
    case el::Level::Error: return shortForm ? "E" : "ERROR";
    case el::Level::Warning: return shortForm ? "W" : "WARNING";
    case el::Level::Verbose: return shortForm ? "V" : "VERBOSE";
    case el::Level::Info: return shortForm ? "I" : "INFO";
    default: return nullptr;
  }
}

std::string EnvironmentText(const char* name, const char* alternative, const char* fallback) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') value = std::getenv(alternative);
  return value != nullptr && *value != '\0' ? value : fallback;
}

}  // namespace

std::string ConfigurationValue(el::Configurations* configurations, el::Level level, el::ConfigurationType type) {
  const el::Configuration* value = configurations->get(level, type);
  if (value == nullptr) value = configurations->get(el::Level::Global, type);
  return value != nullptr ? value->value() : std::string();
}

LineFormat CompileLineFormat(el::Logger* logger, el::Level level) {
  LineFormat compiled;
  el::Configurations* configurations = logger->configurations();
  std::string format = ConfigurationValue(configurations, level, el::ConfigurationType::Format);
  // Flags, and escapes of fields met again after their first use, in the library's order.
  unsigned resolved = 0;
  enum : unsigned { kLevel = 1u << 16, kLevelShort = 1u << 17, kLogger = 1u << 18, kUser = 1u << 19, kHost = 1u << 20 };
  static const struct {
    const char* specifier;
    unsigned flag;
  } kSpecifiers[] = {{"%app", LineFormat::kApp},     {"%level", kLevel},          {"%levshort", kLevelShort},
                     {"%logger", kLogger},           {"%thread", LineFormat::kThread}, {"%file", LineFormat::kFile},
                     {"%fbase", LineFormat::kFileBase}, {"%line", LineFormat::kLine}, {"%loc", LineFormat::kLocation},
                     {"%func", LineFormat::kFunction}, {"%user", kUser},          {"%host", kHost},
                     {"%msg", LineFormat::kMessage}, {"%vlevel", LineFormat::kVerboseLevel}};
  for (const auto& specifier : kSpecifiers) {
    std::size_t at = std::string::npos;
    while ((at = format.find(specifier.specifier, at + 1)) != std::string::npos) {
      if (at > 0 && format[at - 1] == '%') {
        if ((resolved & specifier.flag) != 0) {
          format.erase(at - 1, 1);
          ++at;
        }
      } else {
        resolved |= specifier.flag;
      }
    }
  }
  static const std::string kDateTime = "%datetime";
  std::size_t date = format.find(kDateTime);
  while (date != std::string::npos && date > 0 && format[date - 1] == '%') date = format.find(kDateTime, date + 1);
  if (date != std::string::npos) {
    resolved |= LineFormat::kDate;
    const std::size_t index = date + kDateTime.size();
    if (index < format.size() && format[index] == '{') {
      const std::size_t close = format.find('}', index);
      const std::size_t end = close == std::string::npos ? format.size() : close + 1;
      compiled.dateFormat = format.substr(index + 1, (close == std::string::npos ? format.size() : close) - index - 1);
      format.erase(index, end - index);
    } else {
      compiled.dateFormat = "%Y-%M-%d %H:%m:%s,%g";
    }
  }
  if (const char* text = LevelText(level, false)) {
    ReplaceFirstWithEscape(format, "%level", text);
    ReplaceFirstWithEscape(format, "%levshort", LevelText(level, true));
  }
  if ((resolved & kUser) != 0) ReplaceFirstWithEscape(format, "%user", EnvironmentText("USER", "USERNAME", "user"));
  if ((resolved & kHost) != 0) {
    ReplaceFirstWithEscape(format, "%host", EnvironmentText("HOSTNAME", "COMPUTERNAME", "unknown-host"));
  }
  ReplaceFirstWithEscape(format, "%logger", logger->id());
  compiled.format = format;
  compiled.fields = resolved & 0xFFFFu;
  // The library keeps one precision for all levels; out of 1..6 it takes 3.
  const std::string precision = ConfigurationValue(configurations, el::Level::Global, el::ConfigurationType::SubsecondPrecision);
  int width = precision.empty() || precision.find_first_not_of("0123456789 \t") != std::string::npos
                  ? 0
                  : std::atoi(precision.c_str());
  if (width < 1 || width > 6) width = 3;
  compiled.subsecondWidth = width;
  static const unsigned kDivisors[] = {1000, 1000, 1000, 1000, 100, 10, 1};
  compiled.subsecondDivisor = kDivisors[width];
  return compiled;
}

std::size_t FormatDate(const LineFormat& format, std::int64_t seconds, std::int32_t microseconds, long utcOffset,
                       char (&buffer)[kDateTextBytes + 1]) {
  const CivilTime civil = ToCivil(seconds + utcOffset);
  char* out = buffer;
  const char* const limit = buffer + kDateTextBytes;
  auto number = [&](std::size_t value, int width) { out = AddNumber(value, width, out, limit); };
  auto text = [&](const char* value) { out = AddText(value, out, limit); };
  for (const char* f = format.dateFormat.c_str(); *f != '\0' && out < limit; ++f) {
    if (*f != '%') {
      *out++ = *f;
      continue;
    }
    const char specifier = *++f;
    switch (specifier) {
      case '%': *out++ = '%'; break;
      case '\0':  // a trailing "%" stays
        *out++ = '%';
        --f;
        break;
      case 'd': number(civil.day, 2); break;
      case 'a': text(kDaysAbbrev[civil.weekday]); break;
      case 'A': text(kDays[civil.weekday]); break;
      case 'M': number(civil.month, 2); break;
      case 'b': text(kMonthsAbbrev[civil.month - 1]); break;
      case 'B': text(kMonths[civil.month - 1]); break;
      case 'y': number(static_cast<std::size_t>(civil.year), 2); break;
      case 'Y': number(static_cast<std::size_t>(civil.year), 4); break;
      case 'h': number(civil.hour % 12, 2); break;
      case 'H': number(civil.hour, 2); break;
      case 'm': number(civil.minute, 2); break;
      case 's': number(civil.second, 2); break;
      case 'z':
      case 'g': number(static_cast<std::size_t>(microseconds) / format.subsecondDivisor, format.subsecondWidth); break;
      case 'F': text(civil.hour >= 12 ? "PM" : "AM"); break;
      default: break;
    }
  }
  return static_cast<std::size_t>(out - buffer);
}

void CrashLog::Prepare(el::Logger* logger, const Destinations& destinations) {
  Layout* layout = &preparedLayouts.emplace_back();
  layout->format = CompileLineFormat(logger, el::Level::Error);
  layout->segments = SplitFormat(layout->format.format);
  layout->destinations = destinations;
  layout->destinations.toFile = destinations.toFile && !destinations.logFile.empty();
  utcOffset.store(platform::LocalUtcOffset());
  layout->journalPriority = platform::StandardOutputIsJournal();
  preparedLayout.store(layout);
}

void CrashLog::NameThread(const std::string& name) {
  utcOffset.store(platform::LocalUtcOffset());
  if (name.empty()) return;  // as the library, which keeps the previous name
  const std::size_t length = std::min(name.size(), sizeof threadName - 1);
  std::memcpy(threadName, name.data(), length);
  threadName[length] = '\0';
}

void CrashLog::Error(const FixedText& message) {
  const Layout* layout = preparedLayout.load();
  if (layout == nullptr || !layout->destinations.enabled) return;
  FixedText line;
  for (const Segment& segment : layout->segments) {
    switch (segment.field) {
      case Field::kText: line << segment.text; break;
      case Field::kDate: {
        std::int64_t seconds = 0;
        std::int32_t microseconds = 0;
        platform::CurrentTime(&seconds, &microseconds);
        char date[kDateTextBytes + 1];
        line.Append(date, FormatDate(layout->format, seconds, microseconds, utcOffset.load(), date));
        break;
      }
      case Field::kThread:
        if (threadName[0] != '\0') {
          line << threadName;
        } else {
          line << platform::CurrentThreadNumber();
        }
        break;
      case Field::kMessage: line.Append(message.Data(), message.Size()); break;
    }
  }
  line << "\n";
  if (layout->destinations.toFile) {
    const std::intptr_t file = platform::OpenForAppend(layout->destinations.logFile.c_str());
    if (file >= 0) {
      platform::WriteWithin(file, line.Data(), line.Size(), 0);
      platform::CloseFile(file);
    }
  }
  if (layout->destinations.toStandardOutput && !standardOutputStuck.load()) {
    FixedText journalLine;
    if (layout->journalPriority) journalLine << "<3>";
    journalLine.Append(line.Data(), line.Size());
    if (!platform::WriteWithin(platform::StandardOutput(), journalLine.Data(), journalLine.Size(),
                               kStandardOutputWaitMs)) {
      standardOutputStuck.store(true);
    }
  }
}

}  // namespace vortan
