// The binary property-list codec against bytes written by hand from the
// published layout (header, objects, offset table, 32-byte trailer), and
// against malformed lists it must refuse.
#include "platform/audiounit/plist.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace bridge::plist {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes trailer(uint8_t offsetSize, uint8_t refSize, uint64_t count, uint64_t top, uint64_t table) {
  Bytes t(6, 0);
  t.push_back(offsetSize);
  t.push_back(refSize);
  for (uint64_t v : {count, top, table})
    for (int i = 7; i >= 0; --i) t.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return t;
}

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Bytes kMagic = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};

// {"a": 1}: the dictionary at 8, its key at 11, its value at 13; the offset
// table at 15.
Bytes oneEntry() {
  return join({kMagic, {0xD1, 0x01, 0x02}, {0x51, 'a'}, {0x10, 0x01}, {0x08, 0x0B, 0x0D}, trailer(1, 1, 3, 0, 15)});
}

TEST(Plist, ReadsAndWritesTheHandWrittenDictionary) {
  const auto v = readBinary(oneEntry());
  ASSERT_TRUE(v);
  EXPECT_EQ(*v, Value(Dictionary{{"a", Value(1)}}));
  Bytes out;
  ASSERT_TRUE(writeBinary(*v, out));
  EXPECT_EQ(out, oneEntry()) << "objects numbered depth first, keys before values, smallest widths";
}

