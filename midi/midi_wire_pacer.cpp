#include "midi/midi_wire_pacer.h"

#include "util/clock.h"

namespace kalvex {

namespace {
constexpr uint64_t kMilli = 1000;
// One millisecond drains this many thousandths of a byte.
constexpr uint64_t kDrainPerMs = TWirePacer::kWireBytesPerSecond;

uint32_t MsFor(uint64_t milliBytes) { return static_cast<uint32_t>((milliBytes + kDrainPerMs - 1) / kDrainPerMs); }
}  // namespace

void TWirePacer::Drain() {
  const uint32_t now = TimeGetTime();
  if (!started_) {
    started_ = true;
    last_ms_ = now;
    return;
  }
  const uint64_t drained = uint64_t(uint32_t(now - last_ms_)) * kDrainPerMs;
  level_milli_ = drained >= level_milli_ ? 0 : level_milli_ - drained;
  last_ms_ = now;
}

bool TWirePacer::Fits(size_t n) {
  Drain();
  // An empty bucket takes anything (an event larger than the burst still has to go).
  return level_milli_ == 0 || level_milli_ + n * kMilli <= kBurstBytes * kMilli;
}

void TWirePacer::Wrote(size_t n) {
  Drain();
  level_milli_ += n * kMilli;
  written_ += n;
}

uint64_t TWirePacer::Drained() {
  Drain();
  const uint64_t inBucket = (level_milli_ + kMilli - 1) / kMilli;
  return written_ - inBucket;
}

uint32_t TWirePacer::MsUntilFits(size_t n) {
  if (Fits(n)) return 0;
  return MsFor(level_milli_ + n * kMilli - kBurstBytes * kMilli);
}

uint32_t TWirePacer::MsUntilDrained(uint64_t mark) {
  const uint64_t drained = Drained();
  if (mark <= drained) return 0;
  return MsFor((mark - drained) * kMilli);
}

}  // namespace kalvex
