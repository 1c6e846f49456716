#pragma once
// A window's size, position, state, visibility and style in the settings
// store, restored so that the window is always reachable on the desktop.

#include <QRect>
#include <string>

class QWidget;

namespace kalvex {

class TRegIniFile;

enum TFormStateOption {
  fsoSize = 1,
  fsoPosition = 2,
  fsoMaximized = 4,
  fsoMinimized = 8,
  fsoVisible = 16,
  fsoStyle = 32,
};
inline constexpr int kAllFormStateOptions = 63;
// "Style": 0 a normal window, 3 one that stays on top.
inline constexpr int kStyleNormal = 0;
inline constexpr int kStyleStayOnTop = 3;

// The desktop's work area: the available geometry of all screens together.
QRect WorkArea();

struct TPosition {
  int Left = 0;
  int Top = 0;
  bool operator==(const TPosition&) const = default;
};

// Keeps at least 60 pixels of the window inside the work area sideways and
// its top between the work area's top and 60 pixels above its bottom;
// with clampSize the size is at most the work area's.
void ClampToWorkArea(int& left, int& top, int& width, bool clampSize, int& height, const QRect& workArea);
// Centred over a visible owner, else in the work area; then clamped.
TPosition CentredPosition(int width, int height, const QRect* owner, const QRect& workArea);

// Any failure inside ends the operation quietly. Left and Top are stored
// relative to the work area's origin; Width and Height are the window's
// own size without the frame, which is what it is given back.
void SaveFormState(QWidget& form, TRegIniFile& store, const std::string& section, int options = kAllFormStateOptions,
                   const std::string& prefix = {});
// For the main window (one without a parent) "Visible" = "0" means the
// program starts without showing it: the answer is whether to show it.
// Where the platform does not let a program place its windows (Wayland),
// the position is skipped.
bool RestoreFormState(QWidget& form, TRegIniFile& store, const std::string& section,
                      int options = kAllFormStateOptions, const std::string& prefix = {});

}  // namespace kalvex
