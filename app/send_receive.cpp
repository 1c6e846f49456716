#include "app/send_receive.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <unistd.h>

#include <memory>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <ostream>

#include "editor/core/bm_strings.h"
#include "midi/midi_input.h"
#include "midi/midi_output.h"
#include "midi/midi_system.h"
#include "util/ascii.h"
#include "util/clock.h"
#include "workbench/file_io.h"
#include "workbench/receive_path.h"
#include "workbench/send_engine.h"
#include "workbench/sysex_info.h"

namespace kalvex {

namespace {

constexpr int kDefaultQuietMs = 2000;
constexpr int kDefaultTimeoutMs = 10000;
constexpr int kIdentifyTimeoutMs = 1000;  // how long --identify listens for replies
constexpr int kDefaultFilePauseMs = 500;  // between the files of several --send
constexpr int kPollMs = 5;

// Log lines to standard error as the log panes show them; progress only to
// a terminal, on one line.
class TErrLog : public TLogSink {
public:
  explicit TErrLog(std::ostream& err) : err_(err), tty_(::isatty(2)) {}
  void LogLine(const std::string& text, bool, bool, TLogKind kind) override {
    if (kind == lkStatusOnly) {
      if (tty_ && !text.empty()) err_ << '\r' << text << "\x1b[K" << std::flush;
      return;
    }
    if (text.empty()) return;
    if (tty_) err_ << "\r\x1b[K";
    err_ << LogText(text, kind) << '\n';
    if (kind == lkError || kind == lkErrorDialog) ++errors;
  }
  int errors = 0;

private:
  std::ostream& err_;
  bool tty_;
};

std::string Fold(const std::string& s) {
  std::string out;
  for (char c : s)
    if (c != ' ') out += FoldAscii(c);
  return out;
}

// The device, counting what it is handed and holding back ahead of a slow port.
class TOutputTarget : public TMidiOutTarget {
public:
  static constexpr int64_t kMaxBytesInFlight = 256 * 1024;
  using TMidiOutTarget::TMidiOutTarget;
  void SendShort(uint8_t s, uint8_t d1, uint8_t d2) override {
    TMidiOutTarget::SendShort(s, d1, d2);
    ++messages;
  }
  void SendLong(const uint8_t* data, int length) override {
    ++messages;
    // Hold back while many bytes are in flight, so a big file does not pile
    // up in memory ahead of a slow port; more than the largest message a
    // port gathers from its pieces (64 KiB), or that message would never end.
    // Input keeps being taken meanwhile: on a cable it is what frees the output.
    while (out_.PendingLongBytes() > kMaxBytesInFlight && !out_.DriverClosed()) {
      QCoreApplication::processEvents();
      QThread::msleep(1);
    }
    TMidiOutTarget::SendLong(data, length);
  }

