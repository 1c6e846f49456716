#pragma once
// The main() of the window tests: offscreen, no JACK server of anybody's,
// and settings (and, when asked, a runtime folder) of this run only.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>

#include "tests/util/temp_dir.h"

namespace kalvex::test {

inline int RunWindowTests(int argc, char** argv, bool privateRuntimeDir = false) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("JACK_DEFAULT_SERVER", "kalvex_no_server");
  qputenv("JACK_NO_START_SERVER", "1");
  TTempDir config, runtime;
  qputenv("XDG_CONFIG_HOME", config.Path().c_str());
  if (privateRuntimeDir) {
    ::chmod(runtime.Path().c_str(), 0700);
    qputenv("XDG_RUNTIME_DIR", runtime.Path().c_str());
  }
  QApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

}  // namespace kalvex::test
