// Device layer benchmarks: SysEx throughput and short-message latency
// through the built-in loopback, SysEx throughput through a JACK server of
// our own (jackd -n NAME --no-realtime -d dummy), all byte-exact, and
// one-shot `kalvex --send` runs counted at a peer, on jackd and PipeWire.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
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

// Runs once the JACK figures are taken, and at exit should a figure end
// early, so that the server leaves nothing behind.
void StopJackd() {
  if (g_jackdPid <= 0) return;
  kill(static_cast<pid_t>(g_jackdPid), SIGTERM);
  for (int i = 0; i < 50 && kill(static_cast<pid_t>(g_jackdPid), 0) == 0; ++i) QThread::msleep(100);
  g_jackdPid = 0;
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
  std::printf("jack_sysex_throughput: %.2f MB/s (target: >= 5.96 MB/s as with 1 KiB events, byte-exact: %s, %zu of %zu bytes)\n",
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
  std::printf("jack_sysex_input_throughput: %.2f MB/s (target: >= 4.10 MB/s, byte-exact: %s, %zu of %zu bytes, %d overflows)\n",
              inCheck.bytes / inSeconds / 1e6, inCheck.exact ? "yes" : "NO", inCheck.bytes, kTotal, overflows);
  peer.CloseClient();
}

// One-shot `kalvex --send` runs, each a process of its own with one distinct
// message, to jack_recorder (a peer of ours in another process): how many
// arrive exactly once, and the wall time of a run. wrapper is empty for the
// server in JACK_DEFAULT_SERVER, or "pw-jack" with XDG_RUNTIME_DIR set.
void OneShotSends(const char* server, const QString& wrapper) {
  constexpr int kRuns = 20;
  const char* build = std::getenv("KALVEX_BUILD_DIR");
  if (!build) {
    std::printf("jack_oneshot_exactly_once_%s: skipped (KALVEX_BUILD_DIR not set) (target: 100 %%)\n", server);
    return;
  }
  const QString dir = QString::fromLocal8Bit(build);
  auto command = [&](const QString& program, QStringList args) {
    if (wrapper.isEmpty()) return std::make_pair(program, args);
    args.prepend(program);
    return std::make_pair(wrapper, args);
  };
  QProcess recorder;
  const auto [rp, ra] = command(dir + "/tests/midi/jack_recorder", {"kalvex-bench-recorder"});
  recorder.start(rp, ra);
  if (!recorder.waitForReadyRead(10000) || recorder.readLine().trimmed() != "ready") {
    std::printf("jack_oneshot_exactly_once_%s: skipped (jack_recorder did not start) (target: 100 %%)\n", server);
    return;
  }
  const QString file = QDir::temp().filePath(QString("kalvex_bench_oneshot_%1.txt").arg(QCoreApplication::applicationPid()));
  std::vector<double> ms;
  int exitedZero = 0;
  for (int i = 0; i < kRuns; ++i) {
    QFile f(file);
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    f.write(QString("F0 7D %1 %2 F7\n").arg(i >> 7, 2, 16, QChar('0')).arg(i & 0x7F, 2, 16, QChar('0')).toLatin1());
    f.close();
    const auto [sp, sa] = command(dir + "/kalvex", {"--send", file, "--out", "kalvex-bench-recorder:in", "--speed", "1000"});
    QProcess send;
    const auto t0 = Clock::now();
    send.start(sp, sa);
    send.waitForFinished(30000);
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    if (send.exitStatus() == QProcess::NormalExit && send.exitCode() == 0) ++exitedZero;
  }
  QFile::remove(file);
  recorder.closeWriteChannel();
  recorder.waitForFinished(10000);
  std::vector<int> seen(kRuns, 0);
  int stray = 0;
  for (const QByteArray& line : recorder.readAllStandardOutput().split('\n')) {
    if (!line.startsWith("bytes")) continue;
    const QList<QByteArray> w = line.split(' ');
    // Each message is F0 7D hi lo F7.
    for (qsizetype k = 1; k + 4 < w.size(); k += 5) {
      const int i = w[k + 2].toInt(nullptr, 16) * 128 + w[k + 3].toInt(nullptr, 16);
      if (w[k] == "F0" && w[k + 1] == "7D" && w[k + 4] == "F7" && i < kRuns) ++seen[static_cast<size_t>(i)];
      else ++stray;
    }
  }
  const int once = static_cast<int>(std::count(seen.begin(), seen.end(), 1));
  std::sort(ms.begin(), ms.end());
  std::printf("jack_oneshot_exactly_once_%s: %.0f %% (%d of %d runs; %d exited 0; %d stray) (target: 100 %%)\n", server,
              100.0 * once / kRuns, once, kRuns, exitedZero, stray);
  std::printf("jack_oneshot_wall_time_%s: %.0f ms per run, median (target: report; a process start, a JACK client and "
              "its port, one message)\n", server, ms[ms.size() / 2]);
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
  kalvex::OneShotSends("jackd", QString());
  kalvex::StopJackd();
  // The same on PipeWire's JACK, with a daemon of our own (as the tests start it).
  const QString runtime = QDir::temp().filePath(QString("kalvex_bench_pw_%1").arg(QCoreApplication::applicationPid()));
  const QString pidFile = runtime + ".pid";
  if (QProcess::execute("bash", {"tests/midi/pipewire_start.sh", runtime, pidFile}) == 0 && QFile::exists(pidFile)) {
    qputenv("XDG_RUNTIME_DIR", runtime.toLocal8Bit());
    kalvex::OneShotSends("pipewire", "pw-jack");
    QProcess::execute("bash", {"tests/midi/pipewire_stop.sh", pidFile});
    QDir(runtime).removeRecursively();
  } else {
    std::printf("jack_oneshot_exactly_once_pipewire: skipped (no PipeWire daemon) (target: 100 %%)\n");
  }
#endif
  return 0;
}
