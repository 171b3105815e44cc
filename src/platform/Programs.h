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

}  // namespace platform
