#include "platform/linux/ErrnoError.h"

#include <cerrno>

namespace platform {

ErrorKind KindOfErrno(int code) {
  switch (code) {
    case 0:
      return ErrorKind::None;
    case EACCES:
    case EPERM:
      return ErrorKind::AccessDenied;
    case EEXIST:
      return ErrorKind::AlreadyExists;
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return ErrorKind::NotFound;
    case EINVAL:
      return ErrorKind::Invalid;
    case EAGAIN:  // EWOULDBLOCK has the same value on Linux
    case EINPROGRESS:
      return ErrorKind::WouldBlock;
    case ESRCH:
    case ECHILD:
      return ErrorKind::ProcessGone;
    default:
      return ErrorKind::Other;
  }
}

Error NotPermitted(const char* step) { return ErrnoError(EPERM, step); }

}  // namespace platform
