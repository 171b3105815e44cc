// OpenVPN and stunnel never outlive the service: a child dies with it however it ends,
// and a start ends what an earlier instance recorded and left, and empties run/.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "TestSupport.h"

namespace vortan {
namespace test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Running, and not a zombie waiting for whoever adopted it.
bool Alive(pid_t pid) {
  const std::string stat = FileExists("/proc/" + std::to_string(pid)) ? ReadFile("/proc/" + std::to_string(pid) + "/stat") : "";
  const std::size_t nameEnd = stat.rfind(')');
  return nameEnd != std::string::npos && stat.compare(nameEnd + 2, 1, "Z") != 0;
}

std::string StartTime(pid_t pid) {
  std::istringstream fields(ReadFile("/proc/" + std::to_string(pid) + "/stat").substr(
      ReadFile("/proc/" + std::to_string(pid) + "/stat").rfind(')') + 2));
  std::string field;
  for (int index = 3; index <= 22; ++index) fields >> field;
  return field;
}

TEST(Children, DieWhenTheServiceIsKilled) {
  InstalledLayout layout(true);
  WriteFile(layout.Bin() + "/openvpn", OpenVpnStandInScript());
  fs::permissions(layout.Bin() + "/openvpn", fs::perms(0755));
  const std::string prefix = layout.Root() + "/x_";
  for (const char* name : {"ca.crt", "client.crt", "client.key"}) WriteFile(prefix + name, "content\n");
  ServiceProcess service(layout);
  Endpoint endpoint;
  ASSERT_TRUE(service.WaitForEndpoint(&endpoint));
  LineClient client(endpoint);
  client.ReadLine();
  ASSERT_EQ(Untimed(client.Ask("start 192.0.2.1 1194 " + prefix + " Vortan-Dashlet udp adaptive")), "OK");
  // The service's record of its running children names the stand-in.
  pid_t child = 0;
  ASSERT_TRUE(WaitUntil([&] {
    std::istringstream record(ReadFile(layout.Root() + "/run/children.txt"));
    return static_cast<bool>(record >> child);
  }, 5s));
  ASSERT_TRUE(Alive(child));

  service.Signal(SIGKILL);
  EXPECT_TRUE(WaitUntil([&] { return !Alive(child); }, 1s));
  if (Alive(child)) kill(child, SIGKILL);
}

struct LeftoverRow {
  const char* name;
  bool sameStartTime;
  bool configInRun;
  bool ended;
};

// Leftovers of an instance that could not stop them (an older version, a kill before
// they were marked to die with it), as its record names them.
TEST(Children, AStartEndsOnlyTheRecordedProgramsOfItsOwnRunDirectory) {
  const LeftoverRow rows[] = {
      {"recorded", true, true, true},
      {"identifier reused since", false, true, false},
      {"configuration elsewhere", true, false, false},
  };
  InstalledLayout layout(true);
  const std::string program = layout.Bin() + "/openvpn";
  fs::copy_file("/bin/sh", program);
  const std::string run = layout.Root() + "/run";
  fs::create_directory(run);
  fs::permissions(run, fs::perms::owner_all);
  WriteFile(run + "/auth.txt", "secret\n");
  const std::string resolved = fs::canonical(program).string();
  std::string record;
  std::vector<pid_t> leftovers;
  for (const LeftoverRow& row : rows) {
    const std::string config = (row.configInRun ? run : layout.Root()) + "/x.ovpn";
    const pid_t pid = fork();
    if (pid == 0) {
      execl(program.c_str(), program.c_str(), "-c", "while :; do sleep 1; done", "--config", config.c_str(), nullptr);
      _exit(127);
    }
    leftovers.push_back(pid);
    ASSERT_TRUE(WaitUntil([&] { return ReadFile("/proc/" + std::to_string(pid) + "/cmdline").find("--config") != std::string::npos; }, 2s));
    const std::string start = row.sameStartTime ? StartTime(pid) : std::to_string(std::stoull(StartTime(pid)) + 1);
    record += std::to_string(pid) + " " + start + " " + resolved + "\n";
  }
  WriteFile(run + "/children.txt", record);

  {
    ServiceProcess service(layout);
    Endpoint endpoint;
    ASSERT_TRUE(service.WaitForEndpoint(&endpoint));
    for (std::size_t index = 0; index < leftovers.size(); ++index) {
      EXPECT_EQ(Alive(leftovers[index]), !rows[index].ended) << rows[index].name;
    }
    EXPECT_FALSE(FileExists(run + "/auth.txt"));
    EXPECT_TRUE(fs::is_directory(run));
  }
  for (pid_t pid : leftovers) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

}  // namespace
}  // namespace test
}  // namespace vortan
