// From a loopback connection to the user behind it: the rules on a table of our own,
// and the system's table and process tokens themselves.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "LoopbackSockets.h"
#include "platform/SocketOwner.h"
#include "platform/windows/NativeIdentity.h"
#include "platform/windows/TcpOwnerTable.h"

namespace vortan {
namespace {

using platform::TcpOwnerRow;

const std::uint32_t kLoopback = htonl(INADDR_LOOPBACK);
const std::uint32_t kOtherLoopback = htonl(0x7F000002);
constexpr int kClientPort = 50001;
constexpr int kServicePort = 40001;
constexpr std::uint32_t kClientProcess = 4242;
const char* const kClientSid = "S-1-5-21-1111-2222-3333-1001";

// Processes start at time 100, sockets are made at 200 unless a row says otherwise.
constexpr std::uint64_t kProcessStart = 100;
constexpr std::uint64_t kSocketMade = 200;

class FakeProcess : public platform::HeldProcess {
 public:
  FakeProcess(std::optional<platform::CallerIdentity> user, std::uint64_t createdAt, bool child)
      : user_(std::move(user)), createdAt_(createdAt), child_(child) {}
  int User(std::optional<platform::CallerIdentity>* user) override {
    if (!user_) return ERROR_ACCESS_DENIED;
    *user = user_;
    return 0;
  }
  int CreatedAt(std::uint64_t* time) override {
    *time = createdAt_;
    return 0;
  }
  bool IsServiceChild() override { return child_; }

 private:
  std::optional<platform::CallerIdentity> user_;
  std::uint64_t createdAt_;
  bool child_;
};

// Successive reads return successive tables (the last one repeats); a process id that
// names no user is a process that has gone.
class FakeTable : public platform::TcpOwnerTable {
 public:
  explicit FakeTable(std::vector<std::vector<TcpOwnerRow>> tables = {}) : reads(std::move(tables)) {
    users[kClientProcess] = *platform::IdentityOfSidText(kClientSid);
  }
  int ReadRows(std::vector<TcpOwnerRow>* rows) override {
    if (readError != 0) return readError;
    *rows = reads.at(std::min(readCount++, reads.size() - 1));
    return 0;
  }
  int HoldProcess(std::uint32_t processId, std::unique_ptr<platform::HeldProcess>* process) override {
    held.push_back(processId);
    auto user = users.find(processId);
    if (user == users.end()) return ERROR_INVALID_PARAMETER;
    *process = std::make_unique<FakeProcess>(user->second, processStart, serviceChild);
    return 0;
  }

