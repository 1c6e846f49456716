// The output's bookkeeping against a scripted service: long messages in
// flight, refused submissions, completions, and drivers that report an error
// yet hand out a working port.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <vector>

#include "midi/midi_input.h"
#include "midi/midi_in_port_base.h"
#include "midi/midi_output.h"
#include "midi/midi_system.h"

namespace kalvex {
namespace {

class TScriptedOutPort final : public TMidiOutPort {
public:
  TScriptedOutPort(TMidiCallback callback, uintptr_t instance) : callback_(callback), instance_(instance) {}
  // As the services' ports do: what is still queued at the end is reported done.
  uint32_t Close() override { return Reset(); }
  uint32_t GetID() override { return kMidiNoError; }
  uint32_t ShortMsg(uint32_t) override {
    ++shorts;
    return kMidiNoError;
  }
  uint32_t PrepareHeader(TMidiHdr* hdr) override {
    hdr->Flags |= kMhdrPrepared;
    return kMidiNoError;
  }
  uint32_t UnprepareHeader(TMidiHdr* hdr) override {
    hdr->Flags &= ~kMhdrPrepared;
    ++unprepared;
    return kMidiNoError;
  }
  uint32_t LongMsg(TMidiHdr* hdr) override {
    if (refuse) return kMidiErrNoMemory;
    queued.push_back(hdr);
    return kMidiNoError;
  }
  uint32_t Reset() override {
    while (!queued.empty()) Complete();
    return kMidiNoError;
  }
  void Complete() {
    TMidiHdr* hdr = queued.front();
    queued.erase(queued.begin());
    callback_(this, MOM_DONE, instance_, reinterpret_cast<uintptr_t>(hdr), 0);
  }
  void Send(uint32_t msg, uintptr_t p1) { callback_(this, msg, instance_, p1, 0); }

  bool refuse = false;
  int unprepared = 0;
  int shorts = 0;
  std::vector<TMidiHdr*> queued;

private:
  TMidiCallback callback_;
  uintptr_t instance_;
};

// An input whose driver stops taking buffers back after the first ones.
class TScriptedInPort final : public TMidiInPortBase {
public:
  using TMidiInPortBase::TMidiInPortBase;
  uint32_t AddBuffer(TMidiHdr* hdr) override {
    if (refuseAfter-- <= 0) return kMidiErrNoMemory;
    return TMidiInPortBase::AddBuffer(hdr);
  }
  int refuseAfter = 1000;
};

// One input and one output device; open can be made to fail.
class TScriptedService final : public TMidiService {
public:
  int InGetNumDevs() override { return 1; }
  int OutGetNumDevs() override { return 1; }
  uint32_t InGetDevCaps(int id, TMidiDeviceCaps& caps) override {
    if (id != 0) return kMidiErrBadDeviceId;
    caps.Name = "Scripted In";
    return kMidiNoError;
  }
  uint32_t OutGetDevCaps(int id, TMidiDeviceCaps& caps) override {
    if (id != 0) return kMidiErrBadDeviceId;
    caps.Name = "Scripted Out";
    return kMidiNoError;
  }
  uint32_t InOpen(std::unique_ptr<TMidiInPort>& port, int, TMidiCallback callback,
                  uintptr_t instance) override {
    if (openResult != kMidiNoError && !handOutPortOnError) return openResult;
    auto p = std::make_unique<TScriptedInPort>(callback, instance);
    in = p.get();
    port = std::move(p);
    return openResult;
  }
  uint32_t OutOpen(std::unique_ptr<TMidiOutPort>& port, int, TMidiCallback callback,
                   uintptr_t instance) override {
    if (openResult != kMidiNoError && !handOutPortOnError) return openResult;
    auto p = std::make_unique<TScriptedOutPort>(callback, instance);
    out = p.get();
    port = std::move(p);
    return openResult;
  }

