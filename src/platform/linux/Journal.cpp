#include "platform/Journal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace platform {
namespace {

// Decimal digits only, no sign or blanks; false on overflow or an empty field.
bool ParseUnsigned(const std::string& text, std::uint64_t* value) {
  if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  *value = std::strtoull(text.c_str(), nullptr, 10);
  return errno == 0;
}

}  // namespace

bool StandardOutputIsJournal() {
  const char* named = std::getenv("JOURNAL_STREAM");
  if (named == nullptr) return false;
  const std::string text(named);
  const std::string::size_type colon = text.find(':');
  std::uint64_t device = 0, inode = 0;
  if (colon == std::string::npos || !ParseUnsigned(text.substr(0, colon), &device) ||
      !ParseUnsigned(text.substr(colon + 1), &inode)) {
    return false;
  }
  struct stat output {};
  if (fstat(STDOUT_FILENO, &output) != 0) return false;
  return static_cast<std::uint64_t>(output.st_dev) == device && static_cast<std::uint64_t>(output.st_ino) == inode;
}

}  // namespace platform
