#pragma once
// Diagnostic trace lines of the device layer and the device menus. Silent by
// default; enable with QT_LOGGING_RULES="kalvex.trace.debug=true".
#include <QLoggingCategory>

namespace kalvex {
Q_DECLARE_LOGGING_CATEGORY(lcKalvexTrace)
}  // namespace kalvex
