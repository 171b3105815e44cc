#pragma once

#include <cstdint>
#include <string>

// Local users and groups.
namespace platform {

// Sets *member to whether the user belongs to the named group, as primary or
// supplementary group. Returns 0, ENOENT when the user or the group is unknown, or
// another platform error code.
int IsGroupMember(std::uint32_t uid, const std::string& group, bool* member);

}  // namespace platform
