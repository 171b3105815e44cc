#include "platform/Groups.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/linux/NativeIdentity.h"

namespace platform {
namespace {

constexpr std::size_t kEntryBuffer = 16384;

int GroupId(const std::string& name, gid_t* gid) {
  group entry{};
  group* found = nullptr;
  std::vector<char> buffer(kEntryBuffer);
  const int error = getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
  if (error != 0) return error;
  if (found == nullptr) return ENOENT;
  *gid = entry.gr_gid;
  return 0;
}

// The user's primary and supplementary groups, as the system's group database has them.
int GroupsOf(uid_t uid, std::vector<gid_t>* groups) {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(kEntryBuffer);
  const int error = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
  if (error != 0) return error;
  if (found == nullptr) return ENOENT;
  int count = 64;
  for (;;) {
    groups->assign(static_cast<std::size_t>(count), 0);
    const int previous = count;
    if (getgrouplist(entry.pw_name, entry.pw_gid, groups->data(), &count) >= 0) {
      groups->resize(static_cast<std::size_t>(count));
      return 0;
    }
    if (count <= previous) count = previous * 2;
  }
}

}  // namespace

int IsMemberOf(const CallerIdentity& identity, const std::string& group, bool* member) {
  gid_t wanted = 0;
  if (const int error = GroupId(group, &wanted)) return error;
  std::vector<gid_t> groups;
  if (const int error = GroupsOf(UserIdOf(identity), &groups)) return error;
  *member = std::find(groups.begin(), groups.end(), wanted) != groups.end();
  return 0;
}

}  // namespace platform
