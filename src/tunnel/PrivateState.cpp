#include "tunnel/PrivateState.h"

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "common/Logging.h"
#include "platform/ProcessInfo.h"
#include "platform/Processes.h"
#include "routes/RouteLedger.h"
#include "tunnel/TunnelFileCopies.h"

namespace vortan {
namespace {

// Kept by the clean-up: the lock that shows which instance owns the directory.
constexpr char kLockName[] = ".instance.lock";
constexpr char kRecordName[] = "children.txt";
constexpr char kRouteLedgerName[] = "routes.txt";

void EmptyExcept(const std::filesystem::path& directory, const std::string& keep) {
  std::error_code error;
  for (std::filesystem::directory_iterator entry(directory, error), end; !error && entry != end;
       entry.increment(error)) {
    if (entry->path().filename() == keep) continue;
    std::error_code removal;
    std::filesystem::remove_all(entry->path(), removal);
    if (removal) {
      const std::string reason = removal.message();
      CLOG(WARNING, loggers::kService) << "Cannot remove " << entry->path().u8string() << ": " << reason;
    }
  }
}

}  // namespace

void ClaimPrivateState(RouteLedger& ledger) {
  const std::filesystem::path directory = std::filesystem::u8path(PrivateDirectory());
  platform::MakePrivateDirectory(directory.u8string());
  if (!platform::HoldInstanceLock((directory / kLockName).u8string())) {
    CLOG(WARNING, loggers::kService) << "Another instance holds " << directory.u8string()
                                     << ": its programs and files are left as they are";
    return;
  }
  const std::string record = (directory / kRecordName).u8string();
  for (std::uint32_t pid : platform::EndRecordedLeftovers(record, directory.u8string())) {
    CLOG(WARNING, loggers::kService) << "Ended a program left by a previous instance, pid:" << pid;
  }
  // The previous instance's ledger is read before the directory is emptied; this
  // instance's starts empty in its place.
  const std::string ledgerFile = (directory / kRouteLedgerName).u8string();
  RemoveLeftoverRoutes(ledgerFile);
  EmptyExcept(directory, kLockName);
  platform::RecordLaunchedPrograms(record);
  ledger.UseFile(ledgerFile);
}

}  // namespace vortan
