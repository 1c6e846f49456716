// A second start of the program hands its file (and "/send") to the window
// that runs, as real processes; a first instance that was killed leaves
// nothing that blocks or slows the next starts.
#include "app/one_instance.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QSharedMemory>
#include <QSystemSemaphore>
#include <QTest>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "app/app_services.h"
#include "editor/zelk_memo.h"
#include "tests/util/temp_dir.h"
#include "tests/util/window_test_main.h"
#include "util/paths.h"
#include "util/registry.h"
#include "workbench/kvx_form.h"
#include "tests/util/wait_until.h"

namespace kalvex {
namespace {

namespace fs = std::filesystem;

// The program copied under a name of this test's own, so that parallel
// tests and other runs never meet: the instances' names come from it.
struct Handover : testing::Test {
  test::TTempDir dir;
  std::string base;
  std::string program;

  void SetUp() override {
    base = "kxt" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()).substr(0, 12) +
           std::to_string(getpid());
    program = dir.File(base);
    fs::copy_file(KALVEX_BINARY, program);
    fs::copy_file(fs::path(KALVEX_BINARY).parent_path() / "kalvex_window.so", dir.File("kalvex_window.so"));
    // The copies keep their settings under their own name, this process under its.
    for (const std::string& key : {RegBasePath(false), ChildKey()}) {
      TRegIniFile ini(key);
      ini.WriteBool("Current", "AllowMultipleInstances", false);
      ini.WriteBool("Current", "ShowSplashScreen", false);
      ini.UpdateFile();
    }
  }
  std::string ChildKey() const { return "\\Software\\Zelk Software\\" + base + "\\" + base; }
  void TearDown() override {
    // What a killed instance left behind goes with the test.
    TOneInstance names(base);
    QSharedMemory block(names.BlockKey());
    if (block.attach()) block.detach();
    QSystemSemaphore(names.SemaphoreKey(), 1, QSystemSemaphore::Create);
  }
  std::string File(const std::string& name, const std::string& bytes) {
    const std::string path = dir.File(name);
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  // Starts the program; the events of this process go on meanwhile.
  std::unique_ptr<QProcess> Start(const QStringList& arguments) {
    auto p = std::make_unique<QProcess>();
    p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p->start(QString::fromStdString(program), arguments);
    EXPECT_TRUE(p->waitForStarted(5000));
    return p;
  }
  // Milliseconds until it ended, or -1 after the limit.
  static long WaitEnd(QProcess& p, int limitMs) {
    QElapsedTimer t;
    t.start();
    while (p.state() != QProcess::NotRunning && t.elapsed() < limitMs) {
      QApplication::processEvents(QEventLoop::AllEvents, 10);
      QTest::qSleep(2);
    }
    return p.state() == QProcess::NotRunning ? static_cast<long>(t.elapsed()) : -1;
  }
  // True once the process listens for hand-overs.
  bool WaitListening(const TOneInstance& names, qint64 pid, int limitMs) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < limitMs) {
      if (QFileInfo::exists(names.ServerName(pid))) return true;
      QTest::qSleep(20);
    }
    return false;
  }
};

TEST_F(Handover, ASecondStartHandsItsFileAndSendToTheRunningWindow) {
  TOneInstance one(base);
  ASSERT_FALSE(one.Start({}));
  ASSERT_TRUE(one.Listening());
  TAppServices services(&one);
  TKVXForm form({}, nullptr, [&](TKVXForm& f) { services.Attach(f); });
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  QApplication::processEvents();
  form.SelectOutput("Kalvex Loopback 1");
  form.SelectInput("Kalvex Loopback 1");
  ASSERT_TRUE(form.MidiIn().IsOpen());
  EXPECT_TRUE(one.Active());  // "AllowMultipleInstances" = 0
  const std::string first = File("first.syx", std::string("\xF0\x01\xF7", 3));
  const std::string last = File("last.syx", std::string("\xF0\x7E\x00\x06\x01\xF7", 6));

  auto second = Start({QString::fromStdString(first), QString::fromStdString(last), "/SeNd"});
  const long ms = WaitEnd(*second, 15000);
  ASSERT_GE(ms, 0) << "the second start did not end";
  EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second->exitCode(), 0);
  EXPECT_TRUE(second->readAllStandardOutput().isEmpty());
  ASSERT_TRUE(test::WaitUntil([&] { return form.SXOutput->Lines().Text() == "F0 7E 00 06 01 F7"; })) << form.SXOutput->Lines().Text();
  ASSERT_TRUE(test::WaitUntil([&] { return form.SXInput->Lines().Text() == "F0 7E 00 06 01 F7"; })) << form.SXInput->Lines().Text();
  EXPECT_EQ(services.MRUFiles.Files(), std::vector<std::string>{last});

  // "AllowMultipleInstances" on: another start runs on its own.
  form.SetOneInstanceActive(false);
  auto own = Start({QString::fromStdString(first)});
  EXPECT_EQ(WaitEnd(*own, 1500), -1) << "an independent start must keep running";
  own->terminate();
  EXPECT_GE(WaitEnd(*own, 10000), 0);
  EXPECT_EQ(QString::fromStdString(form.SXOutput->Lines().Text()), QString("F0 7E 00 06 01 F7"));
}

TEST_F(Handover, AKilledFirstInstanceDoesNotHoldUpTheNextStarts) {
  const TOneInstance names(base);
  auto killed = Start({});
  ASSERT_TRUE(WaitListening(names, killed->processId(), 15000));
  ::kill(static_cast<pid_t>(killed->processId()), SIGKILL);
  ASSERT_GE(WaitEnd(*killed, 5000), 0);

  // The next start finds the block and semaphore of the dead one and takes over.
  QElapsedTimer t;
  t.start();
  auto next = Start({});
  ASSERT_TRUE(WaitListening(names, next->processId(), 5000));
  EXPECT_LT(t.elapsed(), 5000);
  const std::string file = File("dump.syx", std::string("\xF0\x10\x20\xF7", 4));
  auto third = Start({QString::fromStdString(file)});
  const long ms = WaitEnd(*third, 8000);
  ASSERT_GE(ms, 0) << "the third start did not hand over";
  EXPECT_EQ(third->exitCode(), 0);
  // The window that took over loaded the file: its recent files say so once it closes.
  next->terminate();
  ASSERT_GE(WaitEnd(*next, 10000), 0);
  EXPECT_EQ(next->exitCode(), 0);
  EXPECT_EQ(TRegIniFile(ChildKey()).ReadString("MRUList", "File0", ""), file);
}

}  // namespace
}  // namespace kalvex

int main(int argc, char** argv) { return kalvex::test::RunWindowTests(argc, argv, true); }
