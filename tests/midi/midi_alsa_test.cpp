// End to end through the ALSA sequencer, where there is one (/dev/snd/seq):
// a second sequencer client is the device. Skipped, saying why, elsewhere.
#include <gtest/gtest.h>

#include <alsa/asoundlib.h>
#include <unistd.h>

#include <atomic>
#include <QSignalSpy>
#include <chrono>
#include <thread>
#include <vector>

#include "midi/midi_input.h"
#include "midi/midi_output.h"
#include "midi/midi_system.h"
#include "tests/midi/midi_test_util.h"

namespace kalvex {
namespace {

using test::PatternSysEx;
using test::WaitUntil;

// A sequencer client with one port that both takes and sends events.
class TAlsaPeer {
public:
  bool Open() {
    if (snd_seq_open(&seq_, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0) return false;
    snd_seq_set_client_name(seq_, "Kalvex Test Synth");
    port_ = snd_seq_create_simple_port(seq_, "Kalvex Test Synth Port",
                                       SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ | SND_SEQ_PORT_CAP_WRITE |
                                           SND_SEQ_PORT_CAP_SUBS_WRITE,
                                       SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    return port_ >= 0;
  }
  ~TAlsaPeer() {
    if (seq_) snd_seq_close(seq_);
  }
  void DeletePort() {
    snd_seq_delete_simple_port(seq_, port_);
    port_ = -1;
  }
  // Sends SysEx in events of 256 bytes, as hardware input comes.
  void SendSysEx(const std::vector<uint8_t>& data) {
    for (size_t at = 0; at < data.size(); at += 256) {
      snd_seq_event_t ev;
      snd_seq_ev_clear(&ev);
      snd_seq_ev_set_source(&ev, port_);
      snd_seq_ev_set_subs(&ev);
      snd_seq_ev_set_direct(&ev);
      snd_seq_ev_set_sysex(&ev, static_cast<unsigned>(std::min<size_t>(256, data.size() - at)),
                           const_cast<uint8_t*>(data.data() + at));
      snd_seq_event_output_direct(seq_, &ev);
    }
  }
  void SendNote(uint8_t note) {
    snd_seq_event_t ev;
    snd_seq_ev_clear(&ev);
    snd_seq_ev_set_source(&ev, port_);
    snd_seq_ev_set_subs(&ev);
    snd_seq_ev_set_direct(&ev);
    snd_seq_ev_set_noteon(&ev, 0, note, 100);
    snd_seq_event_output_direct(seq_, &ev);
  }
  // Collects the SysEx bytes that arrive until size of them are there.
  std::vector<uint8_t> ReceiveSysEx(size_t size, int timeoutMs) {
    std::vector<uint8_t> got;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    snd_seq_nonblock(seq_, 1);
    while (got.size() < size && std::chrono::steady_clock::now() < until) {
      snd_seq_event_t* ev = nullptr;
      if (snd_seq_event_input(seq_, &ev) < 0 || !ev) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      if (ev->type == SND_SEQ_EVENT_SYSEX) {
        const auto* p = static_cast<const uint8_t*>(ev->data.ext.ptr);
        got.insert(got.end(), p, p + ev->data.ext.len);
      }
    }
    return got;
  }

private:
  snd_seq_t* seq_ = nullptr;
  int port_ = -1;
};

class AlsaEndToEnd : public ::testing::Test {
protected:
  void SetUp() override {
    if (::access("/dev/snd/seq", R_OK | W_OK) != 0)
      GTEST_SKIP() << "no ALSA sequencer here (/dev/snd/seq; modprobe snd-seq); ALSA tests skipped";
    ASSERT_TRUE(peer.Open());
  }
  template <class TDevice>
  int Find() {
    int id = -1;
    WaitUntil([&] { return (id = FindDeviceIdByName(std::is_same_v<TDevice, TMidiOutput>, kName)) >= 0; });
    return id;
  }
  static constexpr const char* kName = "Kalvex Test Synth Port";
  TAlsaPeer peer;
};

TEST_F(AlsaEndToEnd, SixtyFourKilobytesOutAndInByteExact) {
  TMidiOutput out;
  out.SetDeviceID(Find<TMidiOutput>());
  ASSERT_GE(out.DeviceID(), 0) << "the peer's port is not listed";
  out.Open();
  const auto dump = PatternSysEx(65536, 9);
  ASSERT_TRUE(out.SendLong(dump.data(), static_cast<int>(dump.size())));
  EXPECT_TRUE(peer.ReceiveSysEx(dump.size(), 20000) == dump);
  EXPECT_TRUE(WaitUntil([&] { return out.PendingLongCount() == 0; }));

  TMidiInput in;
  in.SetDeviceID(Find<TMidiInput>());
  std::vector<uint8_t> arrived;
  in.OnDataAvailable = [&](TMidiInput& s) {
    while (auto e = s.ReadEvent())
      if (e->SysExLength > 0) arrived.insert(arrived.end(), e->SysExData.get(), e->SysExData.get() + e->SysExLength);
  };
  in.Open();
  in.Start();
  peer.SendSysEx(dump);
  EXPECT_TRUE(WaitUntil([&] { return arrived.size() >= dump.size(); }, 20000)) << arrived.size();
  EXPECT_TRUE(arrived == dump);
}

TEST_F(AlsaEndToEnd, APortThatVanishesClosesOurInputAndNotifies) {
  TMidiInput in;
  in.SetDeviceID(Find<TMidiInput>());
  in.OnDataAvailable = [](TMidiInput& s) { while (s.ReadEvent()) {} };
  in.Open();
  in.Start();
  QSignalSpy changed(&MidiDeviceNotifier(), &TMidiDeviceNotifier::DevicesChanged);
  peer.DeletePort();
  EXPECT_TRUE(WaitUntil([&] { return changed.count() > 0; }));
  EXPECT_TRUE(WaitUntil([&] {
    in.CloseIfDisconnected();
    return !in.IsOpen();
  }));
  EXPECT_EQ(FindDeviceIdByName(false, kName), -1);
}

// A reader that falls behind loses events in the kernel (-ENOSPC): never in
// silence.
TEST_F(AlsaEndToEnd, InputTheKernelDroppedIsReportedLost) {
  TMidiInput in;
  in.SetDeviceID(Find<TMidiInput>());
  int received = 0, overflows = 0;
  in.OnOverflow = [&](TMidiInputBase&) { ++overflows; };
  in.OnDataAvailable = [&](TMidiInput& s) {
    while (s.ReadEvent()) ++received;
  };
  in.Open();
  in.Start();
  constexpr int kNotes = 20000;
  for (int i = 0; i < kNotes; ++i) peer.SendNote(static_cast<uint8_t>(i & 0x7F));
  WaitUntil([&] { return received >= kNotes; }, 5000);
  EXPECT_TRUE(received == kNotes || overflows > 0) << received << " of " << kNotes << " and no report";
}

}  // namespace
}  // namespace kalvex
