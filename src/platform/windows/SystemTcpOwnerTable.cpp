#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <vector>

#include "platform/windows/ChildJob.h"
#include "platform/windows/NativeIdentity.h"
#include "platform/windows/TcpOwnerTable.h"

// The system's owner table and processes, in a file of their own: a test program that
// links the service's core with a table of its own leaves this file out.
namespace platform {
namespace {

// The owner table that carries each socket's creation time (TCP_TABLE_OWNER_MODULE_ALL),
// laid out as the system gives it.
struct TcpRowWithModule {
  DWORD state;
  DWORD localAddress;
  DWORD localPort;
  DWORD remoteAddress;
  DWORD remotePort;
  DWORD owningPid;
  LARGE_INTEGER createTimestamp;
  ULONGLONG owningModuleInfo[16];
};
struct TcpTableWithModule {
  DWORD entries;
  TcpRowWithModule table[1];
};
static_assert(sizeof(TcpRowWithModule) == 160, "the system's row layout");

std::uint64_t FileTimeValue(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
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

  int CreatedAt(std::uint64_t* time) override {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!::GetProcessTimes(process_, &created, &exited, &kernel, &user)) return static_cast<int>(::GetLastError());
    *time = FileTimeValue(created);
    return 0;
  }

  bool IsServiceChild() override { return IsInChildJob(process_); }

 private:
  HANDLE process_;
};

class SystemTable : public TcpOwnerTable {
 public:
  int ReadRows(std::vector<TcpOwnerRow>* rows) override {
    std::vector<unsigned char> buffer(16 * 1024);
    for (;;) {
      DWORD size = static_cast<DWORD>(buffer.size());
      const DWORD result = ::GetExtendedTcpTable(buffer.data(), &size, FALSE, AF_INET,
                                                 TCP_TABLE_OWNER_MODULE_ALL, 0);
      if (result == ERROR_INSUFFICIENT_BUFFER) {
        buffer.resize(size + 1024);  // sockets may open between the two calls
        continue;
      }
      if (result != NO_ERROR) return static_cast<int>(result);
      const auto* table = reinterpret_cast<const TcpTableWithModule*>(buffer.data());
      rows->clear();
      for (DWORD i = 0; i < table->entries; ++i) {
        const TcpRowWithModule& entry = table->table[i];
        rows->push_back({entry.localAddress, PortOf(entry.localPort), entry.remoteAddress, PortOf(entry.remotePort),
                         entry.state, entry.owningPid, static_cast<std::uint64_t>(entry.createTimestamp.QuadPart)});
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

TcpOwnerTable& SystemTcpOwnerTable() {
  static SystemTable table;
  return table;
}

}  // namespace platform
