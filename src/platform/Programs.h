#pragma once

#include <string>

#include "platform/Processes.h"

// The programs the service runs as children, as this system ships them.
namespace platform {

struct ChildProgramFile {
  std::string relativePath;  // below the service executable's directory
  ExitRequest exitRequest;   // how a running instance is asked to end
};

ChildProgramFile OpenVpnProgram();
ChildProgramFile StunnelProgram();

}  // namespace platform
