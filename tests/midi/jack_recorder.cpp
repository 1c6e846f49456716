// A JACK client of our own in a process of its own, as a synth's bridge or
// another program would be: jack_recorder NAME [--physical] records every
// MIDI event that reaches NAME:in (a port that says it leads to hardware with
// --physical). It prints "ready" once its port is there; when its
// standard input closes it prints what it counted and the bytes, and exits.
//   ready
//   events 20
//   events_without_status 0
//   xruns 0
//   bytes F0 7D 10 F7 ...
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/midi/jack_peer.h"

int main(int argc, char** argv) {
  const bool physical = argc == 3 && std::string(argv[2]) == "--physical";
  if (argc != 2 && !physical) {
    std::fprintf(stderr, "usage: jack_recorder NAME [--physical]\n");
    return 2;
  }
  kalvex::test::TJackPeer peer;
  if (!peer.Open(argv[1], physical)) {
    std::fprintf(stderr, "jack_recorder: no JACK server\n");
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  std::vector<uint8_t> bytes;
  for (;;) {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (poll(&p, 1, 10) > 0) {
      char buffer[256];
      if (read(STDIN_FILENO, buffer, sizeof buffer) <= 0) break;
    }
    peer.Collect(bytes);  // often, so its ring never fills
  }
  usleep(100 * 1000);  // a repeated event would come in the cycles after the last one
  peer.Collect(bytes);
  std::printf("events %llu\nevents_without_status %llu\nxruns %llu\nbytes",
              static_cast<unsigned long long>(peer.Events()),
              static_cast<unsigned long long>(peer.EventsWithoutStatus()),
              static_cast<unsigned long long>(peer.Xruns()));
  for (uint8_t b : bytes) std::printf(" %02X", b);
  std::printf("\n");
  return 0;
}
