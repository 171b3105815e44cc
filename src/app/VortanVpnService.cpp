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
#include "routes/RouteLedger.h"
#include "app/Service.h"
#include "app/SessionRegistry.h"
#include "common/Text.h"
#include "platform/ProcessInfo.h"
#include "platform/Processes.h"
#include "platform/Programs.h"

namespace vortan {

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

void WritePortUsed(const std::string& path, std::uint32_t address, int port) {
  const std::string content = kPortUsedScheme + Endpoint(address, port);
  bool opened = false;
  if (platform::WritePublicFile(path, content, &opened).Succeeded()) return;
  if (!opened) {
    CLOG(ERROR, loggers::kService) << "Unable to open file :  ..\\conf\\portused.txt to write free port";
  } else {
    CLOG(ERROR, loggers::kService) << "Unable to write in file :  ..\\conf\\portused.txt";
  }
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

// What other threads reach of the main loop: the listener's endpoint (written during
// start-up before the service reports running, read by the stop dialogue and the
// status), the stop flag a session sets on "CONTROL", and the listener the stop
// dialogue's fallback shuts down. Owned by the entry function.
class MainLoopControl {
 public:
  void Publish(std::uint32_t address, int port) {
    address_ = address;
    port_ = port;
  }
  std::string EndpointText() const { return Endpoint(address_, port_); }
  bool StopRequested() const { return stopRequested_; }
  void RequestStop(bool stop) { stopRequested_ = stop; }
  void SetListener(SocketServer* listener) {
    std::lock_guard<std::mutex> lock(listenerMutex_);
    listener_ = listener;
  }

  // Ends the accept loop from another thread through the protocol itself.
  void NotifyMainThread() {
    const std::uint32_t address = address_;
    const int port = port_;
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
      stopRequested_ = true;
      std::lock_guard<std::mutex> lock(listenerMutex_);
      if (listener_ != nullptr) listener_->Shutdown();
    }
  }

 private:
  std::atomic<std::uint32_t> address_{0};  // network byte order
  std::atomic<int> port_{4444};
  std::atomic<bool> stopRequested_{false};
  std::mutex listenerMutex_;
  SocketServer* listener_ = nullptr;
};

// Where the main loop's listener binds: a drawn loopback address and a free port.
struct ListenerPlace {
  std::uint32_t address;
  int port;
};

ListenerPlace ChooseListenerPlace(const IniFile& settings, MainLoopControl& control) {
  const std::uint32_t address = DrawLoopbackAddress(settings.getBindRange(), loggers::kService);
  control.Publish(address, 4444);
  CLOG(DEBUG, loggers::kService) << "binding to " << FormatDotted(address);
  return {address, Socket::GetFreePort(address, settings.getServicePorts())};
}

// What the main loop owns while it serves, built from the settings it read and handed
// down by reference: the access rules and session count, the launcher of the tunnel's
// programs, the tunnel controller, the sessions that use them, the listener.
// Destroyed in reverse: the tunnel is retired first (later starts are refused), the
// sessions are ended and joined, then the controller shuts OpenVPN and stunnel down,
// and last the launcher ends its thread.
class Application {
 public:
  Application(const IniFile& settings, MainLoopControl& control, RouteLedger& routes)
      : control_(control),
        routes_(routes),
        access_{AccessRules{settings.getTunnelGroup(), settings.getMaxSessionsPerUser()}, {}},
        tunnel_(settings, routes, launcher_),
        sessions_(Answer, kSessionStackSize),
        place_(ChooseListenerPlace(settings, control)),
        // Clients wait for the welcome before they speak: a connection that overflowed
        // a short accept queue (and was completed by SYN cookies) would wait for ever.
        listener_(place_.address, place_.port, platform::MaxListenBacklog()) {
    control_.Publish(place_.address, listener_.BoundPort());
    CLOG(INFO, loggers::kService) << "bound to " << control_.EndpointText();
    control_.SetListener(&listener_);
  }
  ~Application() {
    control_.SetListener(nullptr);
    tunnel_.Retire();
    sessions_.EndAll();
  }
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  std::uint32_t Address() const { return place_.address; }
  int Port() const { return listener_.BoundPort(); }