TEST(Plist, ReadsEveryKindOfValue) {
  // [true, -1, 3.5, "hé" (UTF-16), <01 02>, 300, 1.5 (4-byte real)]
  const Bytes list = join({kMagic,
                           {0xA7, 1, 2, 3, 4, 5, 6, 7},
                           {0x09},
                           {0x13, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
                           {0x23, 0x40, 0x0C, 0, 0, 0, 0, 0, 0},
                           {0x62, 0x00, 0x68, 0x00, 0xE9},
                           {0x42, 0x01, 0x02},
                           {0x11, 0x01, 0x2C},
                           {0x22, 0x3F, 0xC0, 0x00, 0x00},
                           {0x08, 0x10, 0x11, 0x1A, 0x23, 0x28, 0x2B, 0x2E},
                           trailer(1, 1, 8, 0, 51)});
  const auto v = readBinary(list);
  ASSERT_TRUE(v);
  const Value want(Array{Value(true), Value(int64_t{-1}), Value(3.5), Value("h\xC3\xA9"), Value(Data{1, 2}),
                         Value(300), Value(1.5)});
  EXPECT_EQ(*v, want);

  // Written back and read again, it is the same value.
  Bytes out;
  ASSERT_TRUE(writeBinary(*v, out));
  EXPECT_EQ(readBinary(out), want);
}

TEST(Plist, LongCountsAndWideReferencesRoundTrip) {
  Data data(20, 0xAB);
  Array many;
  for (int i = 0; i < 300; ++i) many.push_back(Value(i));  // object refs need 2 bytes
  Dictionary entries;
  entries["data"] = Value(data);
  entries["many"] = Value(many);
  entries["long text beyond fifteen"] = Value("x");
  entries["big"] = Value(int64_t{1} << 40);
  entries["emoji \xF0\x9F\x8E\xB5"] = Value(false);
  const Value v(std::move(entries));
  Bytes out;
  ASSERT_TRUE(writeBinary(v, out));
  EXPECT_EQ(readBinary(out), v);
  // The 20-byte data object: marker 0x4F, then its count as a 1-byte integer.
  const uint8_t head[] = {0x4F, 0x10, 20};
  EXPECT_NE(std::search(out.begin(), out.end(), head, head + 3), out.end());
}

TEST(Plist, WritingRefusesTextThatIsNotUtf8) {
  Bytes out;
  EXPECT_FALSE(writeBinary(Value(Array{Value("ok"), Value(std::string("\xC3\x28"))}), out));
  EXPECT_FALSE(writeBinary(Value(std::string("\xED\xA0\x80")), out)) << "an encoded surrogate";
}

// A one-object list around `object`, which sits at offset 8.
Bytes single(const Bytes& object) {
  const uint64_t table = 8 + object.size();
  return join({kMagic, object, {0x08}, trailer(1, 1, 1, 0, table)});
}

// A chain of `depth` one-element arrays around an integer.
Bytes nested(int depth) {
  Bytes objects, offsets;
  for (int i = 0; i < depth; ++i) {
    offsets.push_back(static_cast<uint8_t>(8 + objects.size()));
    objects.insert(objects.end(), {0xA1, static_cast<uint8_t>(i + 1)});
  }
  offsets.push_back(static_cast<uint8_t>(8 + objects.size()));
  objects.insert(objects.end(), {0x10, 0x07});
  return join({kMagic, objects, offsets, trailer(1, 1, depth + 1, 0, 8 + objects.size())});
}

// `levels` arrays, each holding the next one twice: a small file that would
// expand to 2^levels values.
Bytes doubling(int levels) {
  Bytes objects, offsets;
  for (int i = 0; i < levels; ++i) {
    offsets.push_back(static_cast<uint8_t>(8 + objects.size()));
    objects.insert(objects.end(), {0xA2, static_cast<uint8_t>(i + 1), static_cast<uint8_t>(i + 1)});
  }
  offsets.push_back(static_cast<uint8_t>(8 + objects.size()));
  objects.insert(objects.end(), {0x09});
  return join({kMagic, objects, offsets, trailer(1, 1, levels + 1, 0, 8 + objects.size())});
}

TEST(Plist, RefusesMalformedLists) {
  auto patched = [](size_t at, uint8_t byte) {
    Bytes b = oneEntry();
    b[at] = byte;
    return b;
  };
  const size_t t = oneEntry().size() - 32;  // trailer
  struct Case {
    const char* what;
    Bytes bytes;
  } cases[] = {
      {"nothing", {}},
      {"shorter than header and trailer", Bytes(kMagic.begin(), kMagic.end())},
      {"another version", patched(7, '1')},
      {"offset width 0", patched(t + 6, 0)},
      {"offset width 3", patched(t + 6, 3)},
      {"reference width 0", patched(t + 7, 0)},
      {"no objects", patched(t + 15, 0)},
      {"top object beyond the count", patched(t + 23, 3)},
      {"table beyond the file", patched(t + 31, 0xF0)},
      {"table in the header", patched(t + 31, 2)},
      {"offset into the table", patched(15, 0x10)},
      {"offset into the header", patched(15, 0x03)},
      {"reference beyond the count", patched(9, 0x09)},
      {"key that is not a string", patched(9, 0x02)},
      {"dictionary referring to itself", patched(10, 0x00)},
      {"string longer than the file", single({0x55, 'a', 'b'})},
      {"non-ASCII byte in an ASCII string", single({0x52, 'a', 0xE9})},
      {"lone low surrogate", single({0x61, 0xDC, 0x00})},
      {"high surrogate at the end", single({0x62, 0x00, 0x61, 0xD8, 0x00})},
      {"16-byte integer", single({0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1})},
      {"integer cut short", single({0x13, 0, 0})},
      {"date", single({0x33, 0, 0, 0, 0, 0, 0, 0, 0})},
      {"null", single({0x00})},
      {"unique id", single({0x80, 0x01})},
      {"set", single({0xC0})},
      {"count that is not an integer", single({0x4F, 0x22, 0, 0, 0, 0})},
      {"count far beyond the file", single({0xAF, 0x13, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})},
      {"array referring to itself", single({0xA1, 0x00})},
      {"nesting deeper than the limit", nested(kMaxDepth + 1)},
      {"shared references expanding beyond the limit", doubling(30)},
  };
  for (const Case& c : cases) EXPECT_FALSE(readBinary(c.bytes)) << c.what;

  EXPECT_TRUE(readBinary(nested(kMaxDepth))) << "the deepest nesting allowed";
  EXPECT_TRUE(readBinary(doubling(10))) << "shared references within the limit";
  EXPECT_FALSE(readBinary(nullptr, 0));
}

}  // namespace
}  // namespace bridge::plist
