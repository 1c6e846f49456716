#include "util/registry.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "tests/util/temp_dir.h"

namespace kalvex {
namespace {

using test::ReadAll;
using test::TTempDir;
using test::WriteAll;

const std::string kAppKey = "\\Software\\Zelk Software\\kalvex\\kalvex";

// A safety net: nothing in this program's tests may reach the real user's
// settings, even through the default path.
struct TIsolatedConfigHome {
  TIsolatedConfigHome() { ::setenv("XDG_CONFIG_HOME", dir.Path().c_str(), 1); }
  TTempDir dir;
} g_isolatedConfigHome;

class RegistryTest : public ::testing::Test {
protected:
  std::string File() const { return dir_.File("kalvex/registry.conf"); }
  TTempDir dir_;
};

TEST(RegistryTree, RoundTripKeepsKindsNamesAndAwkwardBytes) {
  TRegistryTree tree;
  const std::string awkward = std::string("quote\" back\\ tab\t nl\n cr\r nul") + '\0' + "\x01 \x7f \xc3\xbc end";
  tree.SetValue("Software\\A\\Current", "Text", TRegValue::String(awkward));
  tree.SetValue("Software\\A\\Current", "", TRegValue::String("default value"));
  tree.SetValue("Software\\A\\Current", "name \"with\" = sign", TRegValue::Integer(INT32_MIN));
  tree.SetValue("Software\\A\\Current", "Max", TRegValue::Integer(INT32_MAX));
  tree.SetValue("Software\\A\\Current", "Digits", TRegValue::String("42"));
  tree.CreateKey("Software\\A\\Empty Key");
  const std::string text = tree.Serialize();
  // Human readable, and the two kinds stay apart.
  EXPECT_NE(text.find("[Software\\A\\Current]"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Max\"=dword:2147483647"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Digits\"=\"42\""), std::string::npos) << text;
  EXPECT_EQ(text.find('\0'), std::string::npos);

  TRegistryTree back;
  std::vector<std::string> problems;
  ASSERT_TRUE(back.Parse(text, &problems)) << problems.size() << "\n" << text;
  EXPECT_EQ(back, tree);
  EXPECT_EQ(back.FindValue("software\\a\\CURRENT", "text")->Text, awkward);
  EXPECT_TRUE(back.KeyExists("\\Software\\A\\Empty Key\\"));
}

TEST(RegistryTree, KeysAndValuesIgnoreCaseAndKeepTheirFirstSpelling) {
  TRegistryTree tree;
  tree.SetValue("Software\\Zelk Software\\kalvex", "FontSize", TRegValue::Integer(9));
  tree.SetValue("SOFTWARE\\zelk software\\KALVEX", "fontsize", TRegValue::Integer(10));
  tree.CreateKey("Software\\Zelk Software\\kalvex\\MRUList");
  tree.CreateKey("Software\\Zelk Software\\kalvex\\Current\\Deeper");
  EXPECT_EQ(tree.ValueNames("software\\zelk software\\kalvex"), std::vector<std::string>{"FontSize"});
  EXPECT_EQ(tree.FindValue("Software\\Zelk Software\\kalvex", "FONTSIZE")->Number, 10);
  EXPECT_EQ(tree.SubKeyNames("Software\\Zelk Software\\kalvex"), (std::vector<std::string>{"Current", "MRUList"}));
  tree.DeleteKey("software\\ZELK SOFTWARE\\kalvex\\current");
  EXPECT_FALSE(tree.KeyExists("Software\\Zelk Software\\kalvex\\Current\\Deeper"));
  EXPECT_TRUE(tree.KeyExists("Software\\Zelk Software\\kalvex\\MRUList"));
  EXPECT_FALSE(tree.CreateKey("Software\\bad\nname"));
  EXPECT_FALSE(tree.CreateKey("\\\\"));
  // Limits keep a hostile file cheap: long names and deep paths are refused.
  EXPECT_TRUE(tree.CreateKey(std::string(255, 'n')));
  EXPECT_FALSE(tree.CreateKey(std::string(256, 'n')));
  std::string deep = "k";
  for (int i = 1; i < 32; ++i) deep += "\\k";
  EXPECT_TRUE(tree.CreateKey(deep));
  EXPECT_FALSE(tree.CreateKey(deep + "\\k"));
  EXPECT_FALSE(tree.Parse("[" + deep + "\\k]\n", nullptr));
}

// A hand-edited file: each line that does not parse is skipped and named,
// the values under a bad [key] line go with it, and every other value stays.
TEST(RegistryTree, LinesThatDoNotParseAreSkippedAndTheRestIsKept) {
  const struct {
    const char* line;
    const char* why;
  } bad[] = {
      {"\"x\"=\"unterminated", "bad string value"},
      {"\"x\"=dword:12a", "bad dword value"},
      {"\"x\"=dword:2147483648", "bad dword value"},
      {"\"x\"=hex:01,02", "unknown value type"},
      {"\"x\"=\"bad escape \\q\"", "bad string value"},
      {"\"x\"=\"short hex \\x4\"", "bad string value"},
      {"\"x\"=\"a\" trailing", "bad string value"},
      {"plain=1", "expected a [key]"},
      {"\"x\"", "expected ="},
      {"\x89PNG\x1a", "expected a [key]"},
  };
  for (const auto& b : bad) {
    const std::string text = std::string("[Software\\A]\n\"before\"=dword:1\n") + b.line +
                             "\n\"after\"=\"kept\"\n[Software\\B]\n\"other\"=dword:2\n";
    TRegistryTree tree;
    std::vector<std::string> problems;
    EXPECT_FALSE(tree.Parse(text, &problems)) << b.line;
    ASSERT_EQ(problems.size(), 1u) << b.line;
    EXPECT_EQ(problems[0].rfind(std::string("line 3: ") + b.why, 0), 0u) << problems[0];
    EXPECT_EQ(tree.FindValue("Software\\A", "before")->Number, 1) << b.line;
    EXPECT_EQ(tree.FindValue("Software\\A", "after")->Text, "kept") << b.line;
    EXPECT_EQ(tree.FindValue("Software\\B", "other")->Number, 2) << b.line;
    EXPECT_EQ(tree.FindValue("Software\\A", "x"), nullptr) << b.line;
  }
  // Bad [key] lines take their values with them; a value before any key is skipped.
  TRegistryTree tree;
  std::vector<std::string> problems;
  EXPECT_FALSE(tree.Parse("\"orphan\"=\"v\"\n[Software\\A\n\"lost\"=dword:1\n[]\n\"lost2\"=dword:1\n"
                          "[Software\\C]\n\"ok\"=dword:3\n",
                          &problems));
  EXPECT_EQ(problems.size(), 3u);
  EXPECT_EQ(tree.FindValue("Software\\C", "ok")->Number, 3);
  EXPECT_EQ(tree.ValueNames("Software\\A").size(), 0u);
  EXPECT_TRUE(tree.Parse("; comment\r\n# another\r\n\r\n  [Software\\A]  \r\n  \"x\" = dword: -7 \r\n", nullptr));
  EXPECT_EQ(tree.FindValue("Software\\A", "x")->Number, -7);
}

TEST_F(RegistryTest, IniStoreFollowsTheValueFormRules) {
  {
    TRegIniFile ini(kAppKey, File());
    ini.WriteBool("Current", "MidiThru", true);
    ini.WriteBool("Current", "SysExOnly", false);
    ini.WriteInteger("Current", "SendSpeed", -500);
    ini.WriteString("Current", "FontName", "Courier New");
    ini.UpdateFile();
  }
  const std::string text = ReadAll(File());
  EXPECT_NE(text.find("\"MidiThru\"=\"1\""), std::string::npos) << text;  // booleans are strings
  EXPECT_NE(text.find("\"SendSpeed\"=dword:-500"), std::string::npos) << text;

  // Values a user entered by hand.
  TRegistryTree tree;
  ASSERT_TRUE(LoadRegistryFile(File(), tree, nullptr));
  const std::string current = kAppKey + "\\Current";
  tree.SetValue(current, "ShowSplashScreen", TRegValue::Integer(5));
  tree.SetValue(current, "FontSize", TRegValue::String("42"));
  tree.SetValue(current, "LogListsHeight", TRegValue::String("tall"));
  tree.SetValue(current, "SplitterPos", TRegValue::String(" -12"));
  WriteAll(File(), tree.Serialize());

  {
    TRegIniFile ini(kAppKey, File());
    EXPECT_TRUE(ini.ReadBool("Current", "MidiThru", false));
    EXPECT_FALSE(ini.ReadBool("Current", "SysExOnly", true));
    EXPECT_TRUE(ini.ReadBool("Current", "ShowSplashScreen", false));  // dword 5
    EXPECT_TRUE(ini.ReadBool("Current", "Missing", true));
    EXPECT_EQ(ini.ReadInteger("Current", "SendSpeed", 0), -500);
    EXPECT_EQ(ini.ReadInteger("Current", "FontSize", 9), 42);
    EXPECT_EQ(ini.ReadInteger("Current", "LogListsHeight", 46), 46);  // no number: default
    EXPECT_EQ(ini.ReadInteger("Current", "SplitterPos", 336), -12);
    EXPECT_EQ(ini.ReadInteger("Current", "FontName", 7), 7);
    EXPECT_EQ(ini.ReadInteger("Nowhere", "SendSpeed", 3), 3);
    EXPECT_EQ(ini.ReadString("Current", "FontName", ""), "Courier New");
    EXPECT_EQ(ini.ReadString("Current", "SendSpeed", ""), "-500");
    EXPECT_EQ(ini.ReadString("Current", "Missing", "dflt"), "dflt");
    ini.WriteInteger("Current", "FontSize", 12);  // stays a string
    ini.WriteInteger("Current", "SendSpeed", 250);
    ini.UpdateFile();
  }
  TRegIniFile ini(kAppKey, File());
  const std::string after = ReadAll(File());
  EXPECT_NE(after.find("\"FontSize\"=\"12\""), std::string::npos) << after;
  EXPECT_NE(after.find("\"SendSpeed\"=dword:250"), std::string::npos) << after;
  EXPECT_EQ(ini.ReadSections(), std::vector<std::string>{"Current"});
  EXPECT_TRUE(ini.ValueExists("Current", "fontsize"));
}

TEST_F(RegistryTest, SectionsCanBeListedAndErased) {
  TRegIniFile ini(kAppKey, File());
  ini.WriteString("MidiDevices", "MidiIn", "USB MIDI 1");
  ini.WriteInteger("Current", "A", 1);
  ini.WriteInteger("Current", "B", 2);
  EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"Current", "MidiDevices"}));
  EXPECT_EQ(ini.ReadSection("Current"), (std::vector<std::string>{"A", "B"}));
  ini.DeleteKey("Current", "A");
  EXPECT_FALSE(ini.ValueExists("Current", "A"));
  ini.EraseSection("MidiDevices");
  EXPECT_FALSE(ini.SectionExists("MidiDevices"));
  ini.UpdateFile();
  EXPECT_EQ(TRegIniFile(kAppKey, File()).ReadSections(), std::vector<std::string>{"Current"});
}

