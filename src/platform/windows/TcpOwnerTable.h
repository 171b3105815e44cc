#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/CallerIdentity.h"

// The system's IPv4 TCP table with each socket's owning process, and the users of those
// processes: the two steps from a connection to its owner, behind an interface so that
// the lookup rules can run against a table other than the system's.
namespace platform {

// One socket of the table: addresses in network byte order, ports in host order.
struct TcpOwnerRow {
  std::uint32_t localAddress = 0;
  int localPort = 0;
  std::uint32_t remoteAddress = 0;
  int remotePort = 0;
  unsigned long state = 0;  // a MIB_TCP_STATE value
  std::uint32_t processId = 0;
  // When the socket was made, in the system's file-time units; 0 when unknown.
  std::uint64_t createdAt = 0;
};

// A process kept open: while it is held, its id cannot be given to another process.
class HeldProcess {
 public:
  virtual ~HeldProcess() = default;
  // The process's user, carrying an impersonation token of the process; 0 or the Win32
  // code.
  virtual int User(std::optional<CallerIdentity>* user) = 0;
  // When the process was started, in the system's file-time units; 0 or the Win32 code.
  virtual int CreatedAt(std::uint64_t* time) = 0;
  // True for a process the service launched (OpenVPN, stunnel, what they start).
  virtual bool IsServiceChild() = 0;
};

class TcpOwnerTable {
 public:
  virtual ~TcpOwnerTable() = default;
  // Every IPv4 TCP socket with its owner; 0 or the Win32 code.
  virtual int ReadRows(std::vector<TcpOwnerRow>* rows) = 0;
  // Opens the process for querying; 0 or the Win32 code.
  virtual int HoldProcess(std::uint32_t processId, std::unique_ptr<HeldProcess>* process) = 0;
};

// The process that holds the connected socket whose own end is (address, port) and
// whose remote end is (remoteAddress, remotePort), in a state a process still holds it
// in; 0 when there is none, or when the table names the idle or the system process.
std::uint32_t ConnectedOwnerProcess(const std::vector<TcpOwnerRow>& rows, std::uint32_t address, int port,
                                    std::uint32_t remoteAddress, int remotePort);

// The table and processes of the running system.
TcpOwnerTable& SystemTcpOwnerTable();

// FindTcpSocketOwner on the given table. A socket lives on in a child that inherited it
// after its creator exited, and the creator's id may pass to another process: an owner
// started after the socket was made is not the socket's creator and is refused, as is a
// child of the service (it would borrow the service's own identity).
int FindTcpSocketOwnerIn(TcpOwnerTable& table, std::uint32_t address, int port, std::uint32_t remoteAddress,
                         int remotePort, std::optional<CallerIdentity>* owner);

}  // namespace platform
