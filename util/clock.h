#pragma once
#include <atomic>
#include <cstdint>

namespace kalvex {

// The program's millisecond clock. Every time stamp and interval goes through
// TimeGetTime(), so tests can install a clock of their own and drive time.
class TClock {
public:
  virtual ~TClock() = default;
  virtual uint32_t NowMs() const = 0;
};

// Monotonic milliseconds since the clock was created; wraps after ~49 days
// like any 32-bit millisecond counter.
class TSteadyClock final : public TClock {
public:
  TSteadyClock();
  uint32_t NowMs() const override;

private:
  int64_t start_ns_;
};

// A clock that only moves when told to; for tests.
class TManualClock final : public TClock {
public:
  explicit TManualClock(uint32_t start = 0) : now_(start) {}
  uint32_t NowMs() const override { return now_.load(std::memory_order_relaxed); }
  void Set(uint32_t ms) { now_.store(ms, std::memory_order_relaxed); }
  void Advance(uint32_t ms) { now_.fetch_add(ms, std::memory_order_relaxed); }

private:
  std::atomic<uint32_t> now_;
};

// Installs a clock for the whole process (nullptr restores the steady clock).
// The caller keeps ownership and must keep it alive while installed.
void SetClock(TClock* clock);
uint32_t TimeGetTime();

// RAII helper for tests.
class TScopedClock {
public:
  explicit TScopedClock(TClock& clock) { SetClock(&clock); }
  ~TScopedClock() { SetClock(nullptr); }
  TScopedClock(const TScopedClock&) = delete;
  TScopedClock& operator=(const TScopedClock&) = delete;
};

}  // namespace kalvex
