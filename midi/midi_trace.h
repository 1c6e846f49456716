#pragma once
// Diagnostic trace of the device layer; silent unless enabled
// (QT_LOGGING_RULES="kalvex.midi.debug=true").
#include <QLoggingCategory>

namespace kalvex {
Q_DECLARE_LOGGING_CATEGORY(lcMidi)
}  // namespace kalvex
