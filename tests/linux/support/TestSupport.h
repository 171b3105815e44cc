#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "TestCommon.h"

namespace vortan {
namespace test {

// A temporary installed tree: bin/VortanVpnService (a copy, not a link: the service
// finds its files from /proc/self/exe), conf/, logs/, log/. Removed on destruction.
class InstalledLayout {
 public:
  // withTemplates: copy the shipped templates and samples of conf/ into the layout.
  explicit InstalledLayout(bool withTemplates = false);
  ~InstalledLayout();
  InstalledLayout(const InstalledLayout&) = delete;
  InstalledLayout& operator=(const InstalledLayout&) = delete;

  const std::string& Root() const { return root_; }
  std::string Bin() const { return root_ + "/bin"; }
  std::string Conf() const { return root_ + "/conf"; }
  std::string Logs() const { return root_ + "/logs"; }
  std::string Executable() const { return Bin() + "/VortanVpnService"; }
  std::string LogText() const;
  void WriteConf(const std::string& name, const std::string& content) const;

 private:
  std::string root_;
};

// The service started from a layout, stopped (by PID) on destruction.
class ServiceProcess {
 public:
  // args are the command-line switches; wrapper, if not empty, is prepended (for
  // example {"ip", "netns", "exec", "ns1"}). Output goes to Root()/stdout.txt.
  ServiceProcess(const InstalledLayout& layout, std::vector<std::string> args = {"/console"},
                 std::vector<std::string> wrapper = {}, std::vector<std::string> environment = {});
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  pid_t Pid() const { return pid_; }
  // Waits until portused.txt names an endpoint; false on time-out or early exit.
  bool WaitForEndpoint(Endpoint* endpoint, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Waits for the process to exit; returns its exit code, or -1 on time-out, or
  // 128 + signal when a signal ended it.
  int WaitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  bool Running();
  void Signal(int signalNumber);
  std::string Output() const;

 private:
  const InstalledLayout& layout_;
  pid_t pid_ = -1;
  int exitCode_ = -1;
};

// A blocking TCP client that reads raw lines (line feed included) with a time-out.
class LineClient {
 public:
  LineClient(const std::string& address, int port);
  explicit LineClient(const Endpoint& endpoint) : LineClient(endpoint.address, endpoint.port) {}
  ~LineClient();
  LineClient(const LineClient&) = delete;
  LineClient& operator=(const LineClient&) = delete;

  bool Connected() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  // Sends bytes as they are.
  bool SendRaw(const std::string& bytes);
  // Sends text and a line feed.
  bool Send(const std::string& line) { return SendRaw(line + "\n"); }
  // The next line including its line feed; empty on time-out or close (then any
  // partial text read is returned without a line feed).
  std::string ReadLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // The next line without its line feed.
  std::string ReadText(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Sends line and returns the reply text.
  std::string Ask(const std::string& line);
  // True when the server closed the connection (within the time-out).
  bool WaitForClose(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  void Close();

 private:
  int fd_ = -1;
  std::string buffer_;
};

// Builds instrumented by AddressSanitizer or ThreadSanitizer: their run-time needs
// descriptors of its own (UBSan's type checks open a pipe to probe memory), so a
// service held at its descriptor limit fails inside the sanitizer, not in its code.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizedBuild = true;
#else
constexpr bool kSanitizedBuild = false;
#endif

// Runs a command, returns its exit status (or -1); output captured when requested.
int RunCommand(const std::vector<std::string>& argv, std::string* output = nullptr);
// Runs a shell command line through /bin/sh -c.
int Shell(const std::string& command, std::string* output = nullptr);

// A stand-in OpenVPN (a script to install as bin/openvpn) that opens the management
// socket its configuration names and idles there, as OpenVPN does at its hold, until it
// is ended; prelude runs first (a trap, say).
std::string OpenVpnStandInScript(const std::string& prelude = "");

}  // namespace test
}  // namespace vortan
