#include "workbench/file_io.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "editor/core/bm_strings.h"
#include "tests/workbench/capture_log.h"
#include "util/atomic_file.h"

namespace kalvex {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const fs::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary) << bytes;
}

std::vector<std::string> Lines(const TBMStrings& box) {
  std::vector<std::string> out;
  for (int i = 0; i < box.Count(); ++i) out.push_back(box.Get(i));
  return out;
}

class FileIoTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kalvex_file_io_" + std::to_string(getpid()));
    fs::create_directories(dir_);
    ctx_.hooks.addRecentFile = [this](const std::string& n) { recent_.push_back(n); };
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  fs::path dir_;
  test::TCaptureLog log_;
  THexParser parser_{log_};
  TFileContext ctx_{log_, parser_, -1, {}};
  std::vector<std::string> recent_;
  TBMStrings box_;
};

TEST(FileKind, GoesByExtensionAloneIgnoringCase) {
  EXPECT_EQ(FileKindOf("X.SYX"), TFileKind::Raw);
  EXPECT_EQ(FileKindOf("X.bin"), TFileKind::Raw);
  EXPECT_EQ(FileKindOf("X"), TFileKind::Raw);
  EXPECT_EQ(FileKindOf("dir.txt/X"), TFileKind::Raw);
  EXPECT_EQ(FileKindOf("X.TXT"), TFileKind::Text);
  EXPECT_EQ(FileKindOf("/a/b/X.Mid"), TFileKind::Smf);
}

TEST_F(FileIoTest, RawFileRendersOneLinePerMessageAndLogs) {
  const std::string name = Path("two.syx");
  WriteFile(name, std::string("\xF0\x43\x10\x4C\x00\x00\x7E\x00\xF7"
                              "\xF0\x43\x10\x4C\x00\x00\x7F\x00\xF7", 18));
  box_.Add("old line");
  ASSERT_TRUE(LoadFile(name, box_, ctx_));
  EXPECT_EQ(Lines(box_), (std::vector<std::string>{"F0 43 10 4C 00 00 7E 00 F7",
                                                   "F0 43 10 4C 00 00 7F 00 F7"}));
  EXPECT_EQ(log_.Texts(), (std::vector<std::string>{"Loading " + name + "...",
                                                    name + " was loaded succesfully (18 bytes)."}));
  EXPECT_EQ(recent_, std::vector<std::string>{name});
}

TEST_F(FileIoTest, EmptyRawFileGivesEmptyBox) {
  const std::string name = Path("empty.bin");
  WriteFile(name, "");
  box_.Add("old line");
  ASSERT_TRUE(LoadFile(name, box_, ctx_));
  EXPECT_EQ(box_.Count(), 0);
  EXPECT_EQ(log_.lines.back().text, name + " was loaded succesfully (0 bytes).");
}

TEST_F(FileIoTest, LargeRawFileReportsProgressEveryTwentyLinesAndTime) {
  const std::string name = Path("large.syx");
  std::string bytes;
  for (int i = 0; i < 20000; ++i) bytes += std::string("\xF0\x01\x02\x03\x04\x05\x06\x07\x08\xF7", 10);
  WriteFile(name, bytes);  // 200000 bytes, 20000 lines
  ctx_.splitThreshold = -1;
  ASSERT_TRUE(LoadFile(name, box_, ctx_));
  EXPECT_EQ(box_.Count(), 20000);
  std::vector<std::string> progress;
  for (const auto& l : log_.lines)
    if (l.kind == lkStatusOnly) progress.push_back(l.text);
  ASSERT_EQ(progress.size(), 1000u);
  EXPECT_EQ(progress.front(), "Loading 0%...");  // 200 of 200000 bytes
  EXPECT_EQ(progress[499], "Loading 50%...");
  EXPECT_EQ(progress.back(), "Loading 100%...");
  EXPECT_TRUE(std::regex_match(log_.lines.back().text,
                               std::regex(".* was loaded succesfully in \\d+ ms \\(200000 bytes\\)")))
      << log_.lines.back().text;
}

TEST_F(FileIoTest, SplitThresholdBreaksLongMessages) {
  const std::string name = Path("one.syx");
  WriteFile(name, std::string("\xF0\x43\x10\x4C\x00\x00\x7E\x00\xF7", 9));
  ctx_.splitThreshold = 4;
  ASSERT_TRUE(LoadFile(name, box_, ctx_));
  EXPECT_EQ(Lines(box_), (std::vector<std::string>{"F0 43 10 4C", "00 00 7E 00", "F7"}));
}

