#include "platform/linux/FileIdentity.h"

#include <grp.h>
#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace platform {
namespace {

// glibc's setgroups() changes every thread of the process; the raw system call
// changes only the calling thread's credentials.
int SetThreadGroups(int count, const gid_t* groups) {
  return syscall(SYS_setgroups, count, groups) == 0 ? 0 : errno;
}

// setfsuid/setfsgid report no errors: read the value back to check.
bool SetFsUid(uid_t uid) {
  setfsuid(uid);
  return static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1))) == uid;
}

bool SetFsGid(gid_t gid) {
  setfsgid(gid);
  return static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1))) == gid;
}

// The raw calls act on the calling thread only (glibc has no wrapper of its own).
int GetThreadCapabilities(__user_cap_data_struct* data) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  return syscall(SYS_capget, &header, data) == 0 ? 0 : errno;
}

int SetThreadCapabilities(const __user_cap_data_struct* data) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  return syscall(SYS_capset, &header, data) == 0 ? 0 : errno;
}

}  // namespace

ScopedFileIdentity::ScopedFileIdentity(uid_t uid) {
  savedUid_ = static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1)));
  savedGid_ = static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1)));
  savedGroupCount_ = getgroups(kMaxSavedGroups, savedGroups_);
  if (savedGroupCount_ < 0) {
    error_ = errno;
    return;
  }
  // Read before the switch: a file-system user other than root clears part of them.
  error_ = GetThreadCapabilities(savedCapabilities_);
  if (error_ != 0) return;

  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  int lookup = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
  if (found == nullptr) {
    error_ = lookup != 0 ? lookup : ENOENT;
    return;
  }
  std::vector<gid_t> groups(64);
  int count = static_cast<int>(groups.size());
  if (getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<size_t>(count));
    getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count);
  }
  switched_ = true;
  error_ = SetThreadGroups(count, groups.data());
  if (error_ == 0 && !SetFsGid(entry.pw_gid)) error_ = EPERM;
  if (error_ == 0 && !SetFsUid(uid)) error_ = EPERM;
  // Last, as the steps above need CAP_SETUID and CAP_SETGID; the permitted set stays,
  // so that Restore can raise them again.
  if (error_ == 0) {
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    for (int i = 0; i < _LINUX_CAPABILITY_U32S_3; ++i) {
      none[i].permitted = savedCapabilities_[i].permitted;
      none[i].inheritable = savedCapabilities_[i].inheritable;
    }
    error_ = SetThreadCapabilities(none);
    capabilitiesCleared_ = error_ == 0;
  }
  if (error_ != 0) Restore();
}

ScopedFileIdentity::~ScopedFileIdentity() { Restore(); }

void ScopedFileIdentity::Restore() {
  if (!switched_) return;
  switched_ = false;
  if (capabilitiesCleared_) SetThreadCapabilities(savedCapabilities_);
  capabilitiesCleared_ = false;
  // The user id first, so the thread has its file capabilities back before the rest.
  SetFsUid(savedUid_);
  SetFsGid(savedGid_);
  SetThreadGroups(savedGroupCount_, savedGroups_);
}

}  // namespace platform
