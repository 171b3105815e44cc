// Request round trip, throughput and idle-session capacity of the service, each next
// to a minimal thread-per-connection line server measured in the same run.
//
// Usage: vortan_bench_protocol [--runs=N] [--scale=F] [--json=PATH] [--markdown=PATH]
//   --runs   repetitions; every figure is the median over them (default 5)
//   --scale  multiplies every request and session count (default 1; 0.1 for a smoke run)
//   --only   comma-separated subset of pipelined,roundtrip,throughput,capacity
//   --service-wrapper  words put before the service's command line (for a profiler)
//   --servicelog       a log configuration file given to the service (to compare settings)

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <future>
#include <memory>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "TestSupport.h"

namespace vortan {
namespace bench {
namespace {

struct Settings {
  std::vector<std::string> serviceWrapper;
  std::string logConfiguration;
  int runs = 3;
  double scale = 1;
  int Scaled(int count) const { return std::max(1, static_cast<int>(std::lround(count * scale))); }
};

const char* const kVersionRequest = "version\n";
// A log configuration that switches every logger off (for the diagnosis rows).
const char* const kLoggingOff = "* GLOBAL:\n  ENABLED = false\n";
constexpr std::size_t kLongRequestBytes = 300;

// A "route add" line of exactly kLongRequestBytes (line feed included) whose gateway
// is no address: the service parses and refuses it without touching the host.
std::string LongInvalidRouteRequest() {
  const std::string head = "route add 10.1.2.0 255.255.255.0 ";
  const std::string tail = " 1\n";
  return head + std::string(kLongRequestBytes - head.size() - tail.size(), 'x') + tail;
}

LineConnection OpenSession(const Endpoint& endpoint) {
  LineConnection connection(endpoint.address, endpoint.port);
  std::string welcome;
  if (!connection.Connected() || !connection.ReadLine(&welcome)) throw std::runtime_error("no welcome line");
  return connection;
}

std::string AskOnce(const Endpoint& endpoint, const std::string& request) {
  LineConnection connection = OpenSession(endpoint);
  std::string reply;
  if (!connection.Exchange(request, &reply)) throw std::runtime_error("no reply to " + request);
  return reply;
}

std::size_t WelcomeBytes(const Endpoint& endpoint) {
  LineConnection connection(endpoint.address, endpoint.port);
  std::string welcome;
  if (!connection.ReadLine(&welcome)) throw std::runtime_error("no welcome line");
  return welcome.size() + 1;
}

// The service from a temporary installed tree with the shipped logging defaults
// (every DEBUG line flushed to the log file and to standard output, which goes to a
// file as under the journal).
class ServiceUnderTest {
 public:
  // wrapper: a command prepended to the service's command line (a profiler), or empty.
  // logConfiguration: the text of conf/servicelog.conf, or empty for none.
  explicit ServiceUnderTest(const std::vector<std::string>& wrapper = {}, const std::string& logConfiguration = "")
      : layout_(WithLogConfiguration(logConfiguration)), process_(*layout_, {"/console"}, wrapper) {
    test::Endpoint endpoint;
    if (!process_.WaitForEndpoint(&endpoint)) throw std::runtime_error("the service did not start");
    endpoint_ = {endpoint.address, endpoint.port};
  }
  // SIGTERM first, so a profiler around the service can write its data.
  ~ServiceUnderTest() {
    process_.Signal(SIGTERM);
    process_.WaitForExit(std::chrono::seconds(30));
  }
  ServiceUnderTest(const ServiceUnderTest&) = delete;
  ServiceUnderTest& operator=(const ServiceUnderTest&) = delete;

  const Endpoint& Address() const { return endpoint_; }
  pid_t Pid() const { return process_.Pid(); }

 private:
  static std::unique_ptr<test::InstalledLayout> WithLogConfiguration(const std::string& text) {
    auto layout = std::make_unique<test::InstalledLayout>();
    if (!text.empty()) layout->WriteConf("servicelog.conf", text);
    return layout;
  }

