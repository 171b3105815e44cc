// Tunnel start and shutdown through the service, next to OpenVPN launched directly with
// the configuration the service generated and its hold released by hand, in the
// network-namespace world of the tunnel tests (root only). Cycles alternate between the
// two sides; every figure is the median over the runs.
//
// Usage: vortan_bench_tunnel [--runs=N] [--json=PATH] [--markdown=PATH]

#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "BenchSupport.h"
#include "TestSupport.h"
#include "TunnelWorld.h"
#include "platform/Processes.h"

extern char** environ;

namespace vortan {
namespace bench {
namespace {

using namespace std::chrono_literals;

constexpr auto kConnectTimeout = 30s;

double MillisecondsBetween(Clock::time_point start, Clock::time_point end) {
  return MicrosecondsBetween(start, end) / 1000;
}

bool IsNotification(const std::string& line) { return line.rfind("> ", 0) == 0; }
bool IsRelayedConnected(const std::string& line) {
  return line.rfind("> STATE: ", 0) == 0 && line.find(",CONNECTED,SUCCESS") != std::string::npos;
}

// The next line that is no notification (the reply to a request); empty on time-out.
std::string ReadReply(test::LineClient& client) {
  std::string reply;
  auto isReply = [&reply](const std::string& line) {
    if (IsNotification(line)) return false;
    reply = line;
    return true;
  };
  test::ReadUntil(client, isReply, nullptr, kConnectTimeout);
  return reply;
}

// Times from one start to its connection and from the shutdown to the reply and to the
// end of the OpenVPN process.
struct Cycle {
  double startToConnected = 0;
  double shutdownToReply = 0;  // the service's "OK" (the direct side has no reply)
  double shutdownToExit = 0;
};

// Polls until the process identifier is gone (the service collects its child at once).
class ExitWatch {
 public:
  explicit ExitWatch(std::uint32_t pid)
      : thread_([this, pid] {
          while (!test::ProcessGone(pid)) std::this_thread::sleep_for(1ms);
          gone_ = Clock::now();
        }) {}
  Clock::time_point Wait() {
    thread_.join();
    return gone_;
  }

