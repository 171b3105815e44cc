#pragma once

#include <linux/capability.h>
#include <sys/types.h>

namespace platform {

// While alive, the calling thread reads and writes files with the file-system
// identity of a user (user, primary group and supplementary groups) and no effective
// capability, so the kernel enforces exactly that user's rights: a changed file-system
// identity alone leaves capabilities such as CAP_SYS_PTRACE in force, which open other
// users' /proc entries. The previous identity and capabilities are restored on
// destruction. Other threads are not affected.
class ScopedFileIdentity {
 public:
  explicit ScopedFileIdentity(uid_t uid);
  ~ScopedFileIdentity();
  ScopedFileIdentity(const ScopedFileIdentity&) = delete;
  ScopedFileIdentity& operator=(const ScopedFileIdentity&) = delete;

  // 0 when the identity is in force, else the errno of the failed step.
  int Error() const { return error_; }

 private:
  static constexpr int kMaxSavedGroups = 256;

  void Restore();

  int error_ = 0;
  bool switched_ = false;
  bool capabilitiesCleared_ = false;
  __user_cap_data_struct savedCapabilities_[_LINUX_CAPABILITY_U32S_3] = {};
  uid_t savedUid_ = 0;
  gid_t savedGid_ = 0;
  int savedGroupCount_ = -1;
  gid_t savedGroups_[kMaxSavedGroups] = {};
};

}  // namespace platform
