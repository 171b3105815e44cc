#pragma once

#include <cstddef>
#include <string>

#include "platform/CallerIdentity.h"
#include "platform/Error.h"

// Whole-file reads and writes for the configuration generators. Every write names the
// user it is done as, so that the system checks exactly that user's rights.
namespace platform {

enum class FileAccess {
  kDefault,    // created with the process's default permissions
  kOwnerOnly,  // readable and writable by the owner only, also when replacing a file
};

// True when path can be opened for reading; the file is closed again at once.
bool CanOpenForReading(const std::string& path);

// Reads the whole file into content; returns success or the platform error.
Error ReadWholeFile(const std::string& path, std::string* content);

// Reads a regular file of at most maxBytes with the rights of identity, so the system
// allows exactly what that user could read. The open does not block (a FIFO is refused,
// not waited on); anything but a regular file is Invalid, a larger file the platform's
// "too big" error. Returns success or the platform error.
Error ReadFileAs(const CallerIdentity& identity, const std::string& path, std::size_t maxBytes, std::string* content);

// Creates or truncates path and writes content with the rights of identity, so a write
// succeeds exactly where that user could write; returns success or the platform error.
// Only regular files are written: anything else at path is refused. The identity is
// taken only around the write itself and only by the calling thread.
Error WriteFileAs(const CallerIdentity& identity, const std::string& path, const std::string& content,
                  FileAccess access);

// Creates a directory only its owner may enter, or narrows an existing one to that;
// returns success or the platform error.
Error MakeOwnerOnlyDirectory(const std::string& path);

}  // namespace platform
