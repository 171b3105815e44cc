#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace platform {

// Starts a detached thread running body with the given stack size (0: the default).
// Returns 0 and the new thread's identifier, or the platform error code; on failure
// body is not run.
int StartDetachedThread(std::function<void()> body, std::size_t stackSize, std::uint64_t* threadId);

}  // namespace platform
