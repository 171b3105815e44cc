#include "app/VortanVpnService.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "settings/CmdLineParser.h"
#include "settings/IniFile.h"
#include "common/Ipv4.h"
#include "common/Logging.h"
#include "tunnel/OpenVpnManager.h"
#include "settings/Paths.h"
#include "protocol/RequestParser.h"
#include "routes/RouteManagement.h"
#include "app/Service.h"
#include "common/Text.h"
#include "platform/ProcessInfo.h"
#include "platform/Processes.h"
#include "platform/ReplyEncoding.h"
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
const char* const kWelcome = "Welcome to VortanVpnService management Interface \r";
const char* const kCompatibilityVersion = "6.5";
const char* const kPortUsedScheme = "zel-vpn-service://";
constexpr std::size_t kSessionStackSize = 256 * 1024;
// Pause after an accept that failed for want of descriptors or memory: the pending
// connection stays queued, so an immediate retry would only fail again.
constexpr auto kAcceptRetryPause = std::chrono::milliseconds(100);

// The tunnel controller built by the entry function, for the service mode's main loop.
OpenVpnManager* processVpnManager = nullptr;

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

void StartSession(std::unique_ptr<Socket> connection, IService* service, OpenVpnManager* vpnManager) {
  auto* record = new SessionStart{*connection, service, vpnManager, std::nullopt};
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
    if (connection) StartSession(std::move(connection), service, vpnManager);
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

// Position, counted from 0 after "start", of the first word that may be a credential
// (the proxy user name).
constexpr std::size_t kFirstCredentialWord = 8;
constexpr std::size_t kLoggedRequestBytes = 512;

// Raw blank-separated words: a quoted word counts as several, so the masking starts
// at, or before, the word the parser would take as the user name.
std::string WithStartCredentialsMasked(const std::string& request) {
  const std::vector<std::string> words = SplitFields(TrimLine(request.substr(5)), kLineWhitespace);
  std::string copy = "start";
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (words[i].empty()) continue;
    copy += " ";
    copy += i < kFirstCredentialWord ? words[i] : "********";
  }
  return copy;
}

std::string HideProxyParameters(const std::string& text) {
  const std::string::size_type proxy = text.rfind("proxy");
  return proxy == std::string::npos ? text : text.substr(0, proxy) + "proxy OBFUCATED PARAMS";
}

std::string ShortenedForLog(const std::string& copy, std::size_t requestBytes) {
  if (copy.size() <= kLoggedRequestBytes) return copy;
  return copy.substr(0, kLoggedRequestBytes) + "... (" + std::to_string(requestBytes) + " bytes)";
}

// The service writes on behalf of its clients wherever they may write; OpenVPN and
// stunnel, running as root, may write only in the service's own directories and the
// system's device, kernel, temporary and runtime ones.
void ConfineTunnelPrograms() {
  const std::string root = DirectoryOf(DirectoryOf(platform::ExecutablePath()));
  const int error = platform::ConfineLaunchedPrograms({"/dev", "/proc", "/sys", root + "/conf", root + "/logs",
                                                       root + "/log", root + "/run", "/tmp", "/var/tmp", "/run"});
  if (error != 0) {
    const std::string reason = platform::ErrorText(error);
    CLOG(WARNING, loggers::kService) << "OpenVPN and stunnel run without file-system confinement: " << reason << " ("
                                     << error << ")";
  }
}

std::string ReadRequest(Socket& connection) {
  std::string line = connection.ReceiveLine();
  if (IsValidUtf8(line)) return line;
  CLOG(ERROR, loggers::kService) << "Got a non UTF-8 request from client: " << "bad conversion";
  return "Malformed request";
}

}  // namespace

// Lines that would expose credentials in the log: every word of a "start" request from
// the proxy user name on, whatever the word count, and everything from the last "proxy"
// on. A long line is cut, so that a client cannot roll the log files away.
std::string LogCopy(const std::string& request) {
  const std::string copy = StartsWith(request, "start") ? WithStartCredentialsMasked(request) : request;
  return ShortenedForLog(HideProxyParameters(copy), request.size());
}

// A web page can make a browser send an HTTP request to a loopback port; no real
// client starts with such a line, so the connection is dropped without a reply.
bool LooksLikeHttp(const std::string& line) {
  static const char* const kMethods[] = {"GET ",     "POST ",  "PUT ",     "DELETE ", "HEAD ",
                                         "OPTIONS ", "PATCH ", "CONNECT ", "TRACE ",  "PRI "};
  for (const char* method : kMethods) {
    if (StartsWith(line, method)) return true;
  }
  return StartsWith(ToLowerAscii(line.substr(0, 5)), "host:");
}

