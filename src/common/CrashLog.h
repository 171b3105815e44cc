#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <easylogging++.h>

namespace vortan {

// Text assembled in a fixed buffer, without allocation: usable inside a fault handler.
// What does not fit is cut.
class FixedText {
 public:
  FixedText& operator<<(const char* text);
  FixedText& operator<<(const std::string& text) { return Append(text.data(), text.size()); }
  FixedText& operator<<(std::uint64_t number);
  // Upper-case hexadecimal digits, no prefix (as a stream with std::hex and std::uppercase).
  FixedText& Hex(std::uint64_t number);
  FixedText& Append(const char* data, std::size_t size);
  const char* Data() const { return buffer_; }
  std::size_t Size() const { return size_; }

 private:
  char buffer_[4000];
  std::size_t size_ = 0;
};

// A logger's line layout for one level, compiled from its configuration's format the
// way the library compiles it: the level, logger, user and host fields are in place,
// the date format is taken out, and the fields filled per line are marked in flags.
struct LineFormat {
  enum Field : unsigned {
    kApp = 1u << 0,
    kThread = 1u << 1,
    kDate = 1u << 2,
    kFunction = 1u << 3,
    kFile = 1u << 4,
    kFileBase = 1u << 5,
    kLine = 1u << 6,
    kLocation = 1u << 7,
    kVerboseLevel = 1u << 8,
    kMessage = 1u << 9,
  };
  std::string format;
  std::string dateFormat;
  unsigned fields = 0;
  int subsecondWidth = 3;
  unsigned subsecondDivisor = 1000;
};

// Compiles logger's layout for level from its configuration (public getters only).
LineFormat CompileLineFormat(el::Logger* logger, el::Level level);

// The library's escape rule: the first occurrence of what not preceded by "%" is
// replaced; each escaped one before it loses its "%".
void ReplaceFirstWithEscape(std::string& text, const std::string& what, const std::string& with);

// The configuration value of type for level, or the global one; empty when neither is set.
std::string ConfigurationValue(el::Configurations* configurations, el::Level level, el::ConfigurationType type);

// The library's date text of format for a time (seconds since 1970 and microseconds)
// at a given offset from UTC, cut to the library's 30 bytes; writes into buffer and
// returns the length. Allocates nothing.
constexpr std::size_t kDateTextBytes = 30;
std::size_t FormatDate(const LineFormat& format, std::int64_t seconds, std::int32_t microseconds, long utcOffset,
                       char (&buffer)[kDateTextBytes + 1]);

// The log lines written by the fault handler. A fault may strike while another thread
// holds the logging library's locks (or is blocked writing under them), so these lines
// bypass the library: everything a line needs (layout, date format, thread names, log
// file, destinations) is taken ahead, and a line is assembled in a fixed buffer and
// written with plain writes, to the log file and to standard output, like every other
// line of the log.
class CrashLog {
 public:
  // Takes the layout of logger's ERROR lines and where they go (file name and
  // destinations as the service's configuration says). Not safe in a handler; call
  // again after a reconfiguration.
  struct Destinations {
    bool enabled = true;
    bool toFile = false;
    std::string logFile;  // opened by OpenForAppend
    bool toStandardOutput = false;
  };
  static void Prepare(el::Logger* logger, const Destinations& destinations);
  // Keeps the calling thread's log name for the handler (and takes the local time's
  // offset again). Not safe in a handler.
  static void NameThread(const std::string& name);
  // Writes one ERROR line. Safe in a fault handler; does nothing before Prepare.
  static void Error(const FixedText& message);
};

}  // namespace vortan
