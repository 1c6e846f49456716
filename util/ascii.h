#pragma once
// ASCII letter case and path pieces: names of devices, settings keys and file
// extensions fold only A to Z, whatever the locale.
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

}  // namespace kalvex
