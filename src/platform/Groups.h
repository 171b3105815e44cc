#pragma once

#include <string>

#include "platform/CallerIdentity.h"
#include "platform/Error.h"

// Local users and groups.
namespace platform {

// Sets *member to whether the user belongs to the named local group, directly or
// through the user's primary group. Returns success, NotFound when the user or the
// group is unknown, or another platform error.
Error IsMemberOf(const CallerIdentity& identity, const std::string& group, bool* member);

}  // namespace platform
