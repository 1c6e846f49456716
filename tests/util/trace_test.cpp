// Trace lines come out as written: no quotes, no blanks between the parts.
#include "util/trace.h"

#include <gtest/gtest.h>

#include <QLoggingCategory>
#include <QString>
#include <vector>

namespace kalvex {
namespace {

std::vector<QString>* g_lines = nullptr;
void Capture(QtMsgType, const QMessageLogContext& context, const QString& text) {
  if (g_lines && QString(context.category) == "kalvex.trace") g_lines->push_back(text);
}

TEST(Trace, SilentByDefaultAndPrintedAsWrittenWhenOn) {
  std::vector<QString> lines;
  g_lines = &lines;
  const QtMessageHandler old = qInstallMessageHandler(Capture);
  TraceF("MIM_LONGERROR len=%d", 17);
  EXPECT_FALSE(TraceEnabled());
  QLoggingCategory::setFilterRules("kalvex.trace.debug=true");
  TraceF("MIM_LONGERROR len=%d", 17);
  TraceF("unhandled MIDI INPUT msg: 0x%X", 0x3D1u);
  TraceF("Opening %s device %s", "MIDI input", "UM-ONE \"1\"");
  QLoggingCategory::setFilterRules("");
  qInstallMessageHandler(old);
  g_lines = nullptr;
  EXPECT_EQ(lines, (std::vector<QString>{"MIM_LONGERROR len=17", "unhandled MIDI INPUT msg: 0x3D1",
                                         "Opening MIDI input device UM-ONE \"1\""}));
}

}  // namespace
}  // namespace kalvex
