#include "common/CrashLog.h"

#include <algorithm>
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
  std::string dateFormat;
  int subsecondWidth = 3;
  unsigned subsecondDivisor = 1000;
  bool enabled = true;
  bool toFile = false;
  std::string logFile;
  bool toStandardOutput = false;
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

// The library's date texts are cut to the 30 bytes of its buffer.
constexpr std::size_t kLongestDateText = 30;

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

// The library's date text for its format specifiers, with its own number helper.
void AppendDate(FixedText* line, const Layout& layout) {
  std::int64_t seconds = 0;
  std::int32_t microseconds = 0;
  platform::CurrentTime(&seconds, &microseconds);
  const CivilTime civil = ToCivil(seconds + utcOffset.load());
  char buffer[kLongestDateText + 1];
  char* out = buffer;
  const char* const limit = buffer + kLongestDateText;
  using el::base::utils::Str;
  auto number = [&](std::size_t value, int width) { out = Str::convertAndAddToBuff(value, width, out, limit); };
  auto text = [&](const char* value) { out = Str::addToBuff(value, out, limit); };
  for (const char* format = layout.dateFormat.c_str(); *format != '\0' && out < limit; ++format) {
    if (*format != '%') {
      *out++ = *format;
      continue;
    }
    const char specifier = *++format;
    switch (specifier) {
      case '%': *out++ = '%'; break;
      case '\0':  // a trailing "%" stays
        *out++ = '%';
        --format;
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
      case 'g': number(static_cast<std::size_t>(microseconds) / layout.subsecondDivisor, layout.subsecondWidth); break;
      case 'F': text(civil.hour >= 12 ? "PM" : "AM"); break;
      default: break;
    }
  }
  line->Append(buffer, static_cast<std::size_t>(out - buffer));
}

}  // namespace

void CrashLog::Prepare(el::Logger* logger) {
  el::base::TypedConfigurations* configurations = logger->typedConfigurations();
  const el::Level level = el::Level::Error;
  Layout* layout = &preparedLayouts.emplace_back();
  const el::base::LogFormat& format = configurations->logFormat(level);
  layout->segments = SplitFormat(format.format());
  layout->dateFormat = format.dateTimeFormat();
  const el::base::SubsecondPrecision& precision = configurations->subsecondPrecision(level);
  layout->subsecondWidth = precision.m_width;
  layout->subsecondDivisor = precision.m_offset == 0 ? 1 : precision.m_offset;
  utcOffset.store(platform::LocalUtcOffset());
  layout->enabled = configurations->enabled(level);
  layout->logFile = configurations->filename(level);
  layout->toFile = configurations->toFile(level) && !layout->logFile.empty();
  layout->toStandardOutput = configurations->toStandardOutput(level);
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
  if (layout == nullptr || !layout->enabled) return;
  FixedText line;
  for (const Segment& segment : layout->segments) {
    switch (segment.field) {
      case Field::kText: line << segment.text; break;
      case Field::kDate: AppendDate(&line, *layout); break;
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
  if (layout->toFile) {
    const std::intptr_t file = platform::OpenForAppend(layout->logFile.c_str());
    if (file >= 0) {
      platform::WriteWithin(file, line.Data(), line.Size(), 0);
      platform::CloseFile(file);
    }
  }
  if (layout->toStandardOutput && !standardOutputStuck.load()) {
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
