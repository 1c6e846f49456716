#pragma once
// A second JACK client for tests and benchmarks: its "out" port sends queued
// events, its "in" port collects what arrives.
#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace kalvex::test {

class TJackPeer {
public:
  static constexpr size_t kRingBytes = 4 * 1024 * 1024;

  ~TJackPeer() { CloseClient(); }

  // physical: the "in" port says it leads to hardware, as a bridge's does.
  bool Open(const char* name, bool physical = false) {
    jack_status_t status{};
    client_ = jack_client_open(name, JackNoStartServer, &status);
    if (!client_) return false;
    out_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    in_ = jack_port_register(client_, "in", JACK_DEFAULT_MIDI_TYPE,
                             JackPortIsInput | (physical ? JackPortIsPhysical : 0), 0);
    toSend_ = jack_ringbuffer_create(kRingBytes);
    received_ = jack_ringbuffer_create(kRingBytes);
    jack_set_process_callback(client_, &TJackPeer::Process, this);
    jack_set_xrun_callback(client_, [](void* arg) {
      static_cast<TJackPeer*>(arg)->xruns_++;
      return 0;
    }, this);
    return out_ && in_ && jack_activate(client_) == 0;
  }
  void CloseClient() {
    if (client_) {
      jack_deactivate(client_);
      jack_client_close(client_);
      client_ = nullptr;
    }
    if (toSend_) jack_ringbuffer_free(toSend_);
    if (received_) jack_ringbuffer_free(received_);
    toSend_ = received_ = nullptr;
  }
  std::string OutName() const { return jack_port_name(out_); }
  bool OutConnected() const { return jack_port_connected(out_) > 0; }
  std::string InName() const { return jack_port_name(in_); }

  // One JACK event; false when the queue is full.
  bool Send(const std::vector<uint8_t>& event) {
    const uint32_t size = static_cast<uint32_t>(event.size());
    if (jack_ringbuffer_write_space(toSend_) < sizeof size + size) return false;
    jack_ringbuffer_write(toSend_, reinterpret_cast<const char*>(&size), sizeof size);
    jack_ringbuffer_write(toSend_, reinterpret_cast<const char*>(event.data()), size);
    return true;
  }
  // Moves what arrived into bytes; returns the number of new bytes.
  size_t Collect(std::vector<uint8_t>& bytes) {
    const size_t n = jack_ringbuffer_read_space(received_);
    const size_t old = bytes.size();
    bytes.resize(old + n);
    jack_ringbuffer_read(received_, reinterpret_cast<char*>(bytes.data() + old), n);
    return n;
  }
  uint64_t Dropped() const { return dropped_; }
  // Bytes queued by Send that the process callback has not written yet.
  size_t Unsent() const { return toSend_ ? jack_ringbuffer_read_space(toSend_) : 0; }
  // As a patchbay would: takes every connection of both ports away.
  void DisconnectAll() {
    jack_port_disconnect(client_, in_);
    jack_port_disconnect(client_, out_);
  }
  // The next process callback takes this long, so the server runs late.
  void StallOnce(int ms) { stallMs_ = ms; }
  // Cycles the server ran late (it may drop or repeat their events).
  uint64_t Xruns() const { return xruns_; }
  // Events received, and those of them that did not start with a status
  // byte (a bridge to hardware drops such pieces).
  uint64_t Events() const { return events_; }
  uint64_t EventsWithoutStatus() const { return eventsWithoutStatus_; }

private:
  static int Process(jack_nframes_t nframes, void* arg) {
    auto* self = static_cast<TJackPeer*>(arg);
    if (const int ms = self->stallMs_.exchange(0)) usleep(static_cast<useconds_t>(ms) * 1000);
    void* out = jack_port_get_buffer(self->out_, nframes);
    jack_midi_clear_buffer(out);
    for (;;) {
      uint32_t size = 0;
      const size_t available = jack_ringbuffer_read_space(self->toSend_);
      if (available < sizeof size) break;
      jack_ringbuffer_peek(self->toSend_, reinterpret_cast<char*>(&size), sizeof size);
      if (available < sizeof size + size) break;
      jack_midi_data_t* target = jack_midi_event_reserve(out, 0, size);
      if (!target) break;
      jack_ringbuffer_read_advance(self->toSend_, sizeof size);
      jack_ringbuffer_read(self->toSend_, reinterpret_cast<char*>(target), size);
    }
    void* in = jack_port_get_buffer(self->in_, nframes);
    const uint32_t count = jack_midi_get_event_count(in);
    for (uint32_t i = 0; i < count; ++i) {
      jack_midi_event_t event;
      if (jack_midi_event_get(&event, in, i) != 0) continue;
      self->events_++;
      if (event.size == 0 || event.buffer[0] < 0x80) self->eventsWithoutStatus_++;
      if (jack_ringbuffer_write_space(self->received_) < event.size) {
        self->dropped_ += event.size;
        continue;
      }
      jack_ringbuffer_write(self->received_, reinterpret_cast<const char*>(event.buffer), event.size);
    }
    return 0;
  }

  jack_client_t* client_ = nullptr;
  jack_port_t* out_ = nullptr;
  jack_port_t* in_ = nullptr;
  jack_ringbuffer_t* toSend_ = nullptr;
  jack_ringbuffer_t* received_ = nullptr;
  std::atomic<uint64_t> dropped_{0};
  std::atomic<uint64_t> xruns_{0};
  std::atomic<int> stallMs_{0};
  std::atomic<uint64_t> events_{0};
  std::atomic<uint64_t> eventsWithoutStatus_{0};
};

}  // namespace kalvex::test
