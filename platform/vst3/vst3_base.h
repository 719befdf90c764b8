#pragma once
// Our own declarations of the VST3 base ABI on Linux (LP64, g++): scalar types,
// result codes, interface ids in the non-COM byte order, and FUnknown.
//
// Interfaces are plain abstract classes whose vtable order is the ABI. They
// declare no destructor: a virtual one would add vtable slots the ABI lacks, and
// objects are released through release(), never deleted through an interface.
#include <cstdint>
#include <cstring>

namespace Steinberg {

using int8 = char;
using uint8 = unsigned char;
using int16 = int16_t;
using uint16 = uint16_t;
using int32 = int32_t;
using uint32 = uint32_t;
using int64 = int64_t;
using uint64 = uint64_t;
using char8 = char;
using char16 = char16_t;
using TBool = uint8;
using tresult = int32;
using FIDString = const char8*;
using TUID = int8[16];
using String128 = char16[128];

// Result codes of the Linux ABI (not the COM values).
enum : tresult {
  kNoInterface = -1,
  kResultOk = 0,
  kResultTrue = 0,
  kResultFalse = 1,
  kInvalidArgument = 2,
  kNotImplemented = 3,
  kInternalError = 4,
  kNotInitialized = 5,
  kOutOfMemory = 6,
};

// A 16-byte interface or class id. On Linux each of the four 32-bit words is
// stored most significant byte first.
struct Uid {
  TUID bytes;

  constexpr bool operator==(const Uid& other) const {
    for (int i = 0; i < 16; ++i)
      if (bytes[i] != other.bytes[i]) return false;
    return true;
  }
  bool matches(const void* tuid) const { return tuid && std::memcmp(bytes, tuid, 16) == 0; }
};

constexpr Uid makeUid(uint32 l1, uint32 l2, uint32 l3, uint32 l4) {
  Uid u{};
  const uint32 words[4] = {l1, l2, l3, l4};
  for (int w = 0; w < 4; ++w)
    for (int b = 0; b < 4; ++b) u.bytes[w * 4 + b] = static_cast<int8>((words[w] >> (24 - 8 * b)) & 0xff);
  return u;
}

static_assert(sizeof(Uid) == 16);

class FUnknown {
 public:
  virtual tresult queryInterface(const TUID iid, void** obj) = 0;
  virtual uint32 addRef() = 0;
  virtual uint32 release() = 0;

  static constexpr Uid iid = makeUid(0x00000000, 0x00000000, 0xC0000000, 0x00000046);
};

static_assert(sizeof(FUnknown) == sizeof(void*));

// Shared ownership of an interface pointer: addRef on copy, release on drop.
template <class I>
class IPtr {
 public:
  IPtr() = default;
  // Takes over a reference the caller already owns (as createInstance and
  // queryInterface hand out).
  static IPtr adopt(I* p) {
    IPtr r;
    r.p_ = p;
    return r;
  }
  IPtr(const IPtr& o) : p_(o.p_) {
    if (p_) p_->addRef();
  }
  IPtr(IPtr&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  IPtr& operator=(IPtr o) noexcept {
    I* t = p_;
    p_ = o.p_;
    o.p_ = t;
    return *this;
  }
  ~IPtr() {
    if (p_) p_->release();
  }
  I* get() const { return p_; }
  I* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  I* p_ = nullptr;
};

// queryInterface for J on any interface, as shared ownership; empty when absent.
template <class J, class I>
IPtr<J> queryInterface(I* from) {
  if (!from) return {};
  void* obj = nullptr;
  if (from->queryInterface(J::iid.bytes, &obj) != kResultOk || !obj) return {};
  return IPtr<J>::adopt(static_cast<J*>(obj));
}

}  // namespace Steinberg
