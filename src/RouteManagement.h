#pragma once

#include <string>

namespace vortan {
namespace RouteManagement {

// The reply to any request line that begins with "route".
std::string Dispatch(const std::string& request);

}  // namespace RouteManagement
}  // namespace vortan
