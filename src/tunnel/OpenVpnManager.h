#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tunnel/ChildProgram.h"
#include "tunnel/ManagementChannel.h"
#include "tunnel/TunnelClient.h"
#include "tunnel/TunnelOwnership.h"
#include "platform/CallerIdentity.h"

namespace vortan {

class RequestParser;
class STunnelManager;

// Controller of the OpenVPN program: one per process, built in the entry function.
class OpenVpnManager {
 public:
  // Reads the settings, draws the management and stunnel endpoints.
  OpenVpnManager();
  // Shuts OpenVPN and stunnel down.
  virtual ~OpenVpnManager();
  OpenVpnManager(const OpenVpnManager&) = delete;
  OpenVpnManager& operator=(const OpenVpnManager&) = delete;

  // The reply to "start": args is the request after its first five characters. A
  // tunnel that starts relays its notifications to client, once its reply gate opens.
  std::string Start(const std::string& args, TunnelClient& client);
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

  int ManagementPort() const { return managementPort_; }
  std::uint32_t ManagementAddress() const { return managementAddress_; }
  int StunnelPort() const { return stunnelPort_; }
  std::uint32_t StunnelAddress() const { return stunnelAddress_; }
  // Identifier of the OpenVPN process launched last; 0 when none is tracked.
  std::uint32_t ProcessId() const;

 private:
  std::string StartTunnel(const std::string& args, TunnelClient& client);
  static void RefuseWordsOfTheWrongKind(const RequestParser& request);
  void PointOpenVpnAtStunnel(RequestParser* request) const;
  void ShutDownPreviousProcess();
  void RestartStunnel(const std::string& configPath);
  void StartListenThread(TunnelClient& client, const ManagementChannel& channel, std::uint32_t processId);
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
