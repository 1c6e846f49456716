#include "workbench/settings_values.h"

#include <cmath>
#include <cstdio>

#include "workbench/send_engine.h"

namespace kalvex {

std::string SpeedLabelText(int speed) {
  if (speed >= 1000) return "Speed: as fast as possible (no throttling)";
  // The speed is an exponent: 0 is the wire rate, each 1000 a factor of e^2.3 (about 10).
  const double multiple = std::exp(2.3 * speed / 1000.0);
  char factor[32];
  if (multiple >= 1)
    std::snprintf(factor, sizeof factor, " (%.1fx)", multiple);
  else
    std::snprintf(factor, sizeof factor, " (1/%.1fx)", std::exp(-2.3 * speed / 1000.0));
  // The wire carries 3125 bytes a second: 1000 / 320 bytes a millisecond.
  return "Speed: " + SpeedText(KBPerSecond(1, multiple * 1000.0 / 320.0)) + factor;
}

int FontSizeIndex(int size) {
  for (size_t i = 0; i < kFontSizes.size(); ++i)
    if (kFontSizes[i] >= size) return static_cast<int>(i);
  return static_cast<int>(kFontSizes.size()) - 1;
}

}  // namespace kalvex
