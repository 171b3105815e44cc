#pragma once

#include <string>

#include "routes/RouteOutcome.h"

namespace vortan {

// The reply line of a route command's outcome: the status reply (with or without the
// route mark) or a plain "OK"/"ERROR", with the texts and codes clients know.
std::string RouteReply(const RouteOutcome& outcome);

}  // namespace vortan
