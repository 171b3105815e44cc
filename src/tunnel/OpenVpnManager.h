#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/FileWriter.h"
#include "tunnel/ChildProgram.h"
#include "tunnel/ManagementChannel.h"
#include "tunnel/ManagementDialogue.h"
#include "tunnel/TunnelClient.h"
#include "tunnel/TunnelOutcome.h"
#include "tunnel/TunnelOwnership.h"
#include "platform/CallerIdentity.h"

namespace vortan {

class RouteLedger;

class IniFile;
class RequestParser;
class STunnelManager;

// Controller of the OpenVPN program: one per process, built by the main loop from the
// settings it read.
//
// The tunnel goes through idle, starting, running and stopping. Its state, its owner
// and its adapter change under a lock that is held for nothing else: never across file
// I/O, sleeps or waits for a child. A start or a shutdown takes its turn by moving the
// state to starting or stopping (waiting, lock released, while another one has the
// turn) and does its work without the lock; so the owner is read at any time without
// waiting for a start. The files at the client's prefix are written and read before
// the turn is taken.
class OpenVpnManager {
 public:
  // Draws the management and stunnel endpoints from the settings; the tunnels' routes
  // are recorded in routes, and OpenVPN and stunnel are started through launcher; both
  // outlive the controller.
  OpenVpnManager(const IniFile& settings, RouteLedger& routes, platform::ChildLauncher& launcher);
  // Shuts OpenVPN and stunnel down.
  virtual ~OpenVpnManager();
  OpenVpnManager(const OpenVpnManager&) = delete;
  OpenVpnManager& operator=(const OpenVpnManager&) = delete;

  // What "start" came to: args is the request after its first five characters. A
  // tunnel that starts relays its notifications through the client's outbox.
  TunnelOutcome Start(const std::string& args, TunnelClient& client);
  // Closes the tunnel; returns when it is closed (or after a bounded wait).
  void Shutdown();
  // "shutdown" for a caller: refused (logged) when the running tunnel belongs to
  // another user, else closes the tunnel.
  TunnelOutcome ShutdownFor(const CallerId& caller);
  // The user whose "start" launched the running tunnel (or is starting one); nothing
  // when none runs. Never waits for a start or a shutdown.
  std::optional<platform::CallerIdentity> TunnelOwner();
  // The running tunnel's adapter as its start named it; empty when none runs. Never
  // waits for a start or a shutdown.
  std::string TunnelDevice();
  // Closes the tunnel for good, at exit: later Start calls are refused, so no OpenVPN
  // or stunnel outlives the service. Sessions may go on calling Start and Shutdown.
  void Retire();

  int ManagementPort() const { return managementPort_; }
  std::uint32_t ManagementAddress() const { return managementAddress_; }
  int StunnelPort() const { return stunnelPort_; }
  std::uint32_t StunnelAddress() const { return stunnelAddress_; }
  // Identifier of the OpenVPN process launched last; 0 when none is tracked.
  std::uint32_t ProcessId() const;

 protected:
  // The writer of the files at the client's prefix, with the client's rights.
  virtual std::unique_ptr<FileWriter> ClientWriter(const platform::CallerIdentity& caller) const;

 private:
  // What one launched OpenVPN holds: its management channel, the root-only copies it
  // reads and its relay worker, all ended and removed with it.
  struct Tunnel {
    Tunnel() = default;
    ~Tunnel();
    Tunnel(const Tunnel&) = delete;
    Tunnel& operator=(const Tunnel&) = delete;
    ManagementChannel channel;
    std::vector<std::string> privateFiles;
    std::unique_ptr<ManagementRelay> relay;
  };
  class Turn;

  TunnelOutcome StartTunnel(const std::string& args, TunnelClient& client);
  static void RefuseWordsOfTheWrongKind(const RequestParser& request);
  void PointOpenVpnAtStunnel(RequestParser* request) const;
  void ShutDownPreviousProcess(std::unique_ptr<Tunnel> previous);
  void RestartStunnel(const std::string& configPath);
  void StartRelay(Tunnel* tunnel, std::unique_ptr<LocalSocketClient> management, TunnelClient& client,
                  const std::string& device);
  void StopTunnel(std::unique_ptr<Tunnel> tunnel);
  bool TunnelRunningLocked() const;
  TunnelGuards GuardsLocked(const CallerId* caller) const;
  std::optional<TunnelOutcomeKind> TakeTurnLocked(std::unique_lock<std::mutex>& lock, TunnelEvent event,
                                                  const CallerId* caller);
  std::optional<TunnelOutcome> RefusalForForeignTunnel(const CallerId& caller, const std::string& command);
  std::optional<TunnelOutcome> DeviceRefusal(const std::string& device);
  int LaunchOpenVpn(const std::string& configPath, const std::string& workingDirectory);
  static const ChildProgramTexts& OpenVpnTexts();

  int managementPort_ = 0;
  std::uint32_t managementAddress_ = 0;
  int stunnelPort_ = 0;
  std::uint32_t stunnelAddress_ = 0;
  std::atomic<std::uint64_t> launches_{0};

  // The tunnel's state, under stateMutex_; turnFree_ is signalled when a start or a
  // shutdown gives its turn back.
  mutable std::mutex stateMutex_;
  std::condition_variable turnFree_;
  TunnelState state_ = TunnelState::kIdle;
  bool retired_ = false;
  // Who started (or is starting) the tunnel and its adapter; the process identifier as
  // ProcessId reports it.
  platform::CallerIdentity owner_ = platform::ServiceIdentity();
  std::string device_;
  std::uint32_t processId_ = 0;
  std::unique_ptr<Tunnel> tunnel_;

  // Used only by whoever has the turn.
  ChildProgram openVpn_;
  std::unique_ptr<STunnelManager> stunnel_;
  RouteLedger& routes_;
};

}  // namespace vortan
