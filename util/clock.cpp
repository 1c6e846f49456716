#include "util/clock.h"

#include <chrono>

namespace kalvex {

namespace {
int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Never destroyed: driver threads may still read the clock while statics of
// other units go at exit.
TSteadyClock& DefaultClock() {
  static TSteadyClock* clock = new TSteadyClock;
  return *clock;
}

std::atomic<TClock*> g_clock{nullptr};
}  // namespace

TSteadyClock::TSteadyClock() : start_ns_(SteadyNs()) {}

uint32_t TSteadyClock::NowMs() const {
  return static_cast<uint32_t>((SteadyNs() - start_ns_) / 1000000);
}

void SetClock(TClock* clock) { g_clock.store(clock, std::memory_order_release); }

uint32_t TimeGetTime() {
  TClock* c = g_clock.load(std::memory_order_acquire);
  return c ? c->NowMs() : DefaultClock().NowMs();
}

}  // namespace kalvex
