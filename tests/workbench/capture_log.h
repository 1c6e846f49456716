#pragma once
#include <string>
#include <vector>

#include "workbench/log_sink.h"

namespace kalvex::test {

// Collects log lines as the log panes would show them.
struct TCapturedLine {
  std::string text;
  bool midiOutSide;
  bool repaintNow;
  TLogKind kind;
};

class TCaptureLog : public TLogSink {
public:
  void LogLine(const std::string& text, bool midiOutSide, bool repaintNow, TLogKind kind) override {
    lines.push_back({text, midiOutSide, repaintNow, kind});
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> out;
    for (const auto& l : lines) out.push_back(l.text);
    return out;
  }
  std::vector<TCapturedLine> lines;
};

}  // namespace kalvex::test
