#include "TestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace vortan {
namespace test {

namespace fs = std::filesystem;

InstalledLayout::InstalledLayout(bool withTemplates) {
  char pattern[] = "/tmp/vortan-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
  chmod(root_.c_str(), 0755);
  for (const char* dir : {"/bin", "/conf", "/logs", "/log"}) fs::create_directories(root_ + dir);
  fs::copy_file(VORTAN_SERVICE_BINARY, Executable(), fs::copy_options::overwrite_existing);
  if (withTemplates) {
    for (const auto& entry : fs::directory_iterator(std::string(VORTAN_SOURCE_DIR) + "/conf")) {
      if (entry.is_regular_file()) {
        fs::copy_file(entry.path(), Conf() + "/" + entry.path().filename().string(),
                      fs::copy_options::overwrite_existing);
      }
    }
  }
}

InstalledLayout::~InstalledLayout() {
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

std::string InstalledLayout::LogText() const { return ReadFile(Logs() + "/vortanVpnService.log"); }

void InstalledLayout::WriteConf(const std::string& name, const std::string& content) const {
  WriteFile(Conf() + "/" + name, content);
}

namespace {

pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment,
            const std::string& outputPath) {
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> environmentTexts;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "NOTIFY_SOCKET=", 14) != 0) environmentTexts.emplace_back(*entry);
  }
  for (const auto& extra : extraEnvironment) environmentTexts.push_back(extra);
  std::vector<char*> environment;
  for (auto& text : environmentTexts) environment.push_back(const_cast<char*>(text.c_str()));
  environment.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (!outputPath.empty()) {
    posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  }
  pid_t pid = -1;
  int error = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environment.data());
  posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? pid : -1;
}

int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

ServiceProcess::ServiceProcess(const InstalledLayout& layout, std::vector<std::string> args,
                               std::vector<std::string> wrapper, std::vector<std::string> environment)
    : layout_(layout) {
  std::vector<std::string> argv = std::move(wrapper);
  argv.push_back(layout.Executable());
  for (auto& arg : args) argv.push_back(std::move(arg));
  pid_ = Spawn(argv, environment, layout.Root() + "/stdout.txt");
  if (pid_ < 0) throw std::runtime_error("cannot start the service");
}

ServiceProcess::~ServiceProcess() {
  if (pid_ > 0 && Running()) {
    kill(pid_, SIGKILL);
    WaitForExit(std::chrono::seconds(10));
  }
}

bool ServiceProcess::Running() {
  if (exitCode_ >= 0) return false;
  int status = 0;
  pid_t result = waitpid(pid_, &status, WNOHANG);
  if (result == pid_) {
    exitCode_ = DecodeStatus(status);
    return false;
  }
  return result == 0;
}

bool ServiceProcess::WaitForEndpoint(Endpoint* endpoint, std::chrono::milliseconds timeout) {
  const std::string path = layout_.Conf() + "/portused.txt";
  return WaitUntil([&] { return ParsePortUsed(ReadFile(path), endpoint) || !Running(); }, timeout) &&
         ParsePortUsed(ReadFile(path), endpoint);
}

int ServiceProcess::WaitForExit(std::chrono::milliseconds timeout) {
  if (!WaitUntil([&] { return !Running(); }, timeout)) return -1;
  return exitCode_;
}

void ServiceProcess::Signal(int signalNumber) {
  if (Running()) kill(pid_, signalNumber);
}

std::string ServiceProcess::Output() const { return ReadFile(layout_.Root() + "/stdout.txt"); }

LineClient::LineClient(const std::string& address, int port) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address.c_str(), &peer.sin_addr);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) Close();
}

LineClient::~LineClient() { Close(); }

void LineClient::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool LineClient::SendRaw(const std::string& bytes) {
  if (fd_ < 0) return false;
  return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

std::string LineClient::ReadLine(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::string::size_type lineFeed = buffer_.find('\n');
    if (lineFeed != std::string::npos) {
      std::string line = buffer_.substr(0, lineFeed + 1);
      buffer_.erase(0, lineFeed + 1);
      return line;
    }
    if (fd_ < 0) break;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::string();
    pollfd waiter{fd_, POLLIN, 0};
    if (poll(&waiter, 1, static_cast<int>(left.count())) <= 0) return std::string();
    char chunk[4096];
    ssize_t count = recv(fd_, chunk, sizeof chunk, 0);
    if (count <= 0) break;
    buffer_.append(chunk, static_cast<size_t>(count));
  }
  std::string partial;
  partial.swap(buffer_);
  return partial;
}

std::string LineClient::ReadText(std::chrono::milliseconds timeout) {
  std::string line = ReadLine(timeout);
  if (!line.empty() && line.back() == '\n') line.pop_back();
  return line;
}

std::string LineClient::Ask(const std::string& line) {
  Send(line);
  return ReadText();
}

bool LineClient::WaitForClose(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (fd_ >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd waiter{fd_, POLLIN, 0};
    if (poll(&waiter, 1, static_cast<int>(left.count())) <= 0) return false;
    char chunk[4096];
    ssize_t count = recv(fd_, chunk, sizeof chunk, 0);
    if (count <= 0) return true;
    buffer_.append(chunk, static_cast<size_t>(count));
  }
  return true;
}

int RunCommand(const std::vector<std::string>& argv, std::string* output) {
  std::string outputPath;
  if (output != nullptr) {
    char pattern[] = "/tmp/vortan-cmd-XXXXXX";
    int fd = mkstemp(pattern);
    if (fd >= 0) close(fd);
    outputPath = pattern;
  }
  pid_t pid = Spawn(argv, {}, outputPath.empty() ? "/dev/null" : outputPath);
  if (pid < 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (output != nullptr) {
    *output = ReadFile(outputPath);
    unlink(outputPath.c_str());
  }
  return DecodeStatus(status);
}

int Shell(const std::string& command, std::string* output) {
  return RunCommand({"/bin/sh", "-c", command}, output);
}

std::string OpenVpnStandInScript(const std::string& prelude) {
  return "#!/bin/sh\n" + prelude + "\n" +
         "channel=$(sed -n 's/^management \"\\(.*\\)\" unix.*/\\1/p' \"$2\")\n"
         "exec /usr/bin/perl -MSocket -e 'socket(my $s, AF_UNIX, SOCK_STREAM, 0) or die; "
         "bind($s, pack_sockaddr_un($ARGV[0])) or die; listen($s, 5); sleep 600' \"$channel\"\n";
}

}  // namespace test
}  // namespace vortan
