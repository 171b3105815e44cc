#include "TunnelWorld.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace vortan {
namespace test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const char* const kServerAddress = "192.0.2.1";
const char* const kTunnelBroadcast = "10.8.0.255";
const int kOpenVpnPort = 1194;
const int kStunnelServerPort = 443;
const int kAuthProxyPort = 3129;
const char* const kProxyUser = "vortan";
const char* const kProxyPassword = "s3cret";

namespace {

const char* const kClientAddress = "192.0.2.2";
const char* const kClientNameServer = "198.51.100.53";
// kProxyUser:kProxyPassword as a Basic Proxy-Authorization header carries them (base64).
const char* const kProxyCredentials = "dm9ydGFuOnMzY3JldA==";
// Fixed names are safe inside namespaces of our own.
const char* const kServerVeth = "vsrv0";
const char* const kClientVeth = "vcli0";

constexpr auto kServerStartTimeout = 15s;
const char* const kOpenVpnReady = "Initialization Sequence Completed";

void MustShell(const std::string& command) {
  std::string output;
  if (Shell(command + " 2>&1", &output) != 0) throw std::runtime_error(command + " failed: " + output);
}

std::string IpProgram() {
  for (const char* candidate : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
    if (access(candidate, X_OK) == 0) return candidate;
  }
  throw std::runtime_error("ip not found");
}

// Both OpenVPN servers share one segment through the bridge; each hands out addresses
// from its own part of the pool.
std::string OpenVpnServerConfig(const std::string& name, const std::string& protocol, const std::string& pool) {
  std::ostringstream text;
  text << "proto " << protocol << "\n"
       << "local " << kServerAddress << "\n"
       << "port " << kOpenVpnPort << "\n"
       << "dev tap" << name << "\n"
       << "dev-type tap\n"
       << "server-bridge 10.8.0.1 255.255.255.0 " << pool << "\n"
       << "duplicate-cn\n"
       << "ca ca.crt\ncert server.crt\nkey server.key\ndh none\n"
       << "keepalive 2 10\n"
       // A route to the client's name server, which the client must not keep, and one
       // it keeps.
       << "push \"route " << kClientNameServer << " 255.255.255.255\"\n"
       << "push \"route 203.0.113.0 255.255.255.0\"\n"
       << "push \"dhcp-option DNS 10.8.0.1\"\npush \"dhcp-option DOMAIN lab.example\"\n"
       << (protocol == "udp" ? "explicit-exit-notify 1\n" : "")
       << "verb 3\n"
       << "log server-" << name << ".log\n";
  return text.str();
}

// A small certificate authority with a server and a client certificate (EC keys),
// generated with openssl for this run.
void WritePki(const std::string& dir) {
  const std::string extensions =
      "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyAgreement\nextendedKeyUsage=";
  WriteFile(dir + "/server.ext", extensions + "serverAuth\n");
  WriteFile(dir + "/client.ext", extensions + "clientAuth\n");
  std::string script = "set -e; cd " + dir +
                       "; openssl ecparam -name prime256v1 -genkey -noout -out ca.key"
                       "; openssl req -new -x509 -key ca.key -out ca.crt -days 2 -subj /CN=vortan-test-ca";
  for (const char* role : {"server", "client"}) {
    const std::string name = role;
    script += "; openssl ecparam -name prime256v1 -genkey -noout -out " + name + ".key" +
              "; openssl req -new -key " + name + ".key -out " + name + ".csr -subj /CN=vortan-" + name +
              "; openssl x509 -req -in " + name + ".csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -out " +
              name + ".crt -extfile " + name + ".ext";
  }
  MustShell(script);
}

}  // namespace

TempDirectory::TempDirectory(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDirectory::~TempDirectory() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

NamespacedProgram::NamespacedProgram(const NetworkNamespace& ns, const std::vector<std::string>& argv,
                                     const std::string& directory) {
  // "ip netns exec" joins the namespace and executes the program in the same process.
  std::vector<std::string> arguments = {"netns", "exec", ns.Name()};
  arguments.insert(arguments.end(), argv.begin(), argv.end());
  const platform::Error error = process_.Launch(launcher_, {IpProgram(), arguments, directory});
  if (error.Failed()) throw std::runtime_error("cannot start " + argv.front() + ": " + std::to_string(error.Code()));
}

NamespacedProgram::~NamespacedProgram() { Stop(); }

bool NamespacedProgram::Running() { return process_.Tracked() && !process_.WaitForExit(0ms); }

void NamespacedProgram::Stop() {
  if (!process_.Tracked()) return;
  process_.RequestExit();
  if (process_.WaitForExit(3s)) return;
  process_.Kill();
  process_.WaitForExit(5s);
}

bool ServerSide::ReceiveAnnouncement(Datagram* datagram, std::chrono::milliseconds timeout) {
  pollfd entry{announcementFd_, POLLIN, 0};
  if (poll(&entry, 1, static_cast<int>(timeout.count())) <= 0) return false;
  char payload[2048];
  char control[256];
  iovec vector{payload, sizeof payload};
  msghdr message{};
  message.msg_iov = &vector;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t count = recvmsg(announcementFd_, &message, 0);
  if (count < 0) return false;
  datagram->payload.assign(payload, static_cast<std::size_t>(count));
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level != IPPROTO_IP || header->cmsg_type != IP_PKTINFO) continue;
    in_pktinfo info;
    std::memcpy(&info, CMSG_DATA(header), sizeof info);
    char text[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &info.ipi_addr, text, sizeof text);
    datagram->destination = text;
  }
  return true;
}

