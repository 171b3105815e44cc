// "route add" through the service (its conflict analysis included) next to running
// "ip route add" for the same route, in a network namespace holding 50 addresses on 10
// interfaces (root only). Requests alternate between the two sides; each route is
// removed again, untimed, before the next.
//
// Usage: vortan_bench_route [--runs=N] [--json=PATH] [--markdown=PATH]
//   --service-wrapper  words put before the service's command line (for a profiler)

#include <signal.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "NetnsSupport.h"
#include "TestSupport.h"

namespace vortan {
namespace bench {
namespace {

const char* const kTunnel = "Vortan-Dashlet";
constexpr int kAddressesPerInterface = 5;
constexpr int kRoutesPerRun = 100;

// Ten interfaces with five addresses each: the tunnel TAP (10.8.0.2-6/24, the gateway
// 10.8.0.1 inside), a LAN veth pair carrying the default route, and seven more TAPs.
void BuildHost(const test::NetworkNamespace& ns) {
  ns.AddTap(kTunnel);
  ns.AddVethPair("lan", "lanpeer");
  std::vector<std::string> others = {"lanpeer"};
  for (int i = 1; i <= 7; ++i) {
    const std::string name = "tap" + std::to_string(i);
    ns.AddTap(name);
    others.push_back(name);
  }
  ns.MustIp(std::string("link set ") + kTunnel + " up");
  for (int host = 2; host < 2 + kAddressesPerInterface; ++host) {
    ns.MustIp("address add 10.8.0." + std::to_string(host) + "/24 dev " + kTunnel);
    ns.MustIp("address add 192.168.50." + std::to_string(8 + host) + "/24 dev lan");
  }
  ns.MustIp("route add default via 192.168.50.1 dev lan");
  for (std::size_t i = 0; i < others.size(); ++i) {
    ns.MustIp("link set " + others[i] + " up");
    for (int host = 1; host <= kAddressesPerInterface; ++host) {
      ns.MustIp("address add 172.16." + std::to_string(i) + "." + std::to_string(host) + "/24 dev " + others[i]);
    }
  }
  ns.WriteResolvConf("nameserver 172.20.0.53\n");
}

std::string Destination(int index) { return "10.100." + std::to_string(index) + ".0"; }

// Whole "ip -n NS route ..." command, run as a process of its own.
std::vector<std::string> IpRoute(const test::NetworkNamespace& ns, const std::string& verb, int index) {
  return {"ip", "-n", ns.Name(), "route", verb, Destination(index) + "/24", "via", "10.8.0.1", "dev", kTunnel};
}

double TimeServiceAdd(test::LineClient& client, int index) {
  const Clock::time_point start = Clock::now();
  const std::string reply = client.Ask("route add " + Destination(index) + " 255.255.255.0 10.8.0.1 1");
  const double elapsed = MicrosecondsBetween(start, Clock::now());
  if (reply.rfind("SUCCESS | RT1 |", 0) != 0) throw std::runtime_error("route add refused: " + reply);
  return elapsed;
}

double TimeIpAdd(const test::NetworkNamespace& ns, int index) {
  const Clock::time_point start = Clock::now();
  const int status = test::RunCommand(IpRoute(ns, "add", index));
  const double elapsed = MicrosecondsBetween(start, Clock::now());
  if (status != 0) throw std::runtime_error("ip route add failed");
  return elapsed;
}

void RemoveRoute(const test::NetworkNamespace& ns, int index) {
  if (test::RunCommand(IpRoute(ns, "del", index)) != 0) throw std::runtime_error("ip route del failed");
}

int Main(int argc, char** argv) {
  const int runs = std::stoi(Option(argc, argv, "runs", "5"));
  test::NetworkNamespace ns("vbrt");  // first: it must outlive the service inside it
  BuildHost(ns);
  test::InstalledLayout layout;
  std::vector<std::string> wrapper = ns.ExecWrapper();
  std::istringstream profiler(Option(argc, argv, "service-wrapper", ""));
  for (std::string word; profiler >> word;) wrapper.push_back(word);
  test::ServiceProcess service(layout, {"/console"}, wrapper);
  test::Endpoint endpoint;
  if (!service.WaitForEndpoint(&endpoint)) throw std::runtime_error("the service did not start");
  std::unique_ptr<test::LineClient> client = ns.Connect(endpoint);
  if (!client->Connected() || client->ReadLine().empty()) throw std::runtime_error("no welcome line");

  TimeServiceAdd(*client, 0);  // warm-up
  RemoveRoute(ns, 0);
  std::vector<double> ours, theirs;
  for (int run = 0; run < runs; ++run) {
    std::vector<double> serviceTimes, ipTimes;
    for (int i = 1; i <= kRoutesPerRun; ++i) {
      if ((run + i) % 2 == 0) {
        serviceTimes.push_back(TimeServiceAdd(*client, i));
        RemoveRoute(ns, i);
        ipTimes.push_back(TimeIpAdd(ns, i));
      } else {
        ipTimes.push_back(TimeIpAdd(ns, i));
        RemoveRoute(ns, i);
        serviceTimes.push_back(TimeServiceAdd(*client, i));
      }
      RemoveRoute(ns, i);
    }
    ours.push_back(Median(serviceTimes));
    theirs.push_back(Median(ipTimes));
  }
  Report report;
  report.Add(MedianRow("route add", "\"route add\" with 50 addresses on 10 interfaces", "us", ours, theirs, "<= 0.5",
                       "reference: the process \"ip route add\" for the same route"));
  // SIGTERM first, so a profiler around the service can write its data.
  service.Signal(SIGTERM);
  service.WaitForExit(std::chrono::seconds(30));
  return report.Finish(argc, argv);
}

}  // namespace
}  // namespace bench
}  // namespace vortan

int main(int argc, char** argv) { return vortan::bench::GuardedMain(vortan::bench::Main, argc, argv); }
