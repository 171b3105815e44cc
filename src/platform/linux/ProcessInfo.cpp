#include "platform/ProcessInfo.h"

#include <cerrno>
#include <cstring>
#include <limits.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "Version.h"
#include "platform/linux/ErrnoError.h"

namespace platform {

std::string ExecutablePath() {
  // No fixed limit: grow the buffer until the link text fits.
  std::vector<char> buffer(PATH_MAX);
  for (;;) {
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return std::string();
    if (static_cast<size_t>(length) < buffer.size()) return std::string(buffer.data(), length);
    buffer.resize(buffer.size() * 2);
  }
}

std::string CommandLine(int argc, char** argv) {
  std::string line = ExecutablePath();
  for (int i = 1; i < argc; ++i) line += std::string(" ") + argv[i];
  return line;
}

std::string VersionText() { return VORTAN_VERSION_TEXT; }

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(getpid()); }

std::uint64_t CurrentThreadId() { return static_cast<std::uint64_t>(syscall(SYS_gettid)); }

bool PathExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

Error RenameFile(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0 ? Error::Success() : ErrnoError(errno, "rename");
}

Error RemoveFile(const std::string& path) {
  return unlink(path.c_str()) == 0 ? Error::Success() : ErrnoError(errno, "unlink");
}

std::string ErrorText(NativeErrorCode code) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not live in buffer.
  return std::string(strerror_r(static_cast<int>(code), buffer, sizeof buffer));
}

}  // namespace platform

namespace platform {

Error MakePrivateDirectory(const std::string& path) {
  if (mkdir(path.c_str(), 0750) == 0 || errno == EEXIST) return Error::Success();
  return ErrnoError(errno, "mkdir");
}

bool FileSize(const std::string& path, std::uint64_t* size) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  *size = static_cast<std::uint64_t>(info.st_size);
  return true;
}

}  // namespace platform

#include <fcntl.h>

#include "platform/linux/Descriptors.h"

namespace platform {

Error WritePublicFile(const std::string& path, const std::string& bytes, bool* opened) {
  *opened = false;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return ErrnoError(errno, "open");
  *opened = true;
  // The service's umask may be stricter; the client must be able to read this file.
  fchmod(fd, 0644);
  const int error = WriteAll(fd, bytes.data(), bytes.size());
  if (error != 0) {
    close(fd);
    return ErrnoError(error, "write");
  }
  return close(fd) == 0 ? Error::Success() : ErrnoError(errno, "close");
}

}  // namespace platform