TEST_F(RegistryTest, OpeningAndReadingAloneDoesNotWriteTheFile) {
  { TRegIniFile ini(kAppKey, File()); EXPECT_EQ(ini.ReadInteger("Current", "X", 1), 1); }
  EXPECT_FALSE(std::filesystem::exists(File()));
}

TEST_F(RegistryTest, DamagedFileKeepsItsGoodValuesNamesTheLineAndIsKeptAsideOnSaving) {
  std::filesystem::create_directories(dir_.File("kalvex"));
  const std::string junk = "[Software\\Zelk Software\\kalvex\\kalvex\\Current]\n\"SendSpeed\"=dword:oops\n"
                           "\"FontSize\"=dword:12\n";
  WriteAll(File(), junk);
  ::testing::internal::CaptureStderr();
  {
    TRegIniFile ini(kAppKey, File());
    EXPECT_EQ(ini.ReadInteger("Current", "SendSpeed", -500), -500);
    EXPECT_EQ(ini.ReadInteger("Current", "FontSize", 10), 12);  // the good value stays
  }
  { TRegIniFile again(kAppKey, File()); }
  const std::string messages = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(messages.find(File() + ", line 2: bad dword value"), std::string::npos) << messages;
  EXPECT_EQ(messages.find(File(), messages.find(".damaged") + 1), std::string::npos) << "once per run: " << messages;
  EXPECT_EQ(ReadAll(File()), junk);  // not touched by reading

  {
    TRegIniFile ini(kAppKey, File());
    ini.WriteInteger("Current", "SendSpeed", 100);
    ini.UpdateFile();
  }
  TRegIniFile check(kAppKey, File());
  EXPECT_EQ(check.ReadInteger("Current", "SendSpeed", 0), 100);
  EXPECT_EQ(check.ReadInteger("Current", "FontSize", 0), 12);
  EXPECT_EQ(ReadAll(File() + ".damaged"), junk);  // the user's file is kept aside
}

