#pragma once

#include <chrono>
#include <memory>

#include "platform/Error.h"

namespace platform {

// Wake-ups for one waiting thread whenever something about the host's IPv4 routes, links
// or addresses has changed. What changed is not said: the waiter looks for itself, once
// for all the changes that arrived since its last wait.
class RouteChanges {
 public:
  enum class Wake { Changed, Nudged, TimedOut, Failed };
  virtual ~RouteChanges() = default;
  // Waits at most timeout for a change or a nudge.
  virtual Wake Wait(std::chrono::milliseconds timeout) = 0;
  // From any thread: the current wait, or else the next, returns Nudged.
  virtual void Nudge() = 0;
};

// Subscribes to the host's change notifications; null, with *error set, where the host
// refuses them.
std::unique_ptr<RouteChanges> SubscribeToRouteChanges(Error* error);

}  // namespace platform
