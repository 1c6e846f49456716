#pragma once
#include <string>

namespace kalvex {

// How a log line is shown: kinds of LogLine.
enum TLogKind {
  lkNormal,       // log pane and status panel
  lkError,        // as normal, prefixed "Error: "
  lkErrorDialog,  // as error, and an error message box
  lkStatusOnly,   // status panel only
};

// The one way the workbench reports anything. The main window implements it;
// the command line and the tests have their own.
class TLogSink {
public:
  virtual ~TLogSink() = default;
  virtual void LogLine(const std::string& text, bool midiOutSide, bool repaintNow,
                       TLogKind kind) = 0;
};

// The text a log pane shows for a line of the given kind.
std::string LogText(const std::string& text, TLogKind kind);

}  // namespace kalvex
