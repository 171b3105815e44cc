#include "tunnel/OpenVpnManager.h"

#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "tunnel/ChildProgram.h"
#include "tunnel/ConfigManager.h"
#include "common/FileWriter.h"
#include "settings/IniFile.h"
#include "common/Ipv4.h"
#include "common/Logging.h"
#include "common/StatusReply.h"
#include "tunnel/ManagementDialogue.h"
#include "tunnel/OpenVpnConfigManager.h"
#include "common/Paths.h"
#include "tunnel/RequestParser.h"
#include "tunnel/STunnelConfigManager.h"
#include "tunnel/STunnelManager.h"
#include "tunnel/StartRequestWords.h"
#include "common/Text.h"
#include "tunnel/PathWatch.h"
#include "tunnel/TunnelDns.h"
#include "tunnel/TunnelFileCopies.h"
#include "platform/Interfaces.h"
#include "platform/Programs.h"
#include "platform/Threads.h"
#include "routes/RouteLedger.h"

namespace vortan {
namespace {

constexpr auto kPauseAfterShutdown = std::chrono::milliseconds(2000);
// The adapter the client asks for; any other name must be new, so that OpenVPN
// creates the interface instead of taking over one that exists.
const char* const kTunnelAdapter = "Vortan-Dashlet";

bool IsQbrProtocol(const std::string& protocol) {
  return protocol == "zelc" || protocol == "ZELC" || protocol == "qbr" || protocol == "QBR";
}

}  // namespace

OpenVpnManager::OpenVpnManager(const IniFile& settings, RouteLedger& routes, platform::ChildLauncher& launcher)
    : openVpn_(launcher, platform::OpenVpnProgram(), OpenVpnTexts()), routes_(routes) {
  registerLoggers();
  // OpenVPN's management interface takes orders without a password: like the service's
  // own listener it must never be reachable from the network.
  managementAddress_ = DrawLoopbackAddress(settings.getBindRange(), loggers::kOpenVpnManager);
  managementPort_ = Socket::GetFreePort(managementAddress_, settings.getVpnManagementPorts());
  stunnelAddress_ = DrawLoopbackAddress(settings.getBindRange(), loggers::kOpenVpnManager);
  stunnelPort_ = Socket::GetFreePort(stunnelAddress_, settings.getStunnelProxyPorts());
  stunnel_ = std::make_unique<STunnelManager>(launcher, stunnelAddress_, stunnelPort_);
  EnablePushedDns(settings.getApplyPushedDns());
  EnableRestartOnPathChange(settings.getRestartOnNetworkChange());
  RevertLeftoverTunnelDns(kTunnelAdapter);
}

// A start's or a shutdown's turn with the tunnel, taken with the state moved to
// starting or stopping; given back on every way out, with the tunnel that is running
// then (none: idle).
class OpenVpnManager::Turn {
 public:
  explicit Turn(OpenVpnManager& manager) : manager_(manager) {}
  ~Turn() { Give(nullptr, 0); }
  Turn(const Turn&) = delete;
  Turn& operator=(const Turn&) = delete;

  void Give(std::unique_ptr<Tunnel> tunnel, std::uint32_t processId) {
    if (given_) return;
    given_ = true;
    std::lock_guard<std::mutex> lock(manager_.stateMutex_);
    manager_.tunnel_ = std::move(tunnel);
    const TunnelEvent given = manager_.tunnel_ ? TunnelEvent::kGiveRunning : TunnelEvent::kGiveIdle;
    manager_.state_ = NextTunnelStep(manager_.state_, given, {}).next;
    manager_.processId_ = processId;
    if (!manager_.tunnel_) manager_.device_.clear();
    manager_.turnFree_.notify_all();
  }

