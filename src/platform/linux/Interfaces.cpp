#include "platform/Interfaces.h"

#include <net/if.h>

namespace platform {

std::size_t MaxInterfaceNameLength() { return IFNAMSIZ - 1; }

bool InterfaceExists(const std::string& name) {
  return !name.empty() && name.size() <= MaxInterfaceNameLength() && if_nametoindex(name.c_str()) != 0;
}

}  // namespace platform
