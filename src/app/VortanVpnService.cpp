#include "app/VortanVpnService.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "settings/CmdLineParser.h"
#include "settings/IniFile.h"
#include "common/Ipv4.h"
#include "common/Logging.h"
#include "tunnel/OpenVpnManager.h"
#include "tunnel/PrivateState.h"
#include "common/Paths.h"
#include "protocol/Session.h"
#include "protocol/TunnelAccess.h"
#include "app/Service.h"
#include "common/Text.h"
#include "platform/ProcessInfo.h"
#include "platform/Processes.h"
#include "platform/Programs.h"
#include "platform/Threads.h"

namespace vortan {

std::atomic<std::uint32_t> listenerAddress{0};
std::atomic<int> listenerPort{4444};
std::atomic<bool> stopRequested{false};

namespace {

// Run modes chosen by the command line.
enum ServiceMode { kConsole = 0, kService = 1, kInstallAuto = 2, kInstallDemand = 3, kRemove = 4 };

const char* const kUsage =
    "Usage : VortanVpnService /install[:servicename] [/auto] : Installs service.\n"
    "        VortanVpnService /remove[:servicename] : Stops and removes service.\n";
const char* const kPortUsedScheme = "zel-vpn-service://";
constexpr std::size_t kSessionStackSize = 256 * 1024;
// Pause after an accept that failed for want of descriptors or memory: the pending
// connection stays queued, so an immediate retry would only fail again.
constexpr auto kAcceptRetryPause = std::chrono::milliseconds(100);

// The listener of the running main loop; the stop dialogue's fallback shuts it down.
std::mutex activeListenerMutex;
SocketServer* activeListener = nullptr;

std::string Endpoint(std::uint32_t address, int port) { return FormatDotted(address) + ":" + std::to_string(port); }

// Returns the mode, or -1 when help was asked for (the usage text is then printed).
int ReadCommandLine(const std::string& commandLine) {
  CCmdLineParser parser(false);
  parser.Parse(commandLine);
  if (parser.Has("help") || parser.Has("h") || parser.Has("?")) {
    std::fputs(kUsage, stdout);
    std::fputs("\n", stdout);
    std::fflush(stdout);
    return -1;
  }
  if (parser.Has("install")) return parser.Has("auto") ? kInstallAuto : kInstallDemand;
  if (parser.Has("remove")) return kRemove;
  if (parser.Has("console")) return kConsole;
  return kService;
}

void WritePortUsed(const std::string& path) {
  const std::string content = kPortUsedScheme + Endpoint(listenerAddress, listenerPort);
  bool opened = false;
  if (platform::WritePublicFile(path, content, &opened) == 0) return;
  if (!opened) {
    CLOG(ERROR, loggers::kService) << "Unable to open file :  ..\\conf\\portused.txt to write free port";
  } else {
    CLOG(ERROR, loggers::kService) << "Unable to write in file :  ..\\conf\\portused.txt";
  }
}

// A session answers the stop dialogue's "CONTROL" with the service's stop state, and
// a pending stop ends the accept loop. Console mode has no stop to wait for.
std::function<bool()> StopOnControl(IService* service) {
  if (service == nullptr) return nullptr;
  return [service] {
    const bool stop = service->IsStopPending();
    stopRequested = stop;
    return stop;
  };
}

void StartSession(std::unique_ptr<Socket> connection, const std::function<bool()>& stopOnControl,
                  OpenVpnManager* vpnManager) {
  auto* record = new SessionStart{TunnelClient{*connection, std::nullopt}, stopOnControl, vpnManager};
  std::uint64_t threadId = 0;
  int error = platform::StartDetachedThread([record] { Answer(record); }, kSessionStackSize, &threadId);
  if (error != 0) {
    delete record;
    const std::string reason = platform::ErrorText(error);
    CLOG(ERROR, loggers::kService) << "cannot start a session thread: " << reason << " (" << error << ")";
    return;
  }
  el::Loggers::getLogger(loggers::kService)->debug("ANSWER Thread %v created. id:%v", static_cast<void*>(record),
                                                   threadId);
}

// Accepts that fail while the listener stays usable come in bursts (every descriptor
// held by idle clients, a memory shortage): the first failure of a burst is logged, and
// so is its end.
class AcceptFailureBurst {
 public:
  void Failed(const std::string& reason) {
    if (failures_++ == 0) {
      CLOG(WARNING, loggers::kService) << "Cannot accept a connection, retrying: " << reason;
    }
  }
  void Ended() {
    if (failures_ == 0) return;
    CLOG(INFO, loggers::kService) << "Connections accepted again after " << failures_ << " failed attempts";
    failures_ = 0;
  }

