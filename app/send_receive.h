#pragma once
// kalvex --send / --receive: the window's send engine and receive path from
// the command line, for scripts and dump requests; no display needed.
#include <iosfwd>
#include <string>
#include <vector>

namespace kalvex {

// args start with the first option ("--send" or "--receive"). Returns the
// exit code: 0 done, 1 a failure (told on err), 2 a bad command line.
int RunSendReceive(const std::vector<std::string>& args, int argc, char** argv, std::ostream& out, std::ostream& err);

// The listed device a name means: the one SameDeviceName matches, else the
// only one whose name starts with it (blanks and letter case ignored); empty
// when none or several do.
std::string MatchDeviceName(const std::vector<std::string>& names, const std::string& wanted);

}  // namespace kalvex
