#include "RouteManagement.h"

#include "RequestParser.h"

namespace vortan {
namespace RouteManagement {

std::string Dispatch(const std::string&) { return MakeResponse(false, false, 1, "NOT IMPLEMENTED"); }

}  // namespace RouteManagement
}  // namespace vortan
