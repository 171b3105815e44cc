#include "tunnel/OpenVpnManager.h"

#include <algorithm>
#include <ctime>
#include <optional>
#include <stdexcept>
#include <thread>

#include "tunnel/ChildProgram.h"
#include "tunnel/ConfigManager.h"
#include "common/FileWriter.h"
#include "settings/IniFile.h"
#include "common/Ipv4.h"
#include "common/Logging.h"
#include "tunnel/OpenVpnConfigManager.h"
#include "settings/Paths.h"
#include "protocol/RequestParser.h"
#include "tunnel/STunnelConfigManager.h"
#include "tunnel/STunnelManager.h"
#include "protocol/StartRequestWords.h"
#include "common/Text.h"
#include "tunnel/TunnelBroadcast.h"
#include "tunnel/TunnelFileCopies.h"
#include "app/VortanVpnService.h"
#include "platform/Interfaces.h"
#include "platform/Programs.h"
#include "platform/Threads.h"

namespace vortan {
namespace {

const char* const kAnnouncement = "Coucou I'm a Vortan client";
const char* const kExitingSuffix = ",EXITING,exit-with-notification,,";
constexpr int kManagementRetries = 5;
constexpr auto kReplyWait = std::chrono::milliseconds(1000);
constexpr auto kPauseAfterShutdown = std::chrono::milliseconds(2000);
constexpr auto kListenerPoll = std::chrono::milliseconds(10);
const char* const kUnknownUser = "Cannot tell which local user sent the request: nothing was written";
// The adapter the client asks for; any other name must be new, so that OpenVPN
// creates the interface instead of taking over one that exists.
const char* const kTunnelAdapter = "Vortan-Dashlet";

// OpenVPN and stunnel run as root: they read root-only copies of their configuration,
// which the requesting user cannot change between their writing and their reading.
const char* const kPrivateDirectory = "../run";
const char* const kPrivateOpenVpnConfig = "vortanclient.ovpn";
const char* const kPrivateStunnelConfig = "stunnel.conf";

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

std::string PrivateDirectory() { return ResolveBesideExecutable(kPrivateDirectory); }

// Sleeps up to pause, ending early once the management channel is open: OpenVPN
// opens it some tens of milliseconds after its launch.
void WaitForManagementListener(const ManagementChannel& channel, std::chrono::milliseconds pause) {
  const auto deadline = std::chrono::steady_clock::now() + pause;
  while (std::chrono::steady_clock::now() < deadline) {
    if (ManagementChannelOpen(channel)) return;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        kListenerPoll, deadline - std::chrono::steady_clock::now()));
  }
}

std::string UnixTimeText() { return std::to_string(static_cast<long long>(std::time(nullptr))); }

std::string StateName(const std::string& value) {
  std::vector<std::string> fields = SplitFields(value, ",");
  return fields.size() > 1 ? fields[1] : std::string();
}

void AnnounceTunnel(const std::string& value) {
  CLOG(INFO, loggers::kOpenVpnManager) << "CONNECTED";
  std::vector<std::string> fields = SplitFields(value, ",");
  if (fields.size() < 4) {
    CLOG(ERROR, loggers::kOpenVpnManager) << "Cannot find the tunnel address in state :" << value;
    return;
  }
  const std::string& tunnelAddress = fields[3];
  const std::string broadcast = OpenVpnManager::GetBroadCastAddress(tunnelAddress);
  if (broadcast.empty()) {
    CLOG(ERROR, loggers::kOpenVpnManager) << "Cannot find interface with address :" << tunnelAddress;
    return;
  }
  TunnelBroadcast broadcaster(broadcast);
  CLOG(DEBUG, loggers::kOpenVpnManager) << "tunnelBroadcaster created !";
  try {
    broadcaster.SendBroadcast(kAnnouncement);
    CLOG(DEBUG, loggers::kOpenVpnManager) << "packet sent through the tunnel";
  } catch (const std::exception&) {
    CLOG(ERROR, loggers::kOpenVpnManager) << "Cannot Send packet through the tunnel";
  }
}

