#include "OpenVpnManager.h"

#include <algorithm>
#include <ctime>
#include <optional>
#include <stdexcept>
#include <thread>

#include "ConfigManager.h"
#include "IniFile.h"
#include "Ipv4.h"
#include "Logging.h"
#include "OpenVpnConfigManager.h"
#include "Paths.h"
#include "RequestParser.h"
#include "STunnelConfigManager.h"
#include "STunnelManager.h"
#include "StartRequestWords.h"
#include "Text.h"
#include "TunnelBroadcast.h"
#include "TunnelFileCopies.h"
#include "VortanVpnService.h"
#include "platform/Files.h"
#include "platform/SocketOwner.h"
#include "platform/Threads.h"

namespace vortan {
namespace {

const char* const kOpenVpnProgram = "openvpn";
const char* const kAnnouncement = "Coucou I'm a Vortan client";
const char* const kExitingSuffix = ",EXITING,exit-with-notification,,";
constexpr int kLaunchAttempts = 3;
constexpr int kManagementRetries = 5;
constexpr auto kExitWait = std::chrono::milliseconds(5000);
constexpr auto kKillWait = std::chrono::milliseconds(2000);
constexpr auto kPauseAfterShutdown = std::chrono::milliseconds(2000);
constexpr auto kListenerPoll = std::chrono::milliseconds(10);
constexpr auto kAcceptWait = std::chrono::milliseconds(2000);
const char* const kUnknownUser = "Cannot tell which local user sent the request: nothing was written";

// OpenVPN and stunnel run as root: they read root-only copies of their configuration,
// which the requesting user cannot change between their writing and their reading.
const char* const kPrivateDirectory = "../run";
const char* const kPrivateOpenVpnConfig = "vortanclient.ovpn";
const char* const kPrivateStunnelConfig = "stunnel.conf";

std::chrono::milliseconds LaunchPause(int attempt) { return std::chrono::milliseconds(500 * (attempt - 1)); }

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

// Sleeps up to pause, ending early once something listens on the management
// endpoint: OpenVPN opens it some tens of milliseconds after its launch.
void WaitForManagementListener(std::uint32_t address, int port, std::chrono::milliseconds pause) {
  const auto deadline = std::chrono::steady_clock::now() + pause;
  while (std::chrono::steady_clock::now() < deadline) {
    if (platform::IsTcpListening(address, port)) return;
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
  managementAddress_ = HostToNet(settings.getBindRange().randomAddress());
  managementPort_ = Socket::GetFreePort(managementAddress_, settings.getVpnManagementPorts());
  stunnelAddress_ = HostToNet(settings.getBindRange().randomAddress());
  stunnelPort_ = Socket::GetFreePort(stunnelAddress_, settings.getStunnelProxyPorts());
  stunnel_ = std::make_unique<STunnelManager>();
}

OpenVpnManager::~OpenVpnManager() {
  Shutdown();
  stunnel_.reset();
}

std::uint32_t OpenVpnManager::ProcessId() const {
  std::lock_guard<std::mutex> lock(lifecycleMutex_);
  return process_.Id();
}

std::string OpenVpnManager::Start(const std::string& args, SessionStart& session) {
  std::lock_guard<std::mutex> lock(lifecycleMutex_);
  if (managementAddress_ == 0) {
    CLOG(ERROR, loggers::kOpenVpnManager) << "Unable to find a random loopback address for OpenVpn Management";
    return std::string();
  }
  if (managementPort_ == 0) {
    CLOG(DEBUG, loggers::kOpenVpnManager) << "No port Free for OpenVpn Management";
    return std::string();
  }
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
  std::uint32_t uid = 0;
  if (!FindRequestingUser(session.connection, &uid)) {
    const std::string answer = ErrorAnswer(0, kUnknownUser);
    CLOG(DEBUG, loggers::kOpenVpnManager) << answer;
    return answer;
  }
  // The files at the client's prefix are written with the client's own rights.
  std::optional<platform::WriteAsUser> asClient;
  if (uid != 0) asClient.emplace(uid);
  STunnelConfigManager stunnelConfig(request, stunnelAddress_, stunnelPort_);
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
  OpenVpnConfigManager openVpnConfig(request, managementAddress_, managementPort_, !qbr);
  asClient.reset();
  const std::string configPath = openVpnConfig.GetConfigFilePath();
  CLOG(DEBUG, loggers::kOpenVpnManager) << "Start OpenVPN " << configPath;
  // What OpenVPN will read is read now, with the client's rights, while a failure still
  // leaves the previous tunnel running.
  const TunnelFileCopies copies(openVpnConfig, request, uid);
  std::optional<TunnelFileCopies> stunnelCopies;
  if (qbr) stunnelCopies.emplace(stunnelConfig, DirectoryOf(stunnel_->StunnelPath()), uid);
  // The previous tunnel goes first, so that its shutdown does not stop the stunnel
  // started for the new one, nor remove the new tunnel's copies.
  ShutDownPreviousProcess();
  const std::string privateConfigPath = copies.Write(PrivateDirectory(), kPrivateOpenVpnConfig, &privateFiles_);
  if (qbr) RestartStunnel(stunnelCopies->Write(PrivateDirectory(), kPrivateStunnelConfig, &privateFiles_));
  CLOG(INFO, loggers::kOpenVpnManager) << "Connecting to vpn server " << request.GetRemoteHost();
  // OpenVPN runs in the root-only directory: its configuration names only the copies.
  const int error = LaunchOpenVpn(privateConfigPath, PrivateDirectory(), &process_);
  if (error != 0) {
    RemoveFiles(&privateFiles_);
    const std::string answer = ErrorAnswer(error, "Failed to launch process.");
    CLOG(DEBUG, loggers::kOpenVpnManager) << answer;
    return answer;
  }
  const std::uint32_t processId = process_.Id();
  CLOG(DEBUG, loggers::kOpenVpnManager) << "process launched. pid:" << processId;
  StartListenThread(session.connection, processId);
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
  if (!process_.Tracked()) return;
  const std::uint32_t previous = process_.Id();
  ShutdownLocked();
  CLOG(DEBUG, loggers::kOpenVpnManager) << "shutdown process pid=" << previous << " before";
  std::this_thread::sleep_for(kPauseAfterShutdown);
  CLOG(DEBUG, loggers::kOpenVpnManager) << "end of delay due to process shutdown";
}

void OpenVpnManager::RestartStunnel(const std::string& configPath) {
  stunnel_->Shutdown();
  stunnel_->Launch(configPath);
}

void OpenVpnManager::StartListenThread(const Socket& clientConnection, std::uint32_t processId) {
  auto info = std::make_unique<OpenVpnListenThreadStartupInfo>(
      OpenVpnListenThreadStartupInfo{clientConnection, managementPort_, managementAddress_, processId});
  OpenVpnListenThreadStartupInfo* record = info.get();
  std::uint64_t threadId = 0;
  const int error = platform::StartDetachedThread([record] { Listen(record); }, 0, &threadId);
  if (error != 0) {
    CLOG(DEBUG, loggers::kOpenVpnManager) << "LISTEN Thread creation failed:" << error;
    return;
  }
  info.release();  // the thread owns the record now
  const std::string recordText = PointerText(record);
  CLOG(DEBUG, loggers::kOpenVpnManager) << "LISTEN Thread " << threadId << " created. Addr:" << recordText;
}

int OpenVpnManager::LaunchOpenVpn(const std::string& configPath, const std::string& workingDirectory,
                                  platform::Process* process) {
  const std::string program = ResolveBesideExecutable(kOpenVpnProgram);
  const std::string commandLine = " --config \"" + configPath + "\"";
  const std::string& directory = workingDirectory;
  const platform::LaunchSpec spec{program, {"--config", configPath}, directory};
  int error = 0;
  for (int attempt = 1; attempt <= kLaunchAttempts; ++attempt) {
    std::this_thread::sleep_for(LaunchPause(attempt));
    CLOG(DEBUG, loggers::kOpenVpnManager) << "CreateProcess in current dir[" << directory << "] : path["
                                          << program << "] cmdLine[" << commandLine << "]";
    platform::Process launched;
    error = launched.Launch(spec);
    if (error == 0) {
      CLOG(DEBUG, loggers::kOpenVpnManager) << "CreateProcess retry #" << attempt << "  ok ";
      *process = std::move(launched);
      return 0;
    }
    CLOG(DEBUG, loggers::kOpenVpnManager) << "CreateProcess retry #" << attempt << " error [" << error << "]";
  }
  return error;
}

void OpenVpnManager::Shutdown() {
  std::lock_guard<std::mutex> lock(lifecycleMutex_);
  ShutdownLocked();
}

// OpenVPN's clean exit path is its termination signal, sent through the handle of the
// process this manager launched and no other.
void OpenVpnManager::ShutdownLocked() {
  CLOG(INFO, loggers::kOpenVpnManager) << "Closing VPN connection";
  if (process_.Tracked()) {
    const std::uint32_t processId = process_.Id();
    const int error = process_.RequestExit();
    if (error != 0 && !platform::IsProcessGone(error)) {
      const std::string answer = ErrorAnswer(error, "VortanVpnService : Failed to OpenProcess");
      CLOG(DEBUG, loggers::kOpenVpnManager) << answer;
      process_.Release();
    } else {
      CLOG(DEBUG, loggers::kOpenVpnManager) << "Waiting for OpenVPN to die... (PID=" << processId << ")";
      if (!process_.WaitForExit(kExitWait)) {
        // A process that ignores the termination signal must not outlive its tracking:
        // it would keep the management endpoint from every later tunnel.
        CLOG(DEBUG, loggers::kOpenVpnManager) << "OpenVPN did not exit, killing it (PID=" << processId << ")";
        process_.KillAndWait(kKillWait);
      }
      CLOG(DEBUG, loggers::kOpenVpnManager) << "Done waiting.";
    }
  }
  stunnel_->Shutdown();
  RemoveFiles(&privateFiles_);
}

void OpenVpnManager::Listen(OpenVpnListenThreadStartupInfo* record) {
  std::unique_ptr<OpenVpnListenThreadStartupInfo> info(record);
  const std::string threadName = "openvpn-" + PointerText(record);
  NameThread(threadName);
  const std::string endpoint = FormatDotted(info->managementAddress) + ":" + std::to_string(info->managementPort);
  int retriesLeft = kManagementRetries;
  bool connected = false;
  for (int attempt = 1;; ++attempt) {
    try {
      CLOG(DEBUG, loggers::kOpenVpnManager) << threadName << "Opening socket on " << endpoint;
      SocketClient management(info->managementAddress, info->managementPort);
      connected = true;
      CLOG(DEBUG, loggers::kOpenVpnManager) << threadName << "socket open on " << endpoint;
      // Another local process could have taken the endpoint before OpenVPN: it must
      // not receive the dialogue, nor feed the client forged notifications.
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
        WaitForManagementListener(info->managementAddress, info->managementPort, ManagementRetryPause(attempt));
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

bool FindRequestingUser(const Socket& connection, std::uint32_t* uid) {
  std::uint32_t local = 0, peer = 0;
  int localPort = 0, peerPort = 0;
  if (!connection.Endpoints(&local, &localPort, &peer, &peerPort)) return false;
  platform::SocketOwner owner;
  // The client's own socket: its end is our peer, its remote end is us.
  if (platform::FindTcpSocketOwner(peer, peerPort, local, localPort, &owner) != 0) return false;
  *uid = owner.uid;
  return true;
}

bool ManagementEndpointBelongsTo(const Socket& management, std::uint32_t processId) {
  std::uint32_t local = 0, peer = 0;
  int localPort = 0, peerPort = 0;
  if (processId == 0 || !management.Endpoints(&local, &localPort, &peer, &peerPort)) return false;
  // A connection still waiting in the listener's queue has no socket inode yet: give
  // the server a moment to accept it.
  const auto deadline = std::chrono::steady_clock::now() + kAcceptWait;
  for (;;) {
    platform::SocketOwner owner;
    if (platform::FindTcpSocketOwner(peer, peerPort, local, localPort, &owner) != 0) return false;
    if (owner.inode != 0) return platform::ProcessHoldsSocket(static_cast<int>(processId), owner.inode);
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kListenerPoll);
  }
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
