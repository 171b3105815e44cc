#pragma once

#include <chrono>
#include <string>

#include "platform/Error.h"

namespace platform {

// Waits at most timeout for a local socket to appear at path, woken by its creation
// rather than by looking again and again. Where local sockets are socket files: success
// once a socket file is at path (its owner may be a moment from listening: bind makes
// the file, listen follows), a NotFound error when none is there by the time; any other
// error means the directory cannot be watched. Where they are loopback endpoints,
// nothing shows before the listener answers: success at once, only a connect can tell.
Error WaitForLocalSocket(const std::string& path, std::chrono::milliseconds timeout);

}  // namespace platform
