#include "BenchSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace vortan {
namespace bench {

namespace {

const char* const kReferenceSwitch = "--reference-server";

int ConnectTcp(const std::string& address, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<std::uint16_t>(port));
  inet_pton(AF_INET, address.c_str(), &peer.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendEverything(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

// --- reference server -------------------------------------------------------------

struct ReferenceConnection {
  int fd;
  const std::string* welcome;
  const std::string* reply;
};

// The log of the same-work reference: the service's log lines for the same events, in
// its layout, each written at once to the log file and to standard output (a file), as
// the service does with its shipped settings. Both descriptors are -1 without a log.
struct ReferenceLog {
  int file = -1;
  int output = -1;
};
ReferenceLog referenceLog;

void WriteLogLine(const char* level, const char* thread, const char* logger, const std::string& message) {
  if (referenceLog.file < 0) return;
  timeval now{};
  gettimeofday(&now, nullptr);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
  char line[1024];
  int length = std::snprintf(line, sizeof line, "%s.%03ld[%s][%s] %s - %s\n", date,
                             static_cast<long>(now.tv_usec / 1000), level, thread, logger, message.c_str());
  length = std::min(length, static_cast<int>(sizeof line) - 1);
  if (write(referenceLog.file, line, static_cast<std::size_t>(length)) < 0) return;
  if (write(referenceLog.output, line, static_cast<std::size_t>(length)) < 0) return;
}

// Replies once per complete line held in buffer, logging the request and the reply as
// the service does; returns the bytes of the unfinished line, moved to the front.
std::size_t ReplyToCompleteLines(int fd, char* buffer, std::size_t held, const std::string& reply,
                                 const char* thread) {
  char* start = buffer;
  char* end = buffer + held;
  while (char* lineFeed = static_cast<char*>(std::memchr(start, '\n', static_cast<std::size_t>(end - start)))) {
    WriteLogLine("DEBUG", thread, "service", "telnet Request = " + std::string(start, lineFeed));
    WriteLogLine("DEBUG", thread, "service", "telnet Response  = " + reply.substr(0, reply.size() - 1));
    if (!SendEverything(fd, reply.data(), reply.size())) return 0;
    start = lineFeed + 1;
  }
  std::size_t rest = static_cast<std::size_t>(end - start);
  std::memmove(buffer, start, rest);
  return rest;
}

void* ServeReferenceConnection(void* argument) {
  const ReferenceConnection connection = *static_cast<ReferenceConnection*>(argument);
  char thread[32];
  std::snprintf(thread, sizeof thread, "telnet-%p", argument);
  delete static_cast<ReferenceConnection*>(argument);
  char buffer[4096];
  std::size_t held = 0;
  WriteLogLine("INFO", thread, "service", "new client connection");
  if (SendEverything(connection.fd, connection.welcome->data(), connection.welcome->size())) {
    for (;;) {
      ssize_t count = recv(connection.fd, buffer + held, sizeof buffer - held, 0);
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) break;
      held = ReplyToCompleteLines(connection.fd, buffer, held + static_cast<std::size_t>(count), *connection.reply,
                                  thread);
      if (held == sizeof buffer) held = 0;  // an overlong line is dropped
    }
  }
  WriteLogLine("DEBUG", thread, "service", "telnet Request = ");
  WriteLogLine("DEBUG", thread, "service", "Answer Thread closed");
  close(connection.fd);
  return nullptr;
}

void OpenReferenceLog(const std::string& directory) {
  referenceLog.file = open((directory + "/reference.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  referenceLog.output = open((directory + "/reference.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (referenceLog.file < 0 || referenceLog.output < 0) {
    std::perror("reference log");
    std::exit(1);
  }
}

int OpenReferenceListener(int* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof local;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 || listen(fd, 5) != 0) {
    std::perror("reference server");
    std::exit(1);
  }
  *port = ntohs(local.sin_port);
  return fd;
}

[[noreturn]] void ServeReference(std::size_t welcomeBytes, std::size_t replyBytes, const std::string& logDirectory) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (!logDirectory.empty()) OpenReferenceLog(logDirectory);
  static const std::string welcome = std::string(welcomeBytes - 1, 'w') + "\n";
  static const std::string reply = std::string(replyBytes - 1, 'r') + "\n";
  int port = 0;
  int listener = OpenReferenceListener(&port);
  std::printf("%d\n", port);
  std::fflush(stdout);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attributes, 64 * 1024);
  for (;;) {
    WriteLogLine("TRACE", "main", "default", "Waiting for new connection...");
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    WriteLogLine("TRACE", "main", "default", "new connection accepted...");
    pthread_t thread;
    auto* connection = new ReferenceConnection{fd, &welcome, &reply};
    if (pthread_create(&thread, &attributes, ServeReferenceConnection, connection) != 0) {
      delete connection;
      close(fd);
      continue;
    }
    if (referenceLog.file >= 0) {
      char message[96];
      std::snprintf(message, sizeof message, "ANSWER Thread %p created. id:%lu", static_cast<void*>(connection),
                    static_cast<unsigned long>(thread));
      WriteLogLine("DEBUG", "main", "service", message);
    }
  }
}

// --- report -----------------------------------------------------------------------

std::string JsonText(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string JsonNumber(double value) {
  if (!std::isfinite(value)) return "null";
  std::ostringstream text;
  text << std::setprecision(6) << value;
  return text.str();
}

std::string Figure(double value) {
  std::ostringstream text;
  if (value >= 1000) {
    text << std::fixed << std::setprecision(0) << value;
  } else {
    text << std::fixed << std::setprecision(value >= 100 ? 1 : 2) << value;
  }
  return text.str();
}

std::uint64_t StatusField(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, field.size(), field) == 0) return std::strtoull(line.c_str() + field.size(), nullptr, 10);
  }
  return 0;
}

}  // namespace

