#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tunnel/ChildProgram.h"
#include "tunnel/ManagementChannel.h"
#include "protocol/TunnelAccess.h"
#include "platform/CallerIdentity.h"
#include "platform/HostNetwork.h"
#include "protocol/ReplyGate.h"
#include "common/socket.h"

namespace vortan {

struct SessionStart;
class RequestParser;
class STunnelManager;

// What a listen thread gets: its own share of the client's connection and the
// management channel. Owned and released by the thread.
struct OpenVpnListenThreadStartupInfo {
  Socket clientConnection;
  ManagementChannel managementChannel;
  std::uint32_t processId;  // the OpenVPN that must be listening on the channel
  std::shared_ptr<ReplyGate> replyGate = nullptr;  // opened when the session's reply is sent
};

// The address entry of the host's adapters that carries a tunnel address.
struct TunnelAdapterEntry {
  std::string adapterName;
  std::uint32_t address = 0;  // network byte order
  std::uint32_t mask = 0;
};

// The first entry, adapters and their addresses in list order, whose address equals
// target; entries with a zero address or mask never match. False when none does.
bool FindTunnelAdapterEntry(std::uint32_t target, const std::vector<platform::Adapter>& adapters,
                            TunnelAdapterEntry* entry);

// The subnet's broadcast address, address OR NOT mask, in dotted decimal.
std::string BroadcastAddressText(std::uint32_t address, std::uint32_t mask);

// Pause before the given retry (1 for the first) of the management connection.
std::chrono::milliseconds ManagementRetryPause(int retry);

// The state of one management connection: the start-up dialogue moves only forward.
struct ManagementDialogue {
  bool logOnSent = false;
  bool holdReleaseSent = false;
  bool holdReleased = false;
  bool exitingRelayed = false;
};

// One line from OpenVPN's management interface: notifications are relayed to the
// client (and acted on), responses move the start-up dialogue on.
void HandleManagementLine(const std::string& line, ManagementDialogue* dialogue, Socket& management, Socket& client);

// True when the far end of a management connection was opened by that process.
bool ManagementEndpointBelongsTo(const LocalSocketClient& management, std::uint32_t processId);

// Controller of the OpenVPN program: one per process, built in the entry function.
class OpenVpnManager {
 public:
  // Reads the settings, draws the management and stunnel endpoints.
  OpenVpnManager();
  // Shuts OpenVPN and stunnel down.
  virtual ~OpenVpnManager();
  OpenVpnManager(const OpenVpnManager&) = delete;
  OpenVpnManager& operator=(const OpenVpnManager&) = delete;

  // The reply to "start": args is the request after its first five characters.
  std::string Start(const std::string& args, SessionStart& session);
  // Closes the tunnel; returns when it is closed (or after a bounded wait).
  void Shutdown();
  // "shutdown" for a caller: the error reply (logged) when the running tunnel belongs
  // to another user, else closes the tunnel and gives nothing.
  std::optional<std::string> ShutdownFor(const CallerId& caller);
  // The user whose "start" launched the running tunnel; nothing when none runs.
  std::optional<platform::CallerIdentity> TunnelOwner();
  // Closes the tunnel for good, at exit: later Start calls are refused, so no OpenVPN
  // or stunnel outlives the service. Sessions may go on calling Start and Shutdown.
  void Retire();

  // The listen thread's body: management dialogue and relaying to the client.
  static void Listen(OpenVpnListenThreadStartupInfo* info);
  // Relays one notification and reacts to it; true when it told the client that the
  // tunnel is exiting.
  static bool Notify(const std::string& type, const std::string& value, Socket& clientConnection);
  // The broadcast address of the adapter carrying tunnelAddress; empty when unknown.
  static std::string GetBroadCastAddress(const std::string& tunnelAddress);

  int ManagementPort() const { return managementPort_; }
  std::uint32_t ManagementAddress() const { return managementAddress_; }
  int StunnelPort() const { return stunnelPort_; }
  std::uint32_t StunnelAddress() const { return stunnelAddress_; }
  // Identifier of the OpenVPN process launched last; 0 when none is tracked.
  std::uint32_t ProcessId() const;

 private:
  std::string StartTunnel(const std::string& args, SessionStart& session);
  static void RefuseWordsOfTheWrongKind(const RequestParser& request);
  void PointOpenVpnAtStunnel(RequestParser* request) const;
  void ShutDownPreviousProcess();
  void RestartStunnel(const std::string& configPath);
  void StartListenThread(SessionStart& session, const ManagementChannel& channel, std::uint32_t processId);
  void ShutdownLocked();
  bool TunnelRunningLocked();
  std::optional<std::string> ForeignTunnelRefusalLocked(const CallerId& caller, const std::string& command);
  std::optional<std::string> DeviceRefusalLocked(const std::string& device);
  int LaunchOpenVpn(const std::string& configPath, const std::string& workingDirectory);
  static const ChildProgramTexts& OpenVpnTexts();

  int managementPort_ = 0;
  std::uint32_t managementAddress_ = 0;
  int stunnelPort_ = 0;
  std::uint32_t stunnelAddress_ = 0;
  // Serialises Start and Shutdown: two clients starting at once would otherwise lose
  // track of an OpenVPN process.
  mutable std::mutex lifecycleMutex_;
  bool retired_ = false;
  ChildProgram openVpn_{platform::OpenVpnProgram(), OpenVpnTexts()};
  // The running tunnel: who started it, its adapter and its management channel.
  platform::CallerIdentity owner_ = platform::ServiceIdentity();
  std::string device_;
  ManagementChannel channel_;
  std::uint64_t launches_ = 0;
  std::unique_ptr<STunnelManager> stunnel_;
  // The root-only copies the tracked tunnel reads, removed when it is shut down; under
  // lifecycleMutex_ like the process.
  std::vector<std::string> privateFiles_;
};

}  // namespace vortan