  std::unique_ptr<test::InstalledLayout> layout_;
  test::ServiceProcess process_;
  Endpoint endpoint_;
};

// --- round trip -------------------------------------------------------------------

void TimeExchanges(LineConnection& connection, const std::string& request, int count, std::vector<double>* samples) {
  std::string reply;
  for (int i = 0; i < count; ++i) {
    Clock::time_point start = Clock::now();
    if (!connection.Exchange(request, &reply)) throw std::runtime_error("connection lost");
    samples->push_back(MicrosecondsBetween(start, Clock::now()));
  }
}

struct Percentiles {
  double p50 = 0;
  double p99 = 0;
};

// The sides of one comparison, measured interleaved: the bare reference first, then the
// service with its shipped logging, then (for diagnosis) the service with logging off,
// then the reference that writes the service's log lines the plainest way.
struct Sides {
  Endpoint reference;
  Endpoint service;
  Endpoint serviceWithoutLogging;
  Endpoint referenceWithLogging;
  std::vector<Endpoint> All() const { return {reference, service, serviceWithoutLogging, referenceWithLogging}; }
};
enum Side { kBare = 0, kService = 1, kServiceSilent = 2, kSameWork = 3 };

const char* const kSameWorkNote = "reference: the same log lines, each written at once to a file and to stdout";

// Per-run figures of each side, in the order of Sides::All.
using PerSide = std::vector<std::vector<double>>;

// One connection per side; blocks of requests go round the sides, each round starting
// with the next side, so every side sees the same machine load.
std::vector<Percentiles> MeasureRoundTrip(const std::vector<Endpoint>& sides, const std::string& request, int total,
                                          int block) {
  std::vector<LineConnection> connections;
  std::vector<std::vector<double>> samples(sides.size());
  for (const Endpoint& side : sides) connections.push_back(OpenSession(side));
  std::vector<double> warmUp;
  for (LineConnection& connection : connections) TimeExchanges(connection, request, block, &warmUp);
  for (int done = 0, round = 0; done < total; done += block, ++round) {
    const int count = std::min(block, total - done);
    for (std::size_t i = 0; i < sides.size(); ++i) {
      const std::size_t side = (i + static_cast<std::size_t>(round)) % sides.size();
      TimeExchanges(connections[side], request, count, &samples[side]);
    }
  }
  std::vector<Percentiles> result;
  for (const std::vector<double>& side : samples) result.push_back({Percentile(side, 50), Percentile(side, 99)});
  return result;
}

// sameWorkTarget is empty where the service logs more for the request than the two
// lines the same-work reference writes (sameWorkNote says what).
void RoundTripBenchmark(const Settings& settings, const Sides& sides, const std::string& request,
                        const std::string& label, const std::string& p50Target, const std::string& sameWorkTarget,
                        const std::string& sameWorkNote, Report* report) {
  const std::size_t replyBytes = AskOnce(sides.service, request).size() + 1;
  ReferenceServer reference(WelcomeBytes(sides.service), replyBytes);
  ReferenceServer sameWork(WelcomeBytes(sides.service), replyBytes, ReferenceServer::Logging::LikeTheService);
  Sides measured = sides;
  measured.reference = reference.Address();
  measured.referenceWithLogging = sameWork.Address();
  PerSide p50(4), p99(4);
  for (int run = 0; run < settings.runs; ++run) {
    std::vector<Percentiles> result = MeasureRoundTrip(measured.All(), request, settings.Scaled(20000), 200);
    for (std::size_t side = 0; side < result.size(); ++side) {
      p50[side].push_back(result[side].p50);
      p99[side].push_back(result[side].p99);
    }
  }
  const std::string sizes = std::to_string(request.size()) + " B request, " + std::to_string(replyBytes) + " B reply";
  report->Add(MedianRow("round trip", label + " p50", "us", p50[kService], p50[kBare], p50Target, sizes));
  report->Add(MedianRow("round trip", label + " p50, same-work reference", "us", p50[kService], p50[kSameWork],
                        sameWorkTarget, sameWorkNote));
  report->Add(MedianRow("round trip", label + " p99", "us", p99[kService], p99[kBare], "<= 2.0"));
  // The tail next to a server that writes the same log lines: what is left beyond them.
  report->Add(MedianRow("round trip", label + " p99, same-work reference", "us", p99[kService], p99[kSameWork],
                        sameWorkTarget.empty() ? "" : "<= 2.0", sameWorkNote));
  report->Add(MedianRow("round trip", label + " p50, logging off", "us", p50[kServiceSilent], p50[kBare], "",
                        "diagnosis: service without its log lines"));
}

// Two requests sent in one write, timed to the second reply, next to the single round
// trip on the same connection (alternating): a reply must not wait for the client to
// acknowledge the one before.
void PipelinedBenchmark(const Settings& settings, const Sides& sides, Report* report) {
  const std::string pair = std::string(kVersionRequest) + kVersionRequest;
  std::vector<double> pairRuns, singleRuns;
  for (int run = 0; run < settings.runs; ++run) {
    LineConnection connection = OpenSession(sides.service);
    std::vector<double> pairs, singles;
    std::string reply;
    for (int i = 0; i < settings.Scaled(2000); ++i) {
      TimeExchanges(connection, kVersionRequest, 1, &singles);
      Clock::time_point start = Clock::now();
      if (!connection.Exchange(pair, &reply) || !connection.ReadLine(&reply)) {
        throw std::runtime_error("connection lost");
      }
      pairs.push_back(MicrosecondsBetween(start, Clock::now()));
    }
    pairRuns.push_back(Percentile(pairs, 50));
    singleRuns.push_back(Percentile(singles, 50));
  }
  report->Add(MedianRow("round trip", "two pipelined \"version\" p50", "us", pairRuns, singleRuns, "<= 2.0",
                        "reference: the service's single round trip"));
}

// --- throughput -------------------------------------------------------------------

// Requests per second of connections clients, each on its own thread and connection,
// each sending perConnection requests one after the other.
double RequestsPerSecond(const Endpoint& endpoint, const std::string& request, int connections, int perConnection) {
  std::vector<LineConnection> sessions;
  for (int i = 0; i < connections; ++i) sessions.push_back(OpenSession(endpoint));
  std::promise<void> go;
  std::shared_future<void> started = go.get_future().share();
  std::atomic<int> failures{0};
  std::vector<std::thread> clients;
  for (LineConnection& session : sessions) {
    clients.emplace_back([&session, &request, perConnection, started, &failures] {
      started.wait();
      std::string reply;
      for (int i = 0; i < perConnection; ++i) {
        if (!session.Exchange(request, &reply)) {
          ++failures;
          return;
        }
      }
    });
  }
  Clock::time_point start = Clock::now();
  go.set_value();
  for (std::thread& client : clients) client.join();
  const double seconds = MicrosecondsBetween(start, Clock::now()) / 1e6;
  if (failures > 0) throw std::runtime_error("throughput: connections lost");
  return connections * static_cast<double>(perConnection) / seconds;
}

void ThroughputBenchmark(const Settings& settings, const Sides& sides, Report* report) {
  const int connections = 32;
  const int perConnection = settings.Scaled(5000);
  const std::size_t replyBytes = AskOnce(sides.service, kVersionRequest).size() + 1;
  ReferenceServer reference(WelcomeBytes(sides.service), replyBytes);
  ReferenceServer sameWork(WelcomeBytes(sides.service), replyBytes, ReferenceServer::Logging::LikeTheService);
  Sides measured = sides;
  measured.reference = reference.Address();
  measured.referenceWithLogging = sameWork.Address();
  const std::vector<Endpoint> all = measured.All();
  PerSide rate(all.size());
  for (int run = 0; run < settings.runs; ++run) {
    for (std::size_t i = 0; i < all.size(); ++i) {
      const std::size_t side = (i + static_cast<std::size_t>(run)) % all.size();
      rate[side].push_back(RequestsPerSecond(all[side], kVersionRequest, connections, perConnection));
    }
  }
  const std::string figure = std::to_string(connections) + " connections x " + std::to_string(perConnection) +
                             " \"version\"";
  report->Add(MedianRow("throughput", figure, "req/s", rate[kService], rate[kBare], ">= 0.8"));
  report->Add(MedianRow("throughput", figure + ", same-work reference", "req/s", rate[kService], rate[kSameWork],
                        ">= 0.9", kSameWorkNote));
  report->Add(MedianRow("throughput", figure + ", logging off", "req/s", rate[kServiceSilent], rate[kBare], "",
                        "diagnosis: service without its log lines"));
}

// --- capacity ---------------------------------------------------------------------

struct NewConnectionTimes {
  double wholeExchange = 0;  // connect, welcome, "version" and its reply (median)
  double versionOnly = 0;    // the "version" round trip on the new connection (median)
};

NewConnectionTimes MeasureNewConnections(const Endpoint& endpoint, int count) {
  std::vector<double> whole, version;
  std::string reply;
  for (int i = 0; i < count; ++i) {
    Clock::time_point start = Clock::now();
    LineConnection connection = OpenSession(endpoint);
    Clock::time_point asked = Clock::now();
    if (!connection.Exchange(kVersionRequest, &reply)) throw std::runtime_error("no version reply");
    Clock::time_point end = Clock::now();
    whole.push_back(MicrosecondsBetween(start, end));
    version.push_back(MicrosecondsBetween(asked, end));
  }
  return {Median(whole), Median(version)};
}

struct CapacityRun {
  double bytesPerSession = 0;
  NewConnectionTimes idle;  // with the idle sessions open
  NewConnectionTimes bare;  // without them
};

CapacityRun MeasureCapacity(const Endpoint& endpoint, pid_t pid, int sessions, int probes) {
  CapacityRun run;
  run.bare = MeasureNewConnections(endpoint, probes);
  const std::uint64_t before = ResidentBytes(pid);
  std::vector<LineConnection> idle;
  idle.reserve(static_cast<std::size_t>(sessions));
  for (int i = 0; i < sessions; ++i) idle.push_back(OpenSession(endpoint));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const std::uint64_t after = ResidentBytes(pid);
  run.bytesPerSession = (static_cast<double>(after) - static_cast<double>(before)) / sessions;
  run.idle = MeasureNewConnections(endpoint, probes);
  return run;
}

void CapacityBenchmark(const Settings& settings, Report* report) {
  const int sessions = settings.Scaled(5000);
  const int probes = 200;
  std::vector<double> serviceBytes, referenceBytes, serviceIdle, referenceIdle, serviceBare, referenceBare;
  std::vector<double> serviceVersionIdle, serviceVersionBare, referenceVersionIdle, referenceVersionBare;
  std::vector<double> sameWorkBare;
  for (int run = 0; run < settings.runs; ++run) {
    ServiceUnderTest service(settings.serviceWrapper, settings.logConfiguration);
    ReferenceServer reference(WelcomeBytes(service.Address()), AskOnce(service.Address(), kVersionRequest).size() + 1);
    CapacityRun ours = MeasureCapacity(service.Address(), service.Pid(), sessions, probes);
    CapacityRun theirs = MeasureCapacity(reference.Address(), reference.Pid(), sessions, probes);
    {
      ReferenceServer sameWork(WelcomeBytes(service.Address()), AskOnce(service.Address(), kVersionRequest).size() + 1,
                               ReferenceServer::Logging::LikeTheService);
      sameWorkBare.push_back(MeasureNewConnections(sameWork.Address(), probes).wholeExchange);
    }
    serviceBytes.push_back(ours.bytesPerSession);
    referenceBytes.push_back(theirs.bytesPerSession);
    serviceIdle.push_back(ours.idle.wholeExchange);
    serviceBare.push_back(ours.bare.wholeExchange);
    referenceIdle.push_back(theirs.idle.wholeExchange);
    referenceBare.push_back(theirs.bare.wholeExchange);
    serviceVersionIdle.push_back(ours.idle.versionOnly);
    serviceVersionBare.push_back(ours.bare.versionOnly);
    referenceVersionIdle.push_back(theirs.idle.versionOnly);
    referenceVersionBare.push_back(theirs.bare.versionOnly);
  }
  const std::string count = std::to_string(sessions);
  report->Add(MedianRow("capacity", "RSS per idle session (" + count + " open)", "KiB",
                        {Median(serviceBytes) / 1024}, {Median(referenceBytes) / 1024}, "<= 16 KiB"));
  report->Add(MedianRow("capacity", "new connection + \"version\", " + count + " idle", "us", serviceIdle,
                        referenceIdle, "", "connect, welcome, request, reply"));
  report->Add(MedianRow("capacity", "new connection + \"version\", none idle", "us", serviceBare, referenceBare, ""));
  report->Add(MedianRow("capacity", "new connection + \"version\", none idle, same-work reference", "us", serviceBare,
                        sameWorkBare, "<= 1.3", kSameWorkNote));
  report->Add(MedianRow("capacity", "\"version\" on a new connection, " + count + " idle", "us",
                        serviceVersionIdle, referenceVersionIdle, ""));
  report->Add(MedianRow("capacity", "\"version\" on a new connection, none idle", "us", serviceVersionBare,
                        referenceVersionBare, ""));
  // The service against itself: how much the idle sessions slow a new client down.
  report->Add(MedianRow("capacity", "new connection: " + count + " idle / none idle", "x", serviceIdle, serviceBare,
                        "<= 1.5", "ratio column: service with / without"));
}

int Main(int argc, char** argv) {
  RunReferenceServerIfAsked(argc, argv);
  RaiseOpenFileLimit();
  Settings settings;
  settings.runs = std::stoi(Option(argc, argv, "runs", "5"));
  settings.scale = std::stod(Option(argc, argv, "scale", "1"));
  const std::string logConfigurationPath = Option(argc, argv, "servicelog", "");
  if (!logConfigurationPath.empty()) settings.logConfiguration = test::ReadFile(logConfigurationPath);
  std::istringstream wrapper(Option(argc, argv, "service-wrapper", ""));
  for (std::string word; wrapper >> word;) settings.serviceWrapper.push_back(word);

  const std::string only = Option(argc, argv, "only", "pipelined,roundtrip,throughput,capacity");
  auto wanted = [&only](const std::string& name) { return only.find(name) != std::string::npos; };

  Report report;
  if (wanted("pipelined") || wanted("roundtrip") || wanted("throughput")) {
    ServiceUnderTest service(settings.serviceWrapper, settings.logConfiguration);
    ServiceUnderTest silent({}, kLoggingOff);
    Sides sides;
    sides.service = service.Address();
    sides.serviceWithoutLogging = silent.Address();
    if (wanted("pipelined")) PipelinedBenchmark(settings, sides, &report);
    if (wanted("roundtrip")) {
      RoundTripBenchmark(settings, sides, kVersionRequest, "\"version\"", "<= 1.15", "<= 1.1", kSameWorkNote, &report);
      RoundTripBenchmark(settings, sides, LongInvalidRouteRequest(), "300-byte \"route add\"", "<= 1.2", "",
                         "diagnosis: the service logs a third line here (the refused gateway)", &report);
    }
    if (wanted("throughput")) ThroughputBenchmark(settings, sides, &report);
  }
  if (wanted("capacity")) CapacityBenchmark(settings, &report);
  return report.Finish(argc, argv);
}

}  // namespace
}  // namespace bench
}  // namespace vortan

int main(int argc, char** argv) { return vortan::bench::GuardedMain(vortan::bench::Main, argc, argv); }
