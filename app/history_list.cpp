#include "app/history_list.h"

#include <QAction>
#include <QMenu>
#include <sys/stat.h>

#include "util/ascii.h"
#include "util/paths.h"
#include "util/registry.h"

namespace kalvex {

namespace {

bool IsFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

QString Caption(const std::string& path) {
  const std::string name = BaseName(path);
  // "&" in a file name is shown, not taken as the access key.
  return QString::fromStdString(name.empty() ? path : name).replace("&", "&&");
}

}  // namespace

void TDynamicMenuBase::SetRegPath(const std::string& path) {
  regPath_ = path;
  LoadFromRegistry();
}

void TDynamicMenuBase::SetRegKey(const std::string& key) {
  regKey_ = key;
  LoadFromRegistry();
}

void TDynamicMenuBase::SetBaseMenu(QMenu* menu) {
  if (baseMenu_) return;
  baseMenu_ = menu;
  LoadFromRegistry();
}

std::string TDynamicMenuBase::KeyPath() const { return "\\Software\\" + regPath_ + "\\" + regKey_; }

bool TDynamicMenuBase::UsableRegPath() const {
  return !regPath_.empty() && LowerAscii(regPath_) != LowerAscii(kPlaceholderPath);
}

void TDynamicMenuBase::LoadFromRegistry() {
  if (loaded_ || !baseMenu_ || !UsableRegPath()) return;
  loaded_ = true;
  TRegistryKey key;
  if (!key.OpenKey(KeyPath(), false)) return;
  for (int i = 0; LoadEntry(key, i); ++i) {
  }
  key.CloseKey();
}

bool TDynamicMenuBase::SaveToRegistry() {
  if (!baseMenu_ || !UsableRegPath()) return false;
  TRegistryKey key;
  if (!key.OpenKey(KeyPath(), true)) return false;
  key.DeleteAllValues();
  for (int i = 0; i < GetCount(); ++i) SaveEntry(key, i);
  key.CloseKey();
  return true;
}

THistoryList::THistoryList(QObject* parent) : TDynamicMenuBase(parent) { regKey_ = "MRUList"; }

void THistoryList::SetBaseMenu(QMenu* menu) {
  if (!baseMenu_ && menu) {
    const QList<QAction*> items = menu->actions();
    if (items.isEmpty()) {
      menu->addAction("(none)")->setEnabled(false);
    } else if (items.last()->isSeparator()) {
      menu->removeAction(items.last());
    }
  }
  TDynamicMenuBase::SetBaseMenu(menu);
}

bool THistoryList::OnlyPlaceholder() const {
  const QList<QAction*> items = baseMenu_->actions();
  return items.size() == 1 && !items[0]->isEnabled() && items[0]->text() == "(none)";
}

void THistoryList::RemoveLastEntry() {
  QAction* last = baseMenu_->actions().last();
  baseMenu_->removeAction(last);
  delete last;
}

int THistoryList::GetCount() const {
  if (!baseMenu_ || firstEntryIndex_ < 0 || OnlyPlaceholder()) return 0;
  return std::max(0, static_cast<int>(baseMenu_->actions().size()) - firstEntryIndex_);
}

QAction* THistoryList::Entry(int index) const {
  if (index < 0 || index >= GetCount()) return nullptr;
  return baseMenu_->actions()[firstEntryIndex_ + index];
}

std::vector<std::string> THistoryList::Files() const {
  std::vector<std::string> files;
  for (int i = 0; i < GetCount(); ++i) files.push_back(Entry(i)->statusTip().toStdString());
  return files;
}

void THistoryList::SetMaxItems(int count) {
  if (count < 1) return;
  while (GetCount() > count) RemoveLastEntry();
  maxItems_ = count;
}

QAction* THistoryList::MakeEntry(const std::string& path) {
  auto* entry = new QAction(Caption(path), baseMenu_);
  entry->setStatusTip(QString::fromStdString(path));
  connect(entry, &QAction::triggered, this, [this, entry] {
    if (OnClick) OnClick(*this, entry->statusTip().toStdString());
  });
  return entry;
}

void THistoryList::AddEntry(std::string path, bool atTop) {
  if (path.empty() || !baseMenu_) return;
  if (Directories ? !DirectoryExists(path) : !IsFile(path)) return;
  if (Directories && path.size() > 1 && path.back() == '/') path.pop_back();
  if (GetCount() == 0) {
    if (OnlyPlaceholder()) RemoveLastEntry();
    if (!baseMenu_->actions().isEmpty() && firstEntryIndex_ < 0) baseMenu_->addSeparator();
    firstEntryIndex_ = static_cast<int>(baseMenu_->actions().size());
  }
  // Paths are compared exactly: on this system "a.syx" and "A.syx" are two files.
  QAction* entry = nullptr;
  const QString key = QString::fromStdString(path);
  for (int i = 0; i < GetCount(); ++i)
    if (Entry(i)->statusTip() == key) {
      entry = Entry(i);
      baseMenu_->removeAction(entry);
      break;
    }
  if (!entry) entry = MakeEntry(path);
  const QList<QAction*> items = baseMenu_->actions();
  if (atTop) {
    baseMenu_->insertAction(firstEntryIndex_ < items.size() ? items[firstEntryIndex_] : nullptr, entry);
    if (GetCount() > maxItems_) RemoveLastEntry();
  } else {
    baseMenu_->addAction(entry);
  }
}

bool THistoryList::LoadEntry(TRegistryKey& key, int index) {
  const std::string name = "File" + std::to_string(index);
  if (GetCount() >= maxItems_ || !key.ValueExists(name)) return false;
  AddEntry(key.ReadString(name), false);  // a file that is gone is skipped
  return true;
}

void THistoryList::SaveEntry(TRegistryKey& key, int index) {
  key.WriteString("File" + std::to_string(index), Entry(index)->statusTip().toStdString());
}

}  // namespace kalvex
