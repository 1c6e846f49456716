#include "app/command_line.h"

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "editor/core/bm_strings.h"
#include "app/send_receive.h"
#include "util/ascii.h"
#include "midi/list_devices.h"
#include "workbench/file_io.h"
#include "workbench/hex_text.h"
#include "workbench/sysex_info.h"
#include "util/paths.h"

namespace kalvex {

namespace {

constexpr const char* kHelp =
    "Usage: kalvex [FILE] [/send]\n"
    "       kalvex --convert INPUT OUTPUT [--split N]\n"
    "       kalvex --send FILE --out NAME [--speed S] [--pause MS]\n"
    "              [--receive FILE --in NAME [--quiet-ms N] [--timeout-ms T]]\n"
    "       kalvex --receive FILE --in NAME [--quiet-ms N] [--timeout-ms T]\n"
    "       kalvex --hex \"F0 7E 7F 06 01 F7\" [--hex ...] --out NAME [...]\n"
    "       kalvex --identify --out NAME --in NAME\n"
    "       kalvex --monitor --in NAME [--describe] [--timestamps]\n"
    "       kalvex --check FILE\n"
    "       kalvex --fix-checksums FILE OUT\n"
    "       kalvex --list-devices\n"
    "       kalvex --version\n"
    "       kalvex --help\n"
    "\n"
    "Sends and receives MIDI System Exclusive messages as hexadecimal text.\n"
    "\n"
    "Options:\n"
    "  FILE                 load a .syx, .txt or .mid file into the MIDI Out box\n"
    "  /send, -send         send the MIDI Out box after loading\n"
    "  --convert IN OUT     load IN as the MIDI Out box would and save it as OUT\n"
    "                       (.syx: raw bytes, .txt: text lines; - writes the lines\n"
    "                       to standard output)\n"
    "  --split N            with --convert: split long messages into lines of at\n"
    "                       most N bytes (off by default)\n"
    "  --send FILE          load FILE as the MIDI Out box would and send it to the\n"
    "                       MIDI Out port --out NAME (blanks and letter case do not\n"
    "                       matter; the start of a name is enough); --speed -1000\n"
    "                       to 1000 as in the settings (default -500; 1000: no\n"
    "                       pacing); --pause MS after each SysEx message\n"
    "  --receive FILE       record what arrives at the MIDI In port --in NAME into\n"
    "                       FILE (.syx or .txt) until it has been quiet for\n"
    "                       --quiet-ms (default 2000) after the first message;\n"
    "                       nothing within --timeout-ms (default 10000) fails.\n"
    "                       With --send too, the input opens before the send, so\n"
    "                       the answer to a dump request is caught\n"
    "                       (several --send FILE go in order, --file-pause MS\n"
    "                       between them, default 500; - reads the lines from\n"
    "                       standard input; --receive - writes them to standard\n"
    "                       output)\n"
    "  --identify           send the identity request to --out NAME and print\n"
    "                       each reply at --in NAME decoded (1 s, --timeout-ms);\n"
    "                       exit 1 when none came\n"
    "  --monitor            print every message that arrives at --in NAME as a line\n"
    "                       until Ctrl+C; --describe adds what each SysEx message\n"
    "                       is, --timestamps the seconds since the start\n"
    "  --hex BYTES          send these bytes (a line of hex text; repeatable, sent\n"
    "                       after --send FILE when both are given)\n"
    "  --check FILE         report the framing problems and wrong checksums\n"
    "                       (Roland, Yamaha) of FILE by line; exit 1 when any\n"
    "  --fix-checksums FILE OUT\n"
    "                       write FILE to OUT with every checksum it recognises\n"
    "                       made right\n"
    "  --list-devices       list the MIDI In and MIDI Out devices\n"
    "  --version            show the version\n"
    "  --help               show this help\n";

// Log lines go to standard error as the log panes would show them; status-bar
// progress is not a log line.
class TStreamLog : public TLogSink {
public:
  explicit TStreamLog(std::ostream& err) : err_(err) {}
  void LogLine(const std::string& text, bool, bool, TLogKind kind) override {
    if (kind == lkStatusOnly || text.empty()) return;
    err_ << LogText(text, kind) << '\n';
  }

private:
  std::ostream& err_;
};

// --check and --fix-checksums: the file as the MIDI Out box would hold it.
int CheckFile(const std::string& input, const std::string* output, std::ostream& out, std::ostream& err) {
  TStreamLog log(err);
  THexParser parser(log);
  TFileContext ctx{log, parser, -1, {}};
  TBMStrings box;
  if (!LoadFile(input, box, ctx)) return 1;
  if (output) {
    const int fixed = FixChecksumsInBox(box, parser);
    if (!SaveBox(box, *output, true, ctx)) return 1;
    out << "Fixed " << fixed << (fixed == 1 ? " checksum" : " checksums") << "\n";
    return 0;
  }
  const auto problems = CheckMessages(BoxLineBytes(box, parser));
  for (const auto& p : problems) out << input << ":" << p.line << ": " << p.text << "\n";
  if (problems.empty()) out << input << ": no problems found\n";
  return problems.empty() ? 0 : 1;
}

int Convert(const std::string& input, const std::string& output, const TSplitOptions& split,
            std::ostream& out, std::ostream& err) {
  TStreamLog log(err);
  THexParser parser(log);
  TFileContext ctx{log, parser, split.SplitThreshold(), {}};
  return ConvertFile(input, output, out, ctx) ? 0 : 1;
}

}  // namespace

bool RunCommandLine(int argc, char** argv, std::ostream& out, std::ostream& err, int& exitCode) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return false;
  const std::string& mode = args[0];
  if (mode == "--help" || mode == "-h") {
    out << kHelp;
    exitCode = 0;
    return true;
  }
  if (mode == "--convert") {
    std::vector<std::string> files;
    TSplitOptions split;
    for (size_t i = 1; i < args.size(); ++i) {
      if (args[i] == "--split") {
        if (i + 1 >= args.size() || !ParseInt32(args[i + 1], split.threshold) || split.threshold < 1) {
          err << "Error: --split needs a number of bytes per line, 1 or more\n";
          exitCode = 2;
          return true;
        }
        split.splitLongMessages = true;
        ++i;
      } else {
        files.push_back(args[i]);
      }
    }
    if (files.size() != 2) {
      err << "Error: --convert needs an input and an output file\n" << kHelp;
      exitCode = 2;
      return true;
    }
    exitCode = Convert(files[0], files[1], split, out, err);
    return true;
  }
  if (mode == "--version") {
    out << "Zelk Kalvex v" << VersionNumber() << " build " << BuildNumber() << "\n";
    exitCode = 0;
    return true;
  }
  if (mode == "--check" || mode == "--fix-checksums") {
    const size_t files = mode == "--check" ? 1 : 2;
    if (args.size() != files + 1) {
      err << "Error: " << mode << (files == 1 ? " needs a file\n" : " needs a file and an output file\n");
      exitCode = 2;
      return true;
    }
    exitCode = CheckFile(args[1], files == 2 ? &args[2] : nullptr, out, err);
    return true;
  }
  if (mode == "--send" || mode == "--receive" || mode == "--hex" || mode == "--identify" || mode == "--monitor") {
    exitCode = RunSendReceive(args, argc, argv, out, err);
    return true;
  }
  if (mode == "--list-devices") {
    exitCode = RunListDevices(out, err);
    return true;
  }
  if (mode.rfind("--", 0) == 0) {
    err << "Error: unknown option " << mode << "\n" << kHelp;
    exitCode = 2;
    return true;
  }
  return false;
}

}  // namespace kalvex
