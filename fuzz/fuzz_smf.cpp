// Feeds arbitrary bytes to the MIDI file reader: it must load what it can or
// raise ESMF, never crash, hang or allocate beyond the input's size.
#include <cstddef>
#include <cstdint>

#include "smf/smf_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kalvex::TSMF smf;
  try {
    smf.LoadFromMemory(data, size, "fuzz.mid");
  } catch (const kalvex::ESMF&) {
    return 0;
  }
  // Walk everything that was loaded, as the file import does.
  size_t sum = 0;
  for (int t = 0; t < smf.TrackCount(); ++t) {
    const kalvex::TMidiTrack* track = smf.Tracks(t);
    for (int e = 0; e < track->EventCount(); ++e) {
      for (uint8_t b : track->Events(e)->Bytes()) sum += b;
    }
    if (!track->Events(track->EventCount() - 1)->IsEndOfTrack()) __builtin_trap();
  }
  return static_cast<int>(sum & 0);
}
