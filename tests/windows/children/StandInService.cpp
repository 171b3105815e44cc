// A stand-in service for the Windows tests, run by the service control manager through
// the service host seam. It records what it sees in the file named like its executable
// with ".record" appended: "started-by-manager", "handler <error>", "running", each
// control request ("interrogate", "stop"), then "stopped".
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/ServiceHost.h"

namespace {

void Record(const std::string& line) {
  char path[MAX_PATH];
  const std::string record = std::string(path, ::GetModuleFileNameA(nullptr, path, MAX_PATH)) + ".record";
  FILE* file = std::fopen(record.c_str(), "ab");
  if (file == nullptr) return;
  std::fprintf(file, "%s\n", line.c_str());
  std::fclose(file);
}

int ServiceMain() {
  platform::ServiceHost host;
  Record("handler " + std::to_string(host.Error().Code()));
  host.Report(platform::ServiceStatus::kStartPending, "");
  host.Report(platform::ServiceStatus::kRunning, "127.0.0.1:1");
  Record("running");
  // Requests the manager sends meanwhile must wait in the host's queue, not get lost.
  ::Sleep(1000);
  host.DeliverRequests([&host](platform::ServiceRequest request) {
    if (request == platform::ServiceRequest::kInterrogate) {
      Record("interrogate");
      host.Report(platform::ServiceStatus::kRunning, "127.0.0.1:1");
      return;
    }
    Record("stop");
    host.Report(platform::ServiceStatus::kStopPending, "");
    host.StopDelivering();
  });
  Record("stopped");
  host.Report(platform::ServiceStatus::kStopped, "");
  return 0;
}

}  // namespace

int main() {
  if (platform::StartedByServiceManager()) Record("started-by-manager");
  return platform::RunUnderServiceManager("StandInService", ServiceMain);
}
