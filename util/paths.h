#pragma once
#include <string>
#include <string_view>

namespace kalvex {

// Where the program is, what it is called, and where its settings live in the
// per-user store (util/registry.h). Computed on first use and cached; all of
// it runs on the window thread.

// Records argument 0 at start-up. Without it (or when it cannot be resolved)
// the program file is found through /proc/self/exe.
void InitProgramPath(const char* argv0);
// The program file's canonical full path.
const std::string& ProgramPath();
// The program file's name without folder and extension ("kalvex").
const std::string& ProgramName();
// ProgramPath's folder, without a trailing "/" except for the root.
std::string ProgramDir();
// ProgramName + "\" + ProgramName.
std::string AppKeyPath();

inline constexpr const char* kCompanyKey = "Zelk Software";
// The name an older installation used; its settings stay in use.
inline constexpr const char* kOldCompanyKey = "Zelkers";

// "Zelk Software", or "Zelkers" when only the latter holds settings of this
// program. Decided once, on first need.
const std::string& CompanyKey();
void ResetCompanyKeyForTesting();
// true: "\Software\" + CompanyKey() + "\" + AppKeyPath();
// false: "\Software\Zelk Software\" + AppKeyPath().
std::string RegBasePath(bool useCompanyKey);
// The same without the leading "\Software\".
std::string RegCompanyPath(bool useCompanyKey);

// The program's four-number version ("1.5.2.38").
const std::string& ProgramVersion();
// "1.52" and "38" for version 1.5.2.38; both empty for a version without ".".
std::string VersionNumber(std::string_view version);
std::string BuildNumber(std::string_view version);
inline std::string VersionNumber() { return VersionNumber(ProgramVersion()); }
inline std::string BuildNumber() { return BuildNumber(ProgramVersion()); }
// The version of a program file: ours for the program itself, else empty
// (Linux executables carry no version resource).
std::string GetFileVersionString(const std::string& file);

// Makes a path relative to programDir absolute; true when it changed the path.
// "/x" is absolute. Windows forms that stored settings may still hold stay as
// they are ("C:\x", "\\server\share", "//server/share"); "\x" means the root.
bool MakeAbsolutePath(std::string& path, const std::string& programDir);
inline bool MakeAbsolutePath(std::string& path) { return MakeAbsolutePath(path, ProgramDir()); }

bool DirectoryExists(const std::string& path);
// The canonical path when the path exists, else the input unchanged.
std::string LongPathName(const std::string& path);
bool StartsWith(std::string_view text, std::string_view prefix, bool ignoreCase);
// The text before its last "."; unchanged when there is none or it is first.
std::string StripExtension(const std::string& text);

}  // namespace kalvex
