#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "settings/IniFile.h"
#include "common/Logging.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = (vortan::silenceLogging(), true);
  (void)ready;
  // The settings are read from a path: an in-memory file keeps the disk out of it.
  static const int fd = memfd_create("settings", 0);
  if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
  try {
    vortan::IniFile settings("/proc/self/fd/" + std::to_string(fd));
    settings.dumpToLog();
    settings.getVpnManagementPorts();
    settings.getServicePorts();
    settings.getStunnelProxyPorts();
    settings.getBindRange().randomAddress();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
