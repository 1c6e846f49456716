#include "util/registry_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <pwd.h>
#include <sys/stat.h>

#include "util/read_file.h"
#include <unistd.h>
#include "util/ascii.h"

namespace kalvex {

namespace {

// Settings are a few kilobytes; anything far larger is not ours.
constexpr std::streamoff kMaxFileSize = 1024 * 1024;

std::string FoldName(std::string_view name) { return LowerAscii(name); }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

void AppendQuoted(std::string& out, std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  out += '"';
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          out += "\\x";
          out += kHex[c >> 4];
          out += kHex[c & 15];
        } else {
          out += ch;
        }
    }
  }
  out += '"';
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads a quoted text at the start of s and removes it from s.
bool TakeQuoted(std::string_view& s, std::string& out) {
  if (s.empty() || s.front() != '"') return false;
  out.clear();
  size_t i = 1;
  while (i < s.size()) {
    const char c = s[i++];
    if (c == '"') {
      s.remove_prefix(i);
      return true;
    }
    if (c != '\\') {
      out += c;
      continue;
    }
    if (i >= s.size()) return false;
    const char e = s[i++];
    switch (e) {
      case '"': out += '"'; break;
      case '\\': out += '\\'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'x': {
        if (i + 2 > s.size()) return false;
        const int hi = HexDigit(s[i]);
        const int lo = HexDigit(s[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        break;
      }
      default: return false;
    }
  }
  return false;  // no closing quote
}


std::string g_filePathOverride;

}  // namespace

std::string TRegistryTree::NormalizePath(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  size_t i = 0;
  while (i < path.size()) {
    const size_t sep = path.find('\\', i);
    const size_t end = sep == std::string_view::npos ? path.size() : sep;
    if (end > i) {
      if (!out.empty()) out += '\\';
      out.append(path.substr(i, end - i));
    }
    i = end + 1;
  }
  return out;
}

bool TRegistryTree::ValidKeyPath(std::string_view path) {
  if (path.empty() || path.size() > kMaxPathLength) return false;
  size_t depth = 1;
  size_t nameLength = 0;
  for (const char ch : path) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) return false;
    if (c == '\\') {
      if (++depth > kMaxKeyDepth) return false;
      nameLength = 0;
    } else if (++nameLength > kMaxKeyNameLength) {
      return false;
    }
  }
  return true;
}

std::string TRegistryTree::Fold(std::string_view path) { return LowerAscii(NormalizePath(path)); }

TRegistryTree::TKey* TRegistryTree::Find(std::string_view path) {
  const auto it = keys_.find(Fold(path));
  return it == keys_.end() ? nullptr : &it->second;
}

const TRegistryTree::TKey* TRegistryTree::Find(std::string_view path) const {
  const auto it = keys_.find(Fold(path));
  return it == keys_.end() ? nullptr : &it->second;
}

bool TRegistryTree::KeyExists(std::string_view path) const { return Find(path) != nullptr; }

bool TRegistryTree::CreateKey(std::string_view path) {
  const std::string norm = NormalizePath(path);
  if (!ValidKeyPath(norm)) return false;
  const std::string folded = LowerAscii(norm);
  // From the key up to the first ancestor that exists: the rest exists too.
  size_t end = norm.size();
  while (keys_.try_emplace(folded.substr(0, end), TKey{norm.substr(0, end), {}}).second) {
    end = norm.rfind('\\', end - 1);
    if (end == std::string::npos || end == 0) break;
  }
  return true;
}

void TRegistryTree::DeleteKey(std::string_view path) {
  const std::string folded = Fold(path);
  if (folded.empty()) return;
  keys_.erase(folded);
  const std::string prefix = folded + '\\';
  auto it = keys_.lower_bound(prefix);
  while (it != keys_.end() && it->first.compare(0, prefix.size(), prefix) == 0) it = keys_.erase(it);
}

std::vector<std::string> TRegistryTree::SubKeyNames(std::string_view path) const {
  std::vector<std::string> names;
  const std::string folded = Fold(path);
  const std::string prefix = folded.empty() ? folded : folded + '\\';
  for (auto it = keys_.lower_bound(prefix); it != keys_.end(); ++it) {
    if (it->first.compare(0, prefix.size(), prefix) != 0) break;
    if (it->first.find('\\', prefix.size()) != std::string::npos) continue;
    names.push_back(it->second.Path.substr(prefix.size()));
  }
  return names;
}

const TRegValue* TRegistryTree::FindValue(std::string_view path, std::string_view name) const {
  const TKey* key = Find(path);
  if (key == nullptr) return nullptr;
  const auto it = key->Values.find(FoldName(name));
  return it == key->Values.end() ? nullptr : &it->second.second;
}

std::vector<std::string> TRegistryTree::ValueNames(std::string_view path) const {
  std::vector<std::string> names;
  if (const TKey* key = Find(path)) {
    for (const auto& entry : key->Values) names.push_back(entry.second.first);
  }
  return names;
}

