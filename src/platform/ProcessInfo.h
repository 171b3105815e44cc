#pragma once

#include <cstdint>
#include <string>

#include "platform/Error.h"

// Facts about the running process that the service needs from the operating system.
namespace platform {

// Full path of the running executable, links resolved; empty when it cannot be read.
std::string ExecutablePath();

// The whole command line the program was started with: the executable's full path,
// then the switches. Platforms that keep the command line themselves ignore argc
// and argv.
std::string CommandLine(int argc, char** argv);

// The program's version (major.minor.build.revision); empty when the build carries
// none.
std::string VersionText();

// The operating system's numeric identifier of the running process.
std::uint32_t CurrentProcessId();

// The operating system's numeric identifier of the calling thread.
std::uint64_t CurrentThreadId();

// True when the given path names something that exists (file-attributes query).
bool PathExists(const std::string& path);

// Renames a file; returns success or the platform error.
Error RenameFile(const std::string& from, const std::string& to);

// Deletes a file; returns success or the platform error.
Error RemoveFile(const std::string& path);

// The system's text for a platform error code.
std::string ErrorText(NativeErrorCode code);

}  // namespace platform

namespace platform {

// Creates a directory readable only by the service's own user and group, if missing;
// returns success (also when it exists) or the platform error.
Error MakePrivateDirectory(const std::string& path);

// Size of a file in bytes; false when it cannot be read.
bool FileSize(const std::string& path, std::uint64_t* size);

}  // namespace platform

namespace platform {

// Creates or truncates a file readable by every local user (the client reads it) and
// writes bytes. Returns success, or the platform error with *opened telling which
// step failed.
Error WritePublicFile(const std::string& path, const std::string& bytes, bool* opened);

}  // namespace platform
