#include "platform/windows/ChildJob.h"

#include <mutex>

namespace platform {
namespace {

// Made at the first launch and held until the process ends; never inherited.
HANDLE job = nullptr;
DWORD jobError = 0;
std::once_flag jobMade;

HANDLE Job() {
  std::call_once(jobMade, [] {
    HANDLE made = ::CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (made == nullptr ||
        !::SetInformationJobObject(made, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
      jobError = ::GetLastError();
      if (made != nullptr) ::CloseHandle(made);
      return;
    }
    job = made;
  });
  return job;
}

}  // namespace

int AddToChildJob(HANDLE process) {
  HANDLE children = Job();
  if (children == nullptr) return static_cast<int>(jobError);
  return ::AssignProcessToJobObject(children, process) ? 0 : static_cast<int>(::GetLastError());
}

bool IsInChildJob(HANDLE process) {
  HANDLE children = Job();
  BOOL inJob = FALSE;
  return children != nullptr && ::IsProcessInJob(process, children, &inJob) && inJob;
}

}  // namespace platform