void SendCommand(Socket& management, const std::string& command) {
  management.SendLine(command);
  CLOG(DEBUG, loggers::kOpenVpnManager) << "Management Interface S: " << command;
}

void HandleNotificationLine(const std::string& line, ManagementDialogue* dialogue, Socket& management,
                            Socket& client) {
  const std::string::size_type colon = line.find(':');
  if (colon != std::string::npos) {
    if (OpenVpnManager::Notify(line.substr(1, colon - 1), line.substr(colon + 1), client)) {
      dialogue->exitingRelayed = true;
    }
  }
  const std::string type = line.substr(1, colon == std::string::npos ? std::string::npos : colon - 1);
  if (type != "HOLD") return;
  // OpenVPN holds again after every restart (connection, proxy or TLS failure,
  // ping-restart); once the first hold is released, every later one is released too.
  SendCommand(management, dialogue->holdReleased ? "hold release" : "state on");
}

void HandleResponseLine(const std::string& line, ManagementDialogue* dialogue, Socket& management) {
  if (!Contains(line, "SUCCESS:")) return;
  if (!dialogue->logOnSent) {
    dialogue->logOnSent = true;
    SendCommand(management, "log on");
  } else if (!dialogue->holdReleaseSent) {
    dialogue->holdReleaseSent = true;
    SendCommand(management, "hold release");
  } else {
    dialogue->holdReleased = true;
  }
}

// Relays until the management connection ends; true when the client was told that the
// tunnel is exiting.
bool RelayManagementLines(Socket& management, Socket& client) {
  ManagementDialogue dialogue;
  for (;;) {
    const std::string line = management.ReceiveLine();
    if (line.empty()) return dialogue.exitingRelayed;
    HandleManagementLine(line, &dialogue, management, client);
  }
}

}  // namespace

void HandleManagementLine(const std::string& line, ManagementDialogue* dialogue, Socket& management, Socket& client) {
  CLOG(DEBUG, loggers::kOpenVpnManager) << "Management Interface R: " << line;
  if (!line.empty() && line[0] == '>') {
    HandleNotificationLine(line, dialogue, management, client);
  } else {
    HandleResponseLine(line, dialogue, management);
  }
}

std::chrono::milliseconds ManagementRetryPause(int) { return std::chrono::milliseconds(500); }

bool FindTunnelAdapterEntry(std::uint32_t target, const std::vector<platform::Adapter>& adapters,
                            TunnelAdapterEntry* entry) {
  for (const auto& adapter : adapters) {
    for (const auto& address : adapter.addresses) {
      if (address.address == 0 || address.mask == 0) continue;
      if (address.address != target) continue;
      *entry = TunnelAdapterEntry{adapter.name, address.address, address.mask};
      return true;
    }
  }
  return false;
}

std::string BroadcastAddressText(std::uint32_t address, std::uint32_t mask) {
  return FormatDotted(address | ~mask);
}

OpenVpnManager::OpenVpnManager() {
  registerLoggers();
  const IniFile settings = ReadSettings();
  // OpenVPN's management interface takes orders without a password: like the service's
  // own listener it must never be reachable from the network.
  managementAddress_ = DrawLoopbackAddress(settings.getBindRange(), loggers::kOpenVpnManager);
  managementPort_ = Socket::GetFreePort(managementAddress_, settings.getVpnManagementPorts());
  stunnelAddress_ = DrawLoopbackAddress(settings.getBindRange(), loggers::kOpenVpnManager);
  stunnelPort_ = Socket::GetFreePort(stunnelAddress_, settings.getStunnelProxyPorts());
  stunnel_ = std::make_unique<STunnelManager>();
}

