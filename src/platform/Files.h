#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Whole-file reads and writes for the configuration generators. Every write of a
// generated file goes through WriteWholeFile, so that the identity under which files
// are written at a client's prefix is decided in one place.
namespace platform {

enum class FileAccess {
  kDefault,    // created with the process's default permissions
  kOwnerOnly,  // readable and writable by the owner only, also when replacing a file
};

// True when path can be opened for reading; the file is closed again at once.
bool CanOpenForReading(const std::string& path);

// Reads the whole file into content; returns 0 or the platform error code.
int ReadWholeFile(const std::string& path, std::string* content);

// Reads a regular file of at most maxBytes with the file-system identity of the given
// user (uid 0: the service's own), so the kernel allows exactly what that user could
// read. The open does not block (a FIFO is refused, not waited on); anything but a
// regular file gives EINVAL, a larger file EFBIG. Returns 0 or the platform error code.
int ReadFileAsUser(const std::string& path, std::uint32_t uid, std::size_t maxBytes, std::string* content);

// Creates or truncates path and writes content; returns 0 or the platform error code.
// Only regular files are written: anything else at path is refused.
int WriteWholeFile(const std::string& path, const std::string& content, FileAccess access);

// While alive, every WriteWholeFile of the calling thread runs with the file-system
// identity of the given user, so a write succeeds exactly where that user could write
// (the kernel checks). The identity is taken only around the write itself. Nests.
class WriteAsUser {
 public:
  explicit WriteAsUser(std::uint32_t uid);
  ~WriteAsUser();
  WriteAsUser(const WriteAsUser&) = delete;
  WriteAsUser& operator=(const WriteAsUser&) = delete;

 private:
  bool previousSet_;
  std::uint32_t previousUid_;
};

// Creates a directory only its owner may enter, or narrows an existing one to that;
// returns 0 or the platform error code.
int MakeOwnerOnlyDirectory(const std::string& path);

}  // namespace platform
