#include "util/trace.h"

namespace kalvex {
Q_LOGGING_CATEGORY(lcKalvexTrace, "kalvex.trace", QtWarningMsg)
}  // namespace kalvex
