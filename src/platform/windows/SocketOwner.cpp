#include "platform/SocketOwner.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <vector>

#include "platform/windows/NativeIdentity.h"
#include "platform/windows/TcpOwnerTable.h"

namespace platform {
namespace {

// Process 0 (System Idle) is no process: Windows lists sockets whose owner has gone
// under it, and Wine lists every socket so. Process 4 (System) holds the kernel's own
// sockets. Neither speaks for a local user, and both run as LocalSystem.
constexpr std::uint32_t kIdleProcess = 0;
constexpr std::uint32_t kSystemProcess = 4;

bool IsUserProcess(std::uint32_t processId) { return processId != kIdleProcess && processId != kSystemProcess; }

// A process holds its socket in these states, also after a half-close; TIME_WAIT and
// the rest are what the system keeps after the owner closed, or no connection yet.
bool IsConnectedState(unsigned long state) {
  switch (state) {
    case MIB_TCP_STATE_ESTAB:
    case MIB_TCP_STATE_FIN_WAIT1:
    case MIB_TCP_STATE_FIN_WAIT2:
    case MIB_TCP_STATE_CLOSE_WAIT:
    case MIB_TCP_STATE_CLOSING:
    case MIB_TCP_STATE_LAST_ACK:
      return true;
    default:
      return false;
  }
}

const TcpOwnerRow* FindRow(const std::vector<TcpOwnerRow>& rows, std::uint32_t address, int port,
                           std::uint32_t remoteAddress, int remotePort) {
  for (const TcpOwnerRow& row : rows) {
    if (row.localAddress == address && row.localPort == port && row.remoteAddress == remoteAddress &&
        row.remotePort == remotePort) {
      return &row;
    }
  }
  return nullptr;
}

int PortOf(DWORD networkOrderPort) { return ntohs(static_cast<u_short>(networkOrderPort)); }

class SystemHeldProcess : public HeldProcess {
 public:
  explicit SystemHeldProcess(HANDLE process) : process_(process) {}
  ~SystemHeldProcess() override { ::CloseHandle(process_); }
  SystemHeldProcess(const SystemHeldProcess&) = delete;
  SystemHeldProcess& operator=(const SystemHeldProcess&) = delete;

  // The primary token is duplicated as an impersonation token: files are then read
  // and written on the user's behalf by impersonating it.
  int User(std::optional<CallerIdentity>* user) override {
    HANDLE primary = nullptr;
    if (!::OpenProcessToken(process_, TOKEN_QUERY | TOKEN_DUPLICATE, &primary)) {
      return static_cast<int>(::GetLastError());
    }
    HANDLE impersonation = nullptr;
    const BOOL duplicated = ::DuplicateTokenEx(primary, TOKEN_QUERY | TOKEN_IMPERSONATE | TOKEN_DUPLICATE, nullptr,
                                               SecurityImpersonation, TokenImpersonation, &impersonation);
    const DWORD error = duplicated ? ERROR_SUCCESS : ::GetLastError();
    ::CloseHandle(primary);
    if (!duplicated) return static_cast<int>(error);
    return IdentityOfToken(impersonation, user);
  }

 private:
  HANDLE process_;
};

class SystemTable : public TcpOwnerTable {
 public:
  int ReadRows(std::vector<TcpOwnerRow>* rows) override {
    std::vector<unsigned char> buffer(16 * 1024);
    for (;;) {
      DWORD size = static_cast<DWORD>(buffer.size());
      const DWORD result = ::GetExtendedTcpTable(buffer.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0);
      if (result == ERROR_INSUFFICIENT_BUFFER) {
        buffer.resize(size + 1024);  // sockets may open between the two calls
        continue;
      }
      if (result != NO_ERROR) return static_cast<int>(result);
      const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
      rows->clear();
      for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_TCPROW_OWNER_PID& entry = table->table[i];
        rows->push_back({entry.dwLocalAddr, PortOf(entry.dwLocalPort), entry.dwRemoteAddr, PortOf(entry.dwRemotePort),
                         entry.dwState, entry.dwOwningPid});
      }
      return 0;
    }
  }

  int HoldProcess(std::uint32_t processId, std::unique_ptr<HeldProcess>* process) override {
    HANDLE handle = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (handle == nullptr) return static_cast<int>(::GetLastError());
    *process = std::make_unique<SystemHeldProcess>(handle);
    return 0;
  }
};

}  // namespace

std::uint32_t ConnectedOwnerProcess(const std::vector<TcpOwnerRow>& rows, std::uint32_t address, int port,
                                    std::uint32_t remoteAddress, int remotePort) {
  const TcpOwnerRow* row = FindRow(rows, address, port, remoteAddress, remotePort);
  if (row == nullptr || !IsConnectedState(row->state) || !IsUserProcess(row->processId)) return kIdleProcess;
  return row->processId;
}

TcpOwnerTable& SystemTcpOwnerTable() {
  static SystemTable table;
  return table;
}

int FindTcpSocketOwnerIn(TcpOwnerTable& table, std::uint32_t address, int port, std::uint32_t remoteAddress,
                         int remotePort, std::optional<CallerIdentity>* owner) {
  std::vector<TcpOwnerRow> rows;
  if (const int error = table.ReadRows(&rows)) return error;
  const std::uint32_t processId = ConnectedOwnerProcess(rows, address, port, remoteAddress, remotePort);
  if (processId == kIdleProcess) return ERROR_NOT_FOUND;
  std::unique_ptr<HeldProcess> process;
  if (const int error = table.HoldProcess(processId, &process)) {
    // An id that names no process any more: the owner exited after the table was read.
    return error == ERROR_INVALID_PARAMETER ? ERROR_NOT_FOUND : error;
  }
  // The id may have passed to another process between the table read and the open;
  // held open now, it cannot change again, so the table is asked once more.
  if (const int error = table.ReadRows(&rows)) return error;
  if (ConnectedOwnerProcess(rows, address, port, remoteAddress, remotePort) != processId) return ERROR_NOT_FOUND;
  return process->User(owner);
}

int FindTcpSocketOwner(std::uint32_t address, int port, std::uint32_t remoteAddress, int remotePort,
                       std::optional<CallerIdentity>* owner) {
  return FindTcpSocketOwnerIn(SystemTcpOwnerTable(), address, port, remoteAddress, remotePort, owner);
}

}  // namespace platform
