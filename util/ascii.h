#pragma once
// ASCII letter case, path pieces and decimal numbers: names of devices,
// settings keys and file extensions fold only A to Z, whatever the locale.
#include <cstdint>
#include <string>
#include <string_view>

namespace kalvex {

inline char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

inline std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = FoldAscii(c);
  return out;
}

// The part after the last "/" (all of it when there is none).
inline std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The folder of a path: "." when it has none, "/" for a file in the root.
inline std::string DirName(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The one integer parser: a decimal 32-bit integer with an optional sign,
// nothing else around it; false when the text is none or out of range.
inline bool ParseInt32(std::string_view s, int32_t& value) {
  if (s.empty()) return false;
  bool negative = false;
  size_t i = 0;
  if (s[0] == '-' || s[0] == '+') {
    negative = s[0] == '-';
    i = 1;
  }
  if (i == s.size()) return false;
  int64_t v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
    if (v > 2147483648LL) return false;
  }
  if (negative) v = -v;
  if (v > INT32_MAX || v < INT32_MIN) return false;
  value = static_cast<int32_t>(v);
  return true;
}

}  // namespace kalvex
