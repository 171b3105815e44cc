#pragma once

#include "platform/Error.h"

// Win32 and Winsock errors as platform errors.
namespace platform {

// The kind of a Win32 or Winsock error code; None for 0.
ErrorKind KindOfWin32Error(unsigned long code);

// The platform error for a code returned by step; success for 0.
inline Error Win32Error(unsigned long code, const char* step) {
  return Error(KindOfWin32Error(code), static_cast<NativeErrorCode>(code), step);
}

// The platform error for the calling thread's last error after step failed.
Error LastWin32Error(const char* step);

}  // namespace platform
