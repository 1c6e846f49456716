#pragma once
// Output to a hardware port must not outrun the MIDI wire: the kernel (or a
// bridge) copies each event into the device's buffer and drops what does not
// fit, while the send still succeeds. The pacer models that buffer as a leaky
// bucket: at most kBurstBytes in it, draining at the wire rate. A byte may go
// when it fits; it has left when the bucket drained past it.

#include <cstddef>
#include <cstdint>

namespace kalvex {

class TWirePacer {
public:
  static constexpr size_t kBurstBytes = 4096;         // the kernel's raw MIDI buffer
  static constexpr uint32_t kWireBytesPerSecond = 3125;  // 31250 baud, 10 bits a byte

  // Whether n more bytes fit now.
  bool Fits(size_t n);
  void Wrote(size_t n);
  // Bytes written so far, and how many of them have left the bucket.
  uint64_t Written() const { return written_; }
  uint64_t Drained();
  // Milliseconds until n bytes fit, and until the byte at `mark` has left.
  uint32_t MsUntilFits(size_t n);
  uint32_t MsUntilDrained(uint64_t mark);

private:
  void Drain();
  // Bytes in the bucket in thousandths, so that millisecond steps add up.
  uint64_t level_milli_ = 0;
  uint64_t written_ = 0;
  uint32_t last_ms_ = 0;
  bool started_ = false;
};

}  // namespace kalvex