const std::string& HelpText() {
  static const std::string text =
      "List of Availlable commands \r\r"
      "help \r\t   : display the following info ...\r\r"
      "version \r\t   : return the implementation and compatibility version of the service\r\r"
      "route add destination netmask gateway metric\r\t   : add a route\r"
      "route del destination\r\t   : delete a route\r\r"
      "proxy_exception add destination netmask winuser\r\t   : add a proxy exception in Windows internet "
      "settings of winuser\r"
      "proxy_exception del destination netmask winuser\r\t   : remove a proxy exception from Windows internet "
      "settings of winuser\r\r"
      "start VORTANHOSTNAME VORTANPORT CFG_FILE_PREFIX DEVICE PROTOCOL(udp|tcp) [PROXY_SERVER] [PROXY_PORT] "
      "[PROXY_USERNAME] [PROXY_PASSWORD] [PRORY_AUTH(basic|ntlm)]\r\t   : start the vpn Connection\r\r"
      "shutdown \r    : stop the vpn connection\r\r"
      "quit \r\t: end this telnet session\r";
  return text;
}

std::string VersionReply() {
  const std::string version = platform::VersionText();
  return "IMPLEMENTATION:" + (version.empty() ? std::string("Unknown") : version) + " COMPATIBILITY:" +
         kCompatibilityVersion;
}

SessionReply HandleRequest(const std::string& request, SessionStart& session) {
  if (StartsWith(request, "CONTROL")) {
    // Without a service object (console mode) there is no stop to wait for.
    const bool stop = session.service != nullptr && session.service->IsStopPending();
    if (session.service != nullptr) stopRequested = stop;
    CLOG(DEBUG, loggers::kService) << "request to Stop = " << (stop ? 1 : 0);
    return {"OK", true};
  }
  if (StartsWith(request, "route")) {
    if (auto refusal = TunnelCommandRefusal(session, "route")) return {*refusal, false};
    return {RouteManagement::Dispatch(request), false};
  }
  if (StartsWith(request, "version")) return {VersionReply(), false};
  if (StartsWith(request, "shutdown")) {
    if (auto refusal = TunnelCommandRefusal(session, "shutdown")) return {*refusal, false};
    if (session.vpnManager != nullptr) {
      if (auto refusal = session.vpnManager->ShutdownFor(session.caller)) return {*refusal, false};
    }
    return {"OK", false};
  }
  if (StartsWith(request, "start")) {
    if (auto refusal = TunnelCommandRefusal(session, "start")) return {*refusal, false};
    if (session.vpnManager == nullptr) return {MakeResponse(false, false, 1, "NOT IMPLEMENTED"), false};
    return {session.vpnManager->Start(request.substr(5), session), false};
  }
  if (StartsWith(request, "quit")) return {"bye", true};
  return {HelpText(), false};
}

void Answer(SessionStart* record) {
  std::unique_ptr<SessionStart> start(record);
  NameThread("telnet-" + PointerText(record));
  const std::unique_ptr<SessionPlace> place = AdmitSession(*start);
  if (!place) return;
  CLOG(INFO, loggers::kService) << "new client connection";
  start->connection.SendLine(platform::ReplyForWire(kWelcome));
  for (bool first = true;; first = false) {
    const std::string request = ReadRequest(start->connection);
    if (first && LooksLikeHttp(request)) {
      CLOG(WARNING, loggers::kService) << "HTTP request on the management interface refused, closing the connection";
      break;
    }
    const std::string logCopy = LogCopy(request);
    CLOG(DEBUG, loggers::kService) << "telnet Request = " << logCopy;
    if (request.empty()) break;
    SessionReply reply = HandleRequest(request, *start);
    CLOG(DEBUG, loggers::kService) << "telnet Response  = " << reply.text;
    start->connection.SendLine(platform::ReplyForWire(reply.text));
    if (start->replyGate) {
      start->replyGate->Open();
      start->replyGate.reset();
    }
    if (reply.endSession) break;
  }
  CLOG(DEBUG, loggers::kService) << "Answer Thread closed";
}

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
  if (service != nullptr) service->ReportStopped();
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

OpenVpnManager* TheOpenVpnManager() { return processVpnManager; }

int ServiceEntry(int argc, char** argv) {
  registerLoggers();
  // Built before logging is configured, so it logs with the library's defaults. Never
  // destroyed: detached sessions may call it until the process ends.
  OpenVpnManager* vpnManager = new OpenVpnManager();
  processVpnManager = vpnManager;
  configureLogging();
  CLOG(INFO, loggers::kService) << "starting...";

  int exitCode = 0;
  const int mode = ReadCommandLine(platform::CommandLine(argc, argv));
  if (mode == kConsole || mode == kService) ConfineTunnelPrograms();
  switch (mode) {
    case -1: exitCode = 0; break;
    case kConsole: exitCode = Run(nullptr, vpnManager); break;
    case kService: exitCode = RunAsService(); break;
    case kInstallAuto:
    case kInstallDemand: exitCode = InstallService(mode == kInstallAuto) ? 0 : 1; break;
    default: exitCode = RemoveService() ? 0 : 1; break;
  }
  // Stop OpenVPN and stunnel for good, then end without running static destructors:
  // detached session threads may still be logging or calling the tunnel controller.
  vpnManager->Retire();
  FlushLogs();
  std::fflush(stdout);
  platform::EndProcessNow(exitCode);
}

}  // namespace vortan
