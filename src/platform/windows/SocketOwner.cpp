#include "platform/SocketOwner.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <vector>

#include "platform/windows/TcpOwnerTable.h"
#include "platform/windows/Win32Error.h"

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


}  // namespace

std::uint32_t ConnectedOwnerProcess(const std::vector<TcpOwnerRow>& rows, std::uint32_t address, int port,
                                    std::uint32_t remoteAddress, int remotePort) {
  const TcpOwnerRow* row = FindRow(rows, address, port, remoteAddress, remotePort);
  if (row == nullptr || !IsConnectedState(row->state) || !IsUserProcess(row->processId)) return kIdleProcess;
  return row->processId;
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
  if (process->IsServiceChild()) return ERROR_ACCESS_DENIED;
  const TcpOwnerRow* row = FindRow(rows, address, port, remoteAddress, remotePort);
  std::uint64_t processCreated = 0;
  if (const int error = process->CreatedAt(&processCreated)) return error;
  // A socket of unknown age cannot be matched to its creator: refused as well.
  if (row->createdAt == 0 || processCreated > row->createdAt) return ERROR_ACCESS_DENIED;
  return process->User(owner);
}

Error FindTcpSocketOwner(std::uint32_t address, int port, std::uint32_t remoteAddress, int remotePort,
                         std::optional<CallerIdentity>* owner) {
  return Win32Error(static_cast<unsigned long>(
                        FindTcpSocketOwnerIn(SystemTcpOwnerTable(), address, port, remoteAddress, remotePort, owner)),
                    "socket owner");
}

}  // namespace platform
