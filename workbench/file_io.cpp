#include "workbench/file_io.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <new>
#include <vector>

#include "editor/core/bm_strings.h"
#include "smf/smf_reader.h"
#include "util/atomic_file.h"
#include "util/clock.h"
#include "util/read_file.h"
#include "util/ascii.h"

namespace kalvex {

namespace {

std::string LowerExtension(std::string_view name) {
  const size_t slash = name.find_last_of("/\\");
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return {};
  return LowerAscii(name.substr(dot));
}

std::string Printf(const char* format, const std::string& a) {
  const int n = std::snprintf(nullptr, 0, format, a.c_str());
  std::string out(static_cast<size_t>(n), '\0');
  std::snprintf(out.data(), out.size() + 1, format, a.c_str());
  return out;
}

std::string SizeText(size_t n, const char* unit) { return std::to_string(n) + " " + unit; }

// Turns the hourglass on for the lifetime of the guard.
class TBusyGuard {
public:
  explicit TBusyGuard(const TFileHooks& hooks) : hooks_(hooks) {
    if (hooks_.busy) hooks_.busy(true);
  }
  ~TBusyGuard() {
    if (hooks_.busy) hooks_.busy(false);
  }
  TBusyGuard(const TBusyGuard&) = delete;
  TBusyGuard& operator=(const TBusyGuard&) = delete;

private:
  const TFileHooks& hooks_;
};

// Reads the whole file; the messages are the loader's own. Anything but a
// regular file is refused at once.
TFileBytes ReadWholeFile(const std::string& name, TLogSink& log) {
  TFileBytes bytes;
  const auto logLoading = [&](size_t) { log.LogLine("Loading " + name + "...", true, true, lkNormal); };
  switch (ReadRegularFile(name, bytes, SIZE_MAX, logLoading)) {
    case TReadStatus::kOk: return bytes;
    case TReadStatus::kNoMemory: throw EFileError("Not enough memory to load " + name);
    case TReadStatus::kReadError:
    case TReadStatus::kTooLarge: throw EFileError("Error while reading " + name + " from disk.");
    default: throw EFileError("Could not open " + name);
  }
}

// Renders raw bytes into the box, reporting progress for large files.
void RenderRaw(const TFileBytes& buffer, TBMStrings& box, bool large, TFileContext& ctx) {
  const uint8_t* start = buffer.data.get();
  const uint8_t* p = start;
  size_t remaining = buffer.size;
  int lines = 0;
  while (remaining > 0) {
    box.Add(FormatHexLine(p, remaining, ctx.splitThreshold));  // the rule of THexLineStreamer
    if (large && ++lines % kProgressEveryLines == 0) {
      const long percent = std::lround(100.0 * static_cast<double>(p - start) /
                                       static_cast<double>(buffer.size));
      ctx.log.LogLine("Loading " + std::to_string(percent) + "%...", true, true, lkStatusOnly);
    }
  }
}

constexpr double kKeptTimingMinMs = 10;  // closer SysEx events get no wait line

// Milliseconds from the file's start at each tick, from its tempo map (120
// bpm until the first tempo event) and division (ticks per quarter note, or
// SMPTE frames and ticks per frame).
class TSmfClock {
public:
  explicit TSmfClock(const TSMF& smf) : division_(smf.Division()) {
    for (int t = 0; t < smf.TrackCount(); ++t) {
      const TMidiTrack* track = smf.Tracks(t);
      for (int e = 0; e < track->EventCount(); ++e) {
        const TMidiEvent* ev = track->Events(e);
        if (ev->Status == 0xFF && ev->Data1 == 0x51 && ev->Length == 3)
          tempos_.push_back({ev->Time, uint32_t(ev->Data[0]) << 16 | uint32_t(ev->Data[1]) << 8 | ev->Data[2]});
      }
    }
    std::stable_sort(tempos_.begin(), tempos_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  }
  double Ms(uint32_t tick) const {
    if (division_ & 0x8000) {  // SMPTE: frames a second and ticks a frame
      const int fps = -static_cast<int8_t>(division_ >> 8);
      const int perFrame = division_ & 0xFF;
      return fps > 0 && perFrame > 0 ? tick * 1000.0 / (fps * perFrame) : 0;
    }
    const double ppq = division_ > 0 ? division_ : 96;
    double ms = 0;
    uint32_t at = 0, tempo = 500000;  // microseconds a quarter note
    for (const auto& [time, value] : tempos_) {
      if (time >= tick) break;
      ms += (time - at) * tempo / ppq / 1000.0;
      at = time;
      tempo = value;
    }
    return ms + (tick - at) * tempo / ppq / 1000.0;
  }

private:
  uint16_t division_;
  std::vector<std::pair<uint32_t, uint32_t>> tempos_;
};

// Imports the SysEx events of a Standard MIDI File; returns the byte total.
size_t ImportSmf(const std::string& name, TBMStrings& box, TFileContext& ctx) {
  TSMF smf;
  smf.LoadFromFile(name, nullptr);  // ESMF carries the reader's own message
  // The SysEx events, track after track, or in time order with their timing.
  std::vector<const TMidiEvent*> events;
  for (int t = 0; t < smf.TrackCount(); ++t) {
    const TMidiTrack* track = smf.Tracks(t);
    for (int e = 0; e < track->EventCount(); ++e) {
      const TMidiEvent* event = track->Events(e);
      if (event->Length > 0 && (event->Status == 0xF0 || event->Status == 0xF7)) events.push_back(event);
    }
  }
  std::optional<TSmfClock> clock;
  if (ctx.keepMidiTiming) {
    std::stable_sort(events.begin(), events.end(),
                     [](const TMidiEvent* a, const TMidiEvent* b) { return a->Time < b->Time; });
    clock.emplace(smf);
  }
  size_t total = 0;
  TBMUpdateGuard update(box);
  box.Clear();
  double lastMs = -1;
  for (const TMidiEvent* event : events) {
    if (clock) {
      const double ms = clock->Ms(event->Time);
      if (lastMs >= 0 && ms - lastMs > kKeptTimingMinMs) box.Add("; wait " + std::to_string(std::lround(ms - lastMs)));
      lastMs = ms;
    }
    // An escape event (F7) carries bytes to send as they are, often the
    // rest of a SysEx message: its F7 is the file's marker, not a byte
    // for the wire (it would end the message early).
    const size_t skip = event->Status == 0xF7 ? 1 : 0;
    const size_t length = static_cast<size_t>(event->Length) - skip;
    if (length == 0) continue;
    total += length;
    AppendBytesAsLines(event->Data.get() + skip, length, ctx.splitThreshold,
                       [&](std::string&& line) { box.Add(std::move(line)); });
  }
  return total;
}

// The program's texts with the system's reason after them.
EFileError CreateError(const std::string& name, const TAtomicFileWriter& file) {
  std::string text = Printf("Could not create %s", name);
  if (file.Error() != 0) text += " (" + std::string(std::strerror(file.Error())) + ")";
  return EFileError(text);
}

EFileError WriteError(const std::string& name, int error, const std::string& keptCopy = {}) {
  std::string text = Printf("Error while writing to %s", name);
  if (error != 0) text += " (" + std::string(std::strerror(error)) + ")";
  if (!keptCopy.empty()) text += ". The whole new content is in " + keptCopy;
  return EFileError(text);
}

void WriteOrThrow(TByteWriter& out, const void* data, size_t size, const std::string& name) {
  if (out.Write(data, size)) return;
  const auto* file = dynamic_cast<const TAtomicFileWriter*>(&out);
  throw WriteError(name, file ? file->Error() : 0);
}

constexpr size_t kStreamBlock = 1 << 20;

// Where converted lines go: printed, joined as a .txt file, or parsed into
// the bytes of a .syx file; written out a block at a time.
class TLineOutput {
public:
  TLineOutput(const std::string& name, std::ostream& out, THexParser& parser)
      : name_(name), out_(out), parser_(parser), file_(name), toStdout_(name == "-"),
        toText_(!toStdout_ && FileKindOf(name) == TFileKind::Text) {
    buffer_.reserve(kStreamBlock + 4096);
  }
  void Open() {
    if (toStdout_) return;
    if (!file_.Open()) throw CreateError(name_, file_);
  }
  void Line(const std::string& line) {
    if (toStdout_) {
      buffer_ += line;
      buffer_ += '\n';
    } else if (toText_) {
      if (lines_ > 0) buffer_ += "\r\n";
      buffer_ += line;
    } else {
      int count = 0;
      if (parser_.ParseHexLine(static_cast<int>(lines_), TrimLine(line), count)) {
        buffer_.append(reinterpret_cast<const char*>(parser_.Data()), static_cast<size_t>(count));
        bytes_ += static_cast<size_t>(count);
      }
    }
    ++lines_;
    if (buffer_.size() >= kStreamBlock) Flush();
  }
  // Completes the output; the size text of the save's message, empty for "-".
  std::string Finish() {
    Flush();
    if (toStdout_) {
      out_.flush();
      if (!out_) throw EFileError("Error while writing to standard output");
      return {};
    }
    if (!file_.Commit()) throw WriteError(name_, file_.Error(), file_.KeptCopy());
    return toText_ ? SizeText(lines_, "lines") : SizeText(bytes_, "bytes");
  }

private:
  void Flush() {
    if (toStdout_) {
      out_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
      if (!out_) throw EFileError("Error while writing to standard output");
    } else {
      WriteOrThrow(file_, buffer_.data(), buffer_.size(), name_);
    }
    buffer_.clear();
  }

