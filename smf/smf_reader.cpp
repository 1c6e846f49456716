#include "smf/smf_reader.h"

#include <cstring>
#include <new>
#include <vector>

#include "util/read_file.h"
#include "util/ascii.h"

namespace kalvex {

namespace {

constexpr uint32_t kHeaderLength = 6;
constexpr uint16_t kFirstUnsupportedFormat = 3;
constexpr uint16_t kSmpteDivisionBit = 0x8000;

// Big-endian reads from the whole file; a read past the end returns what was
// there, like a buffered file read that comes up short.
class TFileCursor {
public:
  TFileCursor(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  size_t Position() const { return pos_; }
  size_t Remaining() const { return size_ - pos_; }
  // Number of bytes taken (0..n).
  size_t Read(uint8_t* dest, size_t n) {
    const size_t got = n < Remaining() ? n : Remaining();
    if (got > 0) std::memcpy(dest, data_ + pos_, got);
    pos_ += got;
    return got;
  }
  // A 32-bit length; a short read gives 0.
  uint32_t ReadU32(size_t& got) {
    uint8_t b[4];
    got = Read(b, 4);
    if (got < 4) return 0;
    return static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
           static_cast<uint32_t>(b[2]) << 8 | b[3];
  }
  // Skips up to n bytes, never past the end; returns the start of the span.
  const uint8_t* Take(size_t& n) {
    if (n > Remaining()) n = Remaining();
    const uint8_t* p = data_ + pos_;
    pos_ += n;
    return p;
  }

private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};


[[noreturn]] void Raise(int code) { throw ESMF(TSMF::ErrorText(code)); }

}  // namespace

std::string TSMF::ErrorText(int code) {
  switch (code) {
    case kReady: return "Ready.";
    case kCannotOpen: return "Error: Midi-File could not be opened";
    case kNotSmf: return "Error: File is no Standard Midi File";
    case kType3: return "Error: This is a Midifile type 3, which is not supported";
    case kCorrupt: return "Error: This Midifile is corrupt";
    case kSmpte: return "Error: SMPTE in this MidiFile is not supported";
    case kNotLoaded: return "Error: Attempt to access without loading the File";
    case kMemory: return "Error: Memory-Error";
    case kBadTimeAccess: return "Error: Unallowed attempt to access Time";
    case kCannotSave: return "Error: Midi file could not be opened for saving";
    case kDiskFull: return "Error: Insufficient disk space";
    default: return {};
  }
}

void TSMF::Clear() {
  tracks_.Clear();
  format_ = 0;
  division_ = 1;
  fileName_.clear();
}

void TSMF::LoadFromFile(const std::string& fileName, const TProgress& onProgress) {
  Load(fileName, onProgress, [&] {
    // Only regular files: a device or a pipe could be endless or block.
    TFileBytes bytes;
    const TReadStatus status = ReadRegularFile(fileName, bytes);
    if (status == TReadStatus::kNoMemory) throw std::bad_alloc();
    if (status != TReadStatus::kOk) Raise(kCannotOpen);
    Decode(bytes.data.get(), bytes.size, onProgress);
  });
}

void TSMF::LoadFromMemory(const uint8_t* data, size_t size, const std::string& fileName,
                          const TProgress& onProgress) {
  Load(fileName, onProgress, [&] { Decode(data, size, onProgress); });
}

void TSMF::Load(const std::string& fileName, const TProgress& onProgress, const std::function<void()>& read) {
  if (onProgress) onProgress(kProgressMax, 0);
  Clear();
  fileName_ = BaseName(fileName);
  // Whatever fails, nothing half-loaded stays behind.
  try {
    read();
  } catch (const ESMF&) {
    Clear();
    throw;
  } catch (const std::bad_alloc&) {
    Clear();
    Raise(kMemory);
  } catch (const std::length_error&) {  // a size the vector cannot hold
    Clear();
    Raise(kMemory);
  }
}

void TSMF::Decode(const uint8_t* data, size_t size, const TProgress& onProgress) {
  TFileCursor file(data, size);
  uint8_t id[4];
  size_t got = file.Read(id, 4);
  if (got < 4 || std::memcmp(id, "MThd", 4) != 0) Raise(kNotSmf);
  if (file.ReadU32(got) != kHeaderLength) Raise(kNotSmf);
  uint8_t header[kHeaderLength] = {};
  file.Read(header, kHeaderLength);
  format_ = static_cast<uint16_t>(header[0] << 8 | header[1]);
  const uint16_t trackCount = static_cast<uint16_t>(header[2] << 8 | header[3]);
  division_ = static_cast<uint16_t>(header[4] << 8 | header[5]);
  if (format_ >= kFirstUnsupportedFormat) Raise(kType3);
  if (division_ & kSmpteDivisionBit) Raise(kSmpte);

  // Formats 0, 1 and 2 are read alike. A count of 0 reads to the end of the
  // file; every round consumes bytes or ends the loop, so it always stops.
  unsigned i = 0;
  bool idReadData;
  do {
    got = file.Read(id, 4);
    idReadData = got > 0;
    while (idReadData && (got < 4 || std::memcmp(id, "MTrk", 4) != 0)) {
      size_t skip = file.ReadU32(got);  // other chunk types are skipped
      file.Take(skip);
      got = file.Read(id, 4);
      idReadData = got > 0;
    }
    size_t length = idReadData ? file.ReadU32(got) : 0;
    auto track = std::make_unique<TMidiTrack>();
    if (length > 0) {
      const uint8_t* chunk = file.Take(length);  // the bytes actually there
      track->Decode(chunk, length);
    }
    tracks_.Add(std::move(track));
    ++i;
    if (onProgress && size > 0) {
      onProgress(kProgressMax, static_cast<int>(file.Position() * kProgressMax / size));
    }
  } while (i != trackCount && idReadData);

  if (onProgress) onProgress(kProgressMax, kProgressMax);
}

}  // namespace kalvex
