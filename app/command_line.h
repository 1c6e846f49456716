#pragma once
#include <iosfwd>

namespace kalvex {

// Runs the command-line modes that need no window (--help, --convert,
// --list-devices). Returns true and sets exitCode when it handled the command
// line; false when the program should start its window.
bool RunCommandLine(int argc, char** argv, std::ostream& out, std::ostream& err, int& exitCode);

}  // namespace kalvex
