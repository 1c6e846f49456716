#pragma once
// MIDI bytes to ALSA sequencer events and back.
#include <alsa/asoundlib.h>

#include <cstddef>
#include <cstdint>

namespace kalvex {

// SysEx goes to the sequencer in events of this size: what hardware input
// delivers too, and far below the client's output buffer (16 KiB by default;
// larger events are refused with -EINVAL).
constexpr size_t kAlsaSysExChunk = 256;

// What an event from the sequencer's system client (the System Announce
// port, or a notice sent to one of our ports) means for us.
struct TAlsaNotice {
  enum TKind {
    kNone,          // not for us, or about our own ports
    kChanged,       // ports came, went or changed: the device lists change
    kPortGone,      // this peer port went away (and the lists change)
    kClientGone,    // every port of this peer client went away (and the lists change)
    kUnsubscribed,  // another program removed a connection of one of our ports
  };
  TKind kind = kNone;
  int client = -1, port = -1;  // the peer
  int ourClient = -1, ourPort = -1;  // kUnsubscribed: which of our ports
};
TAlsaNotice ReadAlsaNotice(const snd_seq_event_t& ev, int ourClientA, int ourClientB);

class TAlsaCodec {
public:
  TAlsaCodec();
  ~TAlsaCodec();
  TAlsaCodec(const TAlsaCodec&) = delete;
  TAlsaCodec& operator=(const TAlsaCodec&) = delete;

  // Fills ev from the bytes of one event (as NextEventLength cuts them). A
  // SysEx piece refers to data, which must stay valid until ev is sent.
  // False when the bytes make no event (data bytes without status).
  bool Encode(const uint8_t* data, size_t size, bool sysExPiece, snd_seq_event_t& ev);

  // The MIDI bytes an event carries: SysEx as its data, other messages with
  // their status byte; 0 for events that are no MIDI message. For SysEx,
  // data points into the event and out stays unused.
  size_t Decode(const snd_seq_event_t& ev, uint8_t* out, size_t capacity, const uint8_t*& data);

private:
  snd_midi_event_t* encoder_ = nullptr;
  snd_midi_event_t* decoder_ = nullptr;
};

}  // namespace kalvex
