#pragma once
// The settings dialog's arithmetic: the speed slider's positions, its label
// text and the font size list, as plain functions.

#include <array>
#include <string>

#include "workbench/send_engine.h"  // kDefaultSendSpeed

namespace kalvex {

// The font sizes offered, in points.
inline constexpr std::array<int, 10> kFontSizes{6, 7, 8, 9, 10, 11, 12, 14, 16, 20};
// The slider runs from -8 (very slow) over 0 (the MIDI wire rate) to 8 (no pacing).
inline constexpr int kSpeedSliderMin = -8;
inline constexpr int kSpeedSliderMax = 8;

// Both truncate toward zero: position -4 is speed -500, -300 is position -2.
inline int SpeedFromSliderPosition(int position) { return position * 1000 / 8; }
inline int SliderPositionFromSpeed(int speed) { return speed * 8 / 1000; }

// "Speed: 3125 bytes/s = 3.05 KB/s (1.0x)" and the like for a send speed.
std::string SpeedLabelText(int speed);

// The entry of kFontSizes to select for a size: the first not smaller, else the last.
int FontSizeIndex(int size);

}  // namespace kalvex
