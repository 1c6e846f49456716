#include "midi/alsa/alsa_codec.h"

namespace kalvex {

namespace {
constexpr size_t kCodecBuffer = 16;  // room for the longest short message
}

TAlsaCodec::TAlsaCodec() {
  snd_midi_event_new(kCodecBuffer, &encoder_);
  snd_midi_event_new(kCodecBuffer, &decoder_);
  // Every decoded message carries its status byte.
  if (decoder_) snd_midi_event_no_status(decoder_, 1);
}

TAlsaCodec::~TAlsaCodec() {
  if (encoder_) snd_midi_event_free(encoder_);
  if (decoder_) snd_midi_event_free(decoder_);
}

bool TAlsaCodec::Encode(const uint8_t* data, size_t size, bool sysExPiece, snd_seq_event_t& ev) {
  snd_seq_ev_clear(&ev);
  if (size == 0) return false;
  if (sysExPiece) {
    snd_seq_ev_set_sysex(&ev, static_cast<unsigned>(size), const_cast<uint8_t*>(data));
    return true;
  }
  if (!encoder_) return false;
  snd_midi_event_reset_encode(encoder_);
  ev.type = SND_SEQ_EVENT_NONE;
  const long used = snd_midi_event_encode(encoder_, data, static_cast<long>(size), &ev);
  return used > 0 && ev.type != SND_SEQ_EVENT_NONE;
}

size_t TAlsaCodec::Decode(const snd_seq_event_t& ev, uint8_t* out, size_t capacity,
                          const uint8_t*& data) {
  data = out;
  if (ev.type == SND_SEQ_EVENT_SYSEX) {
    data = static_cast<const uint8_t*>(ev.data.ext.ptr);
    return ev.data.ext.len;
  }
  if (!decoder_) return 0;
  snd_midi_event_reset_decode(decoder_);
  const long n = snd_midi_event_decode(decoder_, out, static_cast<long>(capacity), &ev);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

}  // namespace kalvex
