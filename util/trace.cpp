#include "util/trace.h"

#include <QLoggingCategory>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace kalvex {

namespace {
Q_LOGGING_CATEGORY(lcKalvexTrace, "kalvex.trace", QtWarningMsg)
}

bool TraceEnabled() { return lcKalvexTrace().isDebugEnabled(); }

void TraceF(const char* format, ...) {
  if (!TraceEnabled()) return;
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::vector<char> text(static_cast<size_t>(n > 0 ? n : 0) + 1);
  std::vsnprintf(text.data(), text.size(), format, args);
  va_end(args);
  qCDebug(lcKalvexTrace).noquote() << QString::fromUtf8(text.data());
}

}  // namespace kalvex
