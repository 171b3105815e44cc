#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace vortan {

// The service log's view of one tunnel's management lines. OpenVPN repeats itself (and
// a peer spraying packets at it makes it repeat itself fast): identical lines in a row
// are logged once and then counted ("last line repeated N times"), and past a burst the
// lines are rate-limited, with a count of those left out logged when lines are taken
// again and at the end. A flood cannot roll the log's history away.
class RelayLog {
 public:
  struct Limits {
    std::size_t burst = 200;      // lines logged at once before the rate applies
    double linesPerSecond = 20;   // lines logged per second after the burst
  };
  RelayLog();
  explicit RelayLog(Limits limits);
  // Logs what is still counted.
  ~RelayLog();
  RelayLog(const RelayLog&) = delete;
  RelayLog& operator=(const RelayLog&) = delete;

  // One line received from the management interface.
  void Received(const std::string& line);
  // Logs the counts kept so far (a repeated line, lines left out).
  void Flush();

 private:
  bool TakeToken();
  void Write(const std::string& text);
  void FlushRepeats();
  void FlushLeftOut();

  Limits limits_;
  std::string last_;
  bool lastLogged_ = false;
  bool haveLast_ = false;
  std::size_t repeats_ = 0;
  std::size_t leftOutLines_ = 0;
  std::size_t leftOutBytes_ = 0;
  double tokens_;
  std::chrono::steady_clock::time_point refilled_;
};

}  // namespace vortan
