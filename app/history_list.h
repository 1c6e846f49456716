#pragma once
// The recent-files list: entries at the end of a menu, below a separator of
// their own, the newest on top; kept in the settings store as "File0",
// "File1", ... of their own key.

#include <QObject>
#include <functional>
#include <string>

class QAction;
class QMenu;

namespace kalvex {

class TRegistryKey;

// Menu entries that load from and save to one key of the store.
class TDynamicMenuBase : public QObject {
  Q_OBJECT
public:
  // A placeholder path under which nothing is loaded or saved.
  static constexpr const char* kPlaceholderPath = "Company\\Program Name";

  explicit TDynamicMenuBase(QObject* parent = nullptr) : QObject(parent) {}

  const std::string& RegPath() const { return regPath_; }
  const std::string& RegKey() const { return regKey_; }
  // Both try to load the entries (once per list).
  void SetRegPath(const std::string& path);
  void SetRegKey(const std::string& key);
  QMenu* BaseMenu() const { return baseMenu_; }
  // Set once; later calls are ignored.
  virtual void SetBaseMenu(QMenu* menu);
  int FirstEntryIndex() const { return firstEntryIndex_; }
  virtual int GetCount() const = 0;
  // The store's key: "\Software\" + RegPath + "\" + RegKey.
  std::string KeyPath() const;

  void LoadFromRegistry();
  // Replaces the key's values with the entries; false when the key could
  // not be opened or created (nothing saved). Throws ERegistry when writing fails.
  bool SaveToRegistry();

protected:
  virtual bool LoadEntry(TRegistryKey& key, int index) = 0;
  virtual void SaveEntry(TRegistryKey& key, int index) = 0;
  bool UsableRegPath() const;

  std::string regPath_ = kPlaceholderPath;
  std::string regKey_;
  bool loaded_ = false;
  QMenu* baseMenu_ = nullptr;
  int firstEntryIndex_ = -1;
};

class THistoryList final : public TDynamicMenuBase {
  Q_OBJECT
public:
  explicit THistoryList(QObject* parent = nullptr);

  int MaxItems() const { return maxItems_; }
  // 1 or more drops entries from the end down to that many; less is ignored.
  void SetMaxItems(int count);
  bool Directories = false;
  // A click on an entry, with its full path.
  std::function<void(THistoryList& sender, const std::string& fileName)> OnClick;

  void SetBaseMenu(QMenu* menu) override;
  int GetCount() const override;
  // A file loaded or saved goes to the top; one that does not exist is not added.
  void AddFile(const std::string& path) { AddEntry(path, true); }
  void AddEntry(std::string path, bool atTop);
  // The full paths, newest first.
  std::vector<std::string> Files() const;
  QAction* Entry(int index) const;

protected:
  bool LoadEntry(TRegistryKey& key, int index) override;
  void SaveEntry(TRegistryKey& key, int index) override;

private:
  QAction* MakeEntry(const std::string& path);
  // The menu holds nothing but the disabled "(none)".
  bool OnlyPlaceholder() const;
  void RemoveLastEntry();

  int maxItems_ = 4;
};

}  // namespace kalvex
