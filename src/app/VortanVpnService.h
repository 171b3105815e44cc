#pragma once

#include <atomic>
#include <cstdint>

namespace vortan {

class IService;
class OpenVpnManager;

// Management listener endpoint, written during start-up before the service reports
// running, read afterwards.
extern std::atomic<std::uint32_t> listenerAddress;  // network byte order
extern std::atomic<int> listenerPort;
// Set by a session serving "CONTROL" while a stop is pending; ends the accept loop.
extern std::atomic<bool> stopRequested;

// The process entry: logging, command line, run mode. Returns the exit code.
int ServiceEntry(int argc, char** argv);

// The main loop: listener, portused.txt, accept loop, clean-up. Returns 0 after a
// stop, 1 after a failure that ended it.
int Run(IService* service, OpenVpnManager* vpnManager);

// Ends the accept loop from another thread through the protocol itself.
void NotifyMainThread();

}  // namespace vortan
