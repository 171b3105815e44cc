#pragma once

// Whether standard output is the service manager's journal, which reads a syslog
// priority prefix ("<3>", "<6>", ...) at the start of each line.
namespace platform {

// True when JOURNAL_STREAM names "device:inode" of the stream that is standard output
// now (the variable is inherited by children whose output went elsewhere, so the
// stream itself is compared).
bool StandardOutputIsJournal();

}  // namespace platform
