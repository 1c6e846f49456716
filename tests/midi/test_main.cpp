// The device layer posts its wake-ups through the Qt event loop, so the tests
// run inside a QCoreApplication. --jack-server=NAME picks the JACK server the
// tests may use (and never starts one).
#include <QCoreApplication>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  constexpr const char* kServerArg = "--jack-server=";
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], kServerArg, std::strlen(kServerArg)) == 0) {
      setenv("JACK_DEFAULT_SERVER", argv[i] + std::strlen(kServerArg), 1);
      setenv("JACK_NO_START_SERVER", "1", 1);
    }
  }
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
