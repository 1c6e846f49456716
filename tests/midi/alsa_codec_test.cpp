// MIDI bytes to ALSA sequencer events and back (libasound's codec needs no sequencer).
#include "midi/alsa/alsa_codec.h"

#include <gtest/gtest.h>

#include <vector>

#include "midi/midi_event_split.h"
#include "tests/midi/midi_test_util.h"

namespace kalvex {
namespace {

// Cuts a long message the way the ALSA output does and decodes every event again.
std::vector<uint8_t> RoundTrip(const std::vector<uint8_t>& data, std::vector<int>& types,
                               std::vector<size_t>& sizes) {
  TAlsaCodec codec;
  std::vector<uint8_t> back;
  bool inSysEx = false;
  for (size_t at = 0; at < data.size();) {
    const bool was = inSysEx;
    const size_t n = NextEventLength(data.data() + at, data.size() - at, kAlsaSysExChunk, inSysEx);
    snd_seq_event_t ev;
    if (codec.Encode(data.data() + at, n, IsSysExPiece(data[at], was), ev)) {
      types.push_back(ev.type);
      uint8_t buf[16];
      const uint8_t* bytes = nullptr;
      const size_t m = codec.Decode(ev, buf, sizeof buf, bytes);
      sizes.push_back(m);
      back.insert(back.end(), bytes, bytes + m);
    }
    at += n;
  }
  return back;
}

TEST(AlsaCodec, ShortMessagesBecomeTypedEventsAndBack) {
  const std::vector<uint8_t> data = {0x90, 0x3C, 0x7F, 0xC0, 0x05, 0xB0, 0x07, 0x64,
                                     0xE0, 0x00, 0x40, 0xF8, 0xFE, 0x80, 0x3C, 0x00};
  std::vector<int> types;
  std::vector<size_t> sizes;
  EXPECT_EQ(RoundTrip(data, types, sizes), data);
  EXPECT_EQ(types, (std::vector<int>{SND_SEQ_EVENT_NOTEON, SND_SEQ_EVENT_PGMCHANGE,
                                     SND_SEQ_EVENT_CONTROLLER, SND_SEQ_EVENT_PITCHBEND,
                                     SND_SEQ_EVENT_CLOCK, SND_SEQ_EVENT_SENSING,
                                     SND_SEQ_EVENT_NOTEOFF}));
}

TEST(AlsaCodec, SysExGoesInChunksTheSequencerAccepts) {
  const auto data = test::PatternSysEx(1000);
  std::vector<int> types;
  std::vector<size_t> sizes;
  EXPECT_EQ(RoundTrip(data, types, sizes), data);
  EXPECT_EQ(sizes, (std::vector<size_t>{256, 256, 256, 232}));
  for (int t : types) EXPECT_EQ(t, SND_SEQ_EVENT_SYSEX);
}

TEST(AlsaCodec, DataBytesWithoutStatusMakeNoEvent) {
  TAlsaCodec codec;
  const uint8_t data[] = {0x3C, 0x7F};
  snd_seq_event_t ev;
  EXPECT_FALSE(codec.Encode(data, 2, false, ev));
}

// Notices of the system client. We are clients 128 and 129; a synth is 20:0.
TEST(AlsaNotice, OwnPortsAreNoDeviceChangeAndAnUnsubscriptionIsADisconnection) {
  auto addr = [](int type, int client, int port) {
    snd_seq_event_t ev;
    snd_seq_ev_clear(&ev);
    ev.type = static_cast<snd_seq_event_type_t>(type);
    ev.source.client = SND_SEQ_CLIENT_SYSTEM;
    ev.data.addr.client = static_cast<unsigned char>(client);
    ev.data.addr.port = static_cast<unsigned char>(port);
    return ev;
  };
  auto connect = [](int fromClient, int fromPort, int toClient, int toPort) {
    snd_seq_event_t ev;
    snd_seq_ev_clear(&ev);
    ev.type = SND_SEQ_EVENT_PORT_UNSUBSCRIBED;
    ev.source.client = SND_SEQ_CLIENT_SYSTEM;
    ev.data.connect.sender = {static_cast<unsigned char>(fromClient), static_cast<unsigned char>(fromPort)};
    ev.data.connect.dest = {static_cast<unsigned char>(toClient), static_cast<unsigned char>(toPort)};
    return ev;
  };
  struct TCase {
    const char* name;
    snd_seq_event_t ev;
    TAlsaNotice want;
  };
  snd_seq_event_t fromSomebody = addr(SND_SEQ_EVENT_PORT_START, 20, 0);
  fromSomebody.source.client = 20;
  const TCase cases[] = {
      {"SynthPortStarts", addr(SND_SEQ_EVENT_PORT_START, 20, 0), {TAlsaNotice::kChanged, 20, 0}},
      {"SynthPortGoes", addr(SND_SEQ_EVENT_PORT_EXIT, 20, 1), {TAlsaNotice::kPortGone, 20, 1}},
      {"SynthUnplugged", addr(SND_SEQ_EVENT_CLIENT_EXIT, 20, 0), {TAlsaNotice::kClientGone, 20, 0}},
      {"OurInputPortOpens", addr(SND_SEQ_EVENT_PORT_START, 128, 3), {}},
      {"OurOutputPortCloses", addr(SND_SEQ_EVENT_PORT_EXIT, 129, 2), {}},
      {"NotFromTheSystem", fromSomebody, {}},
      {"PatchbayTookOurOutput", connect(129, 2, 20, 0), {TAlsaNotice::kUnsubscribed, 20, 0, 129, 2}},
      {"PatchbayTookOurInput", connect(20, 0, 128, 3), {TAlsaNotice::kUnsubscribed, 20, 0, 128, 3}},
      {"OthersConnections", connect(20, 0, 21, 0), {}},
  };
  for (const auto& c : cases) {
    const TAlsaNotice n = ReadAlsaNotice(c.ev, 128, 129);
    EXPECT_EQ(n.kind, c.want.kind) << c.name;
    if (c.want.kind == TAlsaNotice::kNone) continue;
    EXPECT_EQ(n.client, c.want.client) << c.name;
    EXPECT_EQ(n.port, c.want.port) << c.name;
    if (c.want.kind != TAlsaNotice::kUnsubscribed) continue;
    EXPECT_EQ(n.ourClient, c.want.ourClient) << c.name;
    EXPECT_EQ(n.ourPort, c.want.ourPort) << c.name;
  }
}

}  // namespace
}  // namespace kalvex