  std::vector<std::vector<TcpOwnerRow>> reads;
  std::map<std::uint32_t, std::optional<platform::CallerIdentity>> users;
  std::vector<std::uint32_t> held;
  std::size_t readCount = 0;
  int readError = 0;
  std::uint64_t processStart = kProcessStart;
  bool serviceChild = false;
};

TcpOwnerRow ClientRow(unsigned long state, std::uint32_t processId, std::uint64_t createdAt = kSocketMade) {
  return {kLoopback, kClientPort, kLoopback, kServicePort, state, processId, createdAt};
}

// The service's side of the same connection, owned by the service's process.
TcpOwnerRow ServiceRow() {
  return {kLoopback, kServicePort, kLoopback, kClientPort, MIB_TCP_STATE_ESTAB, 777, kSocketMade};
}

platform::CallerIdentity ClientUser() { return *platform::IdentityOfSidText(kClientSid); }

int FindClient(FakeTable& table, std::optional<platform::CallerIdentity>* owner) {
  return platform::FindTcpSocketOwnerIn(table, kLoopback, kClientPort, kLoopback, kServicePort, owner);
}

// One lookup of the client's socket: the tables successive reads return, the owner
// process's circumstances and the answer.
struct Lookup {
  const char* name;
  std::vector<std::vector<TcpOwnerRow>> reads;
  int expected = ERROR_NOT_FOUND;  // 0: the client's user is named
  std::uint32_t held = 0;          // the process opened; 0: none
  std::uint64_t processStart = kProcessStart;
  bool serviceChild = false;
  int readError = 0;
  bool tokenDenied = false;
};

void ExpectLookups(const std::vector<Lookup>& lookups) {
  for (const Lookup& row : lookups) {
    FakeTable table(row.reads);
    table.users[0] = *platform::IdentityOfSidText("S-1-5-18");
    table.users[4] = *platform::IdentityOfSidText("S-1-5-18");
    table.processStart = row.processStart;
    table.serviceChild = row.serviceChild;
    table.readError = row.readError;
    if (row.tokenDenied) table.users[kClientProcess] = std::nullopt;
    std::optional<platform::CallerIdentity> owner;
    EXPECT_EQ(FindClient(table, &owner), row.expected) << row.name;
    EXPECT_EQ(owner.has_value(), row.expected == 0) << row.name;
    if (owner) {
      EXPECT_EQ(*owner, ClientUser()) << row.name;
    }
    EXPECT_EQ(table.held, std::vector<std::uint32_t>(row.held == 0 ? 0 : 1, row.held)) << row.name;
  }
}

// The client's row alone, made at the time given.
std::vector<std::vector<TcpOwnerRow>> ClientOnly(std::uint64_t made = kSocketMade) {
  return {{ClientRow(MIB_TCP_STATE_ESTAB, kClientProcess, made)}};
}

TEST(WindowsSocketOwner, SocketsCountInTheStatesAProcessStillHoldsThem) {
  const struct {
    const char* name;
    unsigned long state;
    bool counts;
  } cases[] = {
      {"established", MIB_TCP_STATE_ESTAB, true},    {"fin-wait-1", MIB_TCP_STATE_FIN_WAIT1, true},
      {"fin-wait-2", MIB_TCP_STATE_FIN_WAIT2, true}, {"close-wait", MIB_TCP_STATE_CLOSE_WAIT, true},
      {"closing", MIB_TCP_STATE_CLOSING, true},      {"last-ack", MIB_TCP_STATE_LAST_ACK, true},
      {"time-wait", MIB_TCP_STATE_TIME_WAIT, false}, {"listen", MIB_TCP_STATE_LISTEN, false},
      {"syn-sent", MIB_TCP_STATE_SYN_SENT, false},   {"syn-received", MIB_TCP_STATE_SYN_RCVD, false},
      {"closed", MIB_TCP_STATE_CLOSED, false},       {"delete-tcb", MIB_TCP_STATE_DELETE_TCB, false},
  };
  std::vector<Lookup> lookups;
  for (const auto& row : cases) {
    lookups.push_back({row.name, {{ServiceRow(), ClientRow(row.state, kClientProcess)}},
                       row.counts ? 0 : ERROR_NOT_FOUND, row.counts ? kClientProcess : 0});
  }
  ExpectLookups(lookups);
}

// None of these may name an owner: no such socket, the ends the other way round, the
// idle and system processes (the first is what Wine reports for every socket), an owner
// gone before it could be opened, an id that passed to another process meanwhile.
TEST(WindowsSocketOwner, NoOwnerUnlessAUserProcessHoldsExactlyThatSocket) {
  const TcpOwnerRow reversed = {kLoopback, kServicePort, kLoopback, kClientPort, MIB_TCP_STATE_ESTAB, kClientProcess,
                                 kSocketMade};
  const TcpOwnerRow otherAddress = {kOtherLoopback, kClientPort,    kLoopback,  kServicePort,
                                    MIB_TCP_STATE_ESTAB, kClientProcess, kSocketMade};
  ExpectLookups({
      {"empty table", {{}}},
      {"only the service's end", {{reversed}}},
      {"other local address", {{otherAddress}}},
      {"idle process", {{ClientRow(MIB_TCP_STATE_ESTAB, 0)}}},
      {"system process", {{ClientRow(MIB_TCP_STATE_ESTAB, 4)}}},
      {"process gone", {{ClientRow(MIB_TCP_STATE_ESTAB, 5150)}}, ERROR_NOT_FOUND, 5150},
      {"id taken over", {ClientOnly()[0], {ClientRow(MIB_TCP_STATE_ESTAB, 9999)}}, ERROR_NOT_FOUND,
       kClientProcess},
      {"socket gone meanwhile", {ClientOnly()[0], {}}, ERROR_NOT_FOUND, kClientProcess},
  });
}

// An owner that cannot have made the socket lends no identity: one started after the
// socket (its id passed on while a child held the creator's socket), a socket of
// unknown age, and a child of the service (it runs as the service). Failures of the
// system are reported with their code.
TEST(WindowsSocketOwner, OwnersThatCannotHaveMadeTheSocketAreRefused) {
  const int denied = ERROR_ACCESS_DENIED;
  ExpectLookups({
      {"started before the socket", ClientOnly(), 0, kClientProcess},
      {"started after the socket", ClientOnly(), denied, kClientProcess, kSocketMade + 1},
      {"socket of unknown age", ClientOnly(0), denied, kClientProcess},
      {"a child of the service", ClientOnly(), denied, kClientProcess, kProcessStart, true},
      {"unreadable table", ClientOnly(), ERROR_NOT_SUPPORTED, 0, kProcessStart, false, ERROR_NOT_SUPPORTED},
      {"token denied", ClientOnly(), denied, kClientProcess, kProcessStart, false, 0, true},
  });
}

// Wine lists every socket under process 0; Windows names this process (the owner the
// seam finds from it: tests/unit/SocketOwnerContractTest.cpp).
TEST(WindowsSocketOwner, TheSystemTableListsALoopbackConnection) {
  test::LoopbackConnection pair;
  std::vector<TcpOwnerRow> rows;
  ASSERT_EQ(platform::SystemTcpOwnerTable().ReadRows(&rows), 0);
  const auto client = std::find_if(rows.begin(), rows.end(), [&](const TcpOwnerRow& row) {
    return row.localAddress == kLoopback && row.localPort == pair.clientPort &&
           row.remotePort == pair.servicePort;
  });
  ASSERT_NE(client, rows.end());
  EXPECT_EQ(client->state, static_cast<unsigned long>(MIB_TCP_STATE_ESTAB));
  if (client->processId != 0) {
    EXPECT_EQ(client->processId, ::GetCurrentProcessId());
  }
}

TEST(WindowsSocketOwner, AnIdThatNamesNoProcessCannotBeHeld) {
  std::unique_ptr<platform::HeldProcess> process;
  // Process ids are multiples of four: this one names no process.
  EXPECT_NE(platform::SystemTcpOwnerTable().HoldProcess(0xFFFFFFF1u, &process), 0);
  EXPECT_EQ(process, nullptr);
}

}  // namespace
}  // namespace vortan
