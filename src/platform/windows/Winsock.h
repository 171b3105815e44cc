#pragma once

#include "platform/Tcp.h"

// The process's share of the Winsock library. The library is started when the first
// socket of this backend opens and cleaned up when the last one closes; every socket
// the backend hands out counts once until CloseSocket releases it.
namespace platform {

// Counts one more user, starting the library for the first; 0 or the WSAStartup code.
int AcquireWinsock();
// Counts one user less, cleaning the library up after the last.
void ReleaseWinsock();
// The number of counted users.
int WinsockUsers();

// Opens a counted, non-inheritable IPv4 socket of the given type and protocol.
Error OpenCountedSocket(int type, int protocol, SocketHandle* handle);

// The platform error for the calling thread's last Winsock error after step failed.
Error LastWinsockError(const char* step);

}  // namespace platform
