#include "VortanVpnService.h"

namespace vortan {

std::atomic<std::uint32_t> listenerAddress{0};
std::atomic<int> listenerPort{4444};
std::atomic<bool> stopRequested{false};

int ServiceEntry(int, char**) { return 0; }

}  // namespace vortan
