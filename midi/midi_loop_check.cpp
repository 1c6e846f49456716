#include "midi/midi_loop_check.h"

#include <QString>
#include <QStringList>
#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>
#include "util/ascii.h"

namespace kalvex {

namespace {

// Well-known virtual loopback drivers, then this program's own cables and
// ALSA's through port, which hand everything sent back as input.
constexpr std::array<std::string_view, 11> kVirtualPortPrefixes = {
    "LB1", "LB2", "LB3", "LB4", "MIDI Yoke Junction:", "MIDI Yoke NT:", "LoopBE",
    "Sonic Foundry", "Maple", "Kalvex Loopback", "Midi Through"};

QStringList& OpenList(bool isOutput) {
  static QStringList inputs;
  static QStringList outputs;
  return isOutput ? outputs : inputs;
}

qsizetype Find(const QStringList& list, const std::string& name) {
  const QString n = QString::fromStdString(name);
  for (qsizetype i = 0; i < list.size(); ++i)
    if (QString::compare(list[i], n, Qt::CaseInsensitive) == 0) return i;
  return -1;
}

}  // namespace

void RegisterOpenDevice(bool isOutput, const std::string& name) {
  QStringList& list = OpenList(isOutput);
  if (Find(list, name) < 0) list.append(QString::fromStdString(name));
}

void UnregisterOpenDevice(bool isOutput, const std::string& name) {
  QStringList& list = OpenList(isOutput);
  const qsizetype i = Find(list, name);
  if (i >= 0) list.removeAt(i);
}

bool IsOpenDeviceRegistered(bool isOutput, const std::string& name) {
  return Find(OpenList(isOutput), name) >= 0;
}

bool IsVirtualPortName(const std::string& name) {
  for (std::string_view prefix : kVirtualPortPrefixes) {
    if (name.size() < prefix.size()) continue;
    bool same = true;
    for (size_t i = 0; i < prefix.size() && same; ++i)
      same = FoldAscii(name[i]) == FoldAscii(prefix[i]);
    if (same) return true;
  }
  return false;
}

bool WouldCreateFeedbackLoop(bool isOutput, const std::string& name) {
  if (!IsVirtualPortName(name)) return false;
  return IsOpenDeviceRegistered(!isOutput, name);
}

}  // namespace kalvex
