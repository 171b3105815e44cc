#include "tunnel/OpenVpnManager.h"

#include <optional>
#include <stdexcept>
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
#include "tunnel/TunnelFileCopies.h"
#include "platform/Interfaces.h"
#include "platform/Programs.h"
#include "platform/Threads.h"

namespace vortan {
namespace {

constexpr auto kPauseAfterShutdown = std::chrono::milliseconds(2000);
const char* const kUnknownUser = "Cannot tell which local user sent the request: nothing was written";
// The adapter the client asks for; any other name must be new, so that OpenVPN
// creates the interface instead of taking over one that exists.
const char* const kTunnelAdapter = "Vortan-Dashlet";

bool IsQbrProtocol(const std::string& protocol) {
  return protocol == "zelc" || protocol == "ZELC" || protocol == "qbr" || protocol == "QBR";
}

std::string ErrorAnswer(int code, const std::string& message) { return MakeResponse(false, false, code, message); }

// A malformed settings file must not stop the service: its error is logged and the
// built-in defaults apply.
IniFile ReadSettings() {
  const std::string path = ResolveBesideExecutable(paths::kSettings);
  try {
    return IniFile(path);
  } catch (const std::runtime_error& error) {
    CLOG(ERROR, loggers::kOpenVpnManager) << error.what();
    // A path that names no file gives the defaults.
    return IniFile(std::string());
  }
}

}  // namespace

OpenVpnManager::OpenVpnManager() {
  registerLoggers();
  const IniFile settings = ReadSettings();
  // OpenVPN's management interface takes orders without a password: like the service's
  // own listener it must never be reachable from the network.
  managementAddress_ = DrawLoopbackAddress(settings.getBindRange(), loggers::kOpenVpnManager);
  managementPort_ = Socket::GetFreePort(managementAddress_, settings.getVpnManagementPorts());
  stunnelAddress_ = DrawLoopbackAddress(settings.getBindRange(), loggers::kOpenVpnManager);
  stunnelPort_ = Socket::GetFreePort(stunnelAddress_, settings.getStunnelProxyPorts());
  stunnel_ = std::make_unique<STunnelManager>(stunnelAddress_, stunnelPort_);
}

OpenVpnManager::~OpenVpnManager() {
  Shutdown();
  stunnel_.reset();
}

std::uint32_t OpenVpnManager::ProcessId() const {
  std::lock_guard<std::mutex> lock(lifecycleMutex_);
  return openVpn_.Id();
}

std::string OpenVpnManager::Start(const std::string& args, TunnelClient& client) {
  std::lock_guard<std::mutex> lock(lifecycleMutex_);
  if (retired_) {
    const std::string answer = ErrorAnswer(0, "The service is stopping");
    CLOG(DEBUG, loggers::kOpenVpnManager) << answer;
    return answer;
  }
  if (managementAddress_ == 0) {
    CLOG(ERROR, loggers::kOpenVpnManager) << "Unable to find a random loopback address for OpenVpn Management";
    return std::string();
  }
  if (managementPort_ == 0) {
    CLOG(DEBUG, loggers::kOpenVpnManager) << "No port Free for OpenVpn Management";
    return std::string();
  }
  if (auto refusal = ForeignTunnelRefusalLocked(client.caller, "start")) return *refusal;
  std::string answer;
  try {
    return StartTunnel(args, client);
  } catch (const RequestParser::BadArgumentException&) {
    answer = ErrorAnswer(0, "Dashlet sent wrong request arguments");
  } catch (const std::runtime_error& error) {
    answer = ErrorAnswer(0, error.what());
  } catch (const std::exception& error) {
    answer = ErrorAnswer(0, std::string("Failed to launch process. : ") + error.what());
  } catch (...) {
    answer = ErrorAnswer(0, "Failed to launch process. (No additional info) ");
  }
  CLOG(DEBUG, loggers::kOpenVpnManager) << answer;
  return answer;
}

std::string OpenVpnManager::StartTunnel(const std::string& args, TunnelClient& client) {
  RequestParser request(args);
  // Words end up as lines of configuration files: a control character could add lines.
  if (request.HasControlCharacter()) throw RequestParser::BadArgumentException();
  RefuseWordsOfTheWrongKind(request);
  if (!client.caller) {
    const std::string answer = ErrorAnswer(0, kUnknownUser);
    CLOG(DEBUG, loggers::kOpenVpnManager) << answer;
    return answer;
  }
  const platform::CallerIdentity& caller = *client.caller;
  if (auto refusal = DeviceRefusalLocked(request.GetDevice())) return *refusal;
  // The files at the client's prefix are written with the client's own rights.
  const FileWriter asClient(caller);
  STunnelConfigManager stunnelConfig(request, stunnelAddress_, stunnelPort_, asClient);
  const bool qbr = IsQbrProtocol(request.GetProtocol());
  if (qbr) {
    if (!stunnel_->IsInstalled()) {
      const std::string answer = ErrorAnswer(0, "QBR not installed ");
      CLOG(DEBUG, loggers::kOpenVpnManager) << answer;
      return answer;
    }
    PointOpenVpnAtStunnel(&request);
    CLOG(DEBUG, loggers::kOpenVpnManager) << "Using QBR";
  }
  OpenVpnConfigManager openVpnConfig(request, managementAddress_, managementPort_, !qbr, asClient);
  const std::string configPath = openVpnConfig.GetConfigFilePath();
  CLOG(DEBUG, loggers::kOpenVpnManager) << "Start OpenVPN " << configPath;
  const ManagementChannel channel = PrepareManagementChannel(PrivateDirectory(), ++launches_);
  // What OpenVPN will read is read now, with the client's rights, while a failure still
  // leaves the previous tunnel running.
  const TunnelFileCopies copies(openVpnConfig, WithManagementChannel(openVpnConfig.GetConfigText(), channel),
                                request, caller);
  std::optional<TunnelFileCopies> stunnelCopies;
  if (qbr) stunnelCopies.emplace(stunnelConfig, DirectoryOf(stunnel_->StunnelPath()), caller);
  // The previous tunnel goes first, so that its shutdown does not stop the stunnel
  // started for the new one, nor remove the new tunnel's copies.
  ShutDownPreviousProcess();
  const std::string privateConfigPath = copies.WritePrivate(kPrivateOpenVpnConfig, &privateFiles_);
  if (qbr) RestartStunnel(stunnelCopies->WritePrivate(kPrivateStunnelConfig, &privateFiles_));
  CLOG(INFO, loggers::kOpenVpnManager) << "Connecting to vpn server " << request.GetRemoteHost();
  // OpenVPN runs in the root-only directory: its configuration names only the copies.
  const int error = LaunchOpenVpn(privateConfigPath, PrivateDirectory());
  if (error != 0) {
    RemoveFiles(&privateFiles_);
    const std::string answer = ErrorAnswer(error, "Failed to launch process.");
    CLOG(DEBUG, loggers::kOpenVpnManager) << answer;
    return answer;
  }
  const std::uint32_t processId = openVpn_.Id();
  CLOG(DEBUG, loggers::kOpenVpnManager) << "process launched. pid:" << processId;
  owner_ = caller;
  device_ = request.GetDevice();
  channel_ = channel;
  StartListenThread(client, channel, processId);
  return "OK";
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

void OpenVpnManager::ShutDownPreviousProcess() {
  if (!openVpn_.Tracked()) return;
  const std::uint32_t previous = openVpn_.Id();
  ShutdownLocked();
  CLOG(DEBUG, loggers::kOpenVpnManager) << "shutdown process pid=" << previous << " before";
  std::this_thread::sleep_for(kPauseAfterShutdown);
  CLOG(DEBUG, loggers::kOpenVpnManager) << "end of delay due to process shutdown";
}

void OpenVpnManager::RestartStunnel(const std::string& configPath) {
  stunnel_->Shutdown();
  stunnel_->Launch(configPath);
}

void OpenVpnManager::StartListenThread(TunnelClient& client, const ManagementChannel& channel,
                                       std::uint32_t processId) {
  auto gate = std::make_shared<ReplyGate>();
  auto info = std::make_unique<OpenVpnListenThreadStartupInfo>(
      OpenVpnListenThreadStartupInfo{client.connection, channel, processId, gate});
  OpenVpnListenThreadStartupInfo* record = info.get();
  std::uint64_t threadId = 0;
  const int error = platform::StartDetachedThread([record] { Listen(record); }, 0, &threadId);
  if (error != 0) {
    CLOG(DEBUG, loggers::kOpenVpnManager) << "LISTEN Thread creation failed:" << error;
    return;
  }
  info.release();  // the thread owns the record now
  client.replyGate = gate;
  const std::string recordText = PointerText(record);
  CLOG(DEBUG, loggers::kOpenVpnManager) << "LISTEN Thread " << threadId << " created. Addr:" << recordText;
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
  std::lock_guard<std::mutex> lock(lifecycleMutex_);
  ShutdownLocked();
}

std::optional<std::string> OpenVpnManager::ShutdownFor(const CallerId& caller) {
  std::lock_guard<std::mutex> lock(lifecycleMutex_);
  if (auto refusal = ForeignTunnelRefusalLocked(caller, "shutdown")) return refusal;
  ShutdownLocked();
  return std::nullopt;
}

std::optional<platform::CallerIdentity> OpenVpnManager::TunnelOwner() {
  std::lock_guard<std::mutex> lock(lifecycleMutex_);
  if (!TunnelRunningLocked()) return std::nullopt;
  return owner_;
}

// A tunnel runs while the OpenVPN launched last runs; one that ended on its own
// belongs to nobody any more.
bool OpenVpnManager::TunnelRunningLocked() {
  return openVpn_.Running();
}

// A running tunnel belongs to the user whose "start" launched it: only that user and
// root may stop or replace it.
std::optional<std::string> OpenVpnManager::ForeignTunnelRefusalLocked(const CallerId& caller,
                                                                      const std::string& command) {
  if (!TunnelRunningLocked() || MayActOnTunnelOf(caller, owner_)) return std::nullopt;
  return ForeignTunnelRefusal(caller, owner_, command);
}

// OpenVPN takes over an existing interface of the requested name (and leaves it down
// when it ends): only the tunnel adapter, the running tunnel's own interface or a
// name that is free may be used. OpenVPN cuts longer names, so the cut name counts.
std::optional<std::string> OpenVpnManager::DeviceRefusalLocked(const std::string& device) {
  if (device == kTunnelAdapter || (TunnelRunningLocked() && device == device_)) return std::nullopt;
  if (!platform::InterfaceExists(device.substr(0, platform::MaxInterfaceNameLength()))) return std::nullopt;
  const std::string answer = ErrorAnswer(0, "The device " + device + " is an existing interface: only " +
                                                kTunnelAdapter + " or a new interface may be used");
  CLOG(WARNING, loggers::kOpenVpnManager) << answer;
  return answer;
}

void OpenVpnManager::Retire() {
  std::lock_guard<std::mutex> lock(lifecycleMutex_);
  retired_ = true;
  ShutdownLocked();
}

// OpenVPN is asked to exit the way this system's OpenVPN understands, through the
// process this manager launched and no other.
void OpenVpnManager::ShutdownLocked() {
  CLOG(INFO, loggers::kOpenVpnManager) << "Closing VPN connection";
  const int error = openVpn_.Stop();
  if (error != 0) {
    const std::string answer = ErrorAnswer(error, "VortanVpnService : Failed to OpenProcess");
    CLOG(DEBUG, loggers::kOpenVpnManager) << answer;
    openVpn_.Release();
  }
  // OpenVPN leaves its socket file behind.
  if (!channel_.socketPath.empty()) RemoveManagementChannel(channel_);
  channel_ = ManagementChannel{};
  device_.clear();
  stunnel_->Shutdown();
  RemoveFiles(&privateFiles_);
}

}  // namespace vortan
