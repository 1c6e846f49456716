#include "util/paths.h"

#include <gtest/gtest.h>

#include "util/ascii.h"

#include <filesystem>

#include "tests/util/temp_dir.h"
#include "util/registry.h"
#include "util/shell_open.h"
#include "version_config.h"

namespace kalvex {
namespace {

using test::TTempDir;

TEST(Version, NumberAndBuildFromFourPartVersion) {
  const struct {
    const char* version;
    const char* number;
    const char* build;
  } cases[] = {
      {"1.5.2.38", "1.52", "38"}, {"1.0.0.1", "1.00", "1"}, {"12.5.38", "125", "38"}, {"1.5", "1", "5"},
      {"138", "", ""},            {".38", "", "38"},        {".5.38", ".5", "38"},    {"", "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(VersionNumber(c.version), c.number) << c.version;
    EXPECT_EQ(BuildNumber(c.version), c.build) << c.version;
  }
  EXPECT_EQ(ProgramVersion(), KALVEX_FILE_VERSION);
  EXPECT_EQ(std::count(ProgramVersion().begin(), ProgramVersion().end(), '.'), 3);
}

TEST(ProgramFile, PathNameFolderAndVersionOfTheRunningProgram) {
  InitProgramPath("test_util");  // as started through PATH: no folder in it
  EXPECT_EQ(ProgramPath(), std::filesystem::canonical("/proc/self/exe").string());
  EXPECT_EQ(ProgramName(), "test_util");
  EXPECT_EQ(AppKeyPath(), "test_util\\test_util");
  EXPECT_EQ(ProgramDir() + "/test_util", ProgramPath());
  EXPECT_EQ(GetFileVersionString(ProgramPath()), ProgramVersion());
  EXPECT_EQ(GetFileVersionString("/bin/sh"), "");
  EXPECT_EQ(GetFileVersionString("/no/such/file"), "");
}

TEST(CompanyKey, OlderCompanyNameIsUsedOnlyWhenItAloneHoldsSettings) {
  TTempDir dir;
  SetRegistryFilePath(dir.File("registry.conf"));
  const std::string app = AppKeyPath();
  auto decide = [] {
    ResetCompanyKeyForTesting();
    return CompanyKey();
  };
  auto createKey = [&](const std::string& path) {
    TRegistryKey key(dir.File("registry.conf"));
    key.OpenKey(path, true);
    key.CloseKey();
  };
  EXPECT_EQ(decide(), "Zelk Software");
  EXPECT_EQ(RegBasePath(true), "\\Software\\Zelk Software\\" + app);

  createKey("\\Software\\Zelkers\\" + app);
  EXPECT_EQ(decide(), "Zelkers");
  EXPECT_EQ(RegBasePath(true), "\\Software\\Zelkers\\" + app);
  EXPECT_EQ(RegCompanyPath(true), "Zelkers\\" + app);
  EXPECT_EQ(RegBasePath(false), "\\Software\\Zelk Software\\" + app);
  EXPECT_EQ(RegCompanyPath(false), "Zelk Software\\" + app);

  createKey("\\Software\\Zelk Software\\" + app);
  EXPECT_EQ(decide(), "Zelk Software");
  SetRegistryFilePath("");
  ResetCompanyKeyForTesting();
}

TEST(MakeAbsolutePath, RelativePathsGoIntoTheProgramFolder) {
  const struct {
    const char* in;
    const char* dir;
    const char* out;
    bool changed;
  } cases[] = {
      {"kalvex_manual.pdf", "/opt/kalvex", "/opt/kalvex/kalvex_manual.pdf", true},
      {"doc/manual.pdf", "/opt/kalvex", "/opt/kalvex/doc/manual.pdf", true},
      {"manual.pdf", "/", "/manual.pdf", true},
      {"/usr/share/doc/x.pdf", "/opt/kalvex", "/usr/share/doc/x.pdf", false},
      {"//server/share/x.pdf", "/opt/kalvex", "//server/share/x.pdf", false},
      {"\\\\server\\share\\x.pdf", "/opt/kalvex", "\\\\server\\share\\x.pdf", false},
      {"C:\\Program Files\\x.pdf", "/opt/kalvex", "C:\\Program Files\\x.pdf", false},
      {"c:", "/opt/kalvex", "c:", false},
      {"\\docs", "/opt/kalvex", "/docs", true},
  };
  for (const auto& c : cases) {
    std::string path = c.in;
    EXPECT_EQ(MakeAbsolutePath(path, c.dir), c.changed) << c.in;
    EXPECT_EQ(path, c.out) << c.in;
  }
}

TEST(FileOperations, DirectoriesLongNamesPrefixesAndExtensions) {
  TTempDir dir;
  const std::string file = dir.File("song.mid");
  test::WriteAll(file, "x");
  std::filesystem::create_symlink(file, dir.File("link.mid"));
  EXPECT_TRUE(DirectoryExists(dir.Path()));
  EXPECT_TRUE(DirectoryExists("/"));
  EXPECT_FALSE(DirectoryExists(file));
  EXPECT_FALSE(DirectoryExists(dir.File("missing")));
  EXPECT_FALSE(DirectoryExists(""));

  const std::string canonicalFile = std::filesystem::canonical(file).string();
  EXPECT_EQ(LongPathName(dir.File("link.mid")), canonicalFile);
  EXPECT_EQ(LongPathName(dir.Path() + "/./song.mid"), canonicalFile);
  EXPECT_EQ(LongPathName(dir.File("missing.mid")), dir.File("missing.mid"));
  EXPECT_EQ(LongPathName(""), "");

  EXPECT_TRUE(StartsWith("/send", "/SEND", true));
  EXPECT_FALSE(StartsWith("/send", "/SEND", false));
  EXPECT_TRUE(StartsWith("abc", "", false));
  EXPECT_FALSE(StartsWith("ab", "abc", true));
  EXPECT_FALSE(StartsWith("\xc3\xbc", "\xc3\x9c", true));  // ASCII folding only

  EXPECT_EQ(StripExtension("dump.syx"), "dump");
  EXPECT_EQ(StripExtension("a.b.c"), "a.b");
  EXPECT_EQ(StripExtension("noext"), "noext");
  EXPECT_EQ(StripExtension(".hidden"), ".hidden");
  EXPECT_EQ(StripExtension(""), "");
}

// The one integer parser, for settings and command-line values alike.
TEST(ParseInt32, DecimalWithASignAndNothingAround) {
  const struct {
    const char* text;
    bool ok;
    int32_t value;
  } cases[] = {{"0", true, 0},          {"-500", true, -500},       {"+7", true, 7},
               {"2147483647", true, INT32_MAX}, {"-2147483648", true, INT32_MIN}, {"2147483648", false, 0},
               {"", false, 0},          {"-", false, 0},            {" 5", false, 0},
               {"5 ", false, 0},        {"0x10", false, 0},         {"1e3", false, 0}};
  for (const auto& c : cases) {
    int32_t v = 12345;
    EXPECT_EQ(ParseInt32(c.text, v), c.ok) << c.text;
    EXPECT_EQ(v, c.ok ? c.value : 12345) << c.text;
  }
}

TEST(ShellOpen, RefusesWhatIsNotThere) {
  EXPECT_FALSE(ShellOpen(""));
  EXPECT_FALSE(ShellOpen("no_such_manual.pdf", "", "/nonexistent"));
}

}  // namespace
}  // namespace kalvex
