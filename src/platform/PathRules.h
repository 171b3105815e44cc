#pragma once

#include <string>

// How the system writes the paths that clients send.
namespace platform {

// The characters that end a path component: "/" on Linux; "\" and "/" on Windows.
const char* PathSeparators();

// True when path names a file on another host or a device rather than a file of this
// host's file systems: on Windows a UNC or device path ("\\server\...", "//server/...",
// "\\?\", "\\.\", "\??\") or a last component that, with a file name appended, would
// name a reserved device (CON, NUL, COM1, ...); on Linux never.
bool NamesRemoteFileOrDevice(const std::string& path);

}  // namespace platform
