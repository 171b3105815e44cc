#pragma once

#include <cstddef>
#include <string>

// Network interfaces by name.
namespace platform {

// Longest interface name the system keeps; programs cut longer names to this.
std::size_t MaxInterfaceNameLength();

// True when an interface of that exact name exists.
bool InterfaceExists(const std::string& name);

}  // namespace platform
