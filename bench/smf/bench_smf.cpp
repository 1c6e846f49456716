// Loading a 10 MB MIDI file full of SysEx through TSMF, compared with the
// least any loader must do: read the file into memory and pass over it once.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "smf/smf_reader.h"

namespace {

constexpr size_t kFileSize = 10 * 1024 * 1024;
constexpr int kTracks = 4;
constexpr int kRounds = 9;
constexpr double kTargetRatio = 2.0;

void PutVarLen(std::vector<uint8_t>& out, uint32_t v) {
  uint8_t buf[4];
  int n = 0;
  do {
    buf[n++] = static_cast<uint8_t>(v & 0x7F);
    v >>= 7;
  } while (v != 0 && n < 4);
  while (n > 1) out.push_back(buf[--n] | 0x80);
  out.push_back(buf[0]);
}

void PutU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(v >> s));
}

// A librarian's file: SysEx dumps of many sizes between notes and controllers.
std::vector<uint8_t> MakeFile() {
  std::mt19937 rng(1234);
  std::vector<uint8_t> f{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, kTracks, 0x01, 0xE0};
  for (int t = 0; t < kTracks; ++t) {
    std::vector<uint8_t> track;
    while (track.size() < kFileSize / kTracks - 4096) {
      const int kind = static_cast<int>(rng() % 10);
      PutVarLen(track, rng() % 200);
      if (kind < 3) {
        const uint32_t n = 6 + rng() % (kind == 0 ? 4000 : 200);
        track.push_back(0xF0);
        PutVarLen(track, n);
        for (uint32_t i = 0; i + 1 < n; ++i) track.push_back(static_cast<uint8_t>(rng() & 0x7F));
        track.push_back(0xF7);
      } else if (kind < 8) {
        track.push_back(static_cast<uint8_t>(0x90 | (t & 15)));
        track.push_back(static_cast<uint8_t>(rng() & 0x7F));
        track.push_back(static_cast<uint8_t>(rng() & 0x7F));
        PutVarLen(track, 10);  // a second note on running status
        track.push_back(static_cast<uint8_t>(rng() & 0x7F));
        track.push_back(0);
      } else {
        track.push_back(static_cast<uint8_t>(0xB0 | (t & 15)));
        track.push_back(7);
        track.push_back(static_cast<uint8_t>(rng() & 0x7F));
      }
    }
    for (uint8_t b : {0x00, 0xFF, 0x2F, 0x00}) track.push_back(b);
    f.insert(f.end(), {'M', 'T', 'r', 'k'});
    PutU32(f, static_cast<uint32_t>(track.size()));
    f.insert(f.end(), track.begin(), track.end());
  }
  return f;
}

double Ms(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// Read the whole file, then look at every byte once.
size_t ReadAndPass(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(0, std::ios::end);
  const auto size = static_cast<size_t>(in.tellg());
  in.seekg(0);
  std::vector<uint8_t> bytes(size);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
  size_t sysex = 0;
  for (uint8_t b : bytes) sysex += b == 0xF0;
  return sysex;
}

}  // namespace

int main() {
  char path[] = "/tmp/kalvex-bench-smf-XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd < 0) return 1;
  ::close(fd);
  const std::vector<uint8_t> file = MakeFile();
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()),
                                               static_cast<std::streamsize>(file.size()));

  std::vector<double> base, load;
  size_t sink = 0;
  size_t sysexEvents = 0;
  for (int round = 0; round < kRounds; ++round) {
    auto t0 = std::chrono::steady_clock::now();
    sink += ReadAndPass(path);
    auto t1 = std::chrono::steady_clock::now();
    kalvex::TSMF smf;
    smf.LoadFromFile(path);
    auto t2 = std::chrono::steady_clock::now();
    sysexEvents = 0;
    for (int t = 0; t < smf.TrackCount(); ++t) {
      for (const auto& ev : smf.Tracks(t)->EventList()) sysexEvents += ev.IsSysEx();
    }
    base.push_back(Ms(t1 - t0));
    load.push_back(Ms(t2 - t1));
  }
  std::remove(path);
  std::sort(base.begin(), base.end());
  std::sort(load.begin(), load.end());
  const double b = base[kRounds / 2];
  const double l = load[kRounds / 2];
  std::printf("smf_load_10mb: %.2f x read+pass (target: < %.1f)\n", l / b, kTargetRatio);
  std::printf("smf_load_10mb_time: %.1f ms (target: none; read+pass %.1f ms, %zu SysEx events, %zu bytes)\n", l, b,
              sysexEvents, file.size());
  return sink == 0 ? 1 : 0;
}