 private:
  OpenVpnManager& manager_;
  bool given_ = false;
};

OpenVpnManager::Tunnel::~Tunnel() {
  // The worker ends once OpenVPN has gone (its management connection closes with it).
  relay.reset();
  // OpenVPN leaves its socket file behind.
  RemoveManagementChannel(channel);
  RemoveFiles(&privateFiles);
}

OpenVpnManager::~OpenVpnManager() {
  Shutdown();
  stunnel_.reset();
}

std::uint32_t OpenVpnManager::ProcessId() const {
  std::lock_guard<std::mutex> lock(stateMutex_);
  return processId_;
}

std::unique_ptr<FileWriter> OpenVpnManager::ClientWriter(const platform::CallerIdentity& caller) const {
  return std::make_unique<FileWriter>(caller);
}

// Nothing that goes wrong in a start leaves it as an exception: each becomes an
// outcome here.
TunnelOutcome OpenVpnManager::Start(const std::string& args, TunnelClient& client) {
  bool retired = false;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    retired = retired_;
  }
  if (retired) return {TunnelOutcomeKind::kServiceStopping};
  if (managementAddress_ == 0) {
    CLOG(ERROR, loggers::kOpenVpnManager) << "Unable to find a random loopback address for OpenVpn Management";
    return {TunnelOutcomeKind::kNoManagementEndpoint};
  }
  if (managementPort_ == 0) {
    CLOG(DEBUG, loggers::kOpenVpnManager) << "No port Free for OpenVpn Management";
    return {TunnelOutcomeKind::kNoManagementEndpoint};
  }
  if (auto refusal = RefusalForForeignTunnel(client.caller, "start")) return *refusal;
  try {
    return StartTunnel(args, client);
  } catch (const RequestParser::BadArgumentException&) {
    return {TunnelOutcomeKind::kWrongArguments};
  } catch (const std::runtime_error& error) {
    return {TunnelOutcomeKind::kStartError, 0, error.what()};
  } catch (const std::exception& error) {
    return {TunnelOutcomeKind::kStartFailure, 0, error.what()};
  } catch (...) {
    return {TunnelOutcomeKind::kStartFailureUnknown};
  }
}

TunnelOutcome OpenVpnManager::StartTunnel(const std::string& args, TunnelClient& client) {
  RequestParser request(args);
  // Words end up as lines of configuration files: a control character could add lines.
  if (request.HasControlCharacter()) throw RequestParser::BadArgumentException();
  RefuseWordsOfTheWrongKind(request);
  if (!client.caller) return {TunnelOutcomeKind::kUnknownCaller};
  const platform::CallerIdentity& caller = *client.caller;
  if (auto refusal = DeviceRefusal(request.GetDevice())) return *refusal;
  // The files at the client's prefix are written and read with the client's own rights,
  // before the turn is taken: a slow file holds up this start alone.
  const std::unique_ptr<FileWriter> asClient = ClientWriter(caller);
  STunnelConfigManager stunnelConfig(request, stunnelAddress_, stunnelPort_, *asClient);
  const bool qbr = IsQbrProtocol(request.GetProtocol());
  if (qbr) {
    if (!stunnel_->IsInstalled()) return {TunnelOutcomeKind::kQbrNotInstalled};
    PointOpenVpnAtStunnel(&request);
    CLOG(DEBUG, loggers::kOpenVpnManager) << "Using QBR";
  }
  OpenVpnConfigManager openVpnConfig(request, managementAddress_, managementPort_, !qbr, *asClient);
  const std::string configPath = openVpnConfig.GetConfigFilePath();
  CLOG(DEBUG, loggers::kOpenVpnManager) << "Start OpenVPN " << configPath;
  auto tunnel = std::make_unique<Tunnel>();
  tunnel->channel = PrepareManagementChannel(PrivateDirectory(), ++launches_);
  // What OpenVPN will read is read now, with the client's rights, while a failure still
  // leaves the previous tunnel running.
  const TunnelFileCopies copies(openVpnConfig, WithManagementChannel(openVpnConfig.GetConfigText(), tunnel->channel),
                                request, caller);
  std::optional<TunnelFileCopies> stunnelCopies;
  if (qbr) stunnelCopies.emplace(stunnelConfig, DirectoryOf(stunnel_->StunnelPath()), caller);

  std::unique_ptr<Tunnel> previous;
  {
    std::unique_lock<std::mutex> lock(stateMutex_);
    if (auto refusal = TakeTurnLocked(lock, TunnelEvent::kStart, &client.caller)) {
      const platform::CallerIdentity owner = owner_;
      lock.unlock();
      if (*refusal != TunnelOutcomeKind::kForeignTunnel) return {*refusal};
      return ForeignTunnelRefusal(client.caller, owner, "start");
    }
    owner_ = caller;
    device_ = request.GetDevice();
    processId_ = 0;
    previous = std::move(tunnel_);
  }
  Turn turn(*this);
  // Declared after the turn: a start that fails removes its files before giving the
  // turn back, never over the next start's.
  std::unique_ptr<Tunnel> launching = std::move(tunnel);
  // The previous tunnel goes first, so that its shutdown does not stop the stunnel
  // started for the new one, nor remove the new tunnel's copies.
  ShutDownPreviousProcess(std::move(previous));
  routes_.OpenTunnel(launches_, platform::IdentityText(caller));
  const std::string privateConfigPath = copies.WritePrivate(kPrivateOpenVpnConfig, &launching->privateFiles);
  if (qbr) RestartStunnel(stunnelCopies->WritePrivate(kPrivateStunnelConfig, &launching->privateFiles));
  CLOG(INFO, loggers::kOpenVpnManager) << "Connecting to vpn server " << request.GetRemoteHost();
  // OpenVPN runs in the root-only directory: its configuration names only the copies.
  const int error = LaunchOpenVpn(privateConfigPath, PrivateDirectory());
  if (error != 0) return {TunnelOutcomeKind::kLaunchFailed, error};
  const std::uint32_t processId = openVpn_.Id();
  CLOG(DEBUG, loggers::kOpenVpnManager) << "process launched. pid:" << processId;
  std::unique_ptr<LocalSocketClient> management =
      OpenManagementChannel(launching->channel, processId, client.outbox.get());
  if (!management) {
    // An OpenVPN nobody can talk to would hold at its start for ever, and its tunnel
    // would keep an owner: both go.
    StopTunnel(std::move(launching));
    return {TunnelOutcomeKind::kStarted};
  }
  StartRelay(launching.get(), std::move(management), client, request.GetDevice());
  turn.Give(std::move(launching), processId);
  return {TunnelOutcomeKind::kStarted};
}

