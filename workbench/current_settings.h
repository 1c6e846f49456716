#pragma once
// The window's settings of section "Current", each with its key and its
// default in one place: the window's load and save, the settings dialog and
// the command line all take them from here.

#include <string>

#include "util/registry.h"
#include "workbench/send_engine.h"

namespace kalvex {

struct TCurrentSettings {
  // Sending
  int SendSpeed = kDefaultSendSpeed;
  bool ThrottlingActive = true;
  bool SplitSending = true;
  int MessagePauseMs = 0;
  bool CheckBeforeSending = false;
  int FilePauseMs = 500;  // between the files of "Send files..."
  // Receiving
  bool MidiThru = false;
  bool SysExOnly = false;
  bool DetectBulkDumps = false;
  bool SplitLongMessages = false;
  int SplitLongMessagesThreshold = 32;
  bool DescribeMessages = false;
  bool KeepMidiTiming = false;
  // The window; the font's defaults are the window's own font.
  std::string FontName;
  int FontSize = 0;
  bool ShowLogLists = true;
  int LogListsHeight = 80;
  int SplitterPos = 420;
  bool AllowMultipleInstances = true;
  bool ShowSplashScreen = true;

  // Reads every value of the section; a value that is missing keeps what
  // the field holds, one out of range is brought into it.
  void Load(const TRegIniFile& ini, const std::string& section);
  void Save(TRegIniFile& ini, const std::string& section) const;
};

}  // namespace kalvex