  uint32_t openResult = kMidiNoError;
  bool handOutPortOnError = false;
  TScriptedOutPort* out = nullptr;
  TScriptedInPort* in = nullptr;
};

class ScriptedOutput : public ::testing::Test {
protected:
  void SetUp() override {
    SetMidiService(&service);
    output.SetDeviceID(0);
  }
  void TearDown() override {
    output.Close();
    SetMidiService(nullptr);
  }
  TScriptedService service;
  TMidiOutput output;
};

TEST_F(ScriptedOutput, CountFollowsSubmissionsAndCompletionsAndNeverGoesBelowZero) {
  output.Open();
  const uint8_t data[] = {0xF0, 0x01, 0xF7};
  ASSERT_TRUE(output.SendLong(data, 3));
  ASSERT_TRUE(output.SendLong(data, 3));
  EXPECT_EQ(output.PendingLongCount(), 2);
  service.out->Complete();
  EXPECT_EQ(output.PendingLongCount(), 1);
  service.out->Complete();
  EXPECT_EQ(output.PendingLongCount(), 0);
  service.out->Send(MOM_DONE, 0);  // a stray completion
  EXPECT_EQ(output.PendingLongCount(), 0);
  EXPECT_EQ(service.out->unprepared, 2);  // each wrapper unprepared and freed on completion
}

TEST_F(ScriptedOutput, RefusedSubmissionIsUncountedAndReleased) {
  output.Open();
  service.out->refuse = true;
  const uint8_t data[] = {0xF0, 0x01, 0xF7};
  EXPECT_FALSE(output.SendLong(data, 3));
  EXPECT_EQ(output.PendingLongCount(), 0);  // no completion will come for it
  EXPECT_EQ(service.out->unprepared, 1);
}

TEST_F(ScriptedOutput, CloseReportsOutstandingMessagesDone) {
  output.Open();
  const uint8_t data[] = {0xF0, 0x01, 0xF7};
  for (int i = 0; i < 12; ++i) output.SendLong(data, 3);
  EXPECT_EQ(output.PendingLongCount(), 12);
  output.Close();
  EXPECT_EQ(output.PendingLongCount(), 0);
}

TEST_F(ScriptedOutput, ChunkedSendWaitsWhileMoreThanTenAreInFlight) {
  output.Open();
  std::vector<uint8_t> data(12000, 0x01);
  int waits = 0;
  const int sent = output.SendLongChunked(data.data(), 12000, [&](TMidiOutputBase&, bool& go) {
    ++waits;
    if (output.PendingLongCount() > TMidiOutput::kMaxPendingChunks) {
      if (waits > 50) go = false;  // nobody completes: give up
    }
  });
  // Eleven pieces go out, then it waits for completions until told to stop.
  EXPECT_EQ(sent, 11000);
  EXPECT_EQ(output.PendingLongCount(), 11);
}

TEST_F(ScriptedOutput, DriverClosedRefusesLongMessagesAndCloseIfDisconnectedCloses) {
  output.Open();
  service.out->Send(MOM_CLOSE, 0);
  EXPECT_TRUE(output.DriverClosed());
  const uint8_t data[] = {0xF0, 0x01, 0xF7};
  EXPECT_FALSE(output.SendLong(data, 3));
  EXPECT_EQ(output.SendLongChunked(data, 3, [](TMidiOutputBase&, bool&) {}), 0);
  output.CloseIfDisconnected();
  EXPECT_FALSE(output.IsOpen());
  output.Open();
  EXPECT_FALSE(output.DriverClosed());  // cleared at every open
}

TEST_F(ScriptedOutput, ErrorWithUsablePortCountsAsOpenAndPlainErrorRaises) {
  service.openResult = kMidiErrUnspecified;
  service.handOutPortOnError = true;
  EXPECT_NO_THROW(output.Open());
  EXPECT_TRUE(output.IsOpen());
  EXPECT_EQ(service.out->shorts, 0);  // telling a working port costs no byte on the wire
  output.Close();

  service.handOutPortOnError = false;
  try {
    output.Open();
    FAIL() << "open succeeded";
  } catch (const EMidiOutputError& e) {
    EXPECT_EQ(e.ErrorCode, kMidiErrUnspecified);
    EXPECT_EQ(std::string(e.what()).rfind("Cannot open MIDI output device \"Scripted Out\":\r\n", 0), 0u);
  }
  EXPECT_FALSE(output.IsOpen());

  TMidiInput input;
  input.SetDeviceID(0);
  service.handOutPortOnError = true;
  EXPECT_NO_THROW(input.Open());
  EXPECT_TRUE(input.IsOpen());
}

// A failed open keeps nothing: the next open builds its buffer afresh, with
// the capacity asked for then.
TEST_F(ScriptedOutput, FailedInputOpenKeepsNoBufferForTheNextOpen) {
  TMidiInput input;
  input.SetDeviceID(0);
  int events = 0;
  input.OnDataAvailable = [&](TMidiInput& s) {
    while (s.ReadEvent()) ++events;
  };
  input.RecordCapacity = 2;
  service.openResult = kMidiErrAllocated;
  EXPECT_THROW(input.Open(), EMidiInputError);
  service.openResult = kMidiNoError;
  input.RecordCapacity = 100;
  input.Open();
  input.Start();
  const uint8_t notes[] = {0x90, 0x3C, 0x7F, 0x3D, 0x7F, 0x3E, 0x7F, 0x3F, 0x7F, 0x40, 0x7F};
  service.in->Deliver(notes, sizeof notes);
  QCoreApplication::processEvents();
  EXPECT_EQ(events, 5);
}

TEST_F(ScriptedOutput, BufferTheDriverWillNotTakeBackIsReported) {
  TMidiInput input;
  input.SetDeviceID(0);
  input.SysExBufferCount = 2;
  std::vector<std::string> errors;
  int events = 0;
  input.OnError = [&](TMidiDeviceBase&, const std::string& text) { errors.push_back(text); };
  input.OnDataAvailable = [&](TMidiInput& s) {
    while (s.ReadEvent()) ++events;
  };
  input.Open();
  input.Start();
  service.in->refuseAfter = 0;  // the two buffers are queued; none goes back
  const uint8_t sysex[] = {0xF0, 0x01, 0xF7};
  service.in->Deliver(sysex, 3);
  QCoreApplication::processEvents();
  EXPECT_EQ(events, 1);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], EMidiInputError(kMidiErrNoMemory).what());
}

}  // namespace
}  // namespace kalvex
