// The window and the command line through a real JACK server (the jackd
// fixture of the device tests): a .syx sent from the window arrives
// byte-exact at jack_midi_dump, and --receive records a JACK peer's dump.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>
#include <QThread>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include <cstring>

#include "editor/zelk_memo.h"
#include "midi/midi_system.h"
#include "tests/midi/jack_peer.h"
#include "tests/midi/midi_test_util.h"
#include "tests/util/temp_dir.h"
#include "workbench/kvx_form.h"

namespace kalvex {
namespace {


struct WindowOnJack : testing::Test {
  void SetUp() override {
    if (!peer.Open("kalvex-window-peer")) GTEST_SKIP() << "no JACK server (jackd could not start here); skipped";
  }
  test::TJackPeer peer;
  test::TTempDir dir;
};

TEST_F(WindowOnJack, ASyxFileSentFromTheWindowArrivesByteExactAtMidiDump) {
  const QString dumpFile = QString::fromStdString(dir.File("dump.txt"));
  QProcess dump;
  dump.setStandardOutputFile(dumpFile);
  dump.start("stdbuf", {"-oL", "jack_midi_dump", "kalvex-window-dump"});
  ASSERT_TRUE(dump.waitForStarted(5000));
  ASSERT_TRUE(test::WaitUntil([] { return FindDeviceIdByName(true, "kalvex-window-dump:input") >= 0; }));
  const auto syx = test::PatternSysEx(3000, 4);
  std::ofstream(dir.File("bank.syx"), std::ios::binary).write(reinterpret_cast<const char*>(syx.data()), syx.size());
  TKVXForm form;
  form.ShowErrorDialog = [](const QString& t) { ADD_FAILURE() << t.toStdString(); };
  form.show();
  QApplication::processEvents();
  form.SelectOutput("kalvex-window-dump:input");
  ASSERT_TRUE(form.MidiOut().IsOpen());
  form.SendSettings().SendSpeed = 0;  // the wire rate: jack_midi_dump keeps up
  form.HandleParameters({QString::fromStdString(dir.File("bank.syx")), "/send"});
  QFile in(dumpFile);
  QByteArray text;
  test::WaitUntil(
      [&] {
        if (!in.isOpen()) in.open(QIODevice::ReadOnly);
        text += in.readAll();
        return test::ParseDump(text).size() >= syx.size();
      },
      10000);
  dump.terminate();
  dump.waitForFinished(2000);
  EXPECT_TRUE(test::ParseDump(text) == syx) << test::ParseDump(text).size() << " of " << syx.size() << " bytes";
}

TEST_F(WindowOnJack, ReceiveRecordsAPeersDump) {
  const std::string reply = dir.File("reply.syx");
  QProcess kalvex;
  kalvex.setProcessChannelMode(QProcess::MergedChannels);
  kalvex.start(KALVEX_BINARY, {"--receive", QString::fromStdString(reply), "--in", QString::fromStdString(peer.OutName()),
                               "--quiet-ms", "500"});
  ASSERT_TRUE(kalvex.waitForStarted(5000));
  ASSERT_TRUE(test::WaitUntil([&] { return peer.OutConnected(); }, 10000)) << kalvex.readAll().toStdString();
  std::vector<uint8_t> all;
  for (int i = 0; i < 20; ++i) {
    const auto message = test::PatternSysEx(500, static_cast<uint32_t>(i));
    ASSERT_TRUE(peer.Send(message));
    all.insert(all.end(), message.begin(), message.end());
  }
  ASSERT_TRUE(kalvex.waitForFinished(15000));
  EXPECT_EQ(kalvex.exitCode(), 0) << kalvex.readAll().toStdString();
  std::ifstream file(reply, std::ios::binary);
  const std::string got((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(got == std::string(all.begin(), all.end())) << got.size() << " of " << all.size() << " bytes";
}

// The peer goes away before the input fell quiet: what arrived is saved,
// and the exit status says it may not be all.
TEST_F(WindowOnJack, ReceiveKeepsWhatArrivedWhenThePortGoesAway) {
  const std::string reply = dir.File("reply.syx");
  QProcess kalvex;
  kalvex.setProcessChannelMode(QProcess::MergedChannels);
  kalvex.start(KALVEX_BINARY, {"--receive", QString::fromStdString(reply), "--in", QString::fromStdString(peer.OutName()),
                               "--quiet-ms", "20000"});
  ASSERT_TRUE(kalvex.waitForStarted(5000));
  ASSERT_TRUE(test::WaitUntil([&] { return peer.OutConnected(); }, 10000)) << kalvex.readAll().toStdString();
  const auto message = test::PatternSysEx(300, 7);
  ASSERT_TRUE(peer.Send(message));
  ASSERT_TRUE(test::WaitUntil([&] { return peer.Unsent() == 0; }, 5000)) << "the peer did not send";
  QThread::msleep(300);
  peer.CloseClient();
  ASSERT_TRUE(kalvex.waitForFinished(15000)) << "--receive did not end";
  const std::string output = kalvex.readAll().toStdString();
  EXPECT_EQ(kalvex.exitCode(), 1) << output;
  EXPECT_NE(output.find("The MIDI In port went away."), std::string::npos) << output;
  std::ifstream file(reply, std::ios::binary);
  const std::string got((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(got == std::string(message.begin(), message.end())) << got.size() << " of " << message.size() << " bytes";
}

// --monitor prints what arrives, described and timed, until the port goes.
TEST_F(WindowOnJack, MonitorPrintsEachMessageUntilThePortGoes) {
  QProcess kalvex;
  kalvex.start(KALVEX_BINARY, {"--monitor", "--in", QString::fromStdString(peer.OutName()), "--describe", "--timestamps"});
  ASSERT_TRUE(kalvex.waitForStarted(5000));
  ASSERT_TRUE(test::WaitUntil([&] { return peer.OutConnected(); }, 10000)) << "--monitor did not connect";
  ASSERT_TRUE(peer.Send({0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7}));
  ASSERT_TRUE(peer.Send({0x90, 0x3C, 0x7F}));
  QByteArray printed;
  ASSERT_TRUE(test::WaitUntil([&] {
    kalvex.waitForReadyRead(10);
    printed += kalvex.readAllStandardOutput();
    return printed.count('\n') >= 2;
  }, 5000)) << printed.toStdString();
  const QList<QByteArray> lines = printed.split('\n');
  EXPECT_TRUE(lines[0].trimmed().endsWith("F0 41 10 42 12 40 00 7F 00 41 F7 ; Roland Corporation, 11 bytes, checksum OK"))
      << lines[0].toStdString();
  EXPECT_TRUE(lines[1].trimmed().endsWith(" 90 3C 7F")) << lines[1].toStdString();
  peer.CloseClient();
  ASSERT_TRUE(kalvex.waitForFinished(15000)) << "--monitor did not end when its port went";
  EXPECT_EQ(kalvex.exitCode(), 1);
  EXPECT_NE(kalvex.readAllStandardError().toStdString().find("The MIDI In port went away."), std::string::npos);
}

}  // namespace
}  // namespace kalvex

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("JACK_NO_START_SERVER", "1");
  kalvex::test::TTempDir config;
  qputenv("XDG_CONFIG_HOME", config.Path().c_str());
  constexpr const char* kServerArg = "--jack-server=";
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], kServerArg, std::strlen(kServerArg)) == 0)
      qputenv("JACK_DEFAULT_SERVER", argv[i] + std::strlen(kServerArg));
  QApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
