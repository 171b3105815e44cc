#include "platform/NarrowPaths.h"

// Windows has its own (platform/windows/NarrowPaths.cpp); elsewhere the C library takes
// the bytes as they are.
#if !defined(_WIN32)
namespace platform {

std::string PathForNarrowCalls(const std::string& utf8Path) { return utf8Path; }
std::string PathFromNarrowCalls(const std::string& narrowPath) { return narrowPath; }

}  // namespace platform
#endif
