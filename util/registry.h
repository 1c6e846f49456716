#pragma once
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "util/registry_file.h"

namespace kalvex {

// A failure of the settings store (the file could not be saved).
class ERegistry : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// One use of the store: a snapshot of the file taken when it was opened, plus
// the changes made through it. Saving re-reads the file under a lock (flock on
// "registry.conf.lock" beside it), applies
// the recorded changes and writes it atomically, so values another process
// saved in the meantime are kept unless this one changed the same values
// (then the last writer wins).
class TRegistrySession {
public:
  explicit TRegistrySession(std::string filePath);

  const TRegistryTree& Tree() const { return tree_; }
  const std::string& FilePath() const { return filePath_; }

  // Creating a key that is only opened is not a change worth a save.
  void CreateKey(const std::string& path, bool countsAsChange);
  void SetValue(const std::string& path, const std::string& name, TRegValue value);
  void DeleteValue(const std::string& path, const std::string& name);
  void DeleteAllValues(const std::string& path);
  void DeleteKey(const std::string& path);

  bool Modified() const { return modified_; }
  // Writes the changes; throws ERegistry. Afterwards the snapshot is the file.
  void Save();
  // Nobody saves from a destructor, where a failure would go unheard: what
  // was not saved is dropped, with a trace line.
  void DropUnsaved() noexcept;

private:
  enum class TOp { kCreateKey, kSetValue, kDeleteValue, kDeleteAllValues, kDeleteKey };
  struct TChange {
    TOp Op;
    std::string Path;
    std::string Name;
    TRegValue Value;
  };
  void Record(TChange change);
  static void Apply(TRegistryTree& tree, const TChange& change);

  std::string filePath_;
  TRegistryTree tree_;
  std::vector<TChange> journal_;
  bool modified_ = false;
};

// Ini-style view of one key: a section is a subkey, an ident a value in it
// (the empty section is the key itself). Integers are 32-bit integer values,
// booleans the strings "1" and "0". Changes are saved by UpdateFile(), which
// reports a failure; destroying the view without it drops them.
class TRegIniFile {
public:
  // keyPath below the user's root, e.g. "\Software\Zelk Software\kalvex\kalvex";
  // the key is created when it does not exist.
  explicit TRegIniFile(const std::string& keyPath, std::string filePath = RegistryFilePath());
  ~TRegIniFile();
  TRegIniFile(const TRegIniFile&) = delete;
  TRegIniFile& operator=(const TRegIniFile&) = delete;

  std::string ReadString(const std::string& section, const std::string& ident,
                         const std::string& defaultValue) const;
  void WriteString(const std::string& section, const std::string& ident, const std::string& value);
  // An integer value unchanged; a string converted as a decimal integer, or
  // the default when it is none.
  int32_t ReadInteger(const std::string& section, const std::string& ident, int32_t defaultValue) const;
  // An integer value; one that exists as a string stays a string.
  void WriteInteger(const std::string& section, const std::string& ident, int32_t value);
  bool ReadBool(const std::string& section, const std::string& ident, bool defaultValue) const;
  void WriteBool(const std::string& section, const std::string& ident, bool value);

  bool SectionExists(const std::string& section) const;
  bool ValueExists(const std::string& section, const std::string& ident) const;
  std::vector<std::string> ReadSections() const;                        // subkey names
  std::vector<std::string> ReadSection(const std::string& section) const;  // value names
  void EraseSection(const std::string& section);
  void DeleteKey(const std::string& section, const std::string& ident);

  // Saves the changes now; throws ERegistry.
  void UpdateFile();
  const std::string& KeyPath() const { return keyPath_; }

private:
  std::string SectionPath(const std::string& section) const;

  std::string keyPath_;
  TRegistrySession session_;
};

// Direct access to one key, as the recent-files list needs it.
class TRegistryKey {
public:
  explicit TRegistryKey(std::string filePath = RegistryFilePath());
  ~TRegistryKey();
  TRegistryKey(const TRegistryKey&) = delete;
  TRegistryKey& operator=(const TRegistryKey&) = delete;

  // path below the user's root; false when it does not exist and may not be
  // created, or is no valid key name. Closes a key opened before.
  bool OpenKey(const std::string& path, bool canCreate);
  // Saves the changes (throws ERegistry) and closes; harmless when not open.
  void CloseKey();
  bool IsOpen() const { return session_ != nullptr; }
  const std::string& CurrentPath() const { return path_; }

  bool ValueExists(const std::string& name) const;
  // Empty when missing; an integer value as decimal text.
  std::string ReadString(const std::string& name) const;
  void WriteString(const std::string& name, const std::string& value);
  bool DeleteValue(const std::string& name);
  void DeleteAllValues();
  std::vector<std::string> ValueNames() const;

private:
  std::string filePath_;
  std::string path_;
  std::unique_ptr<TRegistrySession> session_;
};

// True when the key exists in the current user's store.
bool RegKeyExists(const std::string& path, const std::string& filePath = RegistryFilePath());

}  // namespace kalvex
