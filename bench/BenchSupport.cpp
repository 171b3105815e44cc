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
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// Replies once per complete line held in buffer; returns the bytes of the unfinished
// line, moved to the front.
std::size_t ReplyToCompleteLines(int fd, char* buffer, std::size_t held, const std::string& reply) {
  char* start = buffer;
  char* end = buffer + held;
  while (char* lineFeed = static_cast<char*>(std::memchr(start, '\n', static_cast<std::size_t>(end - start)))) {
    if (!SendEverything(fd, reply.data(), reply.size())) return 0;
    start = lineFeed + 1;
  }
  std::size_t rest = static_cast<std::size_t>(end - start);
  std::memmove(buffer, start, rest);
  return rest;
}

void* ServeReferenceConnection(void* argument) {
  const ReferenceConnection connection = *static_cast<ReferenceConnection*>(argument);
  delete static_cast<ReferenceConnection*>(argument);
  char buffer[4096];
  std::size_t held = 0;
  if (SendEverything(connection.fd, connection.welcome->data(), connection.welcome->size())) {
    for (;;) {
      ssize_t count = recv(connection.fd, buffer + held, sizeof buffer - held, 0);
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) break;
      held = ReplyToCompleteLines(connection.fd, buffer, held + static_cast<std::size_t>(count), *connection.reply);
      if (held == sizeof buffer) held = 0;  // an overlong line is dropped
    }
  }
  close(connection.fd);
  return nullptr;
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

[[noreturn]] void ServeReference(std::size_t welcomeBytes, std::size_t replyBytes) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
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
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    pthread_t thread;
    auto* connection = new ReferenceConnection{fd, &welcome, &reply};
    if (pthread_create(&thread, &attributes, ServeReferenceConnection, connection) != 0) {
      delete connection;
      close(fd);
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

ReferenceServer::ReferenceServer(std::size_t welcomeBytes, std::size_t replyBytes) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const std::string welcome = std::to_string(welcomeBytes);
  const std::string reply = std::to_string(replyBytes);
  char program[] = "/proc/self/exe";
  std::vector<char*> argv = {program, const_cast<char*>(kReferenceSwitch), const_cast<char*>(welcome.c_str()),
                             const_cast<char*>(reply.c_str()), nullptr};
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
}

void RunReferenceServerIfAsked(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], kReferenceSwitch) == 0) {
    ServeReference(std::strtoul(argv[2], nullptr, 10), std::strtoul(argv[3], nullptr, 10));
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