ServerSide::ServerSide() {
  WritePki(dir_.Path());
  BuildNetwork();
  WriteConfigurations();
  StartAll();
  ns_.Run([this] {
    announcementFd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (announcementFd_ < 0) throw std::runtime_error("udp socket");
    int on = 1;
    setsockopt(announcementFd_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    // Bound to the wildcard address: a socket bound to a unicast address does not see
    // subnet broadcasts.
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(1234);
    if (bind(announcementFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      throw std::runtime_error("cannot bind the announcement listener");
    }
  });
}

ServerSide::~ServerSide() {
  if (announcementFd_ >= 0) close(announcementFd_);
}

void ServerSide::BuildNetwork() {
  ns_.MustIp("link add br0 type bridge");
  ns_.MustIp("addr add 10.8.0.1/24 brd + dev br0");
  ns_.MustIp("link set br0 up");
  for (const char* tap : {"tapudp", "taptcp"}) {
    ns_.AddTap(tap);
    ns_.MustIp(std::string("link set ") + tap + " master br0");
    ns_.MustIp(std::string("link set ") + tap + " up");
  }
  // The client end moves to the client's namespace when the client side is built.
  ns_.MustIp(std::string("link add ") + kServerVeth + " type veth peer name " + kClientVeth);
  ns_.MustIp(std::string("addr add ") + kServerAddress + "/24 dev " + kServerVeth);
  ns_.MustIp(std::string("link set ") + kServerVeth + " up");
}

void ServerSide::DepositClientFiles(const std::string& prefix) const {
  for (const char* file : {"ca.crt", "client.crt", "client.key"}) {
    fs::copy_file(dir_.Path() + "/" + file, prefix + file, fs::copy_options::overwrite_existing);
  }
}

void ServerSide::WriteConfigurations() {
  WriteFile(dir_.Path() + "/udp.conf", OpenVpnServerConfig("udp", "udp", "10.8.0.100 10.8.0.149"));
  WriteFile(dir_.Path() + "/tcp.conf", OpenVpnServerConfig("tcp", "tcp-server", "10.8.0.150 10.8.0.199"));
  std::ostringstream stunnel;
  stunnel << "foreground = yes\npid =\noutput = stunnel-server.log\ndebug = 5\n"
          << "[vpn]\naccept = " << kServerAddress << ":" << kStunnelServerPort << "\n"
          << "connect = " << kServerAddress << ":" << kOpenVpnPort << "\n"
          << "cert = server.crt\nkey = server.key\n";
  WriteFile(dir_.Path() + "/stunnel-server.conf", stunnel.str());
}

// A server program, started once its log (written afresh) shows it ready.
std::unique_ptr<NamespacedProgram> ServerSide::Start(const std::vector<std::string>& argv,
                                                     const std::string& log, const std::string& ready) {
  const std::string path = dir_.Path() + "/" + log;
  std::error_code ignored;
  fs::remove(path, ignored);
  auto program = std::make_unique<NamespacedProgram>(ns_, argv, dir_.Path());
  if (!WaitUntil([&] { return ReadFile(path).find(ready) != std::string::npos; }, kServerStartTimeout)) {
    throw std::runtime_error(argv.front() + " (" + log + ") did not start: " + ReadFile(path));
  }
  return program;
}

void ServerSide::StartAll() {
  udpServer_ = Start({"openvpn", "--config", "udp.conf"}, "server-udp.log", kOpenVpnReady);
  tcpServer_ = Start({"openvpn", "--config", "tcp.conf"}, "server-tcp.log", kOpenVpnReady);
  stunnelServer_ =
      Start({"stunnel4", "stunnel-server.conf"}, "stunnel-server.log", "Configuration successful");
  authProxy_ = Start({VORTAN_CONNECT_PROXY, kServerAddress, std::to_string(kAuthProxyPort), "proxy-auth.log",
                      kProxyCredentials},
                     "proxy-auth.log", "LISTENING");
}

void ServerSide::RestartUdpServer() {
  udpServer_.reset();
  udpServer_ = Start({"openvpn", "--config", "udp.conf"}, "server-udp.log", kOpenVpnReady);
}

std::string ServerSide::AuthProxyLog() const { return ReadFile(dir_.Path() + "/proxy-auth.log"); }

ClientSide::ClientSide(const ServerSide* server, Options options) {
  if (server != nullptr) {
    server->Namespace().MustIp(std::string("link set ") + kClientVeth + " netns " + ns_.Name());
    ns_.MustIp(std::string("addr add ") + kClientAddress + "/24 dev " + kClientVeth);
    ns_.MustIp(std::string("link set ") + kClientVeth + " up");
    ns_.WriteResolvConf(std::string("nameserver ") + kClientNameServer + "\n");
  }
  if (options.withOpenVpn) fs::create_symlink("/usr/sbin/openvpn", layout_.Bin() + "/openvpn");
  if (options.withStunnel) {
    fs::create_directories(layout_.Bin() + "/stunnel");
    fs::create_symlink("/usr/bin/stunnel4", layout_.Bin() + "/stunnel/stunnel");
  }
  fs::create_directories(layout_.Root() + "/client");
  prefix_ = layout_.Root() + "/client/x_";
  if (server != nullptr) server->DepositClientFiles(prefix_);
}

ClientSide::~ClientSide() {
  StopService();
  if (notifyFd_ >= 0) close(notifyFd_);
}

// The service runs as a service (not in the console) so that a termination signal
// stops it the way the service manager does, OpenVPN and stunnel included. Its state
// notifications go to a datagram socket nobody reads.
void ClientSide::StartService() {
  const std::string notifyPath = layout_.Root() + "/notify.sock";
  if (notifyFd_ < 0) notifyFd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, notifyPath.c_str(), sizeof address.sun_path - 1);
  if (!fs::exists(notifyPath) && bind(notifyFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("cannot bind " + notifyPath);
  }
  std::vector<std::string> environment{"NOTIFY_SOCKET=" + notifyPath};
  if (!systemBus_.empty()) environment.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + systemBus_);
  service_ = std::make_unique<ServiceProcess>(layout_, std::vector<std::string>{}, ns_.ExecWrapper(), environment);
  if (!service_->WaitForEndpoint(&endpoint_)) throw std::runtime_error("the service did not publish its endpoint");
}

std::unique_ptr<LineClient> ClientSide::Connect() const {
  std::unique_ptr<LineClient> client = ns_.Connect(endpoint_);
  if (!client->Connected()) throw std::runtime_error("cannot connect to the service");
  client->ReadLine();  // the welcome line
  return client;
}

std::string ClientSide::StartRequest(const std::string& protocol, int port, const std::string& proxyWords) const {
  std::string request = std::string("start ") + kServerAddress + " " + std::to_string(port) + " " + prefix_ +
                        " Vortan-Dashlet " + protocol + " adaptive";
  if (!proxyWords.empty()) request += " " + proxyWords;
  return request;
}

std::vector<std::uint32_t> ClientSide::LaunchedOpenVpnPids() const {
  std::vector<std::uint32_t> pids;
  const std::string log = layout_.LogText();
  const std::regex launched("process launched\\. pid:([0-9]+)");
  for (auto it = std::sregex_iterator(log.begin(), log.end(), launched); it != std::sregex_iterator(); ++it) {
    pids.push_back(static_cast<std::uint32_t>(std::stoul((*it)[1])));
  }
  return pids;
}

std::vector<std::uint32_t> ClientSide::ProcessesInNamespace() const {
  std::string output;
  RunCommand({"ip", "netns", "pids", ns_.Name()}, &output);
  std::vector<std::uint32_t> pids;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty()) pids.push_back(static_cast<std::uint32_t>(std::stoul(line)));
  }
  return pids;
}

