#include "platform/Programs.h"

namespace platform {

// The service creates the event before the launch; the configuration's "service"
// option makes OpenVPN exit when it is set.
const char* const kOpenVpnExitEvent = "VortanOpenVpnExitEvent";

ChildProgramFile OpenVpnProgram() {
  ExitRequest exitRequest;
  exitRequest.kind = ExitRequest::Kind::kNamedEvent;
  exitRequest.eventName = kOpenVpnExitEvent;
  return {"openvpn.exe", exitRequest, {}};
}

// "-quiet": no message boxes, which would wait for a user who never comes in the
// service's session, also in the second run, with "-exit", that ends the running stunnel.
ChildProgramFile StunnelProgram() {
  ExitRequest exitRequest;
  exitRequest.kind = ExitRequest::Kind::kExitArguments;
  exitRequest.exitArguments = {"-quiet", "-exit"};
  return {"stunnel\\stunnel.exe", exitRequest, {"-quiet"}};
}

}  // namespace platform
