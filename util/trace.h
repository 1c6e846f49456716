#pragma once
// Diagnostic trace lines of the device layer and the device menus. Silent by
// default; enable with QT_LOGGING_RULES="kalvex.trace.debug=true". Plain C++
// to its callers; the lines go to Qt's logging category "kalvex.trace".

namespace kalvex {

// Writes one line, printf-style, as it is: no quotes, no blanks added.
void TraceF(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Whether trace lines are wanted (to skip costly formatting).
bool TraceEnabled();

}  // namespace kalvex
