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