  // Accepts connections until a stop; each one gets a session.
  void Serve(IService* service) {
    // A session answers the stop dialogue's "CONTROL" with the service's stop state,
    // and a pending stop ends the accept loop. Console mode has no stop to wait for.
    std::function<bool()> stopOnControl;
    if (service != nullptr) {
      stopOnControl = [service, this] {
        const bool stop = service->IsStopPending();
        control_.RequestStop(stop);
        return stop;
      };
    }
    AcceptFailureBurst failures;
    while (!control_.StopRequested()) {
      CLOG(TRACE, loggers::kDefault) << "Waiting for new connection...";
      std::unique_ptr<Socket> connection;
      try {
        connection = listener_.Accept();
      } catch (const SocketServer::TransientAcceptError& error) {
        // The stop dialogue's own connection cannot be accepted either while the
        // shortage lasts: a pending stop ends the loop from here.
        if (control_.StopRequested() || (service != nullptr && service->IsStopPending())) break;
        failures.Failed(error.what());
        std::this_thread::sleep_for(kAcceptRetryPause);
        continue;
      } catch (const std::runtime_error&) {
        // The stop dialogue's fallback shuts the listener down to end a blocked accept.
        if (control_.StopRequested()) break;
        throw;
      }
      failures.Ended();
      CLOG(TRACE, loggers::kDefault) << "new connection accepted...";
      if (control_.StopRequested()) break;
      if (!connection) continue;
      TunnelClient client{std::move(connection), std::nullopt};
      sessions_.Start(SessionStart{std::move(client), stopOnControl, &tunnel_, &access_, &routes_});
    }
  }

 private:
  MainLoopControl& control_;
  RouteLedger& routes_;
  SessionAccess access_;
  platform::ChildLauncher launcher_;
  OpenVpnManager tunnel_;
  SessionRegistry sessions_;
  ListenerPlace place_;
  SocketServer listener_;
};

// The main loop: the settings (read here, once: a malformed file ends the loop like any
// start-up failure), the application object, portused.txt, the accept loop, clean-up.
// Returns 0 after a stop, 1 after a failure that ended it.
int Run(IService* service, const InstalledPaths& paths, MainLoopControl& control, RouteLedger& routes) {
  CLOG(DEBUG, loggers::kService) << "running service...";
  int exitCode = 0;
  std::unique_ptr<Application> application;
  try {
    const IniFile settings(paths.settings);
    settings.dumpToLog();
    application = std::make_unique<Application>(settings, control, routes);
    WritePortUsed(paths.portUsed, application->Address(), application->Port());
    if (service != nullptr) service->ReportRunning();
    application->Serve(service);
  } catch (const std::exception& error) {
    const std::string reason = error.what();
    CLOG(ERROR, loggers::kService) << "Service running error : " << reason;
    // A failure that ends the service must be seen as one, so the service manager
    // restarts it.
    exitCode = 1;
  }
  platform::RemoveFile(paths.portUsed);
  CLOG(INFO, loggers::kService) << "Exiting...";
  // OpenVPN and stunnel end, and the sessions are joined, before the manager hears
  // "stopped": after that it may end the process at any moment.
  application.reset();
  if (service != nullptr) service->ReportStopped(exitCode);
  return exitCode;
}

// The service writes on behalf of its clients wherever they may write; OpenVPN and
// stunnel, running as root, may write only where they must: stunnel's log in logs/,
// OpenVPN's management socket in run/, devices and the temporary directory.
void ConfineTunnelPrograms(const InstalledPaths& paths) {
  std::vector<std::string> writable = platform::SystemWritablePaths();
  for (const char* directory : {"logs", "run"}) {
    writable.push_back((std::filesystem::u8path(paths.root) / directory).u8string());
  }
  const platform::Error error = platform::ConfineLaunchedPrograms(std::move(writable));
  if (error.Failed()) {
    const std::string reason = platform::ErrorText(error.Code());
    CLOG(WARNING, loggers::kService) << "OpenVPN and stunnel run without file-system confinement: " << reason << " ("
                                     << error.Code() << ")";
  }
}

}  // namespace

int ServiceEntry(int argc, char** argv) {
  // The composition root: the installed tree's paths, logging, and the main loop's
  // control, from which the main loop builds what it owns.
  const InstalledPaths paths;
  registerLoggers();
  configureLogging(paths);
  CLOG(INFO, loggers::kService) << "starting...";

  MainLoopControl control;
  // The routes the service writes, recorded for the tunnel they belong to; it outlives
  // the main loop, whose tunnel removes them at its end.
  RouteLedger routes;
  int exitCode = 0;
  const int mode = ReadCommandLine(platform::CommandLine(argc, argv));
  if (mode == kConsole || mode == kService) {
    ConfineTunnelPrograms(paths);
    ClaimPrivateState(routes);
    const std::string failure = platform::PrepareChildPrograms();
    if (!failure.empty()) CLOG(ERROR, loggers::kService) << failure;
  }
  switch (mode) {
    case -1: exitCode = 0; break;
    case kConsole: exitCode = Run(nullptr, paths, control, routes); break;
    case kService:
      exitCode = RunAsService(MainLoop{[&](IService* service) { return Run(service, paths, control, routes); },
                                       [&control] { control.NotifyMainThread(); },
                                       [&control] { return control.EndpointText(); }});
      break;
    case kInstallAuto:
    case kInstallDemand: exitCode = InstallService(mode == kInstallAuto) ? 0 : 1; break;
    default: exitCode = RemoveService() ? 0 : 1; break;
  }
  FlushLogs();
  std::fflush(stdout);
  return exitCode;
}

}  // namespace vortan
