#pragma once

// Shared pieces of the benchmark programs: timing and statistics, a buffered line
// client, the minimal reference servers the service is compared with, process
// figures from /proc, and the report (table on stdout, JSON file).

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vortan {
namespace bench {

using Clock = std::chrono::steady_clock;

double MicrosecondsBetween(Clock::time_point start, Clock::time_point end);

// Nearest-rank percentile (p in 0..100) of the samples; 0 for none.
double Percentile(std::vector<double> samples, double p);
double Median(std::vector<double> values);

// A blocking IPv4 TCP client with its own read buffer: one recv fills many lines.
class LineConnection {
 public:
  LineConnection() = default;
  LineConnection(const std::string& address, int port);
  ~LineConnection();
  LineConnection(LineConnection&& other) noexcept;
  LineConnection& operator=(LineConnection&& other) noexcept;
  LineConnection(const LineConnection&) = delete;
  LineConnection& operator=(const LineConnection&) = delete;

  bool Connected() const { return fd_ >= 0; }
  // Sends every byte (the text already carries its line feed).
  bool SendAll(const std::string& bytes);
  // The next line without its line feed; false when the peer closed or failed.
  bool ReadLine(std::string* line);
  // Sends request and waits for one reply line; false on failure.
  bool Exchange(const std::string& request, std::string* reply);
  void Close();

 private:
  int fd_ = -1;
  std::vector<char> buffer_ = std::vector<char>(65536);
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

struct Endpoint {
  std::string address;
  int port = 0;
};

// A line server in a child process of its own (this program re-executed with
// RunReferenceServerIfAsked's switch): one blocking thread per connection, a welcome
// line, then one fixed reply per request line, read through a buffer. It is the
// least a thread-per-connection line server must do. With LikeTheService it also
// writes the service's log lines for the same events (two per request, six per
// connection) in the service's layout, each with one write to a log file and one to a
// standard-output file: the same logging work, done the plainest way.
class ReferenceServer {
 public:
  enum class Logging { None, LikeTheService };
  // welcomeBytes and replyBytes count the line feed.
  ReferenceServer(std::size_t welcomeBytes, std::size_t replyBytes, Logging logging = Logging::None);
  ~ReferenceServer();
  ReferenceServer(const ReferenceServer&) = delete;
  ReferenceServer& operator=(const ReferenceServer&) = delete;

  const Endpoint& Address() const { return endpoint_; }
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  Endpoint endpoint_;
  std::string logDirectory_;
};

// Call first in main: serves as a reference server and never returns when argv asks
// for it.
void RunReferenceServerIfAsked(int argc, char** argv);

// Resident set size of a process, in bytes (VmRSS of /proc/PID/status); 0 if unknown.
std::uint64_t ResidentBytes(pid_t pid);
// Number of threads of a process; 0 if unknown.
int ThreadCount(pid_t pid);

// Raises the soft open-file limit to the hard one (idle-session benchmarks hold
// thousands of sockets; children inherit the limit).
void RaiseOpenFileLimit();

// One row of the result table: a figure of the service next to the reference.
struct Row {
  std::string benchmark;
  std::string figure;
  std::string unit;
  double service = 0;
  double reference = 0;
  double ratio = 0;   // service / reference (median of the per-run ratios)
  std::string target; // for example "<= 1.15"; empty when there is none
  std::string note;
};

class Report {
 public:
  void Add(Row row) { rows_.push_back(std::move(row)); }
  // A text table with a header line.
  void PrintTable() const;
  // A JSON array of the rows.
  bool WriteJson(const std::string& path) const;
  // Markdown table rows, without the header (bench/run.sh writes it once).
  bool WriteMarkdownRows(const std::string& path) const;
  // Writes the JSON and Markdown files that --json=PATH and --markdown=PATH name.
  bool WriteFiles(int argc, char** argv) const;
  // Prints the table and writes the files; the program's exit code.
  int Finish(int argc, char** argv) const {
    PrintTable();
    return WriteFiles(argc, argv) ? 0 : 1;
  }

 private:
  std::vector<Row> rows_;
};

// Builds a row from per-run figures: medians of each side and of the ratios.
Row MedianRow(const std::string& benchmark, const std::string& figure, const std::string& unit,
              const std::vector<double>& service, const std::vector<double>& reference,
              const std::string& target, const std::string& note = std::string());

// Value of "--name=value" in argv, or fallback.
// Runs a benchmark program's body; an escaped error becomes a message and exit code 1.
int GuardedMain(int (*body)(int, char**), int argc, char** argv);

std::string Option(int argc, char** argv, const std::string& name, const std::string& fallback);

}  // namespace bench
}  // namespace vortan
