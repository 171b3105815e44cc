#include "platform/LocalSocket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/linux/ErrnoError.h"

namespace platform {

bool LocalSocketsAreFiles() { return true; }

std::size_t MaxLocalSocketPath() { return sizeof(sockaddr_un::sun_path) - 1; }

Error ConnectLocalSocket(const std::string& path, SocketHandle* handle) {
  if (path.empty() || path.size() > MaxLocalSocketPath()) return ErrnoError(ENAMETOOLONG, "socket path");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return ErrnoError(errno, "socket(AF_UNIX)");
  int result;
  do {
    result = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    const int error = errno;
    close(fd);
    return ErrnoError(error, "connect");
  }
  *handle = fd;
  return Error::Success();
}

Error LocalPeerProcess(SocketHandle handle, std::uint32_t* processId) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (getsockopt(static_cast<int>(handle), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
    return ErrnoError(errno, "getsockopt(SO_PEERCRED)");
  }
  *processId = static_cast<std::uint32_t>(credentials.pid);
  return Error::Success();
}

bool IsSocketFile(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

// The kernel lists every local socket in /proc/net/unix: slot, reference count,
// protocol, flags (hexadecimal; __SO_ACCEPTCON once listen() was called), type, state,
// inode, then the bound path, which may hold blanks.
bool IsLocalSocketListening(const std::string& path) {
  constexpr unsigned long kAcceptsConnections = 0x10000;
  std::ifstream table("/proc/net/unix");
  std::string line;
  std::getline(table, line);  // the column names
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, references, protocol, flags, type, state, inode, name;
    if (!(fields >> slot >> references >> protocol >> flags >> type >> state >> inode)) continue;
    std::getline(fields >> std::ws, name);
    if (name == path && (std::strtoul(flags.c_str(), nullptr, 16) & kAcceptsConnections) != 0) return true;
  }
  return false;
}

}  // namespace platform
