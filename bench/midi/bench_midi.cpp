// Device layer benchmarks: SysEx throughput and short-message latency
// through the built-in loopback, and SysEx throughput through a JACK server
// of our own (jackd -n NAME --no-realtime -d dummy), all byte-exact.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "midi/midi_input.h"
#include "midi/midi_output.h"
#include "midi/midi_system.h"
#ifdef KALVEX_HAVE_JACK
#include "tests/midi/jack_peer.h"
#endif

namespace kalvex {
namespace {

using Clock = std::chrono::steady_clock;

long PeakRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}


// Messages of 1 KB to 64 KB, F0 ... F7, filling total bytes.
std::vector<std::vector<uint8_t>> MakeMessages(size_t total, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<size_t> size(1024, 64 * 1024);
  std::vector<std::vector<uint8_t>> messages;
  size_t sum = 0;
  while (sum < total) {
    const size_t n = std::min(size(rng), std::max<size_t>(total - sum, 2));
    std::vector<uint8_t> m(n);
    for (auto& b : m) b = static_cast<uint8_t>(rng() & 0x7F);
    m.front() = 0xF0;
    m.back() = 0xF7;
    sum += n;
    messages.push_back(std::move(m));
  }
  return messages;
}

// Compares arriving bytes with the stream that was sent, without keeping them.
struct TStreamCheck {
  const std::vector<std::vector<uint8_t>>* messages;
  size_t message = 0;
  size_t offset = 0;
  size_t bytes = 0;
  bool exact = true;

  void Add(const uint8_t* data, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      if (message >= messages->size() || (*messages)[message][offset] != data[i]) {
        exact = false;
        return;
      }
      ++bytes;
      if (++offset == (*messages)[message].size()) {
        ++message;
        offset = 0;
      }
    }
  }
};

