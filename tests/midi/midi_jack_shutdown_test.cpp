// A JACK server that goes away while our ports are open: both ends learn it,
// the device list follows, nothing hangs. Runs a server of its own.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
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

using test::TJackPeer;
using test::WaitUntil;


TEST(JackServerGone, OpenPortsLearnItAndCloseCleanly) {
  const QString server = QString("kalvex_gone_%1").arg(QCoreApplication::applicationPid());
  QProcess jackd;
  jackd.setProcessChannelMode(QProcess::MergedChannels);
  jackd.start("jackd", {"-n", server, "--no-realtime", "-t", "10000", "-d", "dummy", "-p", "256"});
  if (!jackd.waitForStarted(5000)) GTEST_SKIP() << "jackd cannot start here; test skipped";
  setenv("JACK_DEFAULT_SERVER", server.toUtf8().constData(), 1);
  QProcess wait;
  wait.start("jack_wait", {"-w", "-t", "10"});
  wait.waitForFinished(12000);
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
  // A server that dies with clients attached leaves their semaphores behind.
  QDir shm("/dev/shm");
  for (const QString& name : shm.entryList({"jack_sem.*_" + server + "_*"}, QDir::Files))
    shm.remove(name);
}

}  // namespace
}  // namespace kalvex
