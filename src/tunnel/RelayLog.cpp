#include "tunnel/RelayLog.h"

#include <algorithm>

#include "common/Logging.h"

namespace vortan {
namespace {

const char* const kReceived = "Management Interface R: ";

}  // namespace

RelayLog::RelayLog() : RelayLog(Limits()) {}

RelayLog::RelayLog(Limits limits)
    : limits_(limits), tokens_(static_cast<double>(limits.burst)), refilled_(std::chrono::steady_clock::now()) {}

RelayLog::~RelayLog() { Flush(); }

void RelayLog::Received(const std::string& line) {
  if (haveLast_ && line == last_) {
    if (lastLogged_) {
      ++repeats_;
    } else {
      ++leftOutLines_;
      leftOutBytes_ += line.size();
    }
    return;
  }
  FlushRepeats();
  last_ = line;
  haveLast_ = true;
  lastLogged_ = TakeToken();
  if (!lastLogged_) {
    ++leftOutLines_;
    leftOutBytes_ += line.size();
    return;
  }
  FlushLeftOut();
  Write(kReceived + line);
}

void RelayLog::Flush() {
  FlushRepeats();
  FlushLeftOut();
}

bool RelayLog::TakeToken() {
  const auto now = std::chrono::steady_clock::now();
  const double seconds = std::chrono::duration<double>(now - refilled_).count();
  refilled_ = now;
  tokens_ = std::min(static_cast<double>(limits_.burst), tokens_ + seconds * limits_.linesPerSecond);
  if (tokens_ < 1) return false;
  tokens_ -= 1;
  return true;
}

void RelayLog::Write(const std::string& text) { CLOG(DEBUG, loggers::kOpenVpnManager) << text; }

// The counts are logged whatever the rate: each stands for lines already left out.
void RelayLog::FlushRepeats() {
  if (repeats_ == 0) return;
  Write(std::string(kReceived) + "last line repeated " + std::to_string(repeats_) + " times");
  repeats_ = 0;
}

void RelayLog::FlushLeftOut() {
  if (leftOutLines_ == 0) return;
  Write(std::string(kReceived) + std::to_string(leftOutLines_) + " lines (" + std::to_string(leftOutBytes_) +
        " bytes) not logged: more than the log takes");
  leftOutLines_ = leftOutBytes_ = 0;
}

}  // namespace vortan
