#include <dlfcn.h>
#include <unistd.h>

#include <iostream>
#include <string>

#include "app/command_line.h"
#include "util/paths.h"

// The command-line modes run here; the window lives in a module beside the
// program, loaded only when it is needed.
int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  kalvex::InitProgramPath(argv[0]);
  int exitCode = 0;
  if (kalvex::RunCommandLine(argc, argv, std::cout, std::cerr, exitCode)) return exitCode;
  // Beside the program in a build, in its library folder once installed.
  std::string module = kalvex::ProgramDir() + "/kalvex_window.so";
  if (access(module.c_str(), F_OK) != 0) module = kalvex::ProgramDir() + "/" KALVEX_MODULE_FROM_BIN "/kalvex_window.so";
  void* window = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!window) {
    std::cerr << "Error: the window cannot be loaded (" << dlerror() << ")\n";
    return 1;
  }
  using TWindowMain = int (*)(int, char**);
  auto run = reinterpret_cast<TWindowMain>(dlsym(window, "KalvexWindowMain"));
  if (!run) {
    std::cerr << "Error: " << module << " is not the program's window\n";
    return 1;
  }
  return run(argc, argv);
}
