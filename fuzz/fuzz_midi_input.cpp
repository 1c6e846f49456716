// Feeds the input state machine random byte streams cut into random pieces,
// with few or plenty of SysEx buffers: it must never crash, never keep a
// buffer, deliver SysEx exactly as sent while buffers are plenty, and account
// for every data byte as delivered or reported lost.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "midi/midi_in_port_base.h"
#include "workbench/hex_text.h"

namespace {

using namespace kalvex;

struct TRun {
  bool plenty = true;
  std::set<TMidiHdr*> queued;  // with the port now
  size_t shortData = 0, sysexData = 0, lost = 0;
  std::vector<uint8_t> sysex;
  TMidiInPortBase* port = nullptr;

  static void Callback(TMidiPort*, uint32_t msg, uintptr_t instance, uintptr_t p1, uintptr_t) {
    auto* run = reinterpret_cast<TRun*>(instance);
    switch (msg) {
      case MIM_DATA: {
        const uint8_t status = static_cast<uint8_t>(p1);
        const int length = MessageLength(status);
        if (status < 0x80) __builtin_trap();  // every message has its status
        if (length > 1) run->shortData += static_cast<size_t>(length - 1);
        break;
      }
      case MIM_LONGDATA:
      case MIM_LONGERROR: {
        auto* hdr = reinterpret_cast<TMidiHdr*>(p1);
        if (run->queued.erase(hdr) != 1) __builtin_trap();  // came back twice, or was never ours
        for (uint32_t i = 0; i < hdr->BytesRecorded; ++i) {
          if (hdr->Data[i] < 0x80) ++run->sysexData;
          run->sysex.push_back(hdr->Data[i]);
        }
        hdr->BytesRecorded = 0;
        if (run->plenty && run->port) {
          hdr->Flags &= ~kMhdrDone;
          if (run->port->AddBuffer(hdr) == kMidiNoError) run->queued.insert(hdr);
        } else {
          run->spare.push_back(hdr);
        }
        break;
      }
      case MIM_LOSTDATA: run->lost += p1; break;
      default: break;
    }
  }
  std::vector<TMidiHdr*> spare;
};

// What the SysEx buffers must hold: every F0 up to its F7 or the status byte
// that cuts it short, real-time bytes left out.
std::vector<uint8_t> ExpectedSysEx(const std::vector<uint8_t>& stream) {
  std::vector<uint8_t> out;
  bool in = false;
  for (uint8_t b : stream) {
    if (b >= 0xF8) continue;
    if (b == 0xF0) {
      in = true;
      out.push_back(b);
    } else if (in && b < 0x80) {
      out.push_back(b);
    } else if (in && b == 0xF7) {
      out.push_back(b);
      in = false;
    } else if (b >= 0x80) {
      in = false;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  TRun run;
  run.plenty = data[0] & 1;
  const int buffers = 1 + ((data[0] >> 1) & 3);
  const uint32_t bufferSize = 1 + data[1];
  std::vector<std::unique_ptr<uint8_t[]>> memory;
  std::vector<TMidiHdr> headers(static_cast<size_t>(buffers));
  TMidiInPortBase port(&TRun::Callback, reinterpret_cast<uintptr_t>(&run));
  run.port = &port;
  for (auto& h : headers) {
    memory.push_back(std::make_unique<uint8_t[]>(bufferSize));
    h.Data = memory.back().get();
    h.BufferLength = bufferSize;
    port.PrepareHeader(&h);
    if (port.AddBuffer(&h) == kMidiNoError) run.queued.insert(&h);
  }
  port.Start();
  // The rest: pieces of 1 to 64 bytes, each led by its length byte.
  std::vector<uint8_t> stream;
  for (size_t at = 2; at < size;) {
    const size_t n = std::min<size_t>(1 + data[at] % 64, size - at - 1);
    ++at;
    if (n == 0) break;
    port.Deliver(data + at, n);
    stream.insert(stream.end(), data + at, data + at + n);
    at += n;
  }
  // A status byte at the end settles a message left incomplete (reported
  // lost) and a SysEx left open (cut short), so every byte is counted.
  const uint8_t tuneRequest = 0xF6;
  port.Deliver(&tuneRequest, 1);
  stream.push_back(tuneRequest);
  run.port = nullptr;  // buffers coming back now stay out
  port.Reset();       // every queued buffer comes back
  if (!run.queued.empty()) __builtin_trap();
  port.Close();
  size_t streamData = 0;
  for (uint8_t b : stream) streamData += b < 0x80;
  const size_t delivered = run.shortData + run.sysexData;
  if (delivered > streamData || streamData > delivered + run.lost) __builtin_trap();
  if (run.plenty && run.lost == 0 && run.sysex != ExpectedSysEx(stream)) __builtin_trap();
  return 0;
}
