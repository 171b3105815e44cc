#pragma once

namespace vortan {

// The process entry and composition root: logging, command line, run mode, and for a
// run the installed tree's paths and the main loop, which owns everything it starts.
// Returns the exit code.
int ServiceEntry(int argc, char** argv);

}  // namespace vortan
