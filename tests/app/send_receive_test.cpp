// kalvex --send and --receive as processes: a dump request answered through
// a loopback cable, ports found by loose names, and the failures.
#include "app/send_receive.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QProcess>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace kalvex {
namespace {

namespace fs = std::filesystem;

struct TResult {
  int code;
  std::string err;
};

TResult RunKalvex(const QStringList& args) {
  QProcess p;
  p.start(KALVEX_BINARY, args);
  p.waitForFinished(30000);
  return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardError().toStdString()};
}

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

struct SendReceive : testing::Test {
  void SetUp() override {
    dir = (fs::temp_directory_path() / ("kalvex_sr_" + std::to_string(getpid()))).string();
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  std::string dir;
};

TEST(MatchDeviceName, ExactLooseThenAUniquePrefix) {
  const std::vector<std::string> names = {"Kalvex Loopback 1", "Kalvex Loopback 2", "UM-ONE MIDI 1"};
  EXPECT_EQ(MatchDeviceName(names, "kalvexloopback2"), "Kalvex Loopback 2");
  EXPECT_EQ(MatchDeviceName(names, "um-one"), "UM-ONE MIDI 1");
  EXPECT_EQ(MatchDeviceName(names, "Kalvex"), "");  // two start so
  EXPECT_EQ(MatchDeviceName(names, "Roland"), "");
}

TEST_F(SendReceive, ADumpRequestsAnswerIsRecordedThroughTheCable) {
  const std::string request = dir + "/request.syx", reply = dir + "/reply.syx";
  std::string bytes = "\xF0\x7E\x7F\x06\x01\xF7";
  for (int i = 0; i < 3000; ++i) bytes += std::string("\xF0\x43\x10", 3) + char(i & 0x7F) + "\xF7";
  std::ofstream(request, std::ios::binary) << bytes;
  const TResult r = RunKalvex({"--send", QString::fromStdString(request), "--out", "kalvex loopback 1", "--speed", "1000",
                         "--receive", QString::fromStdString(reply), "--in", "Kalvex Loopback 1", "--quiet-ms", "300"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(Read(reply) == bytes) << Read(reply).size() << " of " << bytes.size() << " bytes";
  EXPECT_NE(r.err.find("Sent 15006 bytes"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(reply + " saved succesfully (15006 bytes)."), std::string::npos) << r.err;
}

TEST_F(SendReceive, FailuresSayWhatAndWriteNothing) {
  const std::string request = dir + "/request.syx", reply = dir + "/reply.syx";
  std::ofstream(request, std::ios::binary) << std::string("\xF0\x01\xF7", 3);
  const TResult missing = RunKalvex({"--send", QString::fromStdString(request), "--out", "Roland"});
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.err.find("no MIDI Out port matches \"Roland\". The ports are:\n  Kalvex Loopback 1"), std::string::npos)
      << missing.err;
  const TResult quiet = RunKalvex({"--receive", QString::fromStdString(reply), "--in", "Kalvex Loopback 2", "--timeout-ms", "300"});
  EXPECT_EQ(quiet.code, 1);
  EXPECT_NE(quiet.err.find("Nothing arrived within 300 ms"), std::string::npos) << quiet.err;
  EXPECT_FALSE(fs::exists(reply));
  EXPECT_EQ(RunKalvex({"--send", QString::fromStdString(request), "--out", "x", "--speed", "5000"}).code, 2);
  EXPECT_EQ(RunKalvex({"--send", QString::fromStdString(dir + "/none.syx"), "--out", "Kalvex Loopback 1"}).code, 1);
}

// --send says when it sent nothing, or left a line out, with a non-zero
// exit; what parsed still goes.
TEST_F(SendReceive, NothingToSendOrALineLeftOutExitsNonZero) {
  const std::string empty = dir + "/empty.txt", bad = dir + "/bad.txt";
  std::ofstream(empty) << "; only a comment\n\n";
  std::ofstream(bad) << "F0 7D 01 F7\nF0 G0 F7\n";
  const TResult none = RunKalvex({"--send", QString::fromStdString(empty), "--out", "Kalvex Loopback 1"});
  EXPECT_EQ(none.code, 1) << none.err;
  EXPECT_NE(none.err.find("holds no MIDI message: nothing was sent."), std::string::npos) << none.err;
  const TResult partly = RunKalvex({"--send", QString::fromStdString(bad), "--out", "Kalvex Loopback 1"});
  EXPECT_EQ(partly.code, 1) << partly.err;
  EXPECT_NE(partly.err.find("Unexpected characters"), std::string::npos) << partly.err;
  EXPECT_NE(partly.err.find("Sent "), std::string::npos) << partly.err;
}

// A sequencer's clock and active sensing are not recorded, as the window does
// not show them by default, and they do not keep the input from falling quiet.
TEST_F(SendReceive, ReceiveLeavesClockAndActiveSensingOut) {
  const std::string request = dir + "/request.txt", reply = dir + "/reply.syx";
  std::ofstream(request) << "F8\nF0 7D 01 F7\nFE\nF8\n";
  const TResult r = RunKalvex({"--send", QString::fromStdString(request), "--out", "Kalvex Loopback 1", "--speed", "1000",
                               "--receive", QString::fromStdString(reply), "--in", "Kalvex Loopback 1", "--quiet-ms", "300"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Read(reply), std::string("\xF0\x7D\x01\xF7", 4));
}

// Bytes from the command line, after a file's; a file checked and its
// checksums fixed; the version.
TEST_F(SendReceive, HexBytesCheckFixAndVersion) {
  const std::string reply = dir + "/reply.syx";
  const TResult sent = RunKalvex({"--hex", "F0 7D 01 F7", "--hex", "F0 7D 02 F7", "--out", "Kalvex Loopback 1", "--speed",
                                  "1000", "--receive", QString::fromStdString(reply), "--in", "Kalvex Loopback 1",
                                  "--quiet-ms", "300"});
  ASSERT_EQ(sent.code, 0) << sent.err;
  EXPECT_EQ(Read(reply), std::string("\xF0\x7D\x01\xF7\xF0\x7D\x02\xF7", 8));

  const std::string text = dir + "/gs.txt", fixed = dir + "/fixed.txt";
  std::ofstream(text) << "F0 41 10 42 12 40 00 7F 00 42 F7 ; GS reset\n90 3C\n";
  QProcess check;
  check.start(KALVEX_BINARY, {"--check", QString::fromStdString(text)});
  ASSERT_TRUE(check.waitForFinished(30000));
  EXPECT_EQ(check.exitCode(), 1);
  EXPECT_EQ(check.readAllStandardOutput().toStdString(),
            text + ":1: checksum wrong (expected 41, found 42)\n" + text + ":2: 90 takes 2 data bytes, the line has 1\n");
  const TResult fix = RunKalvex({"--fix-checksums", QString::fromStdString(text), QString::fromStdString(fixed)});
  EXPECT_EQ(fix.code, 0) << fix.err;
  EXPECT_EQ(Read(fixed), "F0 41 10 42 12 40 00 7F 00 41 F7 ; GS reset\r\n90 3C");
  QProcess version;
  version.start(KALVEX_BINARY, {"--version"});
  ASSERT_TRUE(version.waitForFinished(30000));
  EXPECT_EQ(version.readAllStandardOutput().toStdString().rfind("Zelk Kalvex v", 0), 0u);
}

// Lines from standard input and to standard output (a short message that the
// port still held at the close arrives too); several files in order with a
// pause between them; --identify with nobody to answer.
TEST_F(SendReceive, StandardStreamsSeveralFilesAndIdentify) {
  QProcess piped;
  piped.start(KALVEX_BINARY, {"--send", "-", "--out", "Kalvex Loopback 1", "--speed", "1000", "--receive", "-", "--in",
                              "Kalvex Loopback 1", "--quiet-ms", "300"});
  ASSERT_TRUE(piped.waitForStarted(5000));
  piped.write("F0 7D 01 F7\n90 3C 7F\n");
  piped.closeWriteChannel();
  ASSERT_TRUE(piped.waitForFinished(30000));
  EXPECT_EQ(piped.exitCode(), 0) << piped.readAllStandardError().toStdString();
  EXPECT_EQ(piped.readAllStandardOutput().toStdString(), "F0 7D 01 F7\n90 3C 7F\n");

  const std::string a = dir + "/a.txt", b = dir + "/b.txt", both = dir + "/both.txt";
  std::ofstream(a) << "F0 7D 0A F7\n";
  std::ofstream(b) << "F0 7D 0B F7\n";
  QElapsedTimer took;
  took.start();
  const TResult files = RunKalvex({"--send", QString::fromStdString(a), "--send", QString::fromStdString(b),
                                   "--file-pause", "400", "--out", "Kalvex Loopback 1", "--speed", "1000", "--receive",
                                   QString::fromStdString(both), "--in", "Kalvex Loopback 1", "--quiet-ms", "600"});
  EXPECT_EQ(files.code, 0) << files.err;
  EXPECT_GE(took.elapsed(), 400);
  EXPECT_EQ(Read(both), "F0 7D 0A F7\r\nF0 7D 0B F7");

  const TResult nobody = RunKalvex({"--identify", "--out", "Kalvex Loopback 1", "--in", "Kalvex Loopback 2"});
  EXPECT_EQ(nobody.code, 1);
  EXPECT_NE(nobody.err.find("No device answered the identity request within 1000 ms."), std::string::npos)
      << nobody.err;
}

}  // namespace
}  // namespace kalvex