 private:
  Clock::time_point gone_;
  std::thread thread_;
};

Cycle ServiceCycle(test::ClientSide& client, test::LineClient& connection, const std::string& request) {
  Cycle cycle;
  const Clock::time_point started = Clock::now();
  connection.Send(request);
  if (ReadReply(connection) != "OK") throw std::runtime_error("the service refused: " + request);
  if (!test::ReadUntil(connection, IsRelayedConnected, nullptr, kConnectTimeout)) {
    throw std::runtime_error("the service's tunnel did not connect");
  }
  cycle.startToConnected = MillisecondsBetween(started, Clock::now());
  const std::uint32_t pid = client.LaunchedOpenVpnPids().back();
  const Clock::time_point stopping = Clock::now();
  ExitWatch watch(pid);
  connection.Send("shutdown");
  if (ReadReply(connection) != "OK") throw std::runtime_error("no reply to shutdown");
  cycle.shutdownToReply = MillisecondsBetween(stopping, Clock::now());
  cycle.shutdownToExit = MillisecondsBetween(stopping, watch.Wait());
  return cycle;
}

// OpenVPN's management endpoint from the "management ADDRESS PORT" line.
Endpoint ManagementEndpoint(const std::string& configPath) {
  std::ifstream config(configPath);
  std::string line;
  while (std::getline(config, line)) {
    std::istringstream words(line);
    std::string keyword;
    Endpoint endpoint;
    if (words >> keyword >> endpoint.address >> endpoint.port && keyword == "management") return endpoint;
  }
  throw std::runtime_error("no management line in " + configPath);
}

std::string DirectoryOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

// The dialogue the service holds, without its pauses: connect as soon as OpenVPN
// listens, switch the state notifications on, log on, release the hold.
void ReleaseHoldUntilConnected(LineConnection& management) {
  int successes = 0;
  std::string line;
  while (management.ReadLine(&line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind(">HOLD:", 0) == 0 && successes < 3) {
      management.SendAll("state on\n");
    } else if (line.rfind(">STATE:", 0) == 0 && line.find(",CONNECTED,SUCCESS") != std::string::npos) {
      return;
    } else if (line[0] != '>' && line.find("SUCCESS:") != std::string::npos) {
      ++successes;
      if (successes == 1) management.SendAll("log on\n");
      if (successes == 2) management.SendAll("hold release\n");
    }
  }
  throw std::runtime_error("OpenVPN closed its management connection before connecting");
}

LineConnection ConnectWhenListening(const Endpoint& endpoint) {
  const Clock::time_point deadline = Clock::now() + kConnectTimeout;
  for (;;) {
    LineConnection connection(endpoint.address, endpoint.port);
    if (connection.Connected()) return connection;
    if (Clock::now() > deadline) throw std::runtime_error("OpenVPN's management port never opened");
    std::this_thread::sleep_for(1ms);
  }
}

// OpenVPN started by the calling thread, so that it runs in that thread's network
// namespace (the service's launches come from a thread of their own, outside it).
Cycle DirectCycle(const test::NetworkNamespace& ns, const std::string& configPath) {
  Cycle cycle;
  const Endpoint endpoint = ManagementEndpoint(configPath);
  // The launcher's thread forks, so it is started inside the namespace.
  std::optional<platform::ChildLauncher> launcher;
  platform::Process openvpn;
  LineConnection management;
  // Launched and connected from a thread inside the namespace, as the service runs there.
  ns.Run([&] {
    launcher.emplace();
    const Clock::time_point started = Clock::now();
    const platform::Error error =
        openvpn.Launch(*launcher, {"/usr/sbin/openvpn", {"--config", configPath}, DirectoryOf(configPath)});
    if (error.Failed()) throw std::runtime_error("cannot launch OpenVPN: " + std::to_string(error.Code()));
    management = ConnectWhenListening(endpoint);
    ReleaseHoldUntilConnected(management);
    cycle.startToConnected = MillisecondsBetween(started, Clock::now());
  });
  const Clock::time_point stopping = Clock::now();
  openvpn.RequestExit();
  if (!openvpn.WaitForExit(10s)) {
    openvpn.Kill();
    openvpn.WaitForExit(5s);
    throw std::runtime_error("OpenVPN did not exit on its termination signal");
  }
  cycle.shutdownToExit = MillisecondsBetween(stopping, Clock::now());
  return cycle;
}

std::string GeneratedConfigPath(const test::InstalledLayout& layout) {
  const std::string log = layout.LogText();
  std::smatch match;
  if (!std::regex_search(log, match, std::regex("Start OpenVPN ([^\n]+)"))) {
    throw std::runtime_error("the service logged no configuration path");
  }
  return match[1].str();
}

// "+12 ms" or "-3 ms".
std::string SignedMilliseconds(double difference) {
  const long rounded = std::lround(difference);
  return (rounded >= 0 ? "+" : "") + std::to_string(rounded) + " ms";
}

int CountOf(const std::string& text, const std::string& part) {
  int count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// Milliseconds since midnight of a log line's time stamp ("YYYY-MM-DD HH:MM:SS.mmm").
double LogMilliseconds(const std::string& line) {
  std::smatch match;
  if (!std::regex_search(line, match, std::regex("([0-9]{2}):([0-9]{2}):([0-9]{2})\\.([0-9]{3})"))) return -1;
  return ((std::stod(match[1]) * 60 + std::stod(match[2])) * 60 + std::stod(match[3])) * 1000 + std::stod(match[4]);
}

// The service's own work on a start before OpenVPN runs, from its log (millisecond
// stamps): from the request to the generated configuration ("Start OpenVPN"), to the
// private copies written ("Connecting to vpn server") and to the launch; one entry per
// start, in order.
struct PreLaunch {
  std::vector<double> rendered, copied, launched;
};

PreLaunch PreLaunchWork(const std::string& log) {
  PreLaunch work;
  std::istringstream lines(log);
  double request = -1;
  for (std::string line; std::getline(lines, line);) {
    if (line.find("telnet Request = start") != std::string::npos) {
      request = LogMilliseconds(line);
    } else if (request < 0) {
      continue;
    } else if (line.find("Start OpenVPN ") != std::string::npos) {
      work.rendered.push_back(LogMilliseconds(line) - request);
    } else if (line.find("Connecting to vpn server") != std::string::npos) {
      work.copied.push_back(LogMilliseconds(line) - request);
    } else if (line.find("process launched. pid:") != std::string::npos) {
      work.launched.push_back(LogMilliseconds(line) - request);
      request = -1;
    }
  }
  return work;
}

std::vector<double> LastOf(const std::vector<double>& values, int count) {
  const std::size_t first = values.size() > static_cast<std::size_t>(count) ? values.size() - count : 0;
  return std::vector<double>(values.begin() + static_cast<std::ptrdiff_t>(first), values.end());
}

void MeasureProtocol(const std::string& protocol, int runs, Report* report) {
  test::ServerSide server;
  test::ClientSide client(&server, test::ClientSide::Options{});
  client.StartService();
  auto connection = client.Connect();
  const std::string request = client.StartRequest(protocol, test::kOpenVpnPort);
  ServiceCycle(client, *connection, request);  // warm-up; writes the configuration
  const std::string configPath = GeneratedConfigPath(client.Layout());
  DirectCycle(client.Namespace(), configPath);
  const int retriesBefore = CountOf(client.Layout().LogText(), "Sleeping 500ms and retrying");

  std::vector<double> serviceStart, directStart, serviceReply, serviceExit, directExit;
  for (int run = 0; run < runs; ++run) {
    Cycle direct, ours;
    if (run % 2 == 0) {
      ours = ServiceCycle(client, *connection, request);
      direct = DirectCycle(client.Namespace(), configPath);
    } else {
      direct = DirectCycle(client.Namespace(), configPath);
      ours = ServiceCycle(client, *connection, request);
    }
    serviceStart.push_back(ours.startToConnected);
    directStart.push_back(direct.startToConnected);
    serviceReply.push_back(ours.shutdownToReply);
    serviceExit.push_back(ours.shutdownToExit);
    directExit.push_back(direct.shutdownToExit);
  }
  if (std::getenv("VORTAN_BENCH_SHOW_LOG") != nullptr) std::cerr << client.Layout().LogText();
  const int retries = CountOf(client.Layout().LogText(), "Sleeping 500ms and retrying") - retriesBefore;
  const std::string retryNote = std::to_string(retries) + " refused management connections in " +
                                std::to_string(runs) + " starts";
  const PreLaunch work = PreLaunchWork(client.Layout().LogText());
  const std::string workNote = "before the launch " + std::to_string(std::lround(Median(LastOf(work.launched, runs)))) +
                               " ms (configuration " + std::to_string(std::lround(Median(LastOf(work.rendered, runs)))) +
                               ", private copies by " + std::to_string(std::lround(Median(LastOf(work.copied, runs)))) +
                               ")";
  const long limit = std::lround(1.1 * Median(directStart) + 50);
  const std::string extraNote = SignedMilliseconds(Median(serviceStart) - Median(directStart)) + " (limit " +
                                std::to_string(limit) + " ms); " + retryNote + "; " + workNote;
  report->Add(MedianRow("tunnel start", protocol + ": \"start\" to CONNECTED,SUCCESS", "ms", serviceStart, directStart,
                        "<= 1.1 +50ms", extraNote));
  report->Add(MedianRow("tunnel stop", protocol + ": \"shutdown\" to \"OK\"", "ms", serviceReply, directExit, "",
                        "reference: OpenVPN's own exit after its termination signal"));
  std::vector<double> replyAfterExit;
  for (std::size_t i = 0; i < serviceReply.size(); ++i) replyAfterExit.push_back(serviceReply[i] - serviceExit[i]);
  const std::string replyNote =
      SignedMilliseconds(Median(replyAfterExit)) + " (reference: that OpenVPN's exit, polled each ms)";
  report->Add(MedianRow("tunnel stop", protocol + ": \"OK\" next to the service's OpenVPN exit", "ms", serviceReply,
                        serviceExit, "<= +2ms", replyNote));
  report->Add(MedianRow("tunnel stop", protocol + ": \"shutdown\" to OpenVPN's exit", "ms", serviceExit, directExit,
                        "<= +1000ms", SignedMilliseconds(Median(serviceExit) - Median(directExit))));
}

int Main(int argc, char** argv) {
  const int runs = std::stoi(Option(argc, argv, "runs", "5"));
  Report report;
  for (const char* protocol : {"udp", "tcp"}) MeasureProtocol(protocol, runs, &report);
  return report.Finish(argc, argv);
}

}  // namespace
}  // namespace bench
}  // namespace vortan

int main(int argc, char** argv) { return vortan::bench::GuardedMain(vortan::bench::Main, argc, argv); }
