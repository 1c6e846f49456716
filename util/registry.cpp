#include "util/registry.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "util/ascii.h"
#include "util/atomic_file.h"
#include "util/read_file.h"
#include "util/trace.h"

namespace kalvex {

namespace {

constexpr size_t kMaxReportedLines = 10;

// A damaged file is reported once per run, not at every read.
bool FirstReport(const std::string& filePath) {
  static std::set<std::string> reported;
  return reported.insert(filePath).second;
}

constexpr const char* kNoHomeText =
    "there is no folder of this user's own for settings (HOME is not set and the user has no entry in the user "
    "database)";

TRegistryTree LoadOrReport(const std::string& filePath, bool* damaged = nullptr) {
  TRegistryTree tree;
  if (filePath.empty()) {
    if (FirstReport(filePath)) std::fprintf(stderr, "kalvex: %s; default settings apply\n", kNoHomeText);
    if (damaged != nullptr) *damaged = false;
    return tree;
  }
  std::string why;
  std::vector<std::string> skipped;
  const bool ok = LoadRegistryFile(filePath, tree, &why, &skipped);
  if ((!ok || !skipped.empty()) && FirstReport(filePath)) {
    if (!ok)
      std::fprintf(stderr,
                   "kalvex: the settings file %s cannot be used (%s); default settings apply, "
                   "and the file is replaced when settings are next saved\n",
                   filePath.c_str(), why.c_str());
    for (size_t i = 0; i < skipped.size() && i < kMaxReportedLines; ++i)
      std::fprintf(stderr, "kalvex: settings file %s, %s: the line is skipped\n", filePath.c_str(),
                   skipped[i].c_str());
    if (skipped.size() > kMaxReportedLines)
      std::fprintf(stderr, "kalvex: settings file %s: %zu more lines are skipped\n", filePath.c_str(),
                   skipped.size() - kMaxReportedLines);
    if (!skipped.empty())
      std::fprintf(stderr, "kalvex: the file as it is now is kept as %s.damaged when settings are next saved\n",
                   filePath.c_str());
  }
  if (damaged != nullptr) *damaged = !ok || !skipped.empty();
  return tree;
}

// Keeps a copy of a file's bytes (of the file a link points to: a link
// would show the rewritten file).
void KeepCopy(const std::string& from, const std::string& to) {
  ::unlink(to.c_str());
  TFileBytes bytes;
  if (ReadRegularFile(from, bytes) != TReadStatus::kOk) return;
  TAtomicFileWriter copy(to);
  if (copy.Open() && copy.Write(bytes.data.get(), bytes.size)) copy.Commit();
}

bool MakeDirectories(const std::string& dir) {
  if (dir.empty()) return true;
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const size_t slash = dir.rfind('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirectories(dir.substr(0, slash))) return false;
  return ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

// Serialises savers of different processes for the read-modify-write.
class TFileLock {
public:
  explicit TFileLock(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (fd_ >= 0) {
      while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~TFileLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  TFileLock(const TFileLock&) = delete;
  TFileLock& operator=(const TFileLock&) = delete;

private:
  int fd_;
};

std::string JoinPath(const std::string& key, const std::string& sub) {
  return sub.empty() ? key : key + '\\' + sub;
}

}  // namespace

// ---------------------------------------------------------------------------

TRegistrySession::TRegistrySession(std::string filePath)
    : filePath_(std::move(filePath)), tree_(LoadOrReport(filePath_)) {}

void TRegistrySession::Apply(TRegistryTree& tree, const TChange& change) {
  switch (change.Op) {
    case TOp::kCreateKey: tree.CreateKey(change.Path); break;
    case TOp::kSetValue: tree.SetValue(change.Path, change.Name, change.Value); break;
    case TOp::kDeleteValue: tree.DeleteValue(change.Path, change.Name); break;
    case TOp::kDeleteAllValues: tree.DeleteAllValues(change.Path); break;
    case TOp::kDeleteKey: tree.DeleteKey(change.Path); break;
  }
}

void TRegistrySession::Record(TChange change) {
  Apply(tree_, change);
  journal_.push_back(std::move(change));
}

void TRegistrySession::CreateKey(const std::string& path, bool countsAsChange) {
  if (tree_.KeyExists(path)) return;
  Record({TOp::kCreateKey, path, {}, {}});
  modified_ = modified_ || countsAsChange;
}

void TRegistrySession::SetValue(const std::string& path, const std::string& name, TRegValue value) {
  if (!TRegistryTree::ValidKeyPath(TRegistryTree::NormalizePath(path))) return;
  Record({TOp::kSetValue, path, name, std::move(value)});
  modified_ = true;
}

void TRegistrySession::DeleteValue(const std::string& path, const std::string& name) {
  Record({TOp::kDeleteValue, path, name, {}});
  modified_ = true;
}

void TRegistrySession::DeleteAllValues(const std::string& path) {
  Record({TOp::kDeleteAllValues, path, {}, {}});
  modified_ = true;
}

void TRegistrySession::DeleteKey(const std::string& path) {
  Record({TOp::kDeleteKey, path, {}, {}});
  modified_ = true;
}

void TRegistrySession::Save() {
  if (!modified_) return;
  if (filePath_.empty()) throw ERegistry(std::string("Settings cannot be saved: ") + kNoHomeText + ".");
  const std::string dir = DirName(filePath_);
  auto fail = [&](int err) {
    throw ERegistry("Failed to save settings to " + filePath_ + ": " + std::strerror(err));
  };
  if (!MakeDirectories(dir)) fail(errno);

  TFileLock lock(filePath_ + ".lock");
  bool damaged = false;
  TRegistryTree merged = LoadOrReport(filePath_, &damaged);
  for (const TChange& change : journal_) Apply(merged, change);

  const std::string text = merged.Serialize();
  TAtomicFileWriter writer(filePath_);
  if (!writer.Open() || !writer.Write(text.data(), text.size())) fail(writer.Error());
  // Keep the damaged file beside for the user instead of losing it.
  if (damaged) KeepCopy(filePath_, filePath_ + ".damaged");
  if (!writer.Commit()) fail(writer.Error());

  tree_ = std::move(merged);
  journal_.clear();
  modified_ = false;
}

void TRegistrySession::DropUnsaved() noexcept {
  if (modified_) TraceF("settings: changes to %s dropped unsaved", filePath_.c_str());
}

// ---------------------------------------------------------------------------

TRegIniFile::TRegIniFile(const std::string& keyPath, std::string filePath)
    : keyPath_(TRegistryTree::NormalizePath(keyPath)), session_(std::move(filePath)) {
  session_.CreateKey(keyPath_, false);
}

TRegIniFile::~TRegIniFile() { session_.DropUnsaved(); }

std::string TRegIniFile::SectionPath(const std::string& section) const { return JoinPath(keyPath_, section); }

std::string TRegIniFile::ReadString(const std::string& section, const std::string& ident,
                                    const std::string& defaultValue) const {
  const TRegValue* v = session_.Tree().FindValue(SectionPath(section), ident);
  if (v == nullptr) return defaultValue;
  return v->Kind == TRegValue::TKind::kString ? v->Text : std::to_string(v->Number);
}

void TRegIniFile::WriteString(const std::string& section, const std::string& ident, const std::string& value) {
  session_.SetValue(SectionPath(section), ident, TRegValue::String(value));
}

int32_t TRegIniFile::ReadInteger(const std::string& section, const std::string& ident, int32_t defaultValue) const {
  const TRegValue* v = session_.Tree().FindValue(SectionPath(section), ident);
  if (v == nullptr) return defaultValue;
  if (v->Kind == TRegValue::TKind::kInteger) return v->Number;
  int32_t n = 0;
  return StrToInt32(v->Text, n) ? n : defaultValue;
}

void TRegIniFile::WriteInteger(const std::string& section, const std::string& ident, int32_t value) {
  const TRegValue* v = session_.Tree().FindValue(SectionPath(section), ident);
  if (v != nullptr && v->Kind == TRegValue::TKind::kString) {
    session_.SetValue(SectionPath(section), ident, TRegValue::String(std::to_string(value)));
  } else {
    session_.SetValue(SectionPath(section), ident, TRegValue::Integer(value));
  }
}

bool TRegIniFile::ReadBool(const std::string& section, const std::string& ident, bool defaultValue) const {
  return ReadInteger(section, ident, defaultValue ? 1 : 0) != 0;
}

void TRegIniFile::WriteBool(const std::string& section, const std::string& ident, bool value) {
  WriteString(section, ident, value ? "1" : "0");
}

bool TRegIniFile::SectionExists(const std::string& section) const {
  return session_.Tree().KeyExists(SectionPath(section));
}

bool TRegIniFile::ValueExists(const std::string& section, const std::string& ident) const {
  return session_.Tree().FindValue(SectionPath(section), ident) != nullptr;
}

std::vector<std::string> TRegIniFile::ReadSections() const { return session_.Tree().SubKeyNames(keyPath_); }

std::vector<std::string> TRegIniFile::ReadSection(const std::string& section) const {
  return session_.Tree().ValueNames(SectionPath(section));
}

void TRegIniFile::EraseSection(const std::string& section) {
  if (section.empty()) return;  // never the whole key
  session_.DeleteKey(SectionPath(section));
}

void TRegIniFile::DeleteKey(const std::string& section, const std::string& ident) {
  session_.DeleteValue(SectionPath(section), ident);
}

void TRegIniFile::UpdateFile() { session_.Save(); }

// ---------------------------------------------------------------------------

TRegistryKey::TRegistryKey(std::string filePath) : filePath_(std::move(filePath)) {}

TRegistryKey::~TRegistryKey() {
  if (session_) session_->DropUnsaved();
}

bool TRegistryKey::OpenKey(const std::string& path, bool canCreate) {
  CloseKey();
  const std::string norm = TRegistryTree::NormalizePath(path);
  if (!TRegistryTree::ValidKeyPath(norm)) return false;
  auto session = std::make_unique<TRegistrySession>(filePath_);
  if (!session->Tree().KeyExists(norm)) {
    if (!canCreate) return false;
    session->CreateKey(norm, true);
  }
  session_ = std::move(session);
  path_ = norm;
  return true;
}

void TRegistryKey::CloseKey() {
  if (!session_) return;
  std::unique_ptr<TRegistrySession> session = std::move(session_);
  path_.clear();
  session->Save();
}

bool TRegistryKey::ValueExists(const std::string& name) const {
  return session_ && session_->Tree().FindValue(path_, name) != nullptr;
}

std::string TRegistryKey::ReadString(const std::string& name) const {
  const TRegValue* v = session_ ? session_->Tree().FindValue(path_, name) : nullptr;
  if (v == nullptr) return {};
  return v->Kind == TRegValue::TKind::kString ? v->Text : std::to_string(v->Number);
}

void TRegistryKey::WriteString(const std::string& name, const std::string& value) {
  if (session_) session_->SetValue(path_, name, TRegValue::String(value));
}

bool TRegistryKey::DeleteValue(const std::string& name) {
  if (!ValueExists(name)) return false;
  session_->DeleteValue(path_, name);
  return true;
}

void TRegistryKey::DeleteAllValues() {
  if (session_) session_->DeleteAllValues(path_);
}

std::vector<std::string> TRegistryKey::ValueNames() const {
  return session_ ? session_->Tree().ValueNames(path_) : std::vector<std::string>{};
}

bool RegKeyExists(const std::string& path, const std::string& filePath) {
  TRegistryTree tree = LoadOrReport(filePath);
  return tree.KeyExists(path);
}

}  // namespace kalvex
