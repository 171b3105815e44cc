#pragma once

#include <string>
#include <vector>

#include "platform/Processes.h"

// The programs the service runs as children, as this system ships them.
namespace platform {

struct ChildProgramFile {
  std::string relativePath;  // below the service executable's directory
  ExitRequest exitRequest;   // how a running instance is asked to end
  // Put before the arguments of every launch (options the system's build of the
  // program needs whatever it is asked to do).
  std::vector<std::string> leadingArguments = {};
};

ChildProgramFile OpenVpnProgram();
ChildProgramFile StunnelProgram();

// Makes, when the service starts, the objects the children are later asked to end
// through (nothing on systems without such objects). Empty, or a complete log line of
// what failed (naming whoever holds such an object instead of the service).
std::string PrepareChildPrograms();

}  // namespace platform
