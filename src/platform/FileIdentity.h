#pragma once

#include <cstdint>

namespace platform {

// While alive, the calling thread reads and writes files with the file-system
// identity of a user (user, primary group and supplementary groups), so the kernel
// enforces that user's rights; the previous identity is restored on destruction.
// Other threads are not affected.
class ScopedFileIdentity {
 public:
  explicit ScopedFileIdentity(std::uint32_t uid);
  ~ScopedFileIdentity();
  ScopedFileIdentity(const ScopedFileIdentity&) = delete;
  ScopedFileIdentity& operator=(const ScopedFileIdentity&) = delete;

  // 0 when the identity is in force, else the errno of the failed step.
  int Error() const { return error_; }

 private:
  void Restore();

  int error_ = 0;
  bool switched_ = false;
  std::uint32_t savedUid_ = 0;
  std::uint32_t savedGid_ = 0;
  int savedGroupCount_ = -1;
  std::uint32_t savedGroups_[256] = {};
};

}  // namespace platform
