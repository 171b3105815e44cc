#pragma once

#include "platform/Error.h"

// Linux errors as platform errors.
namespace platform {

// The kind of an errno value; None for 0.
ErrorKind KindOfErrno(int code);

// The platform error for an errno value returned by step; success for 0.
inline Error ErrnoError(int code, const char* step) { return Error(KindOfErrno(code), code, step); }

}  // namespace platform
