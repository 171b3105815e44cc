#include "platform/LocalSocket.h"

#include <winsock2.h>
#include <windows.h>

// OpenVPN for Windows offers its management interface on TCP only, so the service
// keeps no local-socket channel here: every call says so.
namespace platform {

std::size_t MaxLocalSocketPath() { return 0; }

int ConnectLocalSocket(const std::string&, SocketHandle*) { return ERROR_NOT_SUPPORTED; }

int LocalPeerProcess(SocketHandle, std::uint32_t*) { return ERROR_NOT_SUPPORTED; }

bool IsSocketFile(const std::string&) { return false; }

bool IsLocalSocketListening(const std::string&) { return false; }

}  // namespace platform