// A settings file that is a link: the damaged content is kept as a file of
// its own (a link beside it would show the rewritten file).
TEST_F(RegistryTest, TheDamagedCopyOfALinkedFileKeepsTheDamagedContent) {
  std::filesystem::create_directories(dir_.File("kalvex"));
  const std::string real = dir_.File("dotfiles.conf");
  const std::string junk = "[Software\\Zelk Software\\kalvex\\kalvex\\Current]\n\"SendSpeed\"=dword:oops\n";
  WriteAll(real, junk);
  std::filesystem::create_symlink(real, File());
  ::testing::internal::CaptureStderr();
  {
    TRegIniFile ini(kAppKey, File());
    ini.WriteInteger("Current", "SendSpeed", 100);
    ini.UpdateFile();
  }
  ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(std::filesystem::is_symlink(File()));
  EXPECT_FALSE(std::filesystem::is_symlink(File() + ".damaged"));
  EXPECT_EQ(ReadAll(File() + ".damaged"), junk);
  EXPECT_EQ(TRegIniFile(kAppKey, File()).ReadInteger("Current", "SendSpeed", 0), 100);
}

// Changes nobody saved are not saved from a destructor, where a failure
// would go unheard.
TEST_F(RegistryTest, DestroyingAViewWithoutSavingWritesNothing) {
  {
    TRegIniFile ini(kAppKey, File());
    ini.WriteInteger("Current", "X", 1);
  }
  EXPECT_FALSE(std::filesystem::exists(File()));
}