double MicrosecondsBetween(Clock::time_point start, Clock::time_point end) {
  return std::chrono::duration<double, std::micro>(end - start).count();
}

double Percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return 0;
  std::size_t rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(samples.size())));
  rank = std::min(std::max<std::size_t>(rank, 1), samples.size());
  std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(rank - 1), samples.end());
  return samples[rank - 1];
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

LineConnection::LineConnection(const std::string& address, int port) : fd_(ConnectTcp(address, port)) {}

LineConnection::~LineConnection() { Close(); }

LineConnection::LineConnection(LineConnection&& other) noexcept { *this = std::move(other); }

LineConnection& LineConnection::operator=(LineConnection&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
    buffer_.swap(other.buffer_);
    begin_ = other.begin_;
    end_ = other.end_;
  }
  return *this;
}

bool LineConnection::SendAll(const std::string& bytes) { return fd_ >= 0 && SendEverything(fd_, bytes.data(), bytes.size()); }

bool LineConnection::ReadLine(std::string* line) {
  for (;;) {
    char* start = buffer_.data() + begin_;
    if (void* lineFeed = std::memchr(start, '\n', end_ - begin_)) {
      std::size_t length = static_cast<std::size_t>(static_cast<char*>(lineFeed) - start);
      line->assign(start, length);
      begin_ += length + 1;
      return true;
    }
    if (begin_ > 0) {
      std::memmove(buffer_.data(), start, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    if (end_ == buffer_.size() || fd_ < 0) return false;
    ssize_t count = recv(fd_, buffer_.data() + end_, buffer_.size() - end_, 0);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    end_ += static_cast<std::size_t>(count);
  }
}

bool LineConnection::Exchange(const std::string& request, std::string* reply) {
  return SendAll(request) && ReadLine(reply);
}

void LineConnection::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  begin_ = end_ = 0;
}

ReferenceServer::ReferenceServer(std::size_t welcomeBytes, std::size_t replyBytes, Logging logging) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const std::string welcome = std::to_string(welcomeBytes);
  const std::string reply = std::to_string(replyBytes);
  if (logging == Logging::LikeTheService) {
    char directory[] = "/tmp/vortan-reference-XXXXXX";
    if (mkdtemp(directory) == nullptr) throw std::runtime_error("mkdtemp failed");
    logDirectory_ = directory;
  }
  char program[] = "/proc/self/exe";
  std::vector<char*> argv = {program, const_cast<char*>(kReferenceSwitch), const_cast<char*>(welcome.c_str()),
                             const_cast<char*>(reply.c_str())};
  if (!logDirectory_.empty()) argv.push_back(const_cast<char*>(logDirectory_.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  int error = posix_spawn(&pid_, program, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  char portText[16] = {};
  ssize_t count = error == 0 ? read(pipeFds[0], portText, sizeof portText - 1) : -1;
  close(pipeFds[0]);
  if (count <= 0) throw std::runtime_error("reference server did not start");
  endpoint_ = {"127.0.0.1", std::atoi(portText)};
}

ReferenceServer::~ReferenceServer() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  if (!logDirectory_.empty()) {
    unlink((logDirectory_ + "/reference.log").c_str());
    unlink((logDirectory_ + "/reference.out").c_str());
    rmdir(logDirectory_.c_str());
  }
}

void RunReferenceServerIfAsked(int argc, char** argv) {
  if ((argc == 4 || argc == 5) && std::strcmp(argv[1], kReferenceSwitch) == 0) {
    ServeReference(std::strtoul(argv[2], nullptr, 10), std::strtoul(argv[3], nullptr, 10),
                   argc == 5 ? argv[4] : "");
  }
}

std::uint64_t ResidentBytes(pid_t pid) { return StatusField(pid, "VmRSS:") * 1024; }

int ThreadCount(pid_t pid) { return static_cast<int>(StatusField(pid, "Threads:")); }

void RaiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

Row MedianRow(const std::string& benchmark, const std::string& figure, const std::string& unit,
              const std::vector<double>& service, const std::vector<double>& reference,
              const std::string& target, const std::string& note) {
  std::vector<double> ratios;
  for (std::size_t i = 0; i < service.size() && i < reference.size(); ++i) {
    if (reference[i] != 0) ratios.push_back(service[i] / reference[i]);
  }
  return Row{benchmark, figure, unit, Median(service), Median(reference), Median(ratios), target, note};
}

void Report::PrintTable() const {
  std::cout << std::left << std::setw(14) << "benchmark" << std::setw(56) << "figure" << std::right
            << std::setw(10) << "service" << std::setw(11) << "reference" << std::setw(8) << "ratio" << "  "
            << std::left << std::setw(14) << "target" << "note\n";
  for (const Row& row : rows_) {
    const std::string figure = row.figure + " [" + row.unit + "]";
    std::cout << std::left << std::setw(14) << row.benchmark << std::setw(56) << figure << std::right
              << std::setw(10) << Figure(row.service) << std::setw(11)
              << (row.reference != 0 ? Figure(row.reference) : std::string("-")) << std::setw(8)
              << (row.ratio != 0 ? Figure(row.ratio) : std::string("-")) << "  " << std::left << std::setw(14)
              << row.target << row.note << "\n";
  }
  std::cout.flush();
}

bool Report::WriteJson(const std::string& path) const {
  std::ofstream out(path, std::ios::trunc);
  out << "[\n";
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    const Row& row = rows_[i];
    out << "  {\"benchmark\": " << JsonText(row.benchmark) << ", \"figure\": " << JsonText(row.figure)
        << ", \"unit\": " << JsonText(row.unit) << ", \"service\": " << JsonNumber(row.service)
        << ", \"reference\": " << JsonNumber(row.reference) << ", \"ratio\": " << JsonNumber(row.ratio)
        << ", \"target\": " << JsonText(row.target) << ", \"note\": " << JsonText(row.note) << "}"
        << (i + 1 < rows_.size() ? ",\n" : "\n");
  }
  out << "]\n";
  return static_cast<bool>(out);
}

bool Report::WriteMarkdownRows(const std::string& path) const {
  std::ofstream out(path, std::ios::trunc);
  for (const Row& row : rows_) {
    out << "| " << row.benchmark << " | " << row.figure << " [" << row.unit << "] | " << Figure(row.service) << " | "
        << (row.reference != 0 ? Figure(row.reference) : std::string("-")) << " | "
        << (row.ratio != 0 ? Figure(row.ratio) : std::string("-")) << " | " << row.target << " | " << row.note
        << " |\n";
  }
  return static_cast<bool>(out);
}

bool Report::WriteFiles(int argc, char** argv) const {
  const std::string json = Option(argc, argv, "json", "");
  const std::string markdown = Option(argc, argv, "markdown", "");
  bool written = true;
  if (!json.empty() && !WriteJson(json)) {
    std::cerr << "cannot write " << json << "\n";
    written = false;
  }
  if (!markdown.empty() && !WriteMarkdownRows(markdown)) {
    std::cerr << "cannot write " << markdown << "\n";
    written = false;
  }
  return written;
}

std::string Option(int argc, char** argv, const std::string& name, const std::string& fallback) {
  const std::string prefix = "--" + name + "=";
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], prefix.c_str(), prefix.size()) == 0) return argv[i] + prefix.size();
  }
  return fallback;
}

int GuardedMain(int (*body)(int, char**), int argc, char** argv) {
  try {
    return body(argc, argv);
  } catch (const std::exception& error) {
    std::cerr << "benchmark failed: " << error.what() << "\n";
    return 1;
  }
}

}  // namespace bench
}  // namespace vortan
