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

// The log lines written by the fault handler. A fault may strike while another thread
// holds the logging library's locks (or is blocked writing under them), so these lines
// bypass the library: everything a line needs (layout, date format, thread names, log
// file, destinations) is taken ahead, and a line is assembled in a fixed buffer and
// written with plain writes, to the log file and to standard output, like every other
// line of the log.
class CrashLog {
 public:
  // Takes the layout and destinations of logger's ERROR lines. Not safe in a handler;
  // call again after a reconfiguration.
  static void Prepare(el::Logger* logger);
  // Keeps the calling thread's log name for the handler (and takes the local time's
  // offset again). Not safe in a handler.
  static void NameThread(const std::string& name);
  // Writes one ERROR line. Safe in a fault handler; does nothing before Prepare.
  static void Error(const FixedText& message);
};

}  // namespace vortan
