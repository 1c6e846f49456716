#include "util/paths.h"

#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "util/registry.h"
#include "version_config.h"
#include "util/ascii.h"

namespace kalvex {

namespace {

std::string g_argv0;
std::string g_programPath;
std::string g_programName;
std::string g_companyKey;
std::string g_programVersion;

std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  return ::realpath(path.c_str(), buf) != nullptr ? std::string(buf) : std::string();
}

std::string SelfExe() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}


}  // namespace

void InitProgramPath(const char* argv0) {
  g_argv0 = argv0 != nullptr ? argv0 : "";
  g_programPath.clear();
  g_programName.clear();
}

const std::string& ProgramPath() {
  if (g_programPath.empty()) {
    // The kernel's answer is exact; argument 0 is only a fallback, as a
    // program started through PATH reports no folder in it.
    std::string path = SelfExe();
    if (path.empty() && !g_argv0.empty()) path = RealPath(g_argv0);
    if (path.empty()) path = g_argv0;
    g_programPath = LongPathName(path);
  }
  return g_programPath;
}

const std::string& ProgramName() {
  if (g_programName.empty()) g_programName = StripExtension(BaseName(ProgramPath()));
  return g_programName;
}

std::string ProgramDir() { return DirName(ProgramPath()); }

std::string AppKeyPath() { return ProgramName() + "\\" + ProgramName(); }

const std::string& CompanyKey() {
  if (g_companyKey.empty()) {
    g_companyKey = kCompanyKey;
    const std::string app = AppKeyPath();
    if (!RegKeyExists(std::string("\\Software\\") + kCompanyKey + "\\" + app) &&
        RegKeyExists(std::string("\\Software\\") + kOldCompanyKey + "\\" + app)) {
      g_companyKey = kOldCompanyKey;
    }
  }
  return g_companyKey;
}

void ResetCompanyKeyForTesting() { g_companyKey.clear(); }

std::string RegBasePath(bool useCompanyKey) { return "\\Software\\" + RegCompanyPath(useCompanyKey); }

std::string RegCompanyPath(bool useCompanyKey) {
  return (useCompanyKey ? CompanyKey() : std::string(kCompanyKey)) + "\\" + AppKeyPath();
}

const std::string& ProgramVersion() {
  if (g_programVersion.empty()) g_programVersion = KALVEX_FILE_VERSION;
  return g_programVersion;
}

std::string VersionNumber(std::string_view version) {
  const size_t last = version.rfind('.');
  if (last == std::string_view::npos || last == 0) return {};
  std::string text(version.substr(0, last));
  const size_t inner = text.rfind('.');
  if (inner != std::string::npos && inner > 0) text.erase(inner, 1);
  return text;
}

std::string BuildNumber(std::string_view version) {
  const size_t last = version.rfind('.');
  return last == std::string_view::npos ? std::string() : std::string(version.substr(last + 1));
}

std::string GetFileVersionString(const std::string& file) {
  const std::string resolved = RealPath(file);
  if (!resolved.empty() && resolved == ProgramPath()) return ProgramVersion();
  return {};
}

bool MakeAbsolutePath(std::string& path, const std::string& programDir) {
  const size_t n = path.size();
  if (n >= 1 && path[0] == '/') return false;  // absolute here, and "//server/share"
  if (n >= 2 && ((path[0] == '\\' && path[1] == '\\') || path[1] == ':')) return false;
  if (n >= 2 && path[0] == '\\') {
    // Root of the drive on Windows; there is one root here.
    path = "/" + path.substr(1);
    return true;
  }
  path = (programDir == "/" ? std::string() : programDir) + "/" + path;
  return true;
}

bool DirectoryExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string LongPathName(const std::string& path) {
  const std::string resolved = path.empty() ? std::string() : RealPath(path);
  return resolved.empty() ? path : resolved;
}

bool StartsWith(std::string_view text, std::string_view prefix, bool ignoreCase) {
  if (prefix.size() > text.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    const char a = ignoreCase ? FoldAscii(text[i]) : text[i];
    const char b = ignoreCase ? FoldAscii(prefix[i]) : prefix[i];
    if (a != b) return false;
  }
  return true;
}

std::string StripExtension(const std::string& text) {
  const size_t dot = text.rfind('.');
  if (dot == std::string::npos || dot == 0) return text;
  return text.substr(0, dot);
}

}  // namespace kalvex