TEST_F(FileIoTest, TextFileLoadsLinesUnchanged) {
  const std::string name = Path("msgs.TXT");
  WriteFile(name, "F0 7E 7F 06 01 F7 // identity\r\nnot hex at all\r\n");
  ASSERT_TRUE(LoadFile(name, box_, ctx_));
  EXPECT_EQ(Lines(box_), (std::vector<std::string>{"F0 7E 7F 06 01 F7 // identity", "not hex at all"}));
  EXPECT_EQ(log_.lines.back().text, name + " was loaded succesfully (2 lines).");
}

// SysEx events, and escape events (F7) as their bytes alone: a message split
// into an F0 event and an F7 continuation goes out whole, with one F7.
TEST_F(FileIoTest, SmfImportsOnlySysExEvents) {
  const std::string track("\x00\xF0\x05\x7E\x7F\x09\x01\xF7"
                          "\x00\x90\x3C\x7F"
                          "\x10\xF0\x03\x01\x02\xF7"
                          "\x00\xF0\x05\x43\x10\x4C\x00\x00"
                          "\x00\xF7\x03\x7E\x00\xF7"
                          "\x00\xFF\x2F\x00", 36);
  std::string file("MThd\x00\x00\x00\x06\x00\x00\x00\x01\x00\x60MTrk\x00\x00\x00", 21);
  file += static_cast<char>(track.size());
  file += track;
  const std::string name = Path("song.mid");
  WriteFile(name, file);
  ASSERT_TRUE(LoadFile(name, box_, ctx_));
  EXPECT_EQ(Lines(box_), (std::vector<std::string>{"F0 7E 7F 09 01 F7", "F0 01 02 F7", "F0 43 10 4C 00 00",
                                                   "7E 00 F7"}));
  EXPECT_EQ(log_.lines.back().text, name + " was loaded succesfully (19 bytes).");
}

// "Keep the timing of MIDI files": a wait line between SysEx events more
// than 10 ms apart, by the file's tempo map (a tempo change included).
TEST_F(FileIoTest, SmfTimingBecomesWaitLines) {
  const std::string track("\x00\xFF\x51\x03\x07\xA1\x20"  // 500000 us a quarter
                          "\x00\xF0\x02\x01\xF7"
                          "\x60\xF0\x02\x02\xF7"          // 96 ticks later: 500 ms
                          "\x01\xF0\x02\x03\xF7"          // 1 tick: 5 ms, no wait
                          "\x00\xFF\x51\x03\x03\xD0\x90"  // 250000 us a quarter
                          "\x60\xF0\x02\x04\xF7"          // 96 ticks: 250 ms
                          "\x00\xFF\x2F\x00", 38);
  std::string file("MThd\x00\x00\x00\x06\x00\x00\x00\x01\x00\x60MTrk\x00\x00\x00", 21);
  file += static_cast<char>(track.size());
  file += track;
  const std::string name = Path("timed.mid");
  WriteFile(name, file);
  ctx_.keepMidiTiming = true;
  ASSERT_TRUE(LoadFile(name, box_, ctx_));
  EXPECT_EQ(Lines(box_), (std::vector<std::string>{"F0 01 F7", "; wait 500", "F0 02 F7", "F0 03 F7", "; wait 250",
                                                   "F0 04 F7"}));
  ctx_.keepMidiTiming = false;
  ASSERT_TRUE(LoadFile(name, box_, ctx_));
  EXPECT_EQ(Lines(box_), (std::vector<std::string>{"F0 01 F7", "F0 02 F7", "F0 03 F7", "F0 04 F7"}));
}

TEST_F(FileIoTest, FailedLoadsKeepTheBoxAndReportAnErrorDialog) {
  WriteFile(Path("bad.mid"), "RIFF....");
  // A pipe nobody writes to, a socket and a device: refused at once, no hang.
  ASSERT_EQ(::mkfifo(Path("pipe.syx").c_str(), 0600), 0);
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", Path("socket.txt").c_str());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {Path("missing.syx"), "Could not open " + Path("missing.syx")},
      {dir_.string(), "Could not open " + dir_.string()},
      {Path("bad.mid"), "Error: File is no Standard Midi File"},
      {Path("pipe.syx"), "Could not open " + Path("pipe.syx")},
      {Path("socket.txt"), "Could not open " + Path("socket.txt")},
      {"/dev/zero", "Could not open /dev/zero"},
      {"/dev/null", "Could not open /dev/null"},
  };
  for (const auto& [name, message] : cases) {
    box_.Clear();
    box_.Add("keep me");
    log_.lines.clear();
    EXPECT_FALSE(LoadFile(name, box_, ctx_));
    EXPECT_EQ(Lines(box_), std::vector<std::string>{"keep me"});
    ASSERT_FALSE(log_.lines.empty());
    EXPECT_EQ(log_.lines.back().text, message);
    EXPECT_EQ(log_.lines.back().kind, lkErrorDialog);
    EXPECT_TRUE(log_.lines.back().midiOutSide);
  }
  EXPECT_TRUE(recent_.empty());
  ::close(sock);
}

