// Blocks whose processing throws: each is lost alone, counted, and its reason
// kept for the main thread without the worker printing anything.
#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "chain_rig.h"

namespace bridge {
namespace {

using test::at;
using test::ChainRig;
using test::FakePluginOptions;
using test::makeFrame;
using test::makeSlot;

using Throw = std::function<void()>;  // empty: the block goes through

Throw fails(const std::string& what) {
  return [what] { throw std::runtime_error(what); };
}

TEST(ChainFailures, AThrowingBlockIsLostAloneCountedAndItsReasonKeptOnce) {
  const Throw outOfMemory = [] { throw std::bad_alloc(); };
  const Throw notStd = [] { throw 7; };
  struct Case {
    const char* name;
    std::vector<Throw> blocks;  // what the plug-in does in each block's process call
    std::vector<std::string> errors;
  };
  std::vector<Throw> manyKinds(10);
  std::vector<std::string> firstEight;
  for (int i = 0; i < 10; ++i) {
    manyKinds[i] = fails("kind " + std::to_string(i));
    if (i < 8) firstEight.push_back("kind " + std::to_string(i));
  }
  manyKinds.push_back({});
  const Case cases[] = {
      {"a plug-in's exception", {{}, fails("filter exploded"), {}}, {"filter exploded"}},
      {"the same failure on every block is kept once",
       {fails("filter exploded"), fails("filter exploded"), fails("filter exploded"), {}},
       {"filter exploded"}},
      {"a different failure is kept again", {fails("a"), fails("b"), fails("a"), {}}, {"a", "b", "a"}},
      {"out of memory", {{}, outOfMemory, {}}, {"std::bad_alloc"}},
      {"not a std::exception", {notStd, {}}, {"an exception that is not a std::exception"}},
      {"an empty reason", {fails(""), {}}, {"an exception without a description"}},
      {"more reasons than are kept between two takes", manyKinds, firstEight},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePluginOptions o;
    auto calls = std::make_shared<std::atomic<size_t>>(0);
    o.onProcess = [calls, blocks = c.blocks] {
      const size_t i = calls->fetch_add(1);
      if (i < blocks.size() && blocks[i]) blocks[i]();
    };
    ChainRig rig;
    rig.setSlots({makeSlot("a", o)});
    std::vector<int32_t> expected;
    int32_t thrown = 0;
    for (size_t b = 0; b < c.blocks.size(); ++b) {
      const int32_t position = static_cast<int32_t>(b) * 128;
      rig.push(makeFrame(at(position), 128, 0.5f));
      if (c.blocks[b]) {
        ++thrown;
      } else {
        expected.push_back(position);
      }
    }
    // The last block always goes through, so once it is out every block is done.
    ASSERT_TRUE(rig.waitOutputs(expected.size()));
    std::vector<int32_t> positions;
    for (const test::OutputFrame& f : rig.decoded()) positions.push_back(f.position);
    EXPECT_EQ(positions, expected);
    ChainStats stats = rig.chain().takeStats();
    EXPECT_EQ(stats.dropped, thrown);
    EXPECT_EQ(stats.errors, c.errors);
    ChainStats again = rig.chain().takeStats();
    EXPECT_EQ(again.dropped, 0);
    EXPECT_TRUE(again.errors.empty());
  }
}

}  // namespace
}  // namespace bridge
