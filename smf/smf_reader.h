#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include "smf/midi_track.h"

namespace kalvex {

// Failure of loading a MIDI file; the message is one of TSMF's status texts.
class ESMF : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Reads a Standard MIDI File (formats 0 to 2, metrical time) into tracks of
// events with absolute times. The file is read into memory once and decoded
// from there; every length in it is clamped to the bytes that remain, so a
// damaged file loads what is there and never allocates more than it holds.
class TSMF {
public:
  // Status codes of ErrorText.
  enum : int {
    kReady = 0,
    kCannotOpen = -1,
    kNotSmf = -2,
    kType3 = -3,
    kCorrupt = -4,
    kSmpte = -5,
    kNotLoaded = -6,
    kMemory = -7,
    kBadTimeAccess = -8,
    kCannotSave = -9,
    kDiskFull = -10,
  };

  // (maximum, position); maximum is always kProgressMax.
  using TProgress = std::function<void(int maximum, int position)>;
  static constexpr int kProgressMax = 1000;

  TSMF() = default;
  TSMF(const TSMF&) = delete;
  TSMF& operator=(const TSMF&) = delete;

  static std::string ErrorText(int code);

  // Replaces all content with the file's; throws ESMF (content cleared).
  void LoadFromFile(const std::string& fileName, const TProgress& onProgress = {});
  // The same for bytes already in memory; fileName only names the content.
  void LoadFromMemory(const uint8_t* data, size_t size, const std::string& fileName = {},
                      const TProgress& onProgress = {});

  int TrackCount() const { return tracks_.Count(); }
  // nullptr when the index is negative or not below TrackCount.
  const TMidiTrack* Tracks(int index) const { return tracks_.Items(index); }
  const TMidiTrackList& TrackList() const { return tracks_; }

  void Clear();

  uint16_t Format() const { return format_; }
  uint16_t Division() const { return division_; }
  // The loaded file's name without its folder.
  const std::string& FileName() const { return fileName_; }

private:
  void Load(const std::string& fileName, const TProgress& onProgress, const std::function<void()>& read);
  void Decode(const uint8_t* data, size_t size, const TProgress& onProgress);

  TMidiTrackList tracks_;
  uint16_t format_ = 0;
  uint16_t division_ = 1;
  std::string fileName_;
};

}  // namespace kalvex
