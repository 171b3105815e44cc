#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "NetnsSupport.h"
#include "TestSupport.h"
#include "platform/Processes.h"

// The end-to-end world of the tunnel tests: a "server" namespace with OpenVPN servers
// over UDP and TCP on one bridged 10.8.0.0/24 segment, a stunnel server in front of the
// TCP one, an HTTP CONNECT proxy with credentials and the announcement listener; a
// "client" namespace, joined by a veth pair, where the service runs from a temporary
// installed layout.
namespace vortan {
namespace test {

// Addresses of the world (inside its own namespaces only).
extern const char* const kServerAddress;  // the server end of the veth pair
extern const char* const kTunnelBroadcast;
extern const int kOpenVpnPort;           // UDP and TCP
extern const int kStunnelServerPort;
extern const int kAuthProxyPort;
extern const char* const kProxyUser;
extern const char* const kProxyPassword;

// A scratch directory removed on destruction.
class TempDirectory {
 public:
  explicit TempDirectory(const std::string& prefix);
  ~TempDirectory();
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// A program started inside a namespace; killed (through its process handle) and
// collected on destruction.
class NamespacedProgram {
 public:
  NamespacedProgram(const NetworkNamespace& ns, const std::vector<std::string>& argv, const std::string& directory);
  ~NamespacedProgram();
  NamespacedProgram(const NamespacedProgram&) = delete;
  NamespacedProgram& operator=(const NamespacedProgram&) = delete;
  std::uint32_t Pid() const { return process_.Id(); }
  bool Running();
  // Termination signal and a bounded wait; then the kill signal.
  void Stop();

 private:
  platform::ChildLauncher launcher_;
  platform::Process process_;
};

// One received announcement datagram.
struct Datagram {
  std::string payload;
  std::string destination;  // dotted address the datagram was sent to
};

// The server side: PKI, namespace, bridge, OpenVPN servers, stunnel, proxy and the
// announcement listener. Its programs end in the reverse order of their start.
class ServerSide {
 public:
  ServerSide();
  ~ServerSide();
  const NetworkNamespace& Namespace() const { return ns_; }
  // Copies the CA certificate and the client's certificate and key of the PKI made for
  // this run to prefix + "ca.crt", "client.crt" and "client.key".
  void DepositClientFiles(const std::string& prefix) const;
  // The next datagram that reached the listener (0.0.0.0:1234); false on time-out.
  bool ReceiveAnnouncement(Datagram* datagram, std::chrono::milliseconds timeout);
  // Restarts the UDP OpenVPN server (stopped with its termination signal).
  void RestartUdpServer();
  // The requests the proxy with credentials has recorded.
  std::string AuthProxyLog() const;

 private:
  void BuildNetwork();
  void WriteConfigurations();
  std::unique_ptr<NamespacedProgram> Start(const std::vector<std::string>& argv, const std::string& log,
                                           const std::string& ready);
  void StartAll();

  NetworkNamespace ns_{"vtsrv"};
  TempDirectory dir_{"vortan-tunsrv"};
  std::unique_ptr<NamespacedProgram> udpServer_;
  std::unique_ptr<NamespacedProgram> tcpServer_;
  std::unique_ptr<NamespacedProgram> stunnelServer_;
  std::unique_ptr<NamespacedProgram> authProxy_;
  int announcementFd_ = -1;
};

// The client side: a namespace joined to the server's by a veth pair, and an installed
// layout of the service with the real OpenVPN and stunnel beside it.
class ClientSide {
 public:
  struct Options {
    bool withOpenVpn = true;
    bool withStunnel = true;
  };
  // server: null for a client namespace without a network (no tunnel possible).
  ClientSide(const ServerSide* server, Options options);
  ~ClientSide();

  const NetworkNamespace& Namespace() const { return ns_; }
  InstalledLayout& Layout() { return layout_; }
  // Starts the service, as a service with a stand-in for the service manager, inside
  // the namespace and waits for its endpoint.
  void StartService();
  // The D-Bus system bus the service is started with (default: the host's).
  void UseSystemBus(const std::string& address) { systemBus_ = address; }
  // A new connection to the service, with the welcome line already read.
  std::unique_ptr<LineClient> Connect() const;
  // The per-connection prefix (with the CA, certificate and key deposited).
  const std::string& Prefix() const { return prefix_; }
  // "start" arguments for a tunnel to the world's server.
  std::string StartRequest(const std::string& protocol, int port, const std::string& proxyWords = "") const;
  // Identifiers the service logged for its launched OpenVPN processes, in order.
  std::vector<std::uint32_t> LaunchedOpenVpnPids() const;
  // Processes still living in the client namespace.
  std::vector<std::uint32_t> ProcessesInNamespace() const;
  // The service's threads and open descriptors.
  std::pair<std::size_t, std::size_t> ServiceThreadsAndDescriptors() const;
  // Ends the service with the kill signal, as a crash would, and collects it.
  void KillService();
  // Stops the service (termination signal, bounded wait), then ends anything it left
  // behind in the namespace; returns what it left.
  std::vector<std::uint32_t> StopService();

 private:
  NetworkNamespace ns_{"vtcli"};
  std::string systemBus_;
  InstalledLayout layout_{true};
  std::string prefix_;
  std::unique_ptr<ServiceProcess> service_;
  Endpoint endpoint_;
  int notifyFd_ = -1;
};

// Lines read until one satisfies the predicate (included); false on time-out.
bool ReadUntil(LineClient& client, const std::function<bool(const std::string&)>& done,
               std::vector<std::string>* lines, std::chrono::milliseconds timeout);

bool ProcessGone(std::uint32_t pid);

}  // namespace test
}  // namespace vortan
