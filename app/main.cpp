#include <QApplication>
#include <iostream>

#include "app/command_line.h"
#include "util/paths.h"
#include "workbench/kvx_form.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  kalvex::InitProgramPath(argv[0]);
  int exitCode = 0;
  if (kalvex::RunCommandLine(argc, argv, std::cout, std::cerr, exitCode)) return exitCode;
  // The window: a file to load and "/send" come as its parameters.
  QApplication app(argc, argv);
  QStringList parameters = QApplication::arguments();
  parameters.removeFirst();
  kalvex::TKVXForm window(parameters);
  window.show();
  return QApplication::exec();
}
