#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kalvex {

// The per-user "registry": a tree of keys, each with named values of two
// kinds kept apart, 32-bit integers and strings. On Linux it lives in one
// human-readable file, $XDG_CONFIG_HOME/kalvex/registry.conf (XDG_CONFIG_HOME
// defaults to ~/.config). Paths are relative to the current user's root, so
// the program's settings are under "Software\Zelk Software\kalvex\kalvex".
// The file looks like this:
//
//   ; comment
//   [Software\Zelk Software\kalvex\kalvex\Current]
//   "SendSpeed"=dword:-500
//   "FontName"="Courier New"
//
// Names and strings are quoted; inside quotes \" \\ \n \r \t and \xHH (for
// other control bytes and for every byte from 0x80) are escaped. Key and value
// names compare without regard to ASCII letter case, as the Windows registry
// does, and keep the case they were created with.

struct TRegValue {
  enum class TKind { kString, kInteger };
  TKind Kind = TKind::kString;
  std::string Text;     // kString
  int32_t Number = 0;   // kInteger

  static TRegValue String(std::string text) { return {TKind::kString, std::move(text), 0}; }
  static TRegValue Integer(int32_t n) { return {TKind::kInteger, {}, n}; }
  bool operator==(const TRegValue&) const = default;
};

class TRegistryTree {
public:
  struct TKey {
    std::string Path;  // as first created
    // By folded name: the name as first written, and the value.
    std::map<std::string, std::pair<std::string, TRegValue>> Values;
    bool operator==(const TKey&) const = default;
  };

  // "\Software\A\\B\" -> "Software\A\B"; empty when the path is the root.
  static std::string NormalizePath(std::string_view path);
  // Limits like the Windows registry's keep a hostile file from costing
  // more than a small multiple of its size.
  static constexpr size_t kMaxKeyNameLength = 255;
  static constexpr size_t kMaxKeyDepth = 32;
  static constexpr size_t kMaxPathLength = 1024;
  // Not empty, no control characters, within the limits above.
  static bool ValidKeyPath(std::string_view normalizedPath);

  bool KeyExists(std::string_view path) const;
  // Creates the key and its parents; false for an invalid path.
  bool CreateKey(std::string_view path);
  // Removes the key with all its subkeys and values.
  void DeleteKey(std::string_view path);
  // Names of the direct subkeys, sorted without regard to case.
  std::vector<std::string> SubKeyNames(std::string_view path) const;

  const TRegValue* FindValue(std::string_view path, std::string_view name) const;
  // Sorted without regard to case.
  std::vector<std::string> ValueNames(std::string_view path) const;
  // Creates the key when needed.
  bool SetValue(std::string_view path, std::string_view name, TRegValue value);
  void DeleteValue(std::string_view path, std::string_view name);
  void DeleteAllValues(std::string_view path);

  bool Empty() const { return keys_.empty(); }
  void Clear() { keys_.clear(); }
  bool operator==(const TRegistryTree&) const = default;

  // Parses a store file, as a user may have edited it: a line that does not
  // parse is skipped ("line 7: bad dword value" in *problems), the values
  // under a bad [key] line with it, and everything else is kept. True when
  // nothing was skipped. Work and memory are linear in the text.
  bool Parse(std::string_view text, std::vector<std::string>* problems);
  std::string Serialize() const;

private:
  static std::string Fold(std::string_view path);
  TKey* Find(std::string_view normalizedPath);
  const TKey* Find(std::string_view normalizedPath) const;

  std::map<std::string, TKey> keys_;  // by folded path; parents sort before children
};

// Where the store file is; see above. Tests point it elsewhere.
std::string DefaultRegistryFilePath();
std::string RegistryFilePath();
// An empty path restores the default.
void SetRegistryFilePath(std::string path);

// A decimal 32-bit integer with an optional sign (leading blanks allowed);
// false when the text is none or out of range.
bool StrToInt32(std::string_view text, int32_t& value);

// Reads the store file. A missing file gives an empty tree (true); one that
// cannot be read gives an empty tree, false and the reason in *error. Lines
// that do not parse are skipped and listed in *problems; the rest loads.
bool LoadRegistryFile(const std::string& filePath, TRegistryTree& tree, std::string* error,
                      std::vector<std::string>* problems = nullptr);

}  // namespace kalvex