  const std::string& name_;
  std::ostream& out_;
  THexParser& parser_;
  TAtomicFileWriter file_;
  const bool toStdout_, toText_;
  std::string buffer_;
  size_t lines_ = 0, bytes_ = 0;
};

// Splits text into the lines the box would hold: CR LF, lone CR and lone LF
// break; a final break adds no empty line. Pieces may end anywhere.
class TLineSplitter {
public:
  template <class F>
  void Feed(const char* p, const char* end, F&& onLine) {
    while (p < end) {
      if (afterCr_) {
        afterCr_ = false;
        if (*p == '\n') {
          ++p;
          continue;
        }
      }
      const char* q = p;
      while (q < end && *q != '\r' && *q != '\n') ++q;
      pending_.append(p, q);
      if (q == end) return;
      onLine(pending_);
      pending_.clear();
      afterCr_ = *q == '\r';
      p = q + 1;
    }
  }
  template <class F>
  void Finish(F&& onLine) {
    if (!pending_.empty()) onLine(pending_);
    pending_.clear();
  }

private:
  std::string pending_;
  bool afterCr_ = false;
};

}  // namespace

bool ConvertFile(const std::string& input, const std::string& output, std::ostream& out, TFileContext& ctx) {
  try {
    TLineOutput sink(output, out, ctx.parser);
    const auto onLine = [&](const std::string& line) { sink.Line(line); };
    const TFileKind kind = FileKindOf(input);
    if (kind == TFileKind::Smf) {
      // A MIDI file is read whole by its reader anyway: through the box.
      TBMStrings box;
      if (!LoadFile(input, box, ctx)) return false;
      sink.Open();
      for (int i = 0; i < box.Count(); ++i) sink.Line(box.Get(i));
    } else {
      int fd = -1;
      size_t size = 0;
      switch (OpenRegularFile(input, fd, size)) {
        case TReadStatus::kOk: break;
        case TReadStatus::kReadError: throw EFileError("Error while reading " + input + " from disk.");
        default: throw EFileError("Could not open " + input);
      }
      struct TCloser {
        int fd;
        ~TCloser() { ::close(fd); }
      } closer{fd};
      ctx.log.LogLine("Loading " + input + "...", true, true, lkNormal);
      sink.Open();
      const uint32_t startTime = TimeGetTime();
      std::unique_ptr<uint8_t[]> block(new uint8_t[kStreamBlock]);
      THexLineStreamer lines(ctx.splitThreshold);
      TLineSplitter text;
      size_t total = 0, textLines = 0;
      const auto countLine = [&](const std::string& line) {
        ++textLines;
        sink.Line(line);
      };
      for (;;) {
        const ssize_t n = ::read(fd, block.get(), kStreamBlock);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw EFileError("Error while reading " + input + " from disk.");
        if (n == 0) break;
        total += static_cast<size_t>(n);
        if (kind == TFileKind::Text) {
          const char* chars = reinterpret_cast<const char*>(block.get());
          text.Feed(chars, chars + n, countLine);
        } else {
          lines.Feed(block.get(), static_cast<size_t>(n), onLine);
        }
      }
      if (kind == TFileKind::Text)
        text.Finish(countLine);
      else
        lines.Finish(onLine);
      const std::string sizeText = kind == TFileKind::Text ? SizeText(textLines, "lines") : SizeText(total, "bytes");
      if (total > kLargeFileSize)
        ctx.log.LogLine(input + " was loaded succesfully in " + std::to_string(TimeGetTime() - startTime) +
                            " ms (" + sizeText + ")",
                        true, false, lkNormal);
      else
        ctx.log.LogLine(input + " was loaded succesfully (" + sizeText + ").", true, false, lkNormal);
    }
    const std::string saved = sink.Finish();
    if (!saved.empty()) ctx.log.LogLine(output + " saved succesfully (" + saved + ").", true, false, lkNormal);
    return true;
  } catch (const std::exception& e) {
    ctx.log.LogLine(e.what(), true, false, lkErrorDialog);
    return false;
  }
}

TFileKind FileKindOf(std::string_view name) {
  const std::string ext = LowerExtension(name);
  if (ext == ".txt") return TFileKind::Text;
  if (ext == ".mid") return TFileKind::Smf;
  return TFileKind::Raw;
}

bool LoadFile(const std::string& name, TBMStrings& box, TFileContext& ctx) {
  try {
    std::string sizeText;
    bool large = false;
    uint32_t startTime = 0;
    const TFileKind kind = FileKindOf(name);
    if (kind == TFileKind::Smf) {
      TBusyGuard busy(ctx.hooks);
      std::error_code ec;
      const auto fileSize = std::filesystem::file_size(name, ec);
      large = !ec && fileSize > kLargeFileSize;
      startTime = TimeGetTime();
      sizeText = SizeText(ImportSmf(name, box, ctx), "bytes");
    } else {
      TBusyGuard busy(ctx.hooks);
      const TFileBytes buffer = ReadWholeFile(name, ctx.log);
      large = buffer.size > kLargeFileSize;
      startTime = TimeGetTime();
      if (kind == TFileKind::Text) {
        box.SetText(std::string_view(buffer.chars(), buffer.size));
        sizeText = SizeText(static_cast<size_t>(box.Count()), "lines");
      } else {
        {
          TBMUpdateGuard update(box);
          box.Clear();
          RenderRaw(buffer, box, large, ctx);
        }
        sizeText = SizeText(buffer.size, "bytes");
      }
    }
    if (ctx.hooks.addRecentFile) ctx.hooks.addRecentFile(name);
    if (large) {
      const uint32_t ms = TimeGetTime() - startTime;
      ctx.log.LogLine(name + " was loaded succesfully in " + std::to_string(ms) + " ms (" +
                          sizeText + ")",
                      true, false, lkNormal);
    } else {
      ctx.log.LogLine(name + " was loaded succesfully (" + sizeText + ").", true, false, lkNormal);
    }
    return true;
  } catch (const std::exception& e) {
    ctx.log.LogLine(e.what(), true, false, lkErrorDialog);
    return false;
  }
}

size_t WriteLinesAsSysEx(const TBMStrings& lines, const std::string& name, THexParser& parser,
                         TByteWriter& out) {
  size_t written = 0;
  for (int i = 0; i < lines.Count(); ++i) {
    int count = 0;
    if (parser.ParseHexLine(i, TrimLine(lines.Get(i)), count)) {
      WriteOrThrow(out, parser.Data(), static_cast<size_t>(count), name);
      written += static_cast<size_t>(count);
    }
  }
  return written;
}

size_t WriteLinesAsText(const TBMStrings& lines, const std::string& name, TByteWriter& out) {
  for (int i = 0; i < lines.Count(); ++i) {
    if (i > 0) WriteOrThrow(out, "\r\n", 2, name);
    const std::string& line = lines.Get(i);
    WriteOrThrow(out, line.data(), line.size(), name);
  }
  return static_cast<size_t>(lines.Count());
}

bool SaveBox(const TBMStrings& lines, const std::string& name, bool midiOutSide,
             TFileContext& ctx) {
  try {
    TBusyGuard busy(ctx.hooks);
    TAtomicFileWriter file(name);
    if (!file.Open()) throw CreateError(name, file);
    std::string sizeText;
    if (FileKindOf(name) == TFileKind::Text) {
      sizeText = SizeText(WriteLinesAsText(lines, name, file), "lines");
    } else {
      sizeText = SizeText(WriteLinesAsSysEx(lines, name, ctx.parser, file), "bytes");
    }
    // Only a complete file replaces the old one.
    if (!file.Commit()) throw WriteError(name, file.Error(), file.KeptCopy());
    if (ctx.hooks.addRecentFile) ctx.hooks.addRecentFile(name);
    ctx.log.LogLine(name + " saved succesfully (" + sizeText + ").", midiOutSide, false, lkNormal);
    return true;
  } catch (const std::exception& e) {
    ctx.log.LogLine(e.what(), midiOutSide, false, lkErrorDialog);
    return false;
  }
}

}  // namespace kalvex
