#include "tunnel/PrivateState.h"

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "common/Logging.h"
#include "platform/ProcessInfo.h"
#include "platform/Processes.h"
#include "tunnel/TunnelFileCopies.h"

namespace vortan {
namespace {

// Kept by the clean-up: the lock that shows which instance owns the directory.
constexpr char kLockName[] = ".instance.lock";
constexpr char kRecordName[] = "children.txt";

void EmptyExcept(const std::filesystem::path& directory, const std::string& keep) {
  std::error_code error;
  for (std::filesystem::directory_iterator entry(directory, error), end; !error && entry != end;
       entry.increment(error)) {
    if (entry->path().filename() == keep) continue;
    std::error_code removal;
    std::filesystem::remove_all(entry->path(), removal);
    if (removal) {
      const std::string reason = removal.message();
      CLOG(WARNING, loggers::kService) << "Cannot remove " << entry->path().string() << ": " << reason;
    }
  }
}

}  // namespace

void ClaimPrivateState() {
  const std::filesystem::path directory = PrivateDirectory();
  platform::MakePrivateDirectory(directory.string());
  if (!platform::HoldInstanceLock((directory / kLockName).string())) {
    CLOG(WARNING, loggers::kService) << "Another instance holds " << directory.string()
                                     << ": its programs and files are left as they are";
    return;
  }
  const std::string record = (directory / kRecordName).string();
  for (std::uint32_t pid : platform::EndRecordedLeftovers(record, directory.string())) {
    CLOG(WARNING, loggers::kService) << "Ended a program left by a previous instance, pid:" << pid;
  }
  EmptyExcept(directory, kLockName);
  platform::RecordLaunchedPrograms(record);
}

}  // namespace vortan
