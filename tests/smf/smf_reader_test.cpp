#include "smf/smf_reader.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kalvex {
namespace {

using TBytes = std::vector<uint8_t>;

TBytes Hex(const std::string& text) {
  TBytes out;
  std::istringstream in(text);
  std::string pair;
  while (in >> pair) out.push_back(static_cast<uint8_t>(std::stoul(pair, nullptr, 16)));
  return out;
}

void Append(TBytes& to, const TBytes& from) { to.insert(to.end(), from.begin(), from.end()); }

TBytes U32(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
          static_cast<uint8_t>(v)};
}

TBytes Header(uint16_t format, uint16_t tracks, uint16_t division = 96) {
  TBytes h{'M', 'T', 'h', 'd'};
  Append(h, U32(6));
  Append(h, {static_cast<uint8_t>(format >> 8), static_cast<uint8_t>(format), static_cast<uint8_t>(tracks >> 8),
             static_cast<uint8_t>(tracks), static_cast<uint8_t>(division >> 8), static_cast<uint8_t>(division)});
  return h;
}

TBytes Chunk(const char* id, const TBytes& body, int64_t claimedLength = -1) {
  TBytes c(id, id + 4);
  Append(c, U32(claimedLength < 0 ? static_cast<uint32_t>(body.size()) : static_cast<uint32_t>(claimedLength)));
  Append(c, body);
  return c;
}

TBytes Smf(const std::vector<std::string>& tracks, uint16_t format = 1) {
  TBytes f = Header(format, static_cast<uint16_t>(tracks.size()));
  for (const auto& t : tracks) Append(f, Chunk("MTrk", Hex(t)));
  return f;
}

void Load(TSMF& smf, const TBytes& bytes) { smf.LoadFromMemory(bytes.data(), bytes.size(), "dir/song.mid"); }

std::string LoadError(const TBytes& bytes) {
  TSMF smf;
  try {
    Load(smf, bytes);
  } catch (const ESMF& e) {
    EXPECT_EQ(smf.TrackCount(), 0);
    EXPECT_EQ(smf.Format(), 0);
    EXPECT_EQ(smf.Division(), 1);
    EXPECT_EQ(smf.FileName(), "");
    return e.what();
  }
  return "no error";
}

// Compact view of a track: "time:status[:d1:d2|bytes]" per event.
std::string Describe(const TMidiTrack& track) {
  std::string s;
  char buf[32];
  for (const TMidiEvent& ev : track.EventList()) {
    if (!s.empty()) s += ' ';
    std::snprintf(buf, sizeof buf, "%u:%02X", ev.Time, ev.Status);
    s += buf;
    if (ev.Status < 0xF0 || ev.Status == 0xFF) {
      std::snprintf(buf, sizeof buf, ":%02X", ev.Data1);
      s += buf;
    }
    if (ev.Status < 0xF0) {
      std::snprintf(buf, sizeof buf, ":%02X", ev.Data2);
      s += buf;
    }
    if (ev.Length > 0) {
      s += '|';
      for (uint8_t b : ev.Bytes()) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        s += buf;
      }
    }
  }
  return s;
}

std::string LoadOneTrack(const std::string& trackHex) {
  TSMF smf;
  Load(smf, Smf({trackHex}));
  EXPECT_EQ(smf.TrackCount(), 1);
  return smf.TrackCount() == 1 ? Describe(*smf.Tracks(0)) : "";
}

TEST(SmfErrorText, EveryCodeHasItsText) {
  const std::pair<int, const char*> table[] = {
      {0, "Ready."},
      {-1, "Error: Midi-File could not be opened"},
      {-2, "Error: File is no Standard Midi File"},
      {-3, "Error: This is a Midifile type 3, which is not supported"},
      {-4, "Error: This Midifile is corrupt"},
      {-5, "Error: SMPTE in this MidiFile is not supported"},
      {-6, "Error: Attempt to access without loading the File"},
      {-7, "Error: Memory-Error"},
      {-8, "Error: Unallowed attempt to access Time"},
      {-9, "Error: Midi file could not be opened for saving"},
      {-10, "Error: Insufficient disk space"},
  };
  for (const auto& [code, text] : table) EXPECT_EQ(TSMF::ErrorText(code), text) << code;
  EXPECT_EQ(TSMF::ErrorText(1), "");
  EXPECT_EQ(TSMF::ErrorText(-11), "");
}