// The command line's streamed convert gives exactly what the box gives:
// loaded, then saved or printed line by line. The inputs are larger than the
// pieces it reads, with a message and a CR LF across a piece's end.
TEST_F(FileIoTest, StreamedConvertGivesWhatTheBoxGives) {
  std::string syx;
  unsigned state = 5;
  while (syx.size() < 3u * 1024 * 1024) {
    state = state * 1103515245u + 12345u;
    const size_t length = 10 + (state >> 16) % 70000;
    syx += '\xF0';
    for (size_t i = 0; i < length; ++i) syx += static_cast<char>((i * 7 + length) & 0x7F);
    syx += '\xF7';
    if ((state >> 8) % 5 == 0) syx += "\x90\x3C\x7F\xF8";
  }
  WriteFile(Path("in.syx"), syx);
  std::string text;
  for (int i = 0; text.size() < 2u * 1024 * 1024; ++i)
    text += (i % 3 ? "F0 7E 7F 06 01 F7" : "F0 43 10 4C 00 00 7E 00 F7 ; comment") + std::string(i % 7 ? "\r\n" : "\n");
  text.insert((1u << 20) - 1, "\r\n");  // the break straddles the first piece's end
  text += "G0 bad line\r\nF7";
  WriteFile(Path("in.txt"), text);

  for (const std::string input : {"in.syx", "in.txt"}) {
    for (const int split : {-1, 32}) {
      ctx_.splitThreshold = split;
      TBMStrings box;
      ASSERT_TRUE(LoadFile(Path(input), box, ctx_));
      std::string printed;
      for (int i = 0; i < box.Count(); ++i) printed += box.Get(i) + "\n";
      for (const std::string output : {"box.txt", "box.syx"}) ASSERT_TRUE(SaveBox(box, Path(output), true, ctx_));
      std::ostringstream out;
      ASSERT_TRUE(ConvertFile(Path(input), "-", out, ctx_));
      EXPECT_TRUE(out.str() == printed) << input << " split " << split;
      for (const std::string output : {"stream.txt", "stream.syx"}) {
        ASSERT_TRUE(ConvertFile(Path(input), Path(output), out, ctx_));
        EXPECT_TRUE(ReadFile(Path(output)) == ReadFile(Path("box" + output.substr(6))))
            << input << " -> " << output << " split " << split;
      }
    }
  }
}

TEST_F(FileIoTest, SaveSyxWritesTheBytesOfEveryLine) {
  for (const char* l : {"// Type or paste messages here", "F0 7E 7F 06 01 F7", "  90 3C 7F  ",
                        "C0 1 05"})
    box_.Add(l);
  const std::string name = Path("out.syx");
  ASSERT_TRUE(SaveBox(box_, name, false, ctx_));
  EXPECT_EQ(ReadFile(name), std::string("\xF0\x7E\x7F\x06\x01\xF7\x90\x3C\x7F\xC0\x05", 11));
  ASSERT_EQ(log_.lines.size(), 2u);
  EXPECT_EQ(log_.lines[0].text, "line 4:5: Unexpected characters: \"1 \"");
  EXPECT_TRUE(log_.lines[0].midiOutSide);  // parse errors always go to the MIDI Out log
  EXPECT_EQ(log_.lines[1].text, name + " saved succesfully (11 bytes).");
  EXPECT_FALSE(log_.lines[1].midiOutSide);
  EXPECT_EQ(recent_, std::vector<std::string>{name});
}

TEST_F(FileIoTest, SaveTextRoundTripsWithoutTrailingBreak) {
  box_.Add("F0 01 F7 ; first");
  box_.Add("");
  box_.Add("anything");
  const std::string name = Path("out.txt");
  ASSERT_TRUE(SaveBox(box_, name, true, ctx_));
  EXPECT_EQ(ReadFile(name), "F0 01 F7 ; first\r\n\r\nanything");
  EXPECT_EQ(log_.lines.back().text, name + " saved succesfully (3 lines).");
  TBMStrings again;
  ASSERT_TRUE(LoadFile(name, again, ctx_));
  EXPECT_EQ(Lines(again), Lines(box_));
}

