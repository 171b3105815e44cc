// The request path of the service under Windows with Windows-shaped data: this program
// is the service's core (run with /console, it is the service) linked with an owner
// table of its own, installed in a folder named "Société" beside a stand-in openvpn.exe
// that speaks the start of the management dialogue, and driven over loopback.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../WindowsTestSupport.h"
#include "TestCommon.h"
#include "app/VortanVpnService.h"
#include "common/StatusReply.h"
#include "platform/windows/NativeIdentity.h"
#include "platform/windows/TcpOwnerTable.h"
#include "platform/windows/WideText.h"

namespace fs = std::filesystem;

// --- The owner table of the service under test ------------------------------------
// Wine names no owner of any socket: here every connection belongs to a process of the
// service's own user, started long before its socket, with a token to impersonate.
namespace platform {
namespace {

class ClientProcess : public HeldProcess {
 public:
  int User(std::optional<CallerIdentity>* user) override {
    HANDLE primary = nullptr;
    HANDLE impersonation = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &primary)) return 5;
    const BOOL duplicated = ::DuplicateTokenEx(primary, TOKEN_QUERY | TOKEN_IMPERSONATE | TOKEN_DUPLICATE, nullptr,
                                               SecurityImpersonation, TokenImpersonation, &impersonation);
    ::CloseHandle(primary);
    return duplicated ? IdentityOfToken(impersonation, user) : 5;
  }
  int CreatedAt(std::uint64_t* time) override {
    *time = 1;
    return 0;
  }
  bool IsServiceChild() override { return false; }
};

// The stand-in OpenVPN records the management port it listens on: its sockets there are
// its own, so that the service's check of the channel's far end finds the process it
// launched.
std::map<int, std::uint32_t> StandInManagementPorts() {
  std::map<int, std::uint32_t> owners;
  const wchar_t* record = ::_wgetenv(L"STANDIN_RECORD");
  if (record == nullptr) return owners;
  std::ifstream lines{fs::path(record)};
  std::string line;
  int port = 0;
  unsigned long process = 0;
  while (std::getline(lines, line)) {
    if (std::sscanf(line.c_str(), "MANAGEMENT:%d:%lu", &port, &process) == 2) {
      owners[port] = static_cast<std::uint32_t>(process);
    }
  }
  return owners;
}

class ClientTable : public TcpOwnerTable {
 public:
  int ReadRows(std::vector<TcpOwnerRow>* rows) override {
    const std::map<int, std::uint32_t> standIns = StandInManagementPorts();
    // Wine lists the host's connections, which may be many thousands: the buffer grows
    // to the size the system asks for.
    std::vector<unsigned char> buffer;
    DWORD size = 64 * 1024;
    DWORD result = ERROR_INSUFFICIENT_BUFFER;
    while (result == ERROR_INSUFFICIENT_BUFFER) {
      buffer.resize(size);
      result = ::GetExtendedTcpTable(buffer.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0);
    }
    if (result != NO_ERROR) return static_cast<int>(result);
    const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
    rows->clear();
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
      const MIB_TCPROW_OWNER_PID& entry = table->table[i];
      const int localPort = ntohs(static_cast<u_short>(entry.dwLocalPort));
      const auto standIn = standIns.find(localPort);
      rows->push_back({entry.dwLocalAddr, localPort, entry.dwRemoteAddr,
                       ntohs(static_cast<u_short>(entry.dwRemotePort)), entry.dwState,
                       standIn != standIns.end() ? standIn->second : kClient, 2});
    }
    return 0;
  }
  int HoldProcess(std::uint32_t, std::unique_ptr<HeldProcess>* process) override {
    *process = std::make_unique<ClientProcess>();
    return 0;
  }

 private:
  static constexpr std::uint32_t kClient = 4242;
};

}  // namespace

TcpOwnerTable& SystemTcpOwnerTable() {
  static ClientTable table;
  return table;
}

}  // namespace platform

namespace vortan {
namespace {

std::string Utf8(const fs::path& path) { return path.u8string(); }

// The installed tree under "Société", with this program as the service and the stand-in
// as OpenVPN; removed with everything in it.
class InstalledTree {
 public:
  InstalledTree() : root_(top_.WidePath(L"Soci\u00e9t\u00e9")) {
    for (const wchar_t* folder : {L"bin", L"conf", L"logs", L"log"}) fs::create_directories(root_ / folder);
    wchar_t self[MAX_PATH + 1];
    const fs::path program(std::wstring(self, ::GetModuleFileNameW(nullptr, self, MAX_PATH + 1)));
    fs::copy_file(program, root_ / L"bin" / L"VortanVpnService.exe");
    fs::copy_file(program.parent_path() / L"stand_in_openvpn.exe", root_ / L"bin" / L"openvpn.exe");
    const fs::path templates = fs::u8path(VORTAN_SOURCE_DIR) / "conf" / "windows";
    for (const char* name : {"VortanClient.ovpn", "VortanClientStunnel.ovpn", "stunnel.conf"}) {
      fs::copy_file(templates / name, root_ / L"conf" / name);
    }
    // The settings are read: the service listens in the port range they name.
    test::WriteFile(Utf8(root_ / L"conf" / L"VortanVpnService.ini"), "vortanvpnserviceport = 47300-47399\n");
  }
  const fs::path& Root() const { return root_; }
  // A client folder with the certificate and key files a start reads at its prefix.
  std::string ClientPrefix(const std::wstring& folder) const {
    const fs::path directory = top_.WidePath(folder);
    fs::create_directories(directory);
    for (const char* name : {"x_ca.crt", "x_client.crt", "x_client.key"}) {
      test::WriteFile(Utf8(directory / name), "material\n");
    }
    return Utf8(directory / L"x_");
  }

