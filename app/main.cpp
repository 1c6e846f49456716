#include <iostream>

#include "app/command_line.h"
#include "util/paths.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  kalvex::InitProgramPath(argv[0]);
  int exitCode = 0;
  if (kalvex::RunCommandLine(argc, argv, std::cout, std::cerr, exitCode)) return exitCode;
  // The main window is not built yet: show what the program can do from here.
  char help[] = "--help";
  char* helpArgv[] = {argv[0], help};
  kalvex::RunCommandLine(2, helpArgv, std::cout, std::cerr, exitCode);
  std::cout << "\nThe main window is not available in this build yet; "
               "use --convert or --list-devices.\n";
  return 0;
}
