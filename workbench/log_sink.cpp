#include "workbench/log_sink.h"

namespace kalvex {

std::string LogText(const std::string& text, TLogKind kind) {
  if (kind == lkError || kind == lkErrorDialog) return "Error: " + text;
  return text;
}

}  // namespace kalvex
