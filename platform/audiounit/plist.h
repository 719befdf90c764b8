#pragma once
// Property-list values and their binary form ("bplist00"), in which an Audio
// Unit's full state travels as a plug-in state blob.
//
// The reader takes bytes from anywhere (a browser's saved project): it checks
// every offset, size and reference, refuses cycles, deep nesting and shared
// references that would expand beyond kMaxNodes, and never throws. Pure; any
// thread.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace bridge::plist {

struct Value;
using Data = std::vector<uint8_t>;
using Array = std::vector<Value>;
// Keys in byte order, so writing is deterministic.
using Dictionary = std::map<std::string, Value>;

struct Value {
  std::variant<bool, int64_t, double, std::string, Data, Array, Dictionary> v;

  Value() : v(false) {}
  Value(bool b) : v(b) {}
  Value(int i) : v(int64_t{i}) {}
  Value(int64_t i) : v(i) {}
  Value(double d) : v(d) {}
  Value(const char* s) : v(std::string(s)) {}
  Value(std::string s) : v(std::move(s)) {}
  Value(Data d) : v(std::move(d)) {}
  Value(Array a) : v(std::move(a)) {}
  Value(Dictionary d) : v(std::move(d)) {}

  template <typename T>
  const T* get() const {
    return std::get_if<T>(&v);
  }
  bool operator==(const Value& other) const { return v == other.v; }
};

// Most nested containers and most decoded values the reader accepts.
inline constexpr int kMaxDepth = 64;
inline constexpr size_t kMaxNodes = size_t{1} << 16;

// The binary form of `value`. Strings that are not ASCII are written as
// UTF-16; they must be valid UTF-8 (else nothing is written and false is
// returned).
bool writeBinary(const Value& value, std::vector<uint8_t>& out);
// The value in `bytes`, or none when they are not a well-formed binary property
// list of the kinds above (dates, UIDs, sets and null are refused too).
std::optional<Value> readBinary(const uint8_t* bytes, size_t size);
inline std::optional<Value> readBinary(const std::vector<uint8_t>& bytes) {
  return readBinary(bytes.data(), bytes.size());
}

}  // namespace bridge::plist
