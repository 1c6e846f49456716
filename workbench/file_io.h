#pragma once
// Loading files into the MIDI Out box and saving either box, independent of
// dialogs and the window: the window asks for the name and calls these.

#include <cstddef>
#include <functional>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <string_view>

#include "workbench/hex_text.h"
#include "workbench/log_sink.h"

namespace kalvex {

class TBMStrings;
class TByteWriter;

// The type of a file, by its extension alone (letter case ignored).
enum class TFileKind { Raw, Text, Smf };
TFileKind FileKindOf(std::string_view name);

// Files above this size load with a timed message and progress.
constexpr size_t kLargeFileSize = 100000;
// A large raw file reports its progress every this many lines.
constexpr int kProgressEveryLines = 20;

// A failed load or save step; the message is what the user reads.
class EFileError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// What the window adds around a load or save.
struct TFileHooks {
  std::function<void(const std::string&)> addRecentFile;  // after every success
  std::function<void(bool)> busy;                         // hourglass on / off
};

// Everything a load or save needs from the window.
struct TFileContext {
  TLogSink& log;
  THexParser& parser;     // the reused parse buffer; parse errors go to the MIDI Out log
  int splitThreshold;     // SplitThreshold() for rendering lines
  TFileHooks hooks;
  // A .mid keeps its timing: "; wait N" lines between SysEx events that lie
  // more than 10 ms apart in the file's time (its tempo map, 120 bpm by
  // default), the events in time order across tracks.
  bool keepMidiTiming = false;
};

// Replaces the MIDI Out box with the file's content (.syx/raw rendered as hex
// lines, .txt as text lines, .mid as the SysEx of its tracks) and logs the
// result. On failure logs the message as an error dialog, leaves the box as it
// was and returns false.
bool LoadFile(const std::string& name, TBMStrings& box, TFileContext& ctx);

// Saves a box under name: .txt as its lines, anything else as the bytes of
// every line. The old file stays intact until the new one is complete.
// Logs on the box's side; returns false after logging a failure.
bool SaveBox(const TBMStrings& lines, const std::string& name, bool midiOutSide,
             TFileContext& ctx);

// The command line's convert: the input is read in pieces and the output
// written as it goes, so memory stays small whatever the size. The result is
// exactly what loading the input into the MIDI Out box and saving the box
// gives (or, for output "-", printing its lines to out, one per line), with
// the same messages. Returns false after logging a failure.
bool ConvertFile(const std::string& input, const std::string& output, std::ostream& out, TFileContext& ctx);

// The .syx body: every line trimmed and parsed, its bytes written back to back.
// Returns the byte count; throws EFileError("Error while writing to <name>").
size_t WriteLinesAsSysEx(const TBMStrings& lines, const std::string& name, THexParser& parser,
                         TByteWriter& out);

// The .txt body: the lines joined by CR LF, no break after the last one.
// Returns the line count; throws EFileError like WriteLinesAsSysEx.
size_t WriteLinesAsText(const TBMStrings& lines, const std::string& name, TByteWriter& out);

}  // namespace kalvex