// Words land in configuration lines: one of the wrong kind could add parameters.
void OpenVpnManager::RefuseWordsOfTheWrongKind(const RequestParser& request) {
  const std::string field = InvalidStartWord(request);
  if (field.empty()) return;
  CLOG(DEBUG, loggers::kOpenVpnManager) << "start refused: the " << field << " word is not of its kind";
  throw RequestParser::BadArgumentException();
}

// stunnel carries the tunnel (and talks to any proxy): OpenVPN connects over TCP to
// its local end.
void OpenVpnManager::PointOpenVpnAtStunnel(RequestParser* request) const {
  request->SetProtocol("tcp");
  request->SetRemoteHost(FormatDotted(stunnelAddress_));
  request->SetRemotePort(std::to_string(stunnelPort_));
  request->SetHasProxy(false);
}

// An OpenVPN that ended on its own is only let go of; one that runs is shut down, and
// the new one waits a moment after it. The pause holds up no other session: it is
// taken with the turn, not under the state's lock.
void OpenVpnManager::ShutDownPreviousProcess(std::unique_ptr<Tunnel> previous) {
  if (!openVpn_.Running()) {
    previous.reset();
    return;
  }
  const std::uint32_t pid = openVpn_.Id();
  StopTunnel(std::move(previous));
  CLOG(DEBUG, loggers::kOpenVpnManager) << "shutdown process pid=" << pid << " before";
  std::this_thread::sleep_for(kPauseAfterShutdown);
  CLOG(DEBUG, loggers::kOpenVpnManager) << "end of delay due to process shutdown";
}

void OpenVpnManager::RestartStunnel(const std::string& configPath) {
  stunnel_->Shutdown();
  stunnel_->Launch(configPath);
}

void OpenVpnManager::StartRelay(Tunnel* tunnel, std::unique_ptr<LocalSocketClient> management, TunnelClient& client,
                                const std::string& device) {
  try {
    tunnel->relay = std::make_unique<ManagementRelay>(std::move(management), client.outbox, device, &routes_);
  } catch (const std::system_error& error) {
    CLOG(DEBUG, loggers::kOpenVpnManager) << "LISTEN Thread creation failed:" << error.code().value();
    return;
  }
  CLOG(DEBUG, loggers::kOpenVpnManager) << "LISTEN Thread " << tunnel->relay->WorkerText()
                                        << " created. Addr:" << PointerText(tunnel->relay.get());
}

const ChildProgramTexts& OpenVpnManager::OpenVpnTexts() {
  static const ChildProgramTexts texts{
      loggers::kOpenVpnManager,
      "CreateProcess retry #%v  ok ",
      "Waiting for OpenVPN to die... (PID=%v)",
      "OpenVPN did not exit, killing it (PID=%v)",
      "Done waiting.",
  };
  return texts;
}

int OpenVpnManager::LaunchOpenVpn(const std::string& configPath, const std::string& workingDirectory) {
  const std::string commandLine = " --config \"" + configPath + "\"";
  return openVpn_.Launch({"--config", configPath}, workingDirectory, commandLine);
}

void OpenVpnManager::Shutdown() {
  std::unique_ptr<Tunnel> running;
  {
    std::unique_lock<std::mutex> lock(stateMutex_);
    TakeTurnLocked(lock, TunnelEvent::kShutdown, nullptr);
    running = std::move(tunnel_);
  }
  Turn turn(*this);
  StopTunnel(std::move(running));
}

