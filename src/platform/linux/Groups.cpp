#include "platform/Groups.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/linux/ErrnoError.h"
#include "platform/linux/NativeIdentity.h"

namespace platform {
namespace {

constexpr std::size_t kEntryBuffer = 16384;

Error GroupId(const std::string& name, gid_t* gid) {
  group entry{};
  group* found = nullptr;
  std::vector<char> buffer(kEntryBuffer);
  const int error = getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
  if (error != 0) return ErrnoError(error, "getgrnam_r");
  if (found == nullptr) return ErrnoError(ENOENT, "getgrnam_r");
  *gid = entry.gr_gid;
  return Error::Success();
}

// The user's primary and supplementary groups, as the system's group database has them.
Error GroupsOf(uid_t uid, std::vector<gid_t>* groups) {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(kEntryBuffer);
  const int error = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
  if (error != 0) return ErrnoError(error, "getpwuid_r");
  if (found == nullptr) return ErrnoError(ENOENT, "getpwuid_r");
  int count = 64;
  for (;;) {
    groups->assign(static_cast<std::size_t>(count), 0);
    const int previous = count;
    if (getgrouplist(entry.pw_name, entry.pw_gid, groups->data(), &count) >= 0) {
      groups->resize(static_cast<std::size_t>(count));
      return Error::Success();
    }
    if (count <= previous) count = previous * 2;
  }
}

}  // namespace

Error IsMemberOf(const CallerIdentity& identity, const std::string& group, bool* member) {
  gid_t wanted = 0;
  if (const Error error = GroupId(group, &wanted); error.Failed()) return error;
  std::vector<gid_t> groups;
  if (const Error error = GroupsOf(UserIdOf(identity), &groups); error.Failed()) return error;
  *member = std::find(groups.begin(), groups.end(), wanted) != groups.end();
  return Error::Success();
}

}  // namespace platform
