#pragma once
// Diagnostic trace of the device layer: the program's trace category, silent
// unless enabled (QT_LOGGING_RULES="kalvex.trace.debug=true").
#include "util/trace.h"

namespace kalvex {
inline const QLoggingCategory& lcMidi() { return lcKalvexTrace(); }
}  // namespace kalvex