 private:
  unsigned long failures_ = 0;
};

bool StopPending(IService* service) { return stopRequested || (service != nullptr && service->IsStopPending()); }

void AcceptLoop(SocketServer& listener, IService* service, OpenVpnManager* vpnManager) {
  const std::function<bool()> stopOnControl = StopOnControl(service);
  AcceptFailureBurst failures;
  while (!stopRequested) {
    CLOG(TRACE, loggers::kDefault) << "Waiting for new connection...";
    std::unique_ptr<Socket> connection;
    try {
      connection = listener.Accept();
    } catch (const SocketServer::TransientAcceptError& error) {
      // The stop dialogue's own connection cannot be accepted either while the
      // shortage lasts: a pending stop ends the loop from here.
      if (StopPending(service)) break;
      failures.Failed(error.what());
      std::this_thread::sleep_for(kAcceptRetryPause);
      continue;
    } catch (const std::runtime_error&) {
      // The stop dialogue's fallback shuts the listener down to end a blocked accept.
      if (stopRequested) break;
      throw;
    }
    failures.Ended();
    CLOG(TRACE, loggers::kDefault) << "new connection accepted...";
    if (stopRequested) break;
    if (connection) StartSession(std::move(connection), stopOnControl, vpnManager);
  }
}

void SetActiveListener(SocketServer* listener) {
  std::lock_guard<std::mutex> lock(activeListenerMutex);
  activeListener = listener;
}

void ServeUntilStopped(IService* service, OpenVpnManager* vpnManager, const std::string& portUsedPath) {
  IniFile settings(ResolveBesideExecutable(paths::kSettings));
  settings.dumpToLog();
  SetAccessRules({settings.getTunnelGroup(), settings.getMaxSessionsPerUser()});
  listenerAddress = DrawLoopbackAddress(settings.getBindRange(), loggers::kService);
  CLOG(DEBUG, loggers::kService) << "binding to " << FormatDotted(listenerAddress);
  int port = Socket::GetFreePort(listenerAddress, settings.getServicePorts());
  // Clients wait for the welcome before they speak: a connection that overflowed a
  // short accept queue (and was completed by SYN cookies) would wait for ever.
  SocketServer listener(listenerAddress, port, platform::MaxListenBacklog());
  listenerPort = listener.BoundPort();
  CLOG(INFO, loggers::kService) << "bound to " << Endpoint(listenerAddress, listenerPort);
  WritePortUsed(portUsedPath);
  SetActiveListener(&listener);
  if (service != nullptr) service->ReportRunning();
  try {
    AcceptLoop(listener, service, vpnManager);
  } catch (...) {
    SetActiveListener(nullptr);
    throw;
  }
  SetActiveListener(nullptr);
}

// The service writes on behalf of its clients wherever they may write; OpenVPN and
// stunnel, running as root, may write only where they must: stunnel's log in logs/,
// OpenVPN's management socket in run/, devices and the temporary directory.
void ConfineTunnelPrograms() {
  const std::string root = DirectoryOf(DirectoryOf(platform::ExecutablePath()));
  std::vector<std::string> writable = platform::SystemWritablePaths();
  for (const char* directory : {"logs", "run"}) {
    writable.push_back((std::filesystem::u8path(root) / directory).u8string());
  }
  const int error = platform::ConfineLaunchedPrograms(std::move(writable));
  if (error != 0) {
    const std::string reason = platform::ErrorText(error);
    CLOG(WARNING, loggers::kService) << "OpenVPN and stunnel run without file-system confinement: " << reason << " ("
                                     << error << ")";
  }
}

// The main loop as the service object runs it: the entry's tunnel controller, and the
// listener endpoint for the service manager's status.
MainLoop ServiceMainLoop(OpenVpnManager* vpnManager) {
  return MainLoop{[vpnManager](IService* service) { return Run(service, vpnManager); }, NotifyMainThread,
                  [] { return Endpoint(listenerAddress, listenerPort); }};
}

}  // namespace

int Run(IService* service, OpenVpnManager* vpnManager) {
  const std::string portUsedPath = ResolveBesideExecutable(paths::kPortUsed);
  CLOG(DEBUG, loggers::kService) << "running service...";
  int exitCode = 0;
  try {
    ServeUntilStopped(service, vpnManager, portUsedPath);
  } catch (const std::exception& error) {
    const std::string reason = error.what();
    CLOG(ERROR, loggers::kService) << "Service running error : " << reason;
    // A failure that ends the service must be seen as one, so the service manager
    // restarts it.
    exitCode = 1;
  }
  platform::RemoveFile(portUsedPath);
  CLOG(INFO, loggers::kService) << "Exiting...";
  // OpenVPN and stunnel end before the manager hears "stopped": after that it may end
  // the process at any moment.
  if (service != nullptr) {
    vpnManager->Retire();
    service->ReportStopped(exitCode);
  }
  return exitCode;
}

void NotifyMainThread() {
  const std::uint32_t address = listenerAddress;
  const int port = listenerPort;
  CLOG(DEBUG, loggers::kService) << "Sending STOP message : connecting to " << Endpoint(address, port);
  try {
    SocketClient control(address, port);
    control.ReceiveLine();
    control.SendLine("CONTROL");
    el::Loggers::getLogger(loggers::kService)->debug("message %v sent", "CONTROL");
    control.ReceiveLine();
    control.SendLine("quit");
    control.Close();
    CLOG(DEBUG, loggers::kService) << "connecting to " << Endpoint(address, port);
    SocketClient wake(address, port);
    wake.Close();
  } catch (const std::exception& error) {
    // The listener is gone or unreachable: end the accept loop by shutting it down.
    const std::string reason = error.what();
    CLOG(ERROR, loggers::kService) << "Cannot send the stop message: " << reason;
    stopRequested = true;
    std::lock_guard<std::mutex> lock(activeListenerMutex);
    if (activeListener != nullptr) activeListener->Shutdown();
  }
}

int ServiceEntry(int argc, char** argv) {
  registerLoggers();
  // Built before logging is configured, so it logs with the library's defaults. Never
  // destroyed: detached sessions may call it until the process ends.
  OpenVpnManager* vpnManager = new OpenVpnManager();
  configureLogging();
  CLOG(INFO, loggers::kService) << "starting...";

  int exitCode = 0;
  const int mode = ReadCommandLine(platform::CommandLine(argc, argv));
  if (mode == kConsole || mode == kService) {
    ConfineTunnelPrograms();
    ClaimPrivateState();
    const std::string failure = platform::PrepareChildPrograms();
    if (!failure.empty()) CLOG(ERROR, loggers::kService) << failure;
  }
  switch (mode) {
    case -1: exitCode = 0; break;
    case kConsole: exitCode = Run(nullptr, vpnManager); break;
    case kService: exitCode = RunAsService(ServiceMainLoop(vpnManager)); break;
    case kInstallAuto:
    case kInstallDemand: exitCode = InstallService(mode == kInstallAuto) ? 0 : 1; break;
    default: exitCode = RemoveService() ? 0 : 1; break;
  }
  // Stop OpenVPN and stunnel for good, then end without running static destructors:
  // detached session threads may still be logging or calling the tunnel controller.
  if (mode != kService) vpnManager->Retire();
  FlushLogs();
  std::fflush(stdout);
  platform::EndProcessNow(exitCode);
}

}  // namespace vortan
