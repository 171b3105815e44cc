#include "platform/CallerIdentity.h"

#include <pwd.h>

#include <vector>

#include "platform/linux/NativeIdentity.h"

namespace platform {

namespace {
constexpr uid_t kRoot = 0;
}  // namespace

CallerIdentity IdentityOfUser(uid_t uid) {
  return CallerIdentity(std::make_shared<const CallerIdentity::Native>(CallerIdentity::Native{uid}));
}

bool operator==(const CallerIdentity& left, const CallerIdentity& right) { return UserIdOf(left) == UserIdOf(right); }

// The service runs as root.
CallerIdentity ServiceIdentity() {
  static const CallerIdentity service = IdentityOfUser(kRoot);
  return service;
}

bool IsPrivileged(const CallerIdentity& identity) { return UserIdOf(identity) == kRoot; }

bool HasAccount(const CallerIdentity& identity) {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  return getpwuid_r(UserIdOf(identity), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr;
}

std::string IdentityText(const CallerIdentity& identity) { return std::to_string(UserIdOf(identity)); }

}  // namespace platform
