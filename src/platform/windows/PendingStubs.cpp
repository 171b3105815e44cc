// TEMPORARY: placeholders for the Windows seams that are not written yet, so that the
// service and its tests link. Each operation fails with ERROR_NOT_SUPPORTED (or does
// nothing where it cannot fail). A seam's own file replaces its block here; this file
// goes when the last block has gone.
#include <winsock2.h>
#include <windows.h>

#include "platform/CallerIdentity.h"
#include "platform/Crash.h"
#include "platform/Files.h"
#include "platform/Groups.h"
#include "platform/HostNetwork.h"
#include "platform/Interfaces.h"
#include "platform/LocalSocket.h"
#include "platform/Processes.h"
#include "platform/Programs.h"
#include "platform/ServiceHost.h"
#include "platform/SocketOwner.h"
#include "platform/Tcp.h"
#include "platform/Udp.h"
#include "platform/windows/Win32Error.h"

namespace platform {
namespace {

constexpr int kNotSupported = ERROR_NOT_SUPPORTED;

Error NotSupported(const char* step) { return Win32Error(ERROR_NOT_SUPPORTED, step); }

}  // namespace

// --- Tcp ---------------------------------------------------------------------------

int OpenTcpSocket(SocketHandle* handle) {
  *handle = kInvalidSocket;
  return kNotSupported;
}
int BindSocket(SocketHandle, std::uint32_t, int) { return kNotSupported; }
int BoundPort(SocketHandle, int*) { return kNotSupported; }
int ListenSocket(SocketHandle, int) { return kNotSupported; }
int AcceptSocket(SocketHandle, SocketHandle* accepted) {
  *accepted = kInvalidSocket;
  return kNotSupported;
}
int ConnectSocket(SocketHandle, std::uint32_t, int) { return kNotSupported; }
int ShutdownSocket(SocketHandle) { return kNotSupported; }
int CloseSocket(SocketHandle) { return 0; }
int PeekSocket(SocketHandle, char*, std::size_t, std::size_t* received) {
  *received = 0;
  return kNotSupported;
}
int ReceiveSocket(SocketHandle, char*, std::size_t, std::size_t* received) {
  *received = 0;
  return kNotSupported;
}
int SendSocket(SocketHandle, const char*, std::size_t, std::size_t* sent) {
  *sent = 0;
  return kNotSupported;
}
int SendWritesAtOnce(SocketHandle) { return kNotSupported; }
int SocketEndpoints(SocketHandle, std::uint32_t*, int*, std::uint32_t*, int*) { return kNotSupported; }
bool IsWouldBlock(int code) { return code == WSAEWOULDBLOCK; }
bool IsListenerFault(int) { return true; }
int MaxListenBacklog() { return SOMAXCONN; }

// --- Udp ---------------------------------------------------------------------------

int OpenUdpSocket(SocketHandle* handle) {
  *handle = kInvalidSocket;
  return kNotSupported;
}
int SetNonBlocking(SocketHandle) { return kNotSupported; }
int EnableBroadcast(SocketHandle) { return kNotSupported; }
int SendDatagram(SocketHandle, std::uint32_t, int, const char*, std::size_t, std::size_t* sent) {
  *sent = 0;
  return kNotSupported;
}
int ResolveIpv4(const std::string&, std::uint32_t*) { return kNotSupported; }
std::string ResolveErrorText(int code) { return "name resolution not supported (" + std::to_string(code) + ")"; }

// --- Interfaces --------------------------------------------------------------------

std::size_t MaxInterfaceNameLength() { return 256; }
bool InterfaceExists(const std::string&) { return false; }

// --- HostNetwork -------------------------------------------------------------------

Error ListAdapters(std::vector<Adapter>* adapters) {
  adapters->clear();
  return NotSupported("GetAdaptersAddresses");
}
Error ListDnsServers(std::vector<std::uint32_t>* servers) {
  servers->clear();
  return NotSupported("GetNetworkParams");
}
Error InterfaceMetric(std::uint32_t, std::optional<std::uint32_t>* metric) {
  metric->reset();
  return NotSupported("GetIpInterfaceEntry");
}
Error BestRoute(std::uint32_t, Route*) { return NotSupported("GetBestRoute"); }
Error AddRoute(std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {
  return NotSupported("CreateIpForwardEntry");
}
Error DeleteRoute(const Route&) { return NotSupported("DeleteIpForwardEntry"); }
bool KeepsBroadcastRoutePerInterface() { return true; }
Error ListRoutes(std::vector<Route>* routes) {
  routes->clear();
  return NotSupported("GetIpForwardTable");
}
Error ChangeRouteMetric(const Route&, std::uint32_t) { return NotSupported("SetIpForwardEntry"); }
Error FlushNeighbours(std::uint32_t) { return NotSupported("FlushIpNetTable"); }

// --- Processes and Programs ----------------------------------------------------------

Process::~Process() = default;
Process::Process(Process&& other) noexcept
    : handle_(other.handle_), id_(other.id_), exitRequest_(std::move(other.exitRequest_)) {
  other.Forget();
}
Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    handle_ = other.handle_;
    id_ = other.id_;
    exitRequest_ = std::move(other.exitRequest_);
    other.Forget();
  }
  return *this;
}
int Process::Launch(const LaunchSpec&) { return kNotSupported; }
int Process::RequestExit() { return kNotSupported; }
int Process::Kill() { return kNotSupported; }
bool Process::WaitForExit(std::chrono::milliseconds) { return !Tracked(); }
bool Process::KillAndWait(std::chrono::milliseconds) {
  Forget();
  return true;
}
void Process::Release() { Forget(); }
void Process::Forget() {
  handle_ = kNoProcess;
  id_ = 0;
}
int ConfineLaunchedPrograms(std::vector<std::string>) { return kNotSupported; }
bool IsProcessGone(int code) { return code == ERROR_INVALID_HANDLE; }