  int64_t messages = 0;  // short messages and pieces handed to the port
};

class TNoView : public TReceiveView {
public:
  void ScrollInToEndLater() override {}
  void ScrollInToEnd() override {}
  void ShowBulkPanel(const std::string&, const std::string&) override {}
  void HideBulkPanel() override {}
  bool BulkPanelVisible() const override { return false; }
  void SetBulkTimer(bool) override {}
};

template <class TDevice>
std::vector<std::string> Names() {
  std::vector<std::unique_ptr<TDevice>> list;
  if constexpr (std::is_same_v<TDevice, TMidiOutput>)
    TMidiOutput::EnumerateDevices(list, false);
  else
    TMidiInput::EnumerateDevices(list);
  std::vector<std::string> names;
  for (auto& d : list) names.push_back(d->DisplayName());
  return names;
}

}  // namespace

std::string MatchDeviceName(const std::vector<std::string>& names, const std::string& wanted) {
  for (const auto& n : names)
    if (SameDeviceName(n, wanted)) return n;
  const std::string prefix = Fold(wanted);
  std::string found;
  for (const auto& n : names) {
    if (prefix.empty() || Fold(n).rfind(prefix, 0) != 0) continue;
    if (!found.empty()) return {};  // more than one
    found = n;
  }
  return found;
}

int RunSendReceive(const std::vector<std::string>& args, int argc, char** argv, std::ostream& out, std::ostream& err) {
  std::string outName, receiveFile, inName;
  std::vector<std::string> sendFiles, hexLines;
  int speed = kDefaultSendSpeed, pause = 0, quietMs = kDefaultQuietMs, timeoutMs = -1;
  int filePause = kDefaultFilePauseMs;
  bool identify = false, monitor = false, describe = false, timestamps = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--identify" || a == "--monitor" || a == "--describe" || a == "--timestamps") {
      (a == "--identify" ? identify : a == "--monitor" ? monitor : a == "--describe" ? describe : timestamps) = true;
      continue;
    }
    const bool hasValue = i + 1 < args.size();
    const std::string value = hasValue ? args[i + 1] : std::string();
    bool ok = hasValue;
    if (a == "--send") sendFiles.push_back(value);
    else if (a == "--hex") hexLines.push_back(value);
    else if (a == "--out") outName = value;
    else if (a == "--receive") receiveFile = value;
    else if (a == "--in") inName = value;
    else if (a == "--speed") ok = ok && ParseInt32(value, speed) && speed >= -1000 && speed <= 1000;
    else if (a == "--pause") ok = ok && ParseInt32(value, pause) && pause >= 0;
    else if (a == "--file-pause") ok = ok && ParseInt32(value, filePause) && filePause >= 0;
    else if (a == "--quiet-ms") ok = ok && ParseInt32(value, quietMs) && quietMs > 0;
    else if (a == "--timeout-ms") ok = ok && ParseInt32(value, timeoutMs) && timeoutMs > 0;
    else {
      err << "Error: unknown option " << a << "\n";
      return 2;
    }
    if (!ok) {
      err << "Error: " << a << " needs a " << (a == "--speed" ? "speed of -1000 to 1000" : "value") << "\n";
      return 2;
    }
    ++i;
  }
  const bool sending = !sendFiles.empty() || !hexLines.empty();
  if ((sending && outName.empty()) || (!receiveFile.empty() && inName.empty()) ||
      (identify && (outName.empty() || inName.empty())) || (monitor && inName.empty())) {
    err << "Error: --send and --hex need --out NAME, --receive and --monitor need --in NAME, --identify both\n";
    return 2;
  }
  if (timeoutMs < 0) timeoutMs = identify ? kIdentifyTimeoutMs : kDefaultTimeoutMs;
  const std::string sendFile = sendFiles.empty() ? std::string() : sendFiles.front();
  QCoreApplication app(argc, argv);  // the input's wake-ups go through the event loop
  MidiDeviceNotifier();
  TErrLog log(err);
  QObject::connect(&MidiDeviceNotifier(), &TMidiDeviceNotifier::ServerLate, [&](bool output, bool input) {
    log.LogLine(kServerLateText, output && !input, false, lkNormal);
  });
  auto findPort = [&](bool output, const std::string& wanted) {
    const std::vector<std::string> names = output ? Names<TMidiOutput>() : Names<TMidiInput>();
    const std::string name = MatchDeviceName(names, wanted);
    if (name.empty()) {
      err << "Error: no MIDI " << (output ? "Out" : "In") << " port matches \"" << wanted << "\". The ports are:\n";
      for (const auto& n : names) err << "  " << n << "\n";
    }
    return name;
  };

  // The input opens first, so that the answer to a dump request is caught.
  TMidiInput in;
  TBMStrings received;
  TReceiveOptions receiveOptions;
  receiveOptions.DetectBulkDumps = false;
  receiveOptions.DescribeMessages = describe;
  TNoView view;
  TReceivePath path(received, log, view, receiveOptions, nullptr);
  uint32_t lastArrival = 0;
  bool anything = false, lost = false, sendFailed = false;
  int replies = 0;
  if (identify) {
    // Each identity reply is printed as it comes, decoded.
    path.OnSysEx = [&](const uint8_t* data, int length) {
      const std::span<const uint8_t> message(data, static_cast<size_t>(length));
      TIdentityReply reply;
      if (!DecodeIdentityReply(message, reply)) return;
      ++replies;
      const uint8_t* at = data;
      size_t left = static_cast<size_t>(length);
      out << FormatHexLine(at, left, 0) << " ; " << DescribeMessage(message) << "\n" << std::flush;
    };
    hexLines.insert(hexLines.begin(), "F0 7E 7F 06 01 F7");
  }
  // Takes what the input holds; anything that came counts as an arrival.
  auto drain = [&](TMidiInput& s) {
    bool got = false;
    path.Drain([&] {
      auto event = s.ReadEvent();
      got = got || event != nullptr;
      return event;
    });
    if (!got) return;
    anything = true;
    lastArrival = TimeGetTime();
  };
  const bool receiving = !receiveFile.empty() || identify || monitor;
  if (receiving) {
    const std::string name = findPort(false, inName);
    if (name.empty()) return 1;
    in.DetectMidiLoop = false;
    in.RecordCapacity = TReceivePath::kInputRecords;
    // As the window by default: a sequencer's clock would never let the
    // input fall quiet, and neither belongs in a dump.
    in.SetTimingClock(false);
    in.SetActiveSensing(false);
    in.OnOverflow = [&](TMidiInputBase&) {
      path.ReportOverflow();
      lost = true;
    };
    in.OnMalformed = [&](TMidiInputBase&) { path.ReportMalformed(); };
    in.SetDeviceID(FindDeviceIdByName(false, name));
    in.OnDataAvailable = [&](TMidiInput& s) { drain(s); };
    try {
      in.Open();
      in.Start();
    } catch (const std::exception& e) {
      log.LogLine(e.what(), false, false, lkError);
      return 1;
    }
  }

  if (sending || identify) {
    const std::string name = findPort(true, outName);
    if (name.empty()) return 1;
    THexParser parser(log);
    TFileContext ctx{log, parser, -1, {}};
    TBMStrings box;
    const int errorsBefore = log.errors;
    // Several files go one after the other, a wait line between them; "-"
    // is standard input, lines of text.
    for (size_t f = 0; f < sendFiles.size(); ++f) {
      if (f > 0 && filePause > 0) box.Add("; wait " + std::to_string(filePause));
      TBMStrings one;
      if (sendFiles[f] == "-") {
        const std::string text((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
        one.SetText(text);
      } else if (!LoadFile(sendFiles[f], one, ctx)) {
        return 1;
      }
      for (int i = 0; i < one.Count(); ++i) box.Add(one.Get(i));
    }
    for (const std::string& line : hexLines) box.Add(line);  // after the files, in their order
    TMidiOutput out;
    out.DetectMidiLoop = false;
    out.SetDeviceID(FindDeviceIdByName(true, name));
    try {
      out.Open();
    } catch (const std::exception& e) {
      log.LogLine(e.what(), true, false, lkError);
      return 1;
    }
    TSendSettings settings;
    settings.SendSpeed = speed;
    settings.MessagePauseMs = pause;
    TOutputTarget target(out);
    TSendEngine engine(log, parser, target, settings,
                       TSendHooks{[] { QCoreApplication::processEvents(); },
                                  [](int ms) { QThread::msleep(static_cast<unsigned long>(ms)); }, {}});
    // The engine's last line says "Sent" once the port has every message out,
    // or that the port went away.
    engine.Send(box, nullptr, 0);
    if (!target.PortOpen()) return 1;
    if (target.messages == 0) {
      log.LogLine((sendFile.empty() ? std::string("--hex") : sendFile) + " holds no MIDI message: nothing was sent.",
                  true, false, lkError);
      return 1;
    }
    if (log.errors > errorsBefore) sendFailed = true;  // a line that did not parse was left out
  }

  if (monitor) {
    // Every arriving message as a line of text, until the port goes away or
    // the user stops it (Ctrl+C).
    const uint32_t start = TimeGetTime();
    for (;;) {
      QCoreApplication::processEvents();
      if (in.IsOpen()) drain(in);
      for (int i = 0; i < received.Count(); ++i) {
        if (timestamps) {
          char at[24];
          std::snprintf(at, sizeof at, "%10.3f ", (TimeGetTime() - start) / 1000.0);
          out << at;
        }
        out << received.Get(i) << "\n";
      }
      if (received.Count() > 0) out.flush();
      received.Clear();
      in.CloseIfDisconnected();
      if (!in.IsOpen()) {
        log.LogLine("The MIDI In port went away.", false, false, lkError);
        return 1;
      }
      QThread::msleep(kPollMs);
    }
  }

  if (identify) {
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < timeoutMs && in.IsOpen()) {
      QCoreApplication::processEvents();
      drain(in);
      QThread::msleep(kPollMs);
    }
    in.Close();
    if (replies == 0) {
      log.LogLine("No device answered the identity request within " + std::to_string(timeoutMs) + " ms.", false, false,
                  lkError);
      return 1;
    }
    return sendFailed ? 1 : 0;
  }

  if (!receiveFile.empty()) {
    QElapsedTimer waited;
    waited.start();
    for (;;) {
      QCoreApplication::processEvents();
      if (in.IsOpen()) drain(in);  // also what came just before a close
      in.CloseIfDisconnected();
      if (!in.IsOpen()) {
        log.LogLine("The MIDI In port went away.", false, false, lkError);
        // What arrived is kept, but it may not be all.
        if (anything) {
          THexParser parser(log);
          TFileContext ctx{log, parser, -1, {}};
          SaveBox(received, receiveFile, false, ctx);
        }
        return 1;
      }
      if (anything && TimeGetTime() - lastArrival >= static_cast<uint32_t>(quietMs)) break;
      if (!anything && waited.elapsed() >= timeoutMs) {
        log.LogLine("Nothing arrived within " + std::to_string(timeoutMs) + " ms; nothing was written.", false,
                    false, lkError);
        return 1;
      }
      QThread::msleep(kPollMs);
    }
    in.Close();
    if (receiveFile == "-") {  // the lines on standard output
      for (int i = 0; i < received.Count(); ++i) out << received.Get(i) << "\n";
      out.flush();
      return lost || sendFailed ? 1 : 0;
    }
    THexParser parser(log);
    TFileContext ctx{log, parser, -1, {}};
    if (!SaveBox(received, receiveFile, false, ctx)) return 1;
    if (lost) return 1;  // saved what came, but it is not all
  }
  return sendFailed ? 1 : 0;
}

}  // namespace kalvex
