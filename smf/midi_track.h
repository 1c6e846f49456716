#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace kalvex {

// One event of a Standard MIDI File track.
struct TMidiEvent {
  static constexpr uint8_t kMetaStatus = 0xFF;
  static constexpr uint8_t kMetaEndOfTrack = 0x2F;

  uint32_t Time = 0;    // absolute ticks from the start of the track
  uint8_t Status = 0;   // 0x80..0xEF channel, 0xFF meta, 0xF0..0xFE SysEx and escape
  uint8_t Data1 = 0;    // first data byte; the meta type for meta events
  uint8_t Data2 = 0;    // second data byte (0 for 0xC0..0xDF)
  int32_t Length = 0;   // bytes in Data; 0 for channel messages
  // SysEx/escape: the status byte followed by the event's bytes; meta: the
  // payload. One allocation per event, none for channel messages.
  std::unique_ptr<uint8_t[]> Data;

  std::span<const uint8_t> Bytes() const {
    return {Data.get(), Data ? static_cast<size_t>(Length) : 0};
  }
  bool IsEndOfTrack() const { return Status == kMetaStatus && Data1 == kMetaEndOfTrack; }
  bool IsSysEx() const { return (Status == 0xF0 || Status == 0xF7) && Length > 0; }
};

// The events of a track, owned by value (no per-event list node).
class TMidiEventList {
public:
  int Count() const { return static_cast<int>(items_.size()); }
  // nullptr when the index is out of range.
  const TMidiEvent* Items(int index) const {
    return index >= 0 && index < Count() ? &items_[static_cast<size_t>(index)] : nullptr;
  }
  TMidiEvent* Items(int index) {
    return index >= 0 && index < Count() ? &items_[static_cast<size_t>(index)] : nullptr;
  }
  void Add(TMidiEvent&& event) { items_.push_back(std::move(event)); }
  void RemoveLast() { items_.pop_back(); }
  void Clear() { items_.clear(); }
  void Reserve(size_t count) { items_.reserve(count); }
  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

private:
  std::vector<TMidiEvent> items_;
};

// A time-ordered list of events that always ends with one End-of-Track meta
// event whose time equals that of the last real event.
class TMidiTrack {
public:
  TMidiTrack();

  int EventCount() const { return events_.Count(); }  // including End of Track
  const TMidiEvent* Events(int index) const { return events_.Items(index); }
  const TMidiEventList& EventList() const { return events_; }

  uint8_t RunningStatus = 0;

  // Builds the track from a chunk's bytes; bad data ends decoding quietly and
  // keeps the events before it.
  void Decode(const uint8_t* data, size_t size);

private:
  TMidiEventList events_;
};

class TMidiTrackList {
public:
  int Count() const { return static_cast<int>(items_.size()); }
  const TMidiTrack* Items(int index) const {
    return index >= 0 && index < Count() ? items_[static_cast<size_t>(index)].get() : nullptr;
  }
  void Add(std::unique_ptr<TMidiTrack> track) { items_.push_back(std::move(track)); }
  void Clear() { items_.clear(); }

private:
  std::vector<std::unique_ptr<TMidiTrack>> items_;
};

}  // namespace kalvex
