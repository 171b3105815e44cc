#pragma once

#include <sys/types.h>

#include "platform/CallerIdentity.h"

// On Linux a caller is a user id.
namespace platform {

struct CallerIdentity::Native {
  uid_t uid;
};

CallerIdentity IdentityOfUser(uid_t uid);

inline uid_t UserIdOf(const CallerIdentity& identity) { return identity.GetNative().uid; }

}  // namespace platform
