#include "platform/vst3/vst3_host_application.h"

#include <algorithm>
#include <new>

#include "platform/vst3/vst3_component.h"
#include "platform/vst3/vst3_controller.h"
#include "platform/vst3/vst3_processor.h"

namespace Steinberg::Vst {

namespace {

// Nothing may unwind into a plug-in's frames.
template <class Fn>
tresult guarded(Fn&& fn) {
  try {
    return fn();
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  } catch (...) {
    return kInternalError;
  }
}

}  // namespace

template <class T>
const T* HostAttributeList::find(AttrID id) const {
  if (!id) return nullptr;
  auto it = values_.find(std::string_view(id));
  return it == values_.end() ? nullptr : std::get_if<T>(&it->second);
}

tresult HostAttributeList::put(AttrID id, Value value) {
  if (!id) return kInvalidArgument;
  return guarded([&] {
    values_.insert_or_assign(std::string(id), std::move(value));
    return kResultOk;
  });
}

tresult HostAttributeList::setInt(AttrID id, int64 value) { return put(id, value); }

tresult HostAttributeList::getInt(AttrID id, int64& value) {
  const int64* v = find<int64>(id);
  if (!v) return kResultFalse;
  value = *v;
  return kResultOk;
}

tresult HostAttributeList::setFloat(AttrID id, double value) { return put(id, value); }

tresult HostAttributeList::getFloat(AttrID id, double& value) {
  const double* v = find<double>(id);
  if (!v) return kResultFalse;
  value = *v;
  return kResultOk;
}

tresult HostAttributeList::setString(AttrID id, const TChar* string) {
  if (!string) return kInvalidArgument;
  return guarded([&] { return put(id, std::u16string(string)); });
}

tresult HostAttributeList::getString(AttrID id, TChar* string, uint32 sizeInBytes) {
  const std::u16string* v = find<std::u16string>(id);
  if (!v) return kResultFalse;
  const size_t units = sizeInBytes / sizeof(TChar);
  if (!string || units == 0) return kResultFalse;
  const size_t n = std::min(v->size(), units - 1);
  std::copy_n(v->data(), n, string);
  string[n] = 0;
  return kResultOk;
}

tresult HostAttributeList::setBinary(AttrID id, const void* data, uint32 sizeInBytes) {
  if (!data && sizeInBytes) return kInvalidArgument;
  return guarded([&] {
    const auto* b = static_cast<const uint8*>(data);
    return put(id, std::vector<uint8>(b, b + sizeInBytes));
  });
}

tresult HostAttributeList::getBinary(AttrID id, const void*& data, uint32& sizeInBytes) {
  const std::vector<uint8>* v = find<std::vector<uint8>>(id);
  if (!v) return kResultFalse;
  data = v->data();
  sizeInBytes = static_cast<uint32>(v->size());
  return kResultOk;
}

HostMessage::HostMessage() : attributes_(IPtr<HostAttributeList>::adopt(new HostAttributeList)) {}

FIDString HostMessage::getMessageID() { return hasId_ ? id_.c_str() : nullptr; }

void HostMessage::setMessageID(FIDString id) {
  // A message id too large to copy leaves the message without one.
  try {
    hasId_ = id != nullptr;
    id_ = id ? id : "";
  } catch (...) {
    hasId_ = false;
  }
}

tresult HostApplication::getName(String128 name) {
  if (!name) return kInvalidArgument;
  const size_t n = std::min<size_t>(name_.size(), 127);
  std::copy_n(name_.data(), n, name);
  name[n] = 0;
  return kResultOk;
}

tresult HostApplication::createInstance(TUID cid, TUID iid, void** obj) {
  if (!obj) return kInvalidArgument;
  *obj = nullptr;
  return guarded([&]() -> tresult {
    if (IMessage::iid.matches(cid) && IMessage::iid.matches(iid)) {
      *obj = static_cast<IMessage*>(new HostMessage);
      return kResultOk;
    }
    if (IAttributeList::iid.matches(cid) && IAttributeList::iid.matches(iid)) {
      *obj = static_cast<IAttributeList*>(new HostAttributeList);
      return kResultOk;
    }
    return kNoInterface;
  });
}

tresult HostApplication::isPlugInterfaceSupported(const TUID iid) {
  // The plug-in interfaces this host calls.
  for (const Uid& known :
       {IComponent::iid, IAudioProcessor::iid, IEditController::iid, IConnectionPoint::iid, IPlugView::iid})
    if (known.matches(iid)) return kResultTrue;
  return kResultFalse;
}

}  // namespace Steinberg::Vst
