#include "workbench/current_settings.h"

#include <algorithm>

namespace kalvex {

namespace {

// The one list of keys: load and save both walk it.
template <class TSettings, class TVisit>
void ForEachSetting(TSettings& s, TVisit&& visit) {
  visit("SendSpeed", s.SendSpeed);
  visit("ThrottlingActive", s.ThrottlingActive);
  visit("SplitSending", s.SplitSending);
  visit("MessagePauseMs", s.MessagePauseMs);
  visit("CheckBeforeSending", s.CheckBeforeSending);
  visit("FilePauseMs", s.FilePauseMs);
  visit("MidiThru", s.MidiThru);
  visit("SysExOnly", s.SysExOnly);
  visit("DetectBulkDumps", s.DetectBulkDumps);
  visit("SplitLongMessages2", s.SplitLongMessages);
  visit("SplitLongMessagesThreshold", s.SplitLongMessagesThreshold);
  visit("DescribeMessages", s.DescribeMessages);
  visit("KeepMidiTiming", s.KeepMidiTiming);
  visit("FontName", s.FontName);
  visit("FontSize", s.FontSize);
  visit("ShowLogLists", s.ShowLogLists);
  visit("LogListsHeight", s.LogListsHeight);
  visit("SplitterPos", s.SplitterPos);
  visit("AllowMultipleInstances", s.AllowMultipleInstances);
  visit("ShowSplashScreen", s.ShowSplashScreen);
}

}  // namespace

void TCurrentSettings::Load(const TRegIniFile& ini, const std::string& section) {
  ForEachSetting(*this, [&](const char* key, auto& field) {
    using T = std::decay_t<decltype(field)>;
    if constexpr (std::is_same_v<T, bool>)
      field = ini.ReadBool(section, key, field);
    else if constexpr (std::is_same_v<T, int>)
      field = ini.ReadInteger(section, key, field);
    else
      field = ini.ReadString(section, key, field);
  });
  SendSpeed = std::clamp(SendSpeed, -1000, 1000);
  MessagePauseMs = std::max(0, MessagePauseMs);
  FilePauseMs = std::max(0, FilePauseMs);
  LogListsHeight = std::max(LogListsHeight, 6);
}

void TCurrentSettings::Save(TRegIniFile& ini, const std::string& section) const {
  ForEachSetting(*this, [&](const char* key, const auto& field) {
    using T = std::decay_t<decltype(field)>;
    if constexpr (std::is_same_v<T, bool>)
      ini.WriteBool(section, key, field);
    else if constexpr (std::is_same_v<T, int>)
      ini.WriteInteger(section, key, field);
    else
      ini.WriteString(section, key, field);
  });
}

}  // namespace kalvex
