#pragma once

#include <string>

#include "platform/CallerIdentity.h"

// Local users and groups.
namespace platform {

// Sets *member to whether the user belongs to the named local group, directly or
// through the user's primary group. Returns 0, the platform's "not found" code when the
// user or the group is unknown, or another platform error code.
int IsMemberOf(const CallerIdentity& identity, const std::string& group, bool* member);

}  // namespace platform