TunnelOutcome OpenVpnManager::ShutdownFor(const CallerId& caller) {
  // Refused at once, without waiting for a start or a shutdown under way.
  if (auto refusal = RefusalForForeignTunnel(caller, "shutdown")) return *refusal;
  std::unique_ptr<Tunnel> running;
  {
    std::unique_lock<std::mutex> lock(stateMutex_);
    if (TakeTurnLocked(lock, TunnelEvent::kShutdown, &caller)) {
      const platform::CallerIdentity owner = owner_;
      lock.unlock();
      return ForeignTunnelRefusal(caller, owner, "shutdown");
    }
    running = std::move(tunnel_);
  }
  Turn turn(*this);
  StopTunnel(std::move(running));
  return {TunnelOutcomeKind::kStopped};
}

std::optional<platform::CallerIdentity> OpenVpnManager::TunnelOwner() {
  std::lock_guard<std::mutex> lock(stateMutex_);
  if (!TunnelRunningLocked()) return std::nullopt;
  return owner_;
}

std::string OpenVpnManager::TunnelDevice() {
  std::lock_guard<std::mutex> lock(stateMutex_);
  return TunnelRunningLocked() ? device_ : std::string();
}

// A tunnel whose management connection closed (OpenVPN ended on its own) belongs to
// nobody.
bool OpenVpnManager::TunnelRunningLocked() const { return TunnelHeld(state_, GuardsLocked(nullptr).tunnelEnded); }

// caller null: whoever acts may (the service's own shutdown).
TunnelGuards OpenVpnManager::GuardsLocked(const CallerId* caller) const {
  TunnelGuards guards;
  guards.retired = retired_;
  guards.mayAct = caller == nullptr || MayActOnTunnelOf(*caller, owner_);
  guards.tunnelEnded = !tunnel_ || (tunnel_->relay && tunnel_->relay->Ended());
  return guards;
}

// Only one start or shutdown works on the tunnel at a time; the wait releases the lock.
// The state moves on unless the step refuses.
std::optional<TunnelOutcomeKind> OpenVpnManager::TakeTurnLocked(std::unique_lock<std::mutex>& lock,
                                                                TunnelEvent event, const CallerId* caller) {
  TunnelStep step{state_};
  turnFree_.wait(lock, [&] {
    step = NextTunnelStep(state_, event, GuardsLocked(caller));
    return !step.wait;
  });
  state_ = step.next;
  return step.refusal;
}

// A running tunnel belongs to the user whose "start" launched it: only that user and
// root may stop or replace it.
std::optional<TunnelOutcome> OpenVpnManager::RefusalForForeignTunnel(const CallerId& caller,
                                                                     const std::string& command) {
  std::unique_lock<std::mutex> lock(stateMutex_);
  if (!NextTunnelStep(state_, TunnelEvent::kAsk, GuardsLocked(&caller)).refusal) return std::nullopt;
  const platform::CallerIdentity owner = owner_;
  lock.unlock();
  return ForeignTunnelRefusal(caller, owner, command);
}

// OpenVPN takes over an existing interface of the requested name (and leaves it down
// when it ends): only the tunnel adapter, the running tunnel's own interface or a
// name that is free may be used. OpenVPN cuts longer names, so the cut name counts.
std::optional<TunnelOutcome> OpenVpnManager::DeviceRefusal(const std::string& device) {
  if (device == kTunnelAdapter || (!device.empty() && device == TunnelDevice())) return std::nullopt;
  if (!platform::InterfaceExists(device.substr(0, platform::MaxInterfaceNameLength()))) return std::nullopt;
  return TunnelOutcome{TunnelOutcomeKind::kDeviceInUse, 0, device};
}

void OpenVpnManager::Retire() {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    retired_ = true;
  }
  Shutdown();
}

// OpenVPN is asked to exit the way this system's OpenVPN understands, through the
// process this manager launched and no other; its tunnel's worker, channel and copies
// go with it.
void OpenVpnManager::StopTunnel(std::unique_ptr<Tunnel> tunnel) {
  CLOG(INFO, loggers::kOpenVpnManager) << "Closing VPN connection";
  const int error = openVpn_.Stop();
  if (error != 0) {
    // Logged in the status reply's form; no client is answered.
    CLOG(DEBUG, loggers::kOpenVpnManager) << MakeResponse(false, false, error, "VortanVpnService : Failed to OpenProcess");
    openVpn_.Release();
  }
  tunnel.reset();
  routes_.CloseTunnel();
  stunnel_->Shutdown();
}

}  // namespace vortan