ChildProgramFile OpenVpnProgram() { return ChildProgramFile{"openvpn.exe", ExitRequest()}; }
ChildProgramFile StunnelProgram() { return ChildProgramFile{"stunnel\\stunnel.exe", ExitRequest()}; }

// --- ServiceHost -------------------------------------------------------------------

bool StartedByServiceManager() { return false; }
std::string NotStartedByServiceManagerHint() { return std::string(); }
int RunUnderServiceManager(const std::string&, const std::function<int()>&) { return 1; }

struct ServiceHost::Native {};
ServiceHost::ServiceHost() : native_(std::make_unique<Native>()) {}
ServiceHost::~ServiceHost() = default;
int ServiceHost::Error() const { return kNotSupported; }
void ServiceHost::Report(ServiceStatus, const std::string&) {}
void ServiceHost::DeliverRequests(const std::function<void(ServiceRequest)>&) {}
void ServiceHost::StopDelivering() {}

namespace {
RegistrationOutcome NotSupportedOutcome() {
  RegistrationOutcome outcome;
  outcome.result = RegistrationOutcome::Result::kFailed;
  outcome.code = kNotSupported;
  return outcome;
}
}  // namespace

RegistrationOutcome RegisterService(const ServiceDefinition&, ServiceStart) { return NotSupportedOutcome(); }
RegistrationOutcome CheckServiceRegistered(const std::string&) { return NotSupportedOutcome(); }
int RequestServiceStop(const std::string&) { return kNotSupported; }
RegistrationOutcome UnregisterService(const std::string&) { return NotSupportedOutcome(); }

// --- Crash -------------------------------------------------------------------------

void InstallCrashHandlers(CrashCallback) {}
void CurrentTime(std::int64_t* seconds, std::int32_t* microseconds) {
  *seconds = 0;
  *microseconds = 0;
}
std::uint64_t CurrentThreadNumber() { return ::GetCurrentThreadId(); }
std::intptr_t OpenForAppend(const char*) { return -1; }
bool WriteWithin(std::intptr_t, const char*, std::size_t, int) { return false; }
void CloseFile(std::intptr_t) {}
long LocalUtcOffset() { return 0; }
std::intptr_t CreateDumpFile(const std::string&, int* error) {
  *error = kNotSupported;
  return -1;
}
int WriteDump(std::intptr_t, const CrashContext&) { return kNotSupported; }
void CloseDumpFile(std::intptr_t) {}

// --- CallerIdentity, SocketOwner, Groups -------------------------------------------------

struct CallerIdentity::Native {};
bool operator==(const CallerIdentity&, const CallerIdentity&) { return false; }
CallerIdentity ServiceIdentity() { return CallerIdentity(std::make_shared<const CallerIdentity::Native>()); }
bool IsPrivileged(const CallerIdentity&) { return false; }
std::string IdentityText(const CallerIdentity&) { return "unknown user"; }

int FindTcpSocketOwner(std::uint32_t, int, std::uint32_t, int, std::optional<CallerIdentity>* owner) {
  owner->reset();
  return kNotSupported;
}

int IsMemberOf(const CallerIdentity&, const std::string&, bool* member) {
  *member = false;
  return kNotSupported;
}

// --- Files -------------------------------------------------------------------------

bool CanOpenForReading(const std::string&) { return false; }
int ReadWholeFile(const std::string&, std::string* content) {
  content->clear();
  return kNotSupported;
}
int ReadFileAs(const CallerIdentity&, const std::string&, std::size_t, std::string* content) {
  content->clear();
  return kNotSupported;
}
int WriteFileAs(const CallerIdentity&, const std::string&, const std::string&, FileAccess) { return kNotSupported; }
int MakeOwnerOnlyDirectory(const std::string&) { return kNotSupported; }

// --- LocalSocket -------------------------------------------------------------------

std::size_t MaxLocalSocketPath() { return 0; }
int ConnectLocalSocket(const std::string&, SocketHandle* handle) {
  *handle = kInvalidSocket;
  return kNotSupported;
}
int LocalPeerProcess(SocketHandle, std::uint32_t*) { return kNotSupported; }
bool IsSocketFile(const std::string&) { return false; }
bool IsLocalSocketListening(const std::string&) { return false; }

}  // namespace platform
