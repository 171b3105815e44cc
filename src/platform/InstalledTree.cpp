#include "platform/Programs.h"
#include "platform/ServiceHost.h"

// Windows has its own (platform/windows/InstalledTree.cpp). Elsewhere the package
// installs the tree owned by root and not writable by others, and children are ended
// through the system's own request.
#if !defined(_WIN32)
namespace platform {

Error ProtectInstalledTree(const std::string&) { return Error::Success(); }
std::string PrepareChildPrograms() { return std::string(); }

}  // namespace platform
#endif