TEST_F(RegistryTest, WritersKeepValuesTheyDidNotTouchAndTheLastWriterWins) {
  TRegIniFile first(kAppKey, File());
  TRegIniFile second(kAppKey, File());
  first.WriteInteger("Current", "SendSpeed", 1);
  first.WriteString("Current", "Shared", "first");
  second.WriteString("MidiDevices", "MidiOut", "Synth");
  second.WriteString("Current", "Shared", "second");
  first.UpdateFile();
  second.UpdateFile();
  TRegIniFile check(kAppKey, File());
  EXPECT_EQ(check.ReadInteger("Current", "SendSpeed", 0), 1);
  EXPECT_EQ(check.ReadString("MidiDevices", "MidiOut", ""), "Synth");
  EXPECT_EQ(check.ReadString("Current", "Shared", ""), "second");
  // After saving, a store also sees what the other one saved.
  EXPECT_EQ(second.ReadInteger("Current", "SendSpeed", 0), 1);
}

TEST_F(RegistryTest, SaveFailureRaisesWithTheFileAndTheReason) {
  WriteAll(dir_.File("blocker"), "a file where a folder should be");
  const std::string bad = dir_.File("blocker/kalvex/registry.conf");
  TRegIniFile ini(kAppKey, bad);
  ini.WriteInteger("Current", "X", 1);
  try {
    ini.UpdateFile();
    FAIL() << "saved into a file";
  } catch (const ERegistry& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Failed to save settings to " + bad + ": ", 0), 0u) << e.what();
  }
}

