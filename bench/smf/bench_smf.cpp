// Loading a 10 MB MIDI file full of SysEx through TSMF, compared with the
// least any loader must do: read the file into memory and pass over it once.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <span>
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

// Reads the whole file as TSMF does: standard I/O into one block.
std::pair<std::unique_ptr<uint8_t[]>, size_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(0, std::ios::end);
  const auto size = static_cast<size_t>(in.tellg());
  in.seekg(0);
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[size]);
  in.read(reinterpret_cast<char*>(bytes.get()), static_cast<std::streamsize>(size));
  return {std::move(bytes), size};
}

// The peer: read the file, then look at every byte once, as the simplest
// parser would (count the status bytes).
size_t ReadAndPass(const std::string& path) {
  const auto [bytes, size] = ReadFile(path);
  size_t status = 0;
  for (const uint8_t b : std::span<const uint8_t>(bytes.get(), size)) status += b >> 7;
  return status;
}

// A stricter peer: the pass is a vectorised memchr, so nearly all of the
// time is the read itself.
size_t ReadAndScan(const std::string& path) {
  const auto [bytes, size] = ReadFile(path);
  size_t hits = 0;
  const uint8_t* p = bytes.get();
  const uint8_t* end = p + size;
  while (p < end) {
    const void* hit = std::memchr(p, 0xF0, static_cast<size_t>(end - p));
    if (hit == nullptr) break;
    ++hits;
    p = static_cast<const uint8_t*>(hit) + 1;
  }
  return hits;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--write") {  // the test file, for profiling
    const std::vector<uint8_t> file = MakeFile();
    std::ofstream(argv[2], std::ios::binary).write(reinterpret_cast<const char*>(file.data()),
                                                    static_cast<std::streamsize>(file.size()));
    return 0;
  }
  char path[] = "/tmp/kalvex-bench-smf-XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd < 0) return 1;
  ::close(fd);
  const std::vector<uint8_t> file = MakeFile();
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()),
                                               static_cast<std::streamsize>(file.size()));

  std::vector<double> pass, scan, load;
  size_t sink = 0;
  size_t sysexEvents = 0;
  for (int round = 0; round < kRounds; ++round) {
    auto t0 = std::chrono::steady_clock::now();
    sink += ReadAndPass(path);
    auto t1 = std::chrono::steady_clock::now();
    sink += ReadAndScan(path);
    auto t2 = std::chrono::steady_clock::now();
    kalvex::TSMF smf;
    smf.LoadFromFile(path);
    auto t3 = std::chrono::steady_clock::now();
    sysexEvents = 0;
    for (int t = 0; t < smf.TrackCount(); ++t) {
      for (const auto& ev : smf.Tracks(t)->EventList()) sysexEvents += ev.IsSysEx();
    }
    pass.push_back(Ms(t1 - t0));
    scan.push_back(Ms(t2 - t1));
    load.push_back(Ms(t3 - t2));
  }
  std::remove(path);
  const double p = Median(pass), s = Median(scan), l = Median(load);
  std::printf("smf_load_10mb: %.2f x read+pass (target: < %.1f)\n", l / p, kTargetRatio);
  std::printf("smf_load_10mb_vs_read: %.2f x read+memchr (target: none; the read alone is %.1f ms)\n", l / s, s);
  std::printf("smf_load_10mb_time: %.1f ms (target: none; read+pass %.1f ms, %zu SysEx events, %zu bytes)\n", l, p,
              sysexEvents, file.size());
  return sink == 0 ? 1 : 0;
}
