#include "midi/alsa/alsa_codec.h"

namespace kalvex {

namespace {
constexpr size_t kCodecBuffer = 16;  // room for the longest short message
}

TAlsaNotice ReadAlsaNotice(const snd_seq_event_t& ev, int ourClientA, int ourClientB) {
  TAlsaNotice n;
  if (ev.source.client != SND_SEQ_CLIENT_SYSTEM) return n;
  auto ours = [&](int client) { return client == ourClientA || client == ourClientB; };
  switch (ev.type) {
    case SND_SEQ_EVENT_CLIENT_START:
    case SND_SEQ_EVENT_CLIENT_EXIT:
    case SND_SEQ_EVENT_CLIENT_CHANGE:
    case SND_SEQ_EVENT_PORT_START:
    case SND_SEQ_EVENT_PORT_EXIT:
    case SND_SEQ_EVENT_PORT_CHANGE:
      // Opening and closing our own ports is no device change.
      if (ours(ev.data.addr.client)) return n;
      n.client = ev.data.addr.client;
      n.port = ev.data.addr.port;
      n.kind = ev.type == SND_SEQ_EVENT_PORT_EXIT     ? TAlsaNotice::kPortGone
               : ev.type == SND_SEQ_EVENT_CLIENT_EXIT ? TAlsaNotice::kClientGone
                                                      : TAlsaNotice::kChanged;
      return n;
    case SND_SEQ_EVENT_PORT_UNSUBSCRIBED: {
      const snd_seq_addr_t& from = ev.data.connect.sender;
      const snd_seq_addr_t& to = ev.data.connect.dest;
      if (ours(from.client) && !ours(to.client)) {  // our output, their input
        n = {TAlsaNotice::kUnsubscribed, to.client, to.port, from.client, from.port};
      } else if (ours(to.client) && !ours(from.client)) {  // their output, our input
        n = {TAlsaNotice::kUnsubscribed, from.client, from.port, to.client, to.port};
      }
      return n;
    }
    default:
      return n;
  }
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
