// A JACK server that goes away while our ports are open: both ends learn it,
// the device list follows, nothing hangs or crashes, and a server that comes
// back works again. Runs servers of its own.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <cstdlib>

#include "midi/midi_input.h"
#include "midi/midi_output.h"
#include "midi/midi_system.h"
#include "tests/midi/jack_peer.h"
#include "tests/midi/midi_test_util.h"

namespace kalvex {
namespace {

using test::PatternSysEx;
using test::TJackPeer;
using test::WaitUntil;


// A dummy-driver server of our own under this name; false when jackd cannot
// run here.
bool StartServer(QProcess& jackd, const QString& name) {
  jackd.setProcessChannelMode(QProcess::MergedChannels);
  jackd.start("jackd", {"-n", name, "--no-realtime", "-t", "10000", "-d", "dummy", "-p", "256"});
  if (!jackd.waitForStarted(5000)) return false;
  QProcess wait;
  wait.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
  wait.start("jack_wait", {"-s", name, "-w", "-t", "10"});
  wait.waitForFinished(12000);
  return wait.exitCode() == 0;
}

// Stops a server of ours on every way out of a test, politely where it still
// runs: a killed server keeps its entry in JACK's registry of servers.
struct TServerGuard {
  QProcess& jackd;
  ~TServerGuard() {
    if (jackd.state() == QProcess::NotRunning) return;
    jackd.terminate();
    if (!jackd.waitForFinished(5000)) jackd.kill();
    jackd.waitForFinished(2000);
  }
};

// A server that dies with clients attached leaves their semaphores behind.
void RemoveLeftovers(const QString& server) {
  QDir shm("/dev/shm");
  for (const QString& name : shm.entryList({"jack_sem.*_" + server + "_*"}, QDir::Files)) shm.remove(name);
}

TEST(JackServerGone, OpenPortsLearnItAndCloseCleanly) {
  const QString server = QString("kalvex_gone_%1").arg(QCoreApplication::applicationPid());
  QProcess jackd;
  TServerGuard guard{jackd};
  if (!StartServer(jackd, server))
    GTEST_SKIP() << "jackd cannot start here; test skipped: " << jackd.readAll().toStdString();
  setenv("JACK_DEFAULT_SERVER", server.toUtf8().constData(), 1);
  TJackPeer peer;
  if (!peer.Open("kalvex-gone-peer")) {
    jackd.kill();
    jackd.waitForFinished(3000);
    GTEST_SKIP() << "jackd did not come up; test skipped";
  }
  // This process's device layer connects on first use, to this server.
  ASSERT_TRUE(WaitUntil([&] { return FindDeviceIdByName(false, peer.OutName()) >= 0; }));
  TMidiInput in;
  TMidiOutput out;
  in.SetDeviceID(FindDeviceIdByName(false, peer.OutName()));
  out.SetDeviceID(FindDeviceIdByName(true, peer.InName()));
  in.OnDataAvailable = [](TMidiInput& s) { while (s.ReadEvent()) {} };
  in.Open();
  in.Start();
  out.Open();
  std::vector<uint8_t> big(200000, 0x01);
  big.front() = 0xF0;
  big.back() = 0xF7;
  ASSERT_TRUE(out.SendLong(big.data(), static_cast<int>(big.size())));  // still on its way

  QSignalSpy changed(&MidiDeviceNotifier(), &TMidiDeviceNotifier::DevicesChanged);
  jackd.terminate();
  ASSERT_TRUE(jackd.waitForFinished(5000));
  EXPECT_TRUE(WaitUntil([&] { return out.DriverClosed(); }));
  EXPECT_TRUE(WaitUntil([&] { return changed.count() > 0; }));
  in.CloseIfDisconnected();
  out.CloseIfDisconnected();
  EXPECT_FALSE(in.IsOpen());
  EXPECT_FALSE(out.IsOpen());
  EXPECT_EQ(out.PendingLongCount(), 0);
  EXPECT_EQ(FindDeviceIdByName(false, peer.OutName()), -1);
  peer.CloseClient();
  RemoveLeftovers(server);
}

// Gone with our ports open and started again: the stale ports stay closed
// and closing them later leaves the new ones alone; a server that appears is
// noticed without anybody asking for the device list, and the new ports
// carry SysEx byte-exact both ways.
TEST(JackServerGone, KilledAndRestartedServerWorksAgain) {
  const QString server = QString("kalvex_restart_%1").arg(QCoreApplication::applicationPid());
  QProcess jackd;
  TServerGuard guard{jackd};
  if (!StartServer(jackd, server))
    GTEST_SKIP() << "jackd cannot start here; test skipped: " << jackd.readAll().toStdString();
  setenv("JACK_DEFAULT_SERVER", server.toUtf8().constData(), 1);
  TJackPeer peer;
  ASSERT_TRUE(peer.Open("kalvex-restart-peer"));
  ASSERT_TRUE(WaitUntil([&] { return FindDeviceIdByName(false, peer.OutName()) >= 0; }, 8000));
  TMidiInput staleIn;
  TMidiOutput staleOut;
  staleIn.SetDeviceID(FindDeviceIdByName(false, peer.OutName()));
  staleOut.SetDeviceID(FindDeviceIdByName(true, peer.InName()));
  staleIn.OnDataAvailable = [](TMidiInput& s) { while (s.ReadEvent()) {} };
  staleIn.Open();
  staleIn.Start();
  staleOut.Open();
  const auto first = PatternSysEx(100000, 5);
  ASSERT_TRUE(staleOut.SendLong(first.data(), static_cast<int>(first.size())));

  // Terminated, not killed with SIGKILL: a killed server's entry stays in
  // JACK's registry of servers, and a handful of those stop every new one.
  jackd.terminate();
  ASSERT_TRUE(jackd.waitForFinished(5000));
  ASSERT_TRUE(WaitUntil([&] { return staleOut.DriverClosed(); }, 8000));
  peer.CloseClient();
  RemoveLeftovers(server);

  QSignalSpy changed(&MidiDeviceNotifier(), &TMidiDeviceNotifier::DevicesChanged);
  QProcess again;
  TServerGuard guardAgain{again};
  ASSERT_TRUE(StartServer(again, server)) << again.readAll().toStdString();
  QElapsedTimer sinceUp;
  sinceUp.start();
  ASSERT_TRUE(WaitUntil([&] { return changed.count() > 0; }, 4000)) << "the new server went unnoticed";
  EXPECT_LE(sinceUp.elapsed(), 2500);
  TJackPeer peer2;
  ASSERT_TRUE(peer2.Open("kalvex-restart-peer2"));
  ASSERT_TRUE(WaitUntil([&] { return FindDeviceIdByName(true, peer2.InName()) >= 0; }, 8000));
  TMidiInput in;
  TMidiOutput out;
  std::vector<uint8_t> arrived;
  in.SetDeviceID(FindDeviceIdByName(false, peer2.OutName()));
  out.SetDeviceID(FindDeviceIdByName(true, peer2.InName()));
  in.OnDataAvailable = [&](TMidiInput& s) {
    while (auto e = s.ReadEvent())
      if (e->SysExLength > 0) arrived.insert(arrived.end(), e->SysExData.get(), e->SysExData.get() + e->SysExLength);
  };
  in.Open();
  in.Start();
  out.Open();
  // Closing the stale ports must not take the new ones' slots with them.
  staleIn.Close();
  staleOut.Close();
  EXPECT_TRUE(in.IsOpen());
  EXPECT_TRUE(out.IsOpen());

  const auto toPeer = PatternSysEx(65536, 6), fromPeer = PatternSysEx(20000, 7);
  ASSERT_TRUE(out.SendLong(toPeer.data(), static_cast<int>(toPeer.size())));
  ASSERT_TRUE(peer2.Send(fromPeer));
  std::vector<uint8_t> received;
  ASSERT_TRUE(WaitUntil([&] {
    peer2.Collect(received);
    return received.size() >= toPeer.size() && arrived.size() >= fromPeer.size();
  }, 10000)) << received.size() << " and " << arrived.size() << " bytes";
  EXPECT_TRUE(received == toPeer);
  EXPECT_TRUE(arrived == fromPeer);
  in.Close();
  out.Close();
  peer2.CloseClient();
  again.terminate();
  again.waitForFinished(5000);
  RemoveLeftovers(server);
}

}  // namespace
}  // namespace kalvex
