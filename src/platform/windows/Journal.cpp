#include "platform/Journal.h"

namespace platform {

// Windows has no journal that reads priority prefixes from standard output.
bool StandardOutputIsJournal() { return false; }

}  // namespace platform