TEST_F(FileIoTest, SaveThatCannotCreateReportsIt) {
  box_.Add("F0 F7");
  const std::string name = Path("no/such/dir/x.syx");
  EXPECT_FALSE(SaveBox(box_, name, true, ctx_));
  EXPECT_EQ(log_.lines.back().text, "Could not create " + name + " (No such file or directory)");
  EXPECT_EQ(log_.lines.back().kind, lkErrorDialog);
  EXPECT_TRUE(recent_.empty());
}

// Where a user can tell, a save behaves as a plain one would: a name at the
// file system's length limit saves; a file the user may not write is refused
// and kept, with the reason; a writable file in a folder that takes no new
// file is written (in place, after a complete copy elsewhere). Runs as an
// unprivileged user (root may write anything).
TEST_F(FileIoTest, SaveBehavesAsAPlainSaveWouldWhereAUserCanTell) {
  box_.Add("F0 01 F7");
  const std::string longName = Path(std::string(251, 'n') + ".syx");  // 255 characters
  EXPECT_TRUE(SaveBox(box_, longName, true, ctx_)) << log_.lines.back().text;
  EXPECT_EQ(ReadFile(longName), std::string("\xF0\x01\xF7", 3));

  fs::create_directories(dir_ / "open");
  fs::create_directories(dir_ / "closed");
  WriteFile(Path("open/theirs.syx"), "theirs");
  WriteFile(Path("closed/mine.syx"), "mine");
  fs::permissions(dir_, fs::perms::all);  // the child must reach into it
  fs::permissions(dir_ / "open", fs::perms::all);
  fs::permissions(Path("open/theirs.syx"), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  fs::permissions(Path("closed/mine.syx"), fs::perms::all);
  fs::permissions(dir_ / "closed", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                        fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  const pid_t child = ::fork();
  if (child == 0) {
    if (::getuid() == 0 && ::setuid(65534) != 0) _exit(3);  // nobody
    test::TCaptureLog log;
    THexParser parser{log};
    TFileContext ctx{log, parser, -1, {}};
    ::setenv("TMPDIR", "/tmp", 1);
    const bool refusedTheirs =
        !SaveBox(box_, Path("open/theirs.syx"), true, ctx) &&
        log.lines.back().text == "Could not create " + Path("open/theirs.syx") + " (Permission denied)";
    const bool savedMine = SaveBox(box_, Path("closed/mine.syx"), true, ctx);
    _exit(refusedTheirs && savedMine ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_EQ(ReadFile(Path("open/theirs.syx")), "theirs");
  EXPECT_EQ(ReadFile(Path("closed/mine.syx")), std::string("\xF0\x01\xF7", 3));
  fs::permissions(dir_ / "closed", fs::perms::all);
}

class FailingWriter : public TByteWriter {
public:
  explicit FailingWriter(size_t room) : room_(room) {}
  bool Write(const void*, size_t size) override {
    if (size > room_) return false;
    room_ -= size;
    return true;
  }

private:
  size_t room_;
};

TEST_F(FileIoTest, ShortWriteIsAnError) {
  box_.Add("F0 01 02 F7");
  box_.Add("F0 03 04 F7");
  FailingWriter writer(5);
  try {
    WriteLinesAsSysEx(box_, "x.syx", parser_, writer);
    FAIL() << "no error";
  } catch (const EFileError& e) {
    EXPECT_STREQ(e.what(), "Error while writing to x.syx");
  }
  FailingWriter textWriter(3);
  EXPECT_THROW(WriteLinesAsText(box_, "x.txt", textWriter), EFileError);
}

// A disk that fills up part-way must leave the previous file intact and
// report the failure, never success.
TEST_F(FileIoTest, DiskFullDuringSaveKeepsTheOldFile) {
  for (const char* ext : {".syx", ".txt"}) {
    const std::string name = Path(std::string("full") + ext);
    WriteFile(name, "previous content");
    std::string line;
    for (int i = 0; i < 1000; ++i) line += "7F ";
    for (int i = 0; i < 400; ++i) box_.Add(line);  // ~1.2 MB of text, 400 kB of bytes
    const pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
      signal(SIGXFSZ, SIG_IGN);
      rlimit limit{64 * 1024, 64 * 1024};
      setrlimit(RLIMIT_FSIZE, &limit);
      const bool ok = SaveBox(box_, name, true, ctx_);
      const bool reported = !log_.lines.empty() &&
                            log_.lines.back().text == "Error while writing to " + name + " (File too large)" &&
                            log_.lines.back().kind == lkErrorDialog;
      _exit(!ok && reported ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ext;
    EXPECT_EQ(ReadFile(name), "previous content") << ext;
    int files = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir_)) ++files;
    EXPECT_EQ(files, 1) << "temporary file left behind";
    fs::remove(name);
    box_.Clear();
  }
}

}  // namespace
}  // namespace kalvex
