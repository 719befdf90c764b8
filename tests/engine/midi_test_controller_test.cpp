#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "engine/midi_ports.h"

namespace bridge {
namespace {

using Bytes = std::vector<uint8_t>;
const std::string kController = "Krevlo Test Controller";

struct Recorder {
  std::vector<std::pair<std::string, Bytes>> received, sent;
  MidiPorts::Callbacks callbacks() {
    MidiPorts::Callbacks cb;
    cb.received = [this](const std::string& port, const uint8_t* d, size_t n) { received.push_back({port, Bytes(d, d + n)}); };
    cb.sent = [this](const std::string& port, const uint8_t* d, size_t n) { sent.push_back({port, Bytes(d, d + n)}); };
    return cb;
  }
};

class TestMidiTest : public ::testing::Test {
 protected:
  void SetUp() override { midi->start(rec.callbacks()); }
  bool open(bool input, const std::string& port, std::string* error = nullptr) {
    std::string e;
    const bool ok = midi->open(input, port, e);
    if (error) *error = e;
    return ok;
  }
  std::unique_ptr<MidiPorts> midi = makeTestMidi();
  Recorder rec;
};

TEST_F(TestMidiTest, OffersOnePortEachWayAndOnlyThatName) {
  EXPECT_EQ(midi->inputs(), std::vector<std::string>{kController});
  EXPECT_EQ(midi->outputs(), std::vector<std::string>{kController});
  for (const std::string name : {"Other", "krevlo test controller", "Krevlo Test Controller 2", ""}) {
    for (bool input : {true, false}) {
      std::string error;
      EXPECT_FALSE(open(input, name, &error)) << name;
      EXPECT_EQ(error, "No such port");
    }
  }
  EXPECT_TRUE(open(true, kController));
  EXPECT_TRUE(open(true, kController));  // again: still fine
  EXPECT_TRUE(open(false, kController));
  EXPECT_TRUE(midi->inject("Other", {0x90, 0x3C, 0x64}));  // true, and nothing arrives
  EXPECT_TRUE(rec.received.empty());
}

TEST_F(TestMidiTest, InjectDeliversOnlyWhileTheInputIsOpen) {
  const Bytes notes{0x90, 0x3C, 0x64, 0x3C, 0x00, 0xF8, 0xC0, 0x05};
  EXPECT_TRUE(midi->inject(kController, notes));  // accepted, though nobody listens
  EXPECT_TRUE(rec.received.empty());

  ASSERT_TRUE(open(true, kController));
  EXPECT_TRUE(midi->inject(kController, notes));
  const std::vector<std::pair<std::string, Bytes>> expected = {
      {kController, {0x90, 0x3C, 0x64}}, {kController, {0x90, 0x3C, 0x00}}, {kController, {0xC0, 0x05}}};
  EXPECT_EQ(rec.received, expected);
  // The output is a different port: opening the input did not open it.
  midi->send(kController, notes.data(), 3);
  EXPECT_TRUE(rec.sent.empty());

  midi->close(true, kController);
  midi->close(true, kController);  // closing twice does nothing
  rec.received.clear();
  EXPECT_TRUE(midi->inject(kController, notes));
  EXPECT_TRUE(rec.received.empty());
}

TEST_F(TestMidiTest, MessagesSplitAcrossInjectsArriveWhole) {
  ASSERT_TRUE(open(true, kController));
  EXPECT_TRUE(midi->inject(kController, {0xF0, 0x7E, 0x01}));
  EXPECT_TRUE(rec.received.empty());
  EXPECT_TRUE(midi->inject(kController, {0x02, 0xF7}));
  ASSERT_EQ(rec.received.size(), 1u);
  EXPECT_EQ(rec.received[0].second, (Bytes{0xF0, 0x7E, 0x01, 0x02, 0xF7}));
}

TEST_F(TestMidiTest, ReopenedInputStartsWithAFreshParser) {
  ASSERT_TRUE(open(true, kController));
  EXPECT_TRUE(midi->inject(kController, {0x90, 0x3C, 0x64, 0x3E}));  // one note, then half of another
  midi->close(true, kController);
  ASSERT_TRUE(open(true, kController));
  // Without a reset, 0x00 would finish the old half message, and running status
  // would turn the data bytes into notes from the earlier connection.
  EXPECT_TRUE(midi->inject(kController, {0x00, 0x40, 0x00}));
  ASSERT_EQ(rec.received.size(), 1u);
  EXPECT_EQ(rec.received[0].second, (Bytes{0x90, 0x3C, 0x64}));
}

TEST_F(TestMidiTest, SendEchoesToSentOnlyWhileTheOutputIsOpen) {
  const Bytes note{0x90, 0x3C, 0x64};
  midi->send(kController, note.data(), note.size());
  EXPECT_TRUE(rec.sent.empty());
  ASSERT_TRUE(open(false, kController));
  midi->send(kController, note.data(), note.size());
  midi->send("Other", note.data(), note.size());
  EXPECT_EQ(rec.sent, (std::vector<std::pair<std::string, Bytes>>{{kController, note}}));
  EXPECT_TRUE(rec.received.empty());
  midi->close(false, kController);
  midi->send(kController, note.data(), note.size());
  EXPECT_EQ(rec.sent.size(), 1u);
}

TEST(TestMidi, EmptyCallbacksAreSkipped) {
  auto midi = makeTestMidi();
  midi->start({});
  std::string error;
  ASSERT_TRUE(midi->open(true, kController, error));
  ASSERT_TRUE(midi->open(false, kController, error));
  const Bytes note{0x90, 0x3C, 0x64};
  EXPECT_TRUE(midi->inject(kController, note));
  midi->send(kController, note.data(), note.size());
}

}  // namespace
}  // namespace bridge