OpenVpnManager::~OpenVpnManager() {
  Shutdown();
  stunnel_.reset();
}

std::uint32_t OpenVpnManager::ProcessId() const {
  std::lock_guard<std::mutex> lock(lifecycleMutex_);
  return openVpn_.Id();
}

std::string OpenVpnManager::Start(const std::string& args, SessionStart& session) {
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
  if (auto refusal = ForeignTunnelRefusalLocked(session.caller, "start")) return *refusal;
  std::string answer;
  try {
    return StartTunnel(args, session);
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

std::string OpenVpnManager::StartTunnel(const std::string& args, SessionStart& session) {
  RequestParser request(args);
  // Words end up as lines of configuration files: a control character could add lines.
  if (request.HasControlCharacter()) throw RequestParser::BadArgumentException();
  RefuseWordsOfTheWrongKind(request);
  if (!session.caller) {
    const std::string answer = ErrorAnswer(0, kUnknownUser);
    CLOG(DEBUG, loggers::kOpenVpnManager) << answer;
    return answer;
  }
  const platform::CallerIdentity& caller = *session.caller;
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
  // The copies are the service's own: the client cannot change them before they are read.
  const FileWriter asService(platform::ServiceIdentity());
  const std::string privateConfigPath =
      copies.Write(asService, PrivateDirectory(), kPrivateOpenVpnConfig, &privateFiles_);
  if (qbr) RestartStunnel(stunnelCopies->Write(asService, PrivateDirectory(), kPrivateStunnelConfig, &privateFiles_));
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
  StartListenThread(session, channel, processId);
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

void OpenVpnManager::StartListenThread(SessionStart& session, const ManagementChannel& channel,
                                       std::uint32_t processId) {
  auto gate = std::make_shared<ReplyGate>();
  auto info = std::make_unique<OpenVpnListenThreadStartupInfo>(
      OpenVpnListenThreadStartupInfo{session.connection, channel, processId, gate});
  OpenVpnListenThreadStartupInfo* record = info.get();
  std::uint64_t threadId = 0;
  const int error = platform::StartDetachedThread([record] { Listen(record); }, 0, &threadId);
  if (error != 0) {
    CLOG(DEBUG, loggers::kOpenVpnManager) << "LISTEN Thread creation failed:" << error;
    return;
  }
  info.release();  // the thread owns the record now
  session.replyGate = gate;
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

void OpenVpnManager::Listen(OpenVpnListenThreadStartupInfo* record) {
  std::unique_ptr<OpenVpnListenThreadStartupInfo> info(record);
  const std::string threadName = "openvpn-" + PointerText(record);
  NameThread(threadName);
  // The reply to "start" goes first: nothing is relayed to the client before it.
  if (info->replyGate) info->replyGate->WaitOpen(kReplyWait);
  const std::string endpoint = info->managementChannel.Text();
  int retriesLeft = kManagementRetries;
  bool connected = false;
  for (int attempt = 1;; ++attempt) {
    try {
      CLOG(DEBUG, loggers::kOpenVpnManager) << threadName << "Opening socket on " << endpoint;
      std::unique_ptr<LocalSocketClient> connection = ConnectManagementChannel(info->managementChannel);
      LocalSocketClient& management = *connection;
      connected = true;
      CLOG(DEBUG, loggers::kOpenVpnManager) << threadName << "socket open on " << endpoint;
      // Only the OpenVPN launched for this tunnel may receive the dialogue and feed
      // the client notifications (the channel is root's; this guards against a
      // process of root's own taking it).
      if (!ManagementEndpointBelongsTo(management, info->processId)) {
        CLOG(ERROR, loggers::kOpenVpnManager) << "The management endpoint " << endpoint
                                              << " is not held by OpenVPN (PID=" << info->processId
                                              << "), disconnecting";
        management.Close();
        info->clientConnection.SendLine("> STATE: " + UnixTimeText() + kExitingSuffix);
        break;
      }
      const bool exitingRelayed = RelayManagementLines(management, info->clientConnection);
      CLOG(DEBUG, loggers::kOpenVpnManager) << "Management Interface Connection closed (no more data)";
      // The client must always learn that its tunnel ended, also when OpenVPN was
      // killed or its exit text is not one that Notify recognises.
      if (!exitingRelayed) info->clientConnection.SendLine("> STATE: " + UnixTimeText() + kExitingSuffix);
      break;
    } catch (const std::exception& error) {
      if (retriesLeft-- > 0 && !connected) {
        CLOG(DEBUG, loggers::kOpenVpnManager) << "Management Interface Connection failed : exception ("
                                              << error.what() << "). Sleeping 500ms and retrying";
        WaitForManagementListener(info->managementChannel, ManagementRetryPause(attempt));
        continue;
      }
      CLOG(DEBUG, loggers::kOpenVpnManager) << "Management Interface Connection closed : exception: "
                                            << error.what();
      info->clientConnection.SendLine("> STATE: 00000000 ,EXITING,exit-with-notification,,");
      break;
    } catch (...) {
      CLOG(DEBUG, loggers::kOpenVpnManager) << "Management Interface Connection closed :  no more info on exception";
      info->clientConnection.SendLine("> STATE: 000000000,EXITING,exit-with-notification,,");
      break;
    }
  }
  info.reset();
  CLOG(DEBUG, loggers::kOpenVpnManager) << "LISTEN Thread closed";
}

bool OpenVpnManager::Notify(const std::string& type, const std::string& value, Socket& clientConnection) {
  clientConnection.SendLine("> " + type + ": " + value);
  bool exiting = type == "STATE" && StateName(value) == "EXITING";
  if (type == "STATE" && Contains(value, "CONNECTED,SUCCESS")) AnnounceTunnel(value);
  if (Contains(value, "SIGTERM received")) {
    const std::vector<std::string> fields = SplitFields(value, ",");
    clientConnection.SendLine("> STATE: " + fields[0] + kExitingSuffix);
    exiting = true;
  }
  return exiting;
}

bool ManagementEndpointBelongsTo(const LocalSocketClient& management, std::uint32_t processId) {
  return processId != 0 && management.PeerProcess() == processId;
}

std::string OpenVpnManager::GetBroadCastAddress(const std::string& tunnelAddress) {
  const std::uint32_t target = InetAddr(tunnelAddress);
  platform::Route route;
  const std::uint32_t interfaceIndex = platform::BestRoute(target, &route).Succeeded() ? route.interfaceIndex : 0;
  CLOG(DEBUG, loggers::kOpenVpnManager) << "Interface found for [" << tunnelAddress << "(" << target
                                        << ")] : " << interfaceIndex;
  std::vector<platform::Adapter> adapters;
  const platform::Error error = platform::ListAdapters(&adapters);
  if (error.Failed()) {
    CLOG(ERROR, loggers::kOpenVpnManager) << "Cannot get Adapter Info : code " << error.Code();
    return std::string();
  }
  TunnelAdapterEntry entry;
  if (!FindTunnelAdapterEntry(target, adapters, &entry)) {
    CLOG(ERROR, loggers::kOpenVpnManager) << "Cannot find address in adapter info ";
    return std::string();
  }
  CLOG(DEBUG, loggers::kOpenVpnManager) << "interface name  :" << entry.adapterName;
  CLOG(DEBUG, loggers::kOpenVpnManager) << "address :" << FormatDotted(entry.address);
  CLOG(DEBUG, loggers::kOpenVpnManager) << "netMask :" << FormatDotted(entry.mask);
  const std::string broadcast = BroadcastAddressText(entry.address, entry.mask);
  CLOG(DEBUG, loggers::kOpenVpnManager) << "broadcast address :" << broadcast;
  return broadcast;
}

}  // namespace vortan