bool TRegistryTree::SetValue(std::string_view path, std::string_view name, TRegValue value) {
  if (!CreateKey(path)) return false;
  TKey* key = Find(path);
  auto [it, added] = key->Values.try_emplace(FoldName(name), std::string(name), value);
  if (!added) it->second.second = std::move(value);
  return true;
}

void TRegistryTree::DeleteValue(std::string_view path, std::string_view name) {
  TKey* key = Find(path);
  if (key == nullptr) return;
  key->Values.erase(FoldName(name));
}

void TRegistryTree::DeleteAllValues(std::string_view path) {
  if (TKey* key = Find(path)) key->Values.clear();
}

bool TRegistryTree::Parse(std::string_view text, std::vector<std::string>* problems) {
  keys_.clear();
  std::string current;
  std::string name;
  std::string str;
  size_t lineNo = 0;
  bool clean = true;
  bool skippingKey = false;  // the values of a bad [key] line go with it
  auto skip = [&](const char* why) {
    clean = false;
    if (problems != nullptr) problems->push_back("line " + std::to_string(lineNo) + ": " + why);
  };
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string_view::npos) eol = text.size();
    std::string_view line = Trim(text.substr(pos, eol - pos));
    pos = eol + 1;
    ++lineNo;
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      current.clear();
      skippingKey = true;
      if (line.back() != ']' || line.size() < 3) {
        skip("bad key header; its values are skipped");
        continue;
      }
      const std::string path = NormalizePath(line.substr(1, line.size() - 2));
      if (!CreateKey(path)) {
        skip("bad key name; its values are skipped");
        continue;
      }
      current = path;
      skippingKey = false;
      continue;
    }
    if (skippingKey) continue;
    if (line.front() != '"') {
      skip("expected a [key] or a \"name\"=value line");
      continue;
    }
    if (current.empty()) {
      skip("value outside of any [key]");
      continue;
    }
    if (!TakeQuoted(line, name)) {
      skip("bad value name");
      continue;
    }
    line = Trim(line);
    if (line.empty() || line.front() != '=') {
      skip("expected =");
      continue;
    }
    line = Trim(line.substr(1));
    if (!line.empty() && line.front() == '"') {
      if (!TakeQuoted(line, str) || !Trim(line).empty()) {
        skip("bad string value");
        continue;
      }
      SetValue(current, name, TRegValue::String(str));
    } else if (line.substr(0, 6) == "dword:") {
      int32_t n = 0;
      if (!ParseInt32(Trim(line.substr(6)), n)) {
        skip("bad dword value");
        continue;
      }
      SetValue(current, name, TRegValue::Integer(n));
    } else {
      skip("unknown value type");
    }
  }
  return clean;
}

std::string TRegistryTree::Serialize() const {
  std::string out = "; kalvex settings, rewritten by the program when it saves\n";
  for (const auto& [path, key] : keys_) {
    out += "\n[" + key.Path + "]\n";
    for (const auto& [folded, entry] : key.Values) {
      const auto& [name, value] = entry;
      AppendQuoted(out, name);
      out += '=';
      if (value.Kind == TRegValue::TKind::kInteger) {
        out += "dword:" + std::to_string(value.Number);
      } else {
        AppendQuoted(out, value.Text);
      }
      out += '\n';
    }
  }
  return out;
}

bool StrToInt32(std::string_view text, int32_t& value) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  return ParseInt32(text, value);
}

std::string DefaultRegistryFilePath() {
  std::string base;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') {  // relative values are to be ignored
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') {
      const passwd* pw = ::getpwuid(::getuid());
      // Never a shared folder such as /tmp, where another user could point
      // the file at one of ours: no settings file then.
      if (pw == nullptr || pw->pw_dir == nullptr || pw->pw_dir[0] != '/') return {};
      home = pw->pw_dir;
    }
    base = std::string(home) + "/.config";
  }
  return base + "/kalvex/registry.conf";
}

std::string RegistryFilePath() {
  return g_filePathOverride.empty() ? DefaultRegistryFilePath() : g_filePathOverride;
}

void SetRegistryFilePath(std::string path) { g_filePathOverride = std::move(path); }

bool LoadRegistryFile(const std::string& filePath, TRegistryTree& tree, std::string* error,
                      std::vector<std::string>* problems) {
  tree.Clear();
  TFileBytes bytes;
  int err = 0;
  const TReadStatus status = ReadRegularFile(filePath, bytes, static_cast<size_t>(kMaxFileSize), {}, &err);
  if (status == TReadStatus::kMissing) return true;  // nothing stored yet
  if (status != TReadStatus::kOk) {
    if (error != nullptr) {
      *error = status == TReadStatus::kNotRegular ? "not a regular file"
               : status == TReadStatus::kTooLarge ? "file too large"
               : status == TReadStatus::kNoMemory ? "out of memory"
                                                  : std::strerror(err);
    }
    return false;
  }
  tree.Parse(std::string_view(bytes.chars(), bytes.size), problems);
  return true;
}

}  // namespace kalvex
