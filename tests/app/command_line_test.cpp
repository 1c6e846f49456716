#include "app/command_line.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace kalvex {
namespace {

namespace fs = std::filesystem;

struct TRun {
  bool handled;
  int exitCode;
  std::string out;
  std::string err;
};

TRun RunKalvex(std::vector<std::string> args) {
  args.insert(args.begin(), "kalvex");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  std::ostringstream out, err;
  int code = -1;
  const bool handled = RunCommandLine(static_cast<int>(argv.size()), argv.data(), out, err, code);
  return {handled, code, out.str(), err.str()};
}

class CommandLineTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kalvex_cli_" + std::to_string(getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string p = (dir_ / name).string();
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
  }
  fs::path dir_;
};

TEST_F(CommandLineTest, ConvertToStandardOutputWritesOnlyTheLines) {
  const std::string syx = Write("a.syx", std::string("\xF0\x43\x10\x4C\x00\x00\x7E\x00\xF7\xF0\x01\xF8\xF7", 13));
  const TRun r = RunKalvex({"--convert", syx, "-"});
  EXPECT_TRUE(r.handled);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "F0 43 10 4C 00 00 7E 00 F7\nF0 01\nF8 F7\n");
  EXPECT_EQ(r.err, "Loading " + syx + "...\n" + syx + " was loaded succesfully (13 bytes).\n");

  const TRun split = RunKalvex({"--convert", syx, "-", "--split", "4"});
  EXPECT_EQ(split.out, "F0 43 10 4C\n00 00 7E 00\nF7\nF0 01\nF8 F7\n");
}

TEST_F(CommandLineTest, ConvertTextToSyxReportsBadLinesOnStandardError) {
  const std::string txt = Write("a.txt", "// hint\r\nF0 7E 7F 06 01 F7\r\nG0 F7\r\n");
  const std::string syx = (dir_ / "out.syx").string();
  const TRun r = RunKalvex({"--convert", txt, syx});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("Error: line 3:2: Unexpected characters: \"G0\"\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(syx + " saved succesfully (7 bytes).\n"), std::string::npos) << r.err;
  std::ifstream in(syx, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), std::string("\xF0\x7E\x7F\x06\x01\xF7\xF7", 7));
}

TEST_F(CommandLineTest, FailuresExitNonZeroWithTheProgramsMessage) {
  const TRun missing = RunKalvex({"--convert", (dir_ / "none.syx").string(), "-"});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err, "Error: Could not open " + (dir_ / "none.syx").string() + "\n");

  const std::string syx = Write("b.syx", "\xF0\xF7");
  const TRun noDir = RunKalvex({"--convert", syx, (dir_ / "no" / "x.txt").string()});
  EXPECT_EQ(noDir.exitCode, 1);
  EXPECT_NE(noDir.err.find("Error: Could not create"), std::string::npos);

  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--convert", syx}, {"--convert", syx, "-", "--split"}, {"--convert", syx, "-", "--split", "x"},
           {"--convert", syx, "-", "--split", "0"}, {"--convert", syx, "-", "--split", "-3"}, {"--bogus"}}) {
    const TRun r = RunKalvex(args);
    EXPECT_TRUE(r.handled);
    EXPECT_EQ(r.exitCode, 2) << args.back();
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(r.err.empty());
  }
}

TEST(CommandLine, HelpListsTheOptionsAndAFileStartsTheWindow) {
  const TRun help = RunKalvex({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  for (const char* option : {"--convert", "--split", "--list-devices", "/send"})
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  EXPECT_FALSE(RunKalvex({}).handled);
  EXPECT_FALSE(RunKalvex({"dump.syx", "/send"}).handled);
}

}  // namespace
}  // namespace kalvex
