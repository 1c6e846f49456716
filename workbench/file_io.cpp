#include "workbench/file_io.h"

#include <cmath>
#include <cstdio>
#include <cstring>
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
    box.Add(FormatHexLine(p, remaining, ctx.splitThreshold));
    if (large && ++lines % kProgressEveryLines == 0) {
      const long percent = std::lround(100.0 * static_cast<double>(p - start) /
                                       static_cast<double>(buffer.size));
      ctx.log.LogLine("Loading " + std::to_string(percent) + "%...", true, true, lkStatusOnly);
    }
  }
}

// Imports the SysEx events of a Standard MIDI File; returns the byte total.
size_t ImportSmf(const std::string& name, TBMStrings& box, TFileContext& ctx) {
  TSMF smf;
  smf.LoadFromFile(name, nullptr);  // ESMF carries the reader's own message
  size_t total = 0;
  TBMUpdateGuard update(box);
  box.Clear();
  for (int t = 0; t < smf.TrackCount(); ++t) {
    const TMidiTrack* track = smf.Tracks(t);
    for (int e = 0; e < track->EventCount(); ++e) {
      const TMidiEvent* event = track->Events(e);
      if (event->Length > 0 && (event->Status == 0xF0 || event->Status == 0xF7)) {
        total += static_cast<size_t>(event->Length);
        AppendBytesAsLines(event->Data.get(), static_cast<size_t>(event->Length),
                           ctx.splitThreshold, [&](std::string&& line) { box.Add(std::move(line)); });
      }
    }
  }
  return total;
}

void WriteOrThrow(TByteWriter& out, const void* data, size_t size, const std::string& name) {
  if (!out.Write(data, size)) throw EFileError(Printf("Error while writing to %s", name));
}

}  // namespace

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
    if (!file.Open()) {
      std::string text = Printf("Could not create %s", name);
      if (file.NoTempFile())
        text += " (its folder allows no temporary file: " + std::string(std::strerror(file.Error())) + ")";
      throw EFileError(text);
    }
    std::string sizeText;
    if (FileKindOf(name) == TFileKind::Text) {
      sizeText = SizeText(WriteLinesAsText(lines, name, file), "lines");
    } else {
      sizeText = SizeText(WriteLinesAsSysEx(lines, name, ctx.parser, file), "bytes");
    }
    // Only a complete file replaces the old one.
    if (!file.Commit()) throw EFileError(Printf("Error while writing to %s", name));
    if (ctx.hooks.addRecentFile) ctx.hooks.addRecentFile(name);
    ctx.log.LogLine(name + " saved succesfully (" + sizeText + ").", midiOutSide, false, lkNormal);
    return true;
  } catch (const std::exception& e) {
    ctx.log.LogLine(e.what(), midiOutSide, false, lkErrorDialog);
    return false;
  }
}

}  // namespace kalvex
