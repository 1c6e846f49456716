// From process start to the main window shown and painted, with 5 loopback
// cables and a JACK server of our own with 20 ports of another client, the
// program started as a whole process (peer: the same with no JACK server).
#include <QCoreApplication>
#include <QProcess>
#include <QThread>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <vector>

#ifdef KALVEX_HAVE_JACK
#include <jack/jack.h>
#endif

namespace {

long StartupMs(const QString& kalvex, const QString& server) {
  std::vector<long> runs;
  for (int i = 0; i < 7; ++i) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("KALVEX_REPORT_STARTUP", "5");  // with 5 loopback cables
    env.insert("JACK_DEFAULT_SERVER", server);
    env.insert("JACK_NO_START_SERVER", "1");
    env.insert("XDG_CONFIG_HOME", "/tmp/kalvex-bench-startup-config");
    p.setProcessEnvironment(env);
    p.start(kalvex, {});
    p.waitForFinished(10000);
    const QByteArray out = p.readAllStandardOutput();
    const int at = out.indexOf("startup_ms ");
    if (at >= 0) runs.push_back(out.mid(at + 11).trimmed().toLong());
  }
  if (runs.empty()) return -1;
  std::sort(runs.begin(), runs.end());
  return runs[runs.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const char* buildDir = std::getenv("KALVEX_BUILD_DIR");
  const QString kalvex = QString(buildDir ? buildDir : "build") + "/kalvex";
  const long bare = StartupMs(kalvex, "kalvex_no_server");
  long withJack = -1;
#ifdef KALVEX_HAVE_JACK
  const QString server = QString("kalvex_bench_startup_%1").arg(QCoreApplication::applicationPid());
  QProcess jackd;
  jackd.setStandardOutputFile(QProcess::nullDevice());
  jackd.setStandardErrorFile(QProcess::nullDevice());
  jackd.start("jackd", {"-n", server, "--no-realtime", "-t", "10000", "-d", "dummy", "-p", "256"});
  if (jackd.waitForStarted(5000)) {
    QProcess wait;
    wait.start("jack_wait", {"-s", server, "-w", "-t", "10"});
    wait.waitForFinished(12000);
    setenv("JACK_DEFAULT_SERVER", server.toUtf8().constData(), 1);
    jack_status_t status{};
    jack_client_t* client = jack_client_open("kalvex-bench-synths", JackNoStartServer, &status);
    if (client) {
      for (int i = 0; i < 20; ++i)
        jack_port_register(client, ("port_" + std::to_string(i)).c_str(), JACK_DEFAULT_MIDI_TYPE,
                           i % 2 ? JackPortIsInput : JackPortIsOutput, 0);
      jack_activate(client);
      withJack = StartupMs(kalvex, server);
      jack_deactivate(client);
      jack_client_close(client);
    }
    jackd.terminate();
    if (!jackd.waitForFinished(5000)) jackd.kill();
  }
#endif
  if (withJack >= 0)
    std::printf("window_startup_5_cables_jack_20_ports: %ld ms (target: <= 300 ms)\n", withJack);
  else
    std::printf("window_startup_5_cables_jack_20_ports: skipped (jackd cannot start) (target: <= 300 ms)\n");
  std::printf("window_startup_5_cables_without_jack: %ld ms (target: peer)\n", bare);
  return 0;
}
