#include "platform/Programs.h"

namespace platform {

// Both end cleanly on the termination signal; stunnel's exit arguments exist only on
// other systems.
ChildProgramFile OpenVpnProgram() { return {"openvpn", ExitRequest{}, {}}; }

ChildProgramFile StunnelProgram() { return {"stunnel/stunnel", ExitRequest{}, {}}; }

}  // namespace platform
