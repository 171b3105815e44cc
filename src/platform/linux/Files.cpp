#include "platform/Files.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>

#include "platform/linux/Descriptors.h"
#include "platform/linux/ErrnoError.h"
#include "platform/linux/FileIdentity.h"
#include "platform/linux/NativeIdentity.h"

namespace platform {

namespace {

constexpr uid_t kRoot = 0;
constexpr mode_t kDefaultMode = 0666;  // narrowed by the umask, as a standard stream does
constexpr mode_t kOwnerOnlyMode = 0600;

// Closes the descriptor when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  // Closes now, so that a failed close can be reported.
  int Close() {
    int result = close(fd_);
    fd_ = -1;
    return result == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

// Opens a path on a user's behalf. /proc's links to other processes' directories and
// descriptors (cwd, root, fd/N, map_files) are not followed: the kernel follows them
// without checking the directories above their targets, so they would reach files the
// user could not name.
Fd OpenOnBehalf(const std::string& path, int flags, mode_t mode) {
  open_how how{};
  how.flags = static_cast<std::uint64_t>(flags);
  how.mode = (flags & O_CREAT) != 0 ? mode : 0;
  how.resolve = RESOLVE_NO_MAGICLINKS;
  return Fd(static_cast<int>(syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how)));
}

// O_NONBLOCK keeps a FIFO planted at the path from blocking the open.
Fd OpenForWriting(const std::string& path, mode_t mode) {
  return OpenOnBehalf(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, mode);
}

Error RequireRegularFile(int fd) {
  struct stat info;
  if (fstat(fd, &info) != 0) return ErrnoError(errno, "fstat");
  return S_ISREG(info.st_mode) ? Error::Success() : ErrnoError(EINVAL, "regular file");
}

// The creation mode applies only to a new file; an existing one keeps its mode unless
// it is narrowed here, before any byte is written.
Error RestrictToOwner(int fd) {
  return fchmod(fd, kOwnerOnlyMode) == 0 ? Error::Success() : ErrnoError(errno, "fchmod");
}

// Reads from fd until its end into *content; EFBIG once more than maxBytes arrived.
// Counted while reading: the file may grow after any size check.
Error ReadToEnd(int fd, std::size_t maxBytes, std::string* content) {
  content->clear();
  char buffer[4096];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return ErrnoError(errno, "read");
    }
    if (got == 0) return Error::Success();
    if (static_cast<std::size_t>(got) > maxBytes - content->size()) return ErrnoError(EFBIG, "read");
    content->append(buffer, static_cast<std::size_t>(got));
  }
}

}  // namespace

bool CanOpenForReading(const std::string& path) {
  Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  return fd.Valid();
}

Error ReadWholeFile(const std::string& path, std::string* content) {
  Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.Valid()) return ErrnoError(errno, "open");
  return ReadToEnd(fd.Get(), std::numeric_limits<std::size_t>::max(), content);
}

namespace {

// O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
Error ReadRegularFile(const std::string& path, std::size_t maxBytes, std::string* content) {
  Fd fd = OpenOnBehalf(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0);
  if (!fd.Valid()) return ErrnoError(errno, "openat2");
  if (Error error = RequireRegularFile(fd.Get()); error.Failed()) return error;
  return ReadToEnd(fd.Get(), maxBytes, content);
}

Error WriteWithCurrentIdentity(const std::string& path, const std::string& content, FileAccess access) {
  const bool ownerOnly = access == FileAccess::kOwnerOnly;
  Fd fd = OpenForWriting(path, ownerOnly ? kOwnerOnlyMode : kDefaultMode);
  if (!fd.Valid()) return ErrnoError(errno, "openat2");
  if (Error error = RequireRegularFile(fd.Get()); error.Failed()) return error;
  if (ownerOnly) {
    if (Error error = RestrictToOwner(fd.Get()); error.Failed()) return error;
  }
  if (int error = WriteAll(fd.Get(), content.data(), content.size())) return ErrnoError(error, "write");
  return ErrnoError(fd.Close(), "close");
}

// Root's files are read and written with the service's own identity; any other user's
// with that user's file-system identity and no capability, taken by this thread for the
// one call.
template <typename FileCall>
Error AsUser(const CallerIdentity& identity, FileCall call) {
  if (UserIdOf(identity) == kRoot) return call();
  ScopedFileIdentity scoped(UserIdOf(identity));
  if (scoped.Error() != 0) return ErrnoError(scoped.Error(), "file identity");
  return call();
}

}  // namespace

Error WriteFileAs(const CallerIdentity& identity, const std::string& path, const std::string& content,
                  FileAccess access) {
  return AsUser(identity, [&] { return WriteWithCurrentIdentity(path, content, access); });
}

Error ReadFileAs(const CallerIdentity& identity, const std::string& path, std::size_t maxBytes, std::string* content) {
  return AsUser(identity, [&] { return ReadRegularFile(path, maxBytes, content); });
}

Error MakeOwnerOnlyDirectory(const std::string& path) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return ErrnoError(errno, "mkdir");
  // What is there already is narrowed only when it is a directory itself: neither a file
  // nor the target of a link changes its mode.
  Fd directory(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!directory.Valid()) return ErrnoError(errno, "open directory");
  return fchmod(directory.Get(), 0700) == 0 ? Error::Success() : ErrnoError(errno, "fchmod");
}

}  // namespace platform