std::pair<std::size_t, std::size_t> ClientSide::ServiceThreadsAndDescriptors() const {
  const std::string proc = "/proc/" + std::to_string(service_->Pid());
  const auto count = [](const std::string& directory) {
    std::error_code error;
    const auto entries = std::filesystem::directory_iterator(directory, error);
    return error ? 0 : static_cast<std::size_t>(std::distance(begin(entries), end(entries)));
  };
  return {count(proc + "/task"), count(proc + "/fd")};
}

void ClientSide::KillService() {
  service_->Signal(SIGKILL);
  service_->WaitForExit(5s);
  service_.reset();
  // The next start is known by the endpoint it publishes, not the dead one's.
  fs::remove(layout_.Conf() + "/portused.txt");
}

std::vector<std::uint32_t> ClientSide::StopService() {
  if (service_) {
    service_->Signal(SIGTERM);
    service_->WaitForExit(15s);
    service_.reset();  // kills it if it did not stop
  }
  // stunnel is asked to exit without a wait: give it a moment.
  WaitUntil([&] { return ProcessesInNamespace().empty(); }, 3s);
  const std::vector<std::uint32_t> left = ProcessesInNamespace();
  // Whatever the service left behind in our namespace was started by this test.
  for (std::uint32_t pid : left) kill(static_cast<pid_t>(pid), SIGKILL);
  WaitUntil([&] { return ProcessesInNamespace().empty(); }, 5s);
  return left;
}

bool ReadUntil(LineClient& client, const std::function<bool(const std::string&)>& done,
               std::vector<std::string>* lines, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    const std::string line = client.ReadLine(left);
    if (line.empty() || line.back() != '\n') return false;
    const std::string text = line.substr(0, line.size() - 1);
    if (lines != nullptr) lines->push_back(text);
    if (done(text)) return true;
  }
}

bool ProcessGone(std::uint32_t pid) { return !FileExists("/proc/" + std::to_string(pid)); }

}  // namespace test
}  // namespace vortan