TEST(SmfLoad, HeaderFaultsRaiseTheirTextAndLeaveNothingLoaded) {
  TBytes longHeader{'M', 'T', 'h', 'd'};
  Append(longHeader, U32(8));
  Append(longHeader, Hex("00 01 00 01 00 60 00 00"));
  TBytes lowerCase = Smf({"00 FF 2F 00"});
  lowerCase[0] = 'm';
  const std::pair<TBytes, std::string> cases[] = {
      {{}, "Error: File is no Standard Midi File"},
      {Hex("4D 54 68"), "Error: File is no Standard Midi File"},
      {lowerCase, "Error: File is no Standard Midi File"},
      {Chunk("RIFF", Hex("00 00 00 00 00 00")), "Error: File is no Standard Midi File"},
      {longHeader, "Error: File is no Standard Midi File"},
      {Smf({"00 FF 2F 00"}, 3), "Error: This is a Midifile type 3, which is not supported"},
      {Smf({"00 FF 2F 00"}, 0xFFFF), "Error: This is a Midifile type 3, which is not supported"},
      {Header(1, 1, 0xE728), "Error: SMPTE in this MidiFile is not supported"},
      {Header(0, 1, 0x8000), "Error: SMPTE in this MidiFile is not supported"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(LoadError(bytes), text) << ::testing::PrintToString(bytes);
}

TEST(SmfLoad, FormatsZeroToTwoLoadWithFormatDivisionAndName) {
  for (uint16_t format : {0, 1, 2}) {
    TSMF smf;
    TBytes bytes = Header(format, 1, 480);
    Append(bytes, Chunk("MTrk", Hex("00 90 3C 7F 00 FF 2F 00")));
    Load(smf, bytes);
    EXPECT_EQ(smf.Format(), format);
    EXPECT_EQ(smf.Division(), 480);
    EXPECT_EQ(smf.FileName(), "song.mid");
    ASSERT_EQ(smf.TrackCount(), 1);
    EXPECT_EQ(smf.Tracks(0)->EventCount(), 2);
  }
}

struct TTrackCase {
  const char* name;
  const char* bytes;
  const char* expected;
};

class SmfTrackDecoding : public ::testing::TestWithParam<TTrackCase> {};

TEST_P(SmfTrackDecoding, GivesExpectedEvents) { EXPECT_EQ(LoadOneTrack(GetParam().bytes), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Tracks, SmfTrackDecoding,
    ::testing::Values(
        TTrackCase{"SysEx", "00 F0 05 7E 7F 09 01 F7 00 FF 2F 00", "0:F0|F07E7F0901F7 0:FF:2F"},
        TTrackCase{"RunningStatus", "00 90 3C 7F 10 3E 7F 00 FF 2F 00", "0:90:3C:7F 16:90:3E:7F 16:FF:2F"},
        TTrackCase{"ProgramChangeHasOneDataByte", "00 C1 05 81 00 C1 06 00 FF 2F 00",
                   "0:C1:05:00 128:C1:06:00 128:FF:2F"},
        // Status bytes from F0 up do not replace the running status.
        TTrackCase{"SysExKeepsRunningStatus", "00 90 3C 7F 00 F0 01 F7 05 3C 00 00 FF 2F 00",
                   "0:90:3C:7F 0:F0|F0F7 5:90:3C:00 5:FF:2F"},
        TTrackCase{"EscapeEvent", "00 F7 02 F8 FA 00 FF 2F 00", "0:F7|F7F8FA 0:FF:2F"},
        TTrackCase{"EmptyMetaStays", "00 FF 01 00 0A FF 03 02 41 42 00 FF 2F 00", "0:FF:01 10:FF:03|4142 10:FF:2F"},
        // An End-of-Track with data sets the end time and ends the track.
        TTrackCase{"EndOfTrackWithData", "00 90 3C 7F 20 FF 2F 01 00 00 90 3E 7F 00 FF 2F 00", "0:90:3C:7F 32:FF:2F"},
        TTrackCase{"EndOfTrackTimeFollowsLastEvent", "83 60 90 3C 7F 00 FF 2F 00", "480:90:3C:7F 480:FF:2F"},
        TTrackCase{"ShorterThanFourBytes", "00 C0 05", "0:FF:2F"},
        TTrackCase{"LastThreeBytesStartNoEvent", "00 90 3C 7F 00 C0 05", "0:90:3C:7F 0:FF:2F"},
        TTrackCase{"NoEndOfTrackInFile", "00 90 3C 7F 10 80 3C 00", "0:90:3C:7F 16:80:3C:00 16:FF:2F"},
        // Bad data ends decoding quietly; the events before it stay.
        TTrackCase{"SysExRunsPastChunkEnd", "00 90 3C 7F 00 F0 7F 01 02 03 04 05", "0:90:3C:7F 0:FF:2F"},
        TTrackCase{"SysExClaimsMaximumLength", "00 90 3C 7F 00 F0 FF FF FF 7F 01 02", "0:90:3C:7F 0:FF:2F"},
        TTrackCase{"MetaClaimsMaximumLength", "00 90 3C 7F 00 FF 01 FF FF FF 7F 41 42", "0:90:3C:7F 0:FF:2F"},
        TTrackCase{"DeltaRunsPastChunkEnd", "00 90 3C 7F 81 81 81 81", "0:90:3C:7F 0:FF:2F"},
        TTrackCase{"NoteRunsPastChunkEnd", "00 90 3C 7F 81 00 B0 07", "0:90:3C:7F 0:FF:2F"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SmfLoad, ChunksOfOtherTypesAreSkippedByTheirLength) {
  TBytes bytes = Header(1, 2);
  Append(bytes, Chunk("XFIH", Hex("4D 54 72 6B 00 00 00 00 01 02")));  // holds a fake "MTrk"
  Append(bytes, Chunk("MTrk", Hex("00 F0 01 F7 00 FF 2F 00")));
  Append(bytes, Chunk("XFKM", Hex("01")));
  Append(bytes, Chunk("MTrk", Hex("00 90 3C 7F 00 FF 2F 00")));
  TSMF smf;
  Load(smf, bytes);
  ASSERT_EQ(smf.TrackCount(), 2);
  EXPECT_EQ(Describe(*smf.Tracks(0)), "0:F0|F0F7 0:FF:2F");
  EXPECT_EQ(Describe(*smf.Tracks(1)), "0:90:3C:7F 0:FF:2F");
}

TEST(SmfLoad, TrackCountOfHeaderDecidesHowManyChunksAreRead) {
  const TBytes two = Smf({"00 90 3C 7F 00 FF 2F 00", "00 F0 01 F7 00 FF 2F 00"});
  const struct {
    uint16_t declared;
    int loaded;
    const char* last;
  } cases[] = {
      {1, 1, "0:90:3C:7F 0:FF:2F"},  // extra chunks are ignored
      {2, 2, "0:F0|F0F7 0:FF:2F"},
      {5, 3, "0:FF:2F"},  // file ends while looking: one empty track more
      {0, 3, "0:FF:2F"},  // 0 reads to the end of the file
  };
  for (const auto& c : cases) {
    TBytes bytes = two;
    bytes[10] = static_cast<uint8_t>(c.declared >> 8);
    bytes[11] = static_cast<uint8_t>(c.declared);
    TSMF smf;
    Load(smf, bytes);
    ASSERT_EQ(smf.TrackCount(), c.loaded) << c.declared;
    EXPECT_EQ(Describe(*smf.Tracks(c.loaded - 1)), c.last) << c.declared;
  }
}

TEST(SmfLoad, LengthsThatLieAreClampedToTheBytesThatRemain) {
  TSMF smf;
  // Track claims 4 GB but holds two events: they load.
  TBytes bytes = Header(1, 1);
  Append(bytes, Chunk("MTrk", Hex("00 F0 01 F7 00 90 3C 7F"), 0xFFFFFFFF));
  Load(smf, bytes);
  ASSERT_EQ(smf.TrackCount(), 1);
  EXPECT_EQ(Describe(*smf.Tracks(0)), "0:F0|F0F7 0:90:3C:7F 0:FF:2F");

  // A foreign chunk that claims 4 GB swallows the rest of the file.
  bytes = Header(1, 1);
  Append(bytes, Chunk("JUNK", Hex("01 02"), 0xFFFFFFFF));
  Append(bytes, Chunk("MTrk", Hex("00 F0 01 F7")));
  Load(smf, bytes);
  ASSERT_EQ(smf.TrackCount(), 1);
  EXPECT_EQ(smf.Tracks(0)->EventCount(), 1);

  // Header only, and a header cut short: what is there loads.
  Load(smf, Header(1, 4));
  EXPECT_EQ(smf.TrackCount(), 1);
  bytes = Header(1, 1);
  Append(bytes, Hex("4D 54 72 6B 00 00"));
  Load(smf, bytes);
  EXPECT_EQ(smf.TrackCount(), 1);
  EXPECT_EQ(smf.Format(), 1);
}

TEST(SmfAccess, OutOfRangeIndexesGiveNothingAndClearResets) {
  TSMF smf;
  EXPECT_EQ(smf.Tracks(0), nullptr);
  Load(smf, Smf({"00 90 3C 7F 00 FF 2F 00"}, 0));
  EXPECT_EQ(smf.Tracks(-1), nullptr);
  EXPECT_EQ(smf.Tracks(1), nullptr);
  ASSERT_NE(smf.Tracks(0), nullptr);
  EXPECT_EQ(smf.Tracks(0)->Events(-1), nullptr);
  EXPECT_EQ(smf.Tracks(0)->Events(2), nullptr);
  EXPECT_TRUE(smf.Tracks(0)->Events(1)->IsEndOfTrack());
  smf.Clear();
  EXPECT_EQ(smf.TrackCount(), 0);
  EXPECT_EQ(smf.Format(), 0);
  EXPECT_EQ(smf.Division(), 1);
  EXPECT_EQ(smf.FileName(), "");
}

class SmfFile : public ::testing::Test {
protected:
  void SetUp() override {
    char templ[] = "/tmp/kalvex-smf-XXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    dir_ = templ;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Write(const std::string& name, const TBytes& bytes) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  std::string dir_;
};

TEST_F(SmfFile, LoadsFromDiskReportsProgressAndReplacesEarlierContent) {
  TSMF smf;
  const std::string first = Write("first.mid", Smf({"00 F0 01 F7 00 FF 2F 00", "00 FF 2F 00", "00 FF 2F 00"}));
  std::vector<std::pair<int, int>> calls;
  smf.LoadFromFile(first, [&](int max, int pos) { calls.emplace_back(max, pos); });
  EXPECT_EQ(smf.TrackCount(), 3);
  EXPECT_EQ(smf.FileName(), "first.mid");
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls.front(), std::make_pair(1000, 0));
  EXPECT_EQ(calls.back(), std::make_pair(1000, 1000));
  for (size_t i = 1; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].first, 1000);
    EXPECT_GE(calls[i].second, calls[i - 1].second);
  }

  smf.LoadFromFile(Write("second.mid", Smf({"00 90 3C 7F 00 FF 2F 00"}, 0)));
  EXPECT_EQ(smf.TrackCount(), 1);
  EXPECT_EQ(smf.Format(), 0);
  EXPECT_EQ(smf.FileName(), "second.mid");
}

TEST_F(SmfFile, FilesThatCannotBeReadRaiseOpenErrorAndClear) {
  TSMF smf;
  smf.LoadFromFile(Write("ok.mid", Smf({"00 FF 2F 00"})));
  for (const std::string& path : {dir_ + "/missing.mid", dir_, std::string("/dev/zero")}) {
    try {
      smf.LoadFromFile(path);
      ADD_FAILURE() << path;
    } catch (const ESMF& e) {
      EXPECT_STREQ(e.what(), "Error: Midi-File could not be opened") << path;
    }
    EXPECT_EQ(smf.TrackCount(), 0);
    EXPECT_EQ(smf.FileName(), "");
  }
  try {
    smf.LoadFromFile(Write("text.mid", Hex("48 65 6C 6C 6F")));
    ADD_FAILURE();
  } catch (const ESMF& e) {
    EXPECT_STREQ(e.what(), "Error: File is no Standard Midi File");
  }
}

#if !defined(__SANITIZE_ADDRESS__)
// A file larger than the memory the process may use raises the memory error
// instead of ending the program. The file is sparse, so it takes no disk.
TEST_F(SmfFile, OutOfMemoryRaisesMemoryError) {
  TBytes head = Smf({"00 FF 2F 00"});
  const std::string path = Write("huge.mid", head);
  ASSERT_EQ(::truncate(path.c_str(), 1LL << 30), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const rlimit limit{512u << 20, 512u << 20};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(10);
    TSMF smf;
    try {
      smf.LoadFromFile(path);
    } catch (const ESMF& e) {
      ::_exit(std::string(e.what()) == "Error: Memory-Error" && smf.TrackCount() == 0 ? 0 : 11);
    }
    ::_exit(12);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
#endif

// Inputs that once broke the reader, kept beside the fuzzer's corpus.
TEST(SmfRegression, CorpusFilesLoadOrRaiseESMF) {
  const std::filesystem::path dir(KALVEX_SMF_CORPUS_DIR);
  if (!std::filesystem::exists(dir)) GTEST_SKIP() << "no corpus";
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    TSMF smf;
    try {
      smf.LoadFromFile(entry.path().string());
    } catch (const ESMF&) {
    }
  }
}

}  // namespace
}  // namespace kalvex
