#pragma once

#include <string>

// Libraries that open files by narrow path (the logging library) take them in the C
// library's narrow encoding, which on Windows is the ANSI code page, not the UTF-8 the
// service's paths are in.
namespace platform {

// The UTF-8 path in a form the C library's narrow calls open: unchanged where they take
// UTF-8; on Windows its ANSI text when that holds every character, else its short
// (8.3) form, which is plain ASCII.
std::string PathForNarrowCalls(const std::string& utf8Path);

// A path of that form back in UTF-8.
std::string PathFromNarrowCalls(const std::string& narrowPath);

}  // namespace platform
