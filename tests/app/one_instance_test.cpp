// A second start of the program hands its file (and "/send") to the window
// that runs, as real processes; a first instance that was killed or hangs
// never blocks the next starts; two starts at once give one window; a folder
// that another user prepared is never used.
#include "app/one_instance.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalSocket>
#include <QProcessEnvironment>
#include <QProcess>
#include <QTest>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <cstring>
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
  std::string File(const std::string& name, const std::string& bytes) {
    const std::string path = dir.File(name);
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  // Starts the program; the events of this process go on meanwhile.
  std::unique_ptr<QProcess> Start(const QStringList& arguments, const std::string& workingDir = {},
                                  const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    auto p = std::make_unique<QProcess>();
    p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p->setProcessEnvironment(env);
    if (!workingDir.empty()) p->setWorkingDirectory(QString::fromStdString(workingDir));
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
  // True once a window listens for hand-overs: it greets a connection (a
  // socket file alone may be the stale one of a killed window).
  bool WaitListening(int limitMs) {
    const QString name = TOneInstance(base).ServerName();
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < limitMs) {
      QLocalSocket probe;
      probe.connectToServer(name);
      if (probe.waitForConnected(200) && (probe.bytesAvailable() > 0 || probe.waitForReadyRead(500))) return true;
      probe.abort();
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

  // The last name is relative to the second start's folder, not the window's.
  auto second = Start({QString::fromStdString(first), "last.syx", "/SeNd"}, dir.Path());
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
  auto killed = Start({});
  ASSERT_TRUE(WaitListening(15000));
  ::kill(static_cast<pid_t>(killed->processId()), SIGKILL);
  ASSERT_GE(WaitEnd(*killed, 5000), 0);

  // The next start finds the lock free and the dead one's socket, and takes over.
  QElapsedTimer t;
  t.start();
  auto next = Start({});
  ASSERT_TRUE(WaitListening(5000));
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

// Another user can neither hand over to our window (nor read what others
// hand it), nor take or hold its lock: both live in a folder of ours alone.
TEST_F(Handover, AnotherUserCannotReachTheSocketOrTheLock) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  auto window = Start({});
  ASSERT_TRUE(WaitListening(15000));
  const TOneInstance names(base);
  const std::string socketPath = names.ServerName().toStdString(), lockPath = names.LockName().toStdString();
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    const bool connected = ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    const bool opened = ::open(lockPath.c_str(), O_RDONLY) >= 0;
    ::_exit(!connected && !opened ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another user reached the socket or the lock";
  window->terminate();
  ASSERT_GE(WaitEnd(*window, 10000), 0);
}

// A window that hangs (stopped) makes the next start wait for the time-out,
// then run on its own; the hung one never gets that start's file.
TEST_F(Handover, AHungFirstInstanceOnlyDelaysTheNextStart) {
  auto hung = Start({});
  ASSERT_TRUE(WaitListening(15000));
  ::kill(static_cast<pid_t>(hung->processId()), SIGSTOP);
  const std::string file = File("late.syx", std::string("\xF0\x11\xF7", 3));
  auto next = Start({QString::fromStdString(file)});
  EXPECT_EQ(WaitEnd(*next, 13000), -1) << "the next start did not run on its own";
  ::kill(static_cast<pid_t>(hung->processId()), SIGCONT);
  for (auto* p : {hung.get(), next.get()}) {
    p->terminate();
    ASSERT_GE(WaitEnd(*p, 10000), 0);
    EXPECT_EQ(p->exitCode(), 0);
  }
}

// Two starts at the same moment: one window, the other hands over.
TEST_F(Handover, TwoStartsAtOnceGiveOneWindow) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    auto a = Start({});
    auto b = Start({});
    ASSERT_TRUE(test::WaitUntil([&] {
      return a->state() == QProcess::NotRunning || b->state() == QProcess::NotRunning;
    }, 8000)) << "two windows";
    const int first = a->state() == QProcess::NotRunning ? 0 : 1;
    QProcess& ended = first == 0 ? *a : *b;
    QProcess& window = first == 0 ? *b : *a;
    EXPECT_EQ(ended.exitCode(), 0);
    EXPECT_EQ(window.state(), QProcess::Running);
    window.terminate();
    ASSERT_GE(WaitEnd(window, 10000), 0);
  }
}

// Another user may create the shared folder's place first: it is not used
// (nothing of ours goes into it), and the program still starts.
TEST_F(Handover, AFolderThatAnotherUserPreparedIsNotUsed) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a folder to another user";
  test::TTempDir tmp;
  const std::string trap = tmp.File("kalvex-" + std::to_string(::getuid()));
  fs::create_directory(trap);
  ASSERT_EQ(::chown(trap.c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod(trap.c_str(), 0777), 0);
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.remove("XDG_RUNTIME_DIR");
  env.insert("TMPDIR", QString::fromStdString(tmp.Path()));
  auto first = Start({}, {}, env);
  auto second = Start({}, {}, env);
  EXPECT_EQ(WaitEnd(*second, 3000), -1) << "a start handed over through the other user's folder";
  EXPECT_TRUE(fs::is_empty(trap));
  // Nor does anything else of ours go into the shared folder, where names
  // that anyone can compute could be taken first.
  std::vector<std::string> shared;
  for (const auto& entry : fs::directory_iterator(tmp.Path()))
    // (Qt makes its own runtime folder there, 0700, without XDG_RUNTIME_DIR.)
    if (entry.path() != trap && entry.path().filename().string().rfind("runtime-", 0) != 0)
      shared.push_back(entry.path().filename().string());
  EXPECT_TRUE(shared.empty()) << shared.front();
  for (auto* p : {first.get(), second.get()}) {
    p->terminate();
    ASSERT_GE(WaitEnd(*p, 10000), 0);
  }
}

}  // namespace
}  // namespace kalvex

int main(int argc, char** argv) { return kalvex::test::RunWindowTests(argc, argv, true); }
