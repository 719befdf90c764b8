#pragma once
// FUnknown for the objects this host hands to plug-ins.
//
// Both bases answer queryInterface for FUnknown and for each listed interface.
// Derived classes must be final: the last release of a RefCounted object deletes
// it as its most derived type, so no interface needs a virtual destructor.
// Reference counts are atomic; any thread.
#include <atomic>

#include "platform/vst3/vst3_base.h"

namespace Steinberg {

namespace detail {

template <class First, class... Rest, class Self>
tresult answerQuery(Self* self, const TUID iid, void** obj) {
  if (!obj) return kInvalidArgument;
  void* found = nullptr;
  if (FUnknown::iid.matches(iid) || First::iid.matches(iid)) {
    found = static_cast<First*>(self);
  } else {
    ((found = found ? found : Rest::iid.matches(iid) ? static_cast<void*>(static_cast<Rest*>(self)) : nullptr), ...);
  }
  *obj = found;
  if (!found) return kNoInterface;
  static_cast<First*>(self)->addRef();
  return kResultOk;
}

}  // namespace detail

// For objects with an owner of their own (a member of a larger object, a
// process-wide singleton): the count is fixed and release never destroys.
template <class... Interfaces>
class NonDestroyable : public Interfaces... {
 public:
  static constexpr uint32 kFixedCount = 1000;

  tresult queryInterface(const TUID iid, void** obj) override {
    return detail::answerQuery<Interfaces...>(this, iid, obj);
  }
  uint32 addRef() override { return kFixedCount; }
  uint32 release() override { return kFixedCount; }
};

// Made with one reference (take it with IPtr<I>::adopt); the last release
// deletes the object.
template <class Derived, class... Interfaces>
class RefCounted : public Interfaces... {
 public:
  tresult queryInterface(const TUID iid, void** obj) override {
    return detail::answerQuery<Interfaces...>(this, iid, obj);
  }
  uint32 addRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  uint32 release() override {
    const uint32 left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete static_cast<Derived*>(this);
    return left;
  }

 protected:
  RefCounted() = default;
  RefCounted(const RefCounted&) = delete;
  RefCounted& operator=(const RefCounted&) = delete;

 private:
  std::atomic<uint32> refs_{1};
};

}  // namespace Steinberg