 private:
  test::ScratchDirectory top_;
  fs::path root_;
};

// The service started with /console from the tree, ended by its handle; the stand-in
// OpenVPN ends with it (it runs in the service's job).
class ServiceUnderTest {
 public:
  explicit ServiceUnderTest(const InstalledTree& tree) {
    record_ = Utf8(tree.Root() / L"launches.txt");
    ::SetEnvironmentVariableW(L"STANDIN_STOP_EVENT", L"VortanOpenVpnExitEvent");
    ::SetEnvironmentVariableW(L"STANDIN_RECORD", platform::Utf8ToWide(record_).c_str());
    const fs::path bin = tree.Root() / L"bin";
    std::wstring line = L"\"" + (bin / L"VortanVpnService.exe").wstring() + L"\" /console";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, bin.c_str(), &startup,
                         &started)) {
      ::CloseHandle(started.hThread);
      process_ = started.hProcess;
    }
    portUsed_ = Utf8(tree.Root() / L"conf" / L"portused.txt");
  }
  ~ServiceUnderTest() { End(); }
  void End() {
    if (process_ == nullptr) return;
    ::TerminateProcess(process_, 9);
    ::WaitForSingleObject(process_, 10000);
    ::CloseHandle(process_);
    process_ = nullptr;
  }
  bool WaitForEndpoint(test::Endpoint* endpoint) const {
    return process_ != nullptr && test::WaitUntil([&] { return test::ParsePortUsed(test::ReadFile(portUsed_), endpoint); },
                                                  std::chrono::seconds(60));
  }
  std::string Launches() const { return test::ReadFile(record_); }

 private:
  HANDLE process_ = nullptr;
  std::string portUsed_;
  std::string record_;
};

const std::string kBadArguments = test::Untimed(MakeResponse(false, false, 0, "Dashlet sent wrong request arguments"));

struct Row {
  const char* name;
  std::wstring clientFolder;  // empty: the prefix is written in the request itself
  std::string prefixWord;     // %P stands for the client prefix
  bool accepted;
};

std::string Replace(std::string text, const std::string& prefix) {
  const std::size_t at = text.find("%P");
  if (at != std::string::npos) text.replace(at, 2, prefix);
  return text;
}

TEST(WindowsScenarios, StartRequestsOfWindowsClients) {
  InstalledTree tree;
  ServiceUnderTest service(tree);
  test::Endpoint endpoint;
  ASSERT_TRUE(service.WaitForEndpoint(&endpoint)) << "no portused.txt under the non-ASCII install folder";
  EXPECT_TRUE(fs::exists(tree.Root() / L"logs" / L"vortanVpnService.log")) << "no log under the non-ASCII folder";
  EXPECT_GE(endpoint.port, 47300) << "settings under the non-ASCII folder not read";
  EXPECT_LE(endpoint.port, 47399);
  const Row rows[] = {
      {"backslash prefix", L"client", "%P", true},
      {"quoted prefix with a blank", L"client files", "\"%P\"", true},
      {"non-ASCII prefix", L"Jos\u00e9", "%P", true},
      {"second start with one prefix", L"client", "%P", true},
      {"UNC prefix", L"", "\\\\server\\share\\x_", false},
      {"device prefix", L"", "\\\\.\\pipe\\x_", false},
  };
  test::LineClient client(endpoint);
  ASSERT_EQ(client.ReadLine() + "\n", test::kWelcome);
  DWORD openVpn = 0;  // the stand-in OpenVPN of the last start
  for (const Row& row : rows) {
    const std::string prefix = row.clientFolder.empty() ? std::string() : tree.ClientPrefix(row.clientFolder);
    const std::string reply = client.Ask("start gw1 443 " + Replace(row.prefixWord, prefix) +
                                         " Vortan-Dashlet udp adaptive");
    if (!row.accepted) {
      EXPECT_EQ(test::Untimed(reply), kBadArguments) << row.name;
      continue;
    }
    if (reply != "OK") {
      ADD_FAILURE() << row.name << ": " << reply << "\n"
                    << test::ReadFile(Utf8(tree.Root() / L"logs" / L"vortanVpnService.log"));
      continue;
    }
    // The client's own copy is written at its prefix, and OpenVPN gets the management
    // password through the service's private copy under the non-ASCII install folder.
    EXPECT_TRUE(test::FileExists(prefix + "vortanclient.ovpn")) << row.name;
    EXPECT_TRUE(test::WaitUntil([&] { return service.Launches().find("PASSWORD:ok") != std::string::npos; },
                                std::chrono::seconds(20)))
        << row.name << "\n" << service.Launches();
    const std::string launches = service.Launches();
    const std::size_t pid = launches.find("PID:");
    if (pid != std::string::npos) openVpn = std::stoul(launches.substr(pid + 4));
    test::WriteFile(Utf8(tree.Root() / L"launches.txt"), "");
  }
  // OpenVPN runs in the service's job: however the service ends, OpenVPN ends with it.
  ASSERT_NE(openVpn, 0u);
  HANDLE child = ::OpenProcess(SYNCHRONIZE, FALSE, openVpn);
  ASSERT_NE(child, nullptr);
  service.End();
  EXPECT_EQ(::WaitForSingleObject(child, 10000), WAIT_OBJECT_0);
  ::CloseHandle(child);
}

}  // namespace
}  // namespace vortan

// Run with /console, this program is the service (its core with the table above);
// otherwise it runs the table.
int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "/console") return vortan::ServiceEntry(argc, argv);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
