#include "platform/windows/Win32Error.h"

#include <winsock2.h>
#include <windows.h>

namespace platform {

ErrorKind KindOfWin32Error(unsigned long code) {
  switch (code) {
    case ERROR_SUCCESS:
      return ErrorKind::None;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
    case WSAEACCES:
      return ErrorKind::AccessDenied;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
    case ERROR_OBJECT_ALREADY_EXISTS:
    case ERROR_SERVICE_EXISTS:
      return ErrorKind::AlreadyExists;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_NOT_FOUND:
    case ERROR_SERVICE_DOES_NOT_EXIST:
    case ERROR_NO_DATA:
      return ErrorKind::NotFound;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_DATA:
    case WSAEINVAL:
      return ErrorKind::Invalid;
    case WSAEWOULDBLOCK:
    case WSAEINPROGRESS:
    case ERROR_IO_PENDING:
      return ErrorKind::WouldBlock;
    case ERROR_INVALID_HANDLE:
    case ERROR_PROCESS_ABORTED:
      return ErrorKind::ProcessGone;
    default:
      return ErrorKind::Other;
  }
}

Error LastWin32Error(const char* step) { return Win32Error(::GetLastError(), step); }

Error NotPermitted(const char* step) { return Win32Error(ERROR_ACCESS_DENIED, step); }

}  // namespace platform