TEST_F(RegistryTest, DirectKeyAccessForTheRecentFilesList) {
  const std::string mru = "\\Software\\Zelk Software\\kalvex\\kalvex\\MRUList";
  TRegistryKey reg(File());
  EXPECT_FALSE(reg.OpenKey(mru, false));
  EXPECT_FALSE(RegKeyExists(mru, File()));
  ASSERT_TRUE(reg.OpenKey(mru, true));
  reg.WriteString("0", "/home/me/a.syx");
  reg.WriteString("1", "/home/me/b.mid");
  EXPECT_TRUE(reg.ValueExists("1"));
  EXPECT_FALSE(reg.ValueExists("2"));
  reg.CloseKey();
  EXPECT_TRUE(RegKeyExists(mru, File()));
  EXPECT_TRUE(RegKeyExists("Software\\Zelk Software", File()));

  ASSERT_TRUE(reg.OpenKey(mru, false));
  EXPECT_EQ(reg.ReadString("0"), "/home/me/a.syx");
  EXPECT_EQ(reg.ReadString("9"), "");
  reg.DeleteAllValues();
  reg.WriteString("0", "/home/me/c.txt");
  reg.CloseKey();
  ASSERT_TRUE(reg.OpenKey(mru, false));
  EXPECT_EQ(reg.ValueNames(), std::vector<std::string>{"0"});
  EXPECT_FALSE(reg.OpenKey("Software\\bad\x01", true));
  EXPECT_FALSE(reg.IsOpen());
}

// Inputs kept beside the fuzzer's corpus: whatever the reader accepts must
// survive a save and reload unchanged.
TEST(RegistryTree, CorpusFilesParseOrAreRejectedAndRoundTrip) {
  const std::filesystem::path dir(KALVEX_SETTINGS_CORPUS_DIR);
  if (!std::filesystem::exists(dir)) GTEST_SKIP() << "no corpus";
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    TRegistryTree tree;
    std::string error;
    if (!LoadRegistryFile(entry.path().string(), tree, &error)) continue;
    TRegistryTree back;
    ASSERT_TRUE(back.Parse(tree.Serialize(), nullptr)) << entry.path();
    EXPECT_EQ(back, tree) << entry.path();
  }
}

TEST(RegistryFilePath, FollowsXdgConfigHomeAndCanBeOverridden) {
  const char* oldXdg = std::getenv("XDG_CONFIG_HOME");
  const std::string saved = oldXdg ? oldXdg : "";
  ::setenv("XDG_CONFIG_HOME", "/tmp/kalvex-xdg", 1);
  EXPECT_EQ(DefaultRegistryFilePath(), "/tmp/kalvex-xdg/kalvex/registry.conf");
  ::setenv("XDG_CONFIG_HOME", "relative/dir", 1);  // must be absolute to count
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') {
    EXPECT_EQ(DefaultRegistryFilePath(), std::string(home) + "/.config/kalvex/registry.conf");
  }
  // No HOME and no entry in the user database: no settings file at all
  // (never one in a shared folder), defaults, and a save says why.
  if (::geteuid() == 0) {
    const pid_t child = ::fork();
    if (child == 0) {
      ::unsetenv("XDG_CONFIG_HOME");
      ::unsetenv("HOME");
      if (::setuid(54321) != 0) ::_exit(2);  // a user with no entry
      bool ok = DefaultRegistryFilePath().empty();
      ::testing::internal::CaptureStderr();
      TRegIniFile ini(kAppKey, "");
      ok = ok && ini.ReadInteger("Current", "SendSpeed", -500) == -500;
      ini.WriteInteger("Current", "SendSpeed", 1);
      try {
        ini.UpdateFile();
        ok = false;
      } catch (const ERegistry& e) {
        ok = ok && std::string(e.what()).rfind("Settings cannot be saved: there is no folder of this user's own", 0) == 0;
      }
      ::testing::internal::GetCapturedStderr();
      ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  SetRegistryFilePath("/tmp/elsewhere.conf");
  EXPECT_EQ(RegistryFilePath(), "/tmp/elsewhere.conf");
  SetRegistryFilePath("");
  EXPECT_EQ(RegistryFilePath(), DefaultRegistryFilePath());
  if (oldXdg) ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1); else ::unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
}  // namespace kalvex