void LoopbackThroughput() {
  constexpr size_t kTotal = 20 * 1024 * 1024;
  const auto messages = MakeMessages(kTotal, 1);
  TMidiOutput out;
  TMidiInput in;
  out.SetDeviceID(FindDeviceIdByName(true, "Kalvex Loopback 1"));
  in.SetDeviceID(FindDeviceIdByName(false, "Kalvex Loopback 1"));
  in.DetectMidiLoop = false;
  TStreamCheck check{&messages};
  int overflows = 0;
  in.OnOverflow = [&](TMidiInputBase&) { ++overflows; };
  in.OnDataAvailable = [&](TMidiInput& s) {
    while (auto e = s.ReadEvent())
      if (e->SysExLength > 0) check.Add(e->SysExData.get(), static_cast<size_t>(e->SysExLength));
  };
  out.Open();
  in.Open();
  in.Start();
  const auto start = Clock::now();
  size_t next = 0;
  while (check.bytes < kTotal && check.exact) {
    // Like the send engine: a few messages in flight, the window kept alive.
    if (next < messages.size() && out.PendingLongCount() < 4) {
      out.SendLong(messages[next].data(), static_cast<int>(messages[next].size()));
      ++next;
      continue;
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    if (Clock::now() - start > std::chrono::seconds(60)) break;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const double mbps = check.bytes / seconds / 1e6;
  in.Close();
  out.Close();
  std::printf("loopback_sysex_throughput: %.1f MB/s (target: >= 20 MB/s)\n", mbps);
  std::printf("loopback_sysex_bytes_lost: %zu bytes (target: 0, byte-exact: %s)\n",
              kTotal - check.bytes, check.exact ? "yes" : "NO");
  std::printf("loopback_sysex_overflows: %d (target: 0)\n", overflows);
  std::printf("loopback_sysex_peak_memory: %.1f MB (target: report; the 20 MB source data included)\n",
              PeakRssKb() / 1024.0);
}

void LoopbackLatency() {
  constexpr int kSamples = 2000;
  TMidiOutput out;
  TMidiInput in;
  out.SetDeviceID(FindDeviceIdByName(true, "Kalvex Loopback 2"));
  in.SetDeviceID(FindDeviceIdByName(false, "Kalvex Loopback 2"));
  in.DetectMidiLoop = false;
  Clock::time_point arrived;
  bool got = false;
  in.OnDataAvailable = [&](TMidiInput& s) {
    arrived = Clock::now();
    while (s.ReadEvent()) got = true;
  };
  out.Open();
  in.Open();
  in.Start();
  std::vector<double> us;
  for (int i = 0; i < kSamples; ++i) {
    got = false;
    const auto sent = Clock::now();
    out.SendShort(0x90, static_cast<uint8_t>(i & 0x7F), 0x40);
    while (!got) QCoreApplication::processEvents(QEventLoop::AllEvents);
    us.push_back(std::chrono::duration<double, std::micro>(arrived - sent).count());
  }
  std::sort(us.begin(), us.end());
  std::printf("loopback_short_latency_median: %.3f ms (target: < 1 ms)\n", us[us.size() / 2] / 1000);
  std::printf("loopback_short_latency_p99: %.3f ms (target: < 1 ms)\n", us[us.size() * 99 / 100] / 1000);
}

#ifdef KALVEX_HAVE_JACK
qint64 g_jackdPid = 0;

// Runs at exit after the device layer let go of the server (it was set up
// before the layer's first use), so that the server leaves nothing behind.
void StopJackd() {
  if (g_jackdPid <= 0) return;
  kill(static_cast<pid_t>(g_jackdPid), SIGTERM);
  for (int i = 0; i < 50 && kill(static_cast<pid_t>(g_jackdPid), 0) == 0; ++i) QThread::msleep(100);
}

void JackThroughput() {
  const std::string server = "kalvex_bench_" + std::to_string(QCoreApplication::applicationPid());
  if (!QProcess::startDetached("jackd", {"-n", QString::fromStdString(server), "--no-realtime", "-t", "10000", "-d",
                                         "dummy", "-r", "48000", "-p", "256"},
                               QString(), &g_jackdPid)) {
    std::printf("jack_sysex_throughput: skipped (jackd cannot start) (target: >= 1 MB/s)\n");
    return;
  }
  setenv("JACK_DEFAULT_SERVER", server.c_str(), 1);
  QProcess wait;
  wait.start("jack_wait", {"-w", "-t", "10"});
  wait.waitForFinished(12000);
  test::TJackPeer peer;
  if (!peer.Open("kalvex-bench-peer")) {
    std::printf("jack_sysex_throughput: skipped (no JACK server) (target: >= 1 MB/s)\n");
    return;
  }
  // The device list is read once the server runs (the backend connects on first use).
  int id = -1;
  QElapsedTimer timer;
  timer.start();
  while ((id = FindDeviceIdByName(true, peer.InName())) < 0 && timer.elapsed() < 10000) QThread::msleep(100);
  constexpr size_t kTotal = 8 * 1024 * 1024;
  const auto messages = MakeMessages(kTotal, 2);
  TStreamCheck check{&messages};
  TMidiOutput out;
  out.SetDeviceID(id);
  out.Open();
  const auto start = Clock::now();
  size_t next = 0;
  std::vector<uint8_t> received;
  while (check.bytes < kTotal && check.exact) {
    if (next < messages.size() && out.PendingLongCount() < 4) {
      out.SendLong(messages[next].data(), static_cast<int>(messages[next].size()));
      ++next;
      continue;
    }
    received.clear();
    if (peer.Collect(received) > 0) check.Add(received.data(), received.size());
    else QThread::usleep(200);
    if (Clock::now() - start > std::chrono::seconds(60)) break;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  out.Close();
  std::printf("jack_sysex_throughput: %.2f MB/s (target: >= 1 MB/s, byte-exact: %s, %zu of %zu bytes)\n",
              check.bytes / seconds / 1e6, check.exact ? "yes" : "NO", check.bytes, kTotal);

  // The other way: a second client sends, our input reads on the window thread.
  TMidiInput in;
  in.SetDeviceID(FindDeviceIdByName(false, peer.OutName()));
  TStreamCheck inCheck{&messages};
  int overflows = 0;
  in.OnOverflow = [&](TMidiInputBase&) { ++overflows; };
  in.OnDataAvailable = [&](TMidiInput& s) {
    while (auto e = s.ReadEvent())
      if (e->SysExLength > 0) inCheck.Add(e->SysExData.get(), static_cast<size_t>(e->SysExLength));
  };
  in.Open();
  in.Start();
  const auto inStart = Clock::now();
  next = 0;
  size_t queued = 0;
  while (inCheck.bytes < kTotal && inCheck.exact) {
    // JACK events must fit a port buffer: messages go in 16 KiB pieces.
    constexpr size_t kPiece = 16 * 1024;
    while (next < messages.size() && queued < inCheck.bytes + 256 * 1024) {
      const auto& m = messages[next++];
      for (size_t at = 0; at < m.size(); at += kPiece) {
        const size_t n = std::min(kPiece, m.size() - at);
        while (!peer.Send(std::vector<uint8_t>(m.begin() + at, m.begin() + at + n))) QThread::usleep(200);
        queued += n;
      }
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    if (Clock::now() - inStart > std::chrono::seconds(60)) break;
  }
  const double inSeconds = std::chrono::duration<double>(Clock::now() - inStart).count();
  in.Close();
  std::printf("jack_sysex_input_throughput: %.2f MB/s (target: >= 1 MB/s, byte-exact: %s, %zu of %zu bytes, %d overflows)\n",
              inCheck.bytes / inSeconds / 1e6, inCheck.exact ? "yes" : "NO", inCheck.bytes, kTotal, overflows);
  peer.CloseClient();
}
#endif

}  // namespace
}  // namespace kalvex

int main(int argc, char** argv) {
#ifdef KALVEX_HAVE_JACK
  std::atexit(kalvex::StopJackd);
#endif
  QCoreApplication app(argc, argv);
  kalvex::LoopbackThroughput();
  kalvex::LoopbackLatency();
#ifdef KALVEX_HAVE_JACK
  kalvex::JackThroughput();
#endif
  return 0;
}
