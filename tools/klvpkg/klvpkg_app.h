#pragma once
// The klvpkg command line, callable in-process so that tests see exactly what the
// program would print and return.

#include <iosfwd>

// Returns the exit status: 0 done, 1 refused or failed.
int RunKlvpkg(int argc, const char* const* argv, std::ostream& out, std::ostream& err);
