#pragma once
// The host context given to plug-in factories, components and controllers: it
// names the host, makes the messages and attribute lists that a component and its
// separate controller send each other, and answers which interfaces the host
// supports.
//
// Threads: any. HostApplication holds no state of its own; each message and
// attribute list is used by one thread at a time, as plug-ins use them.
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "platform/vst3/vst3_host.h"
#include "platform/vst3/vst3_message.h"
#include "platform/vst3/vst3_object.h"

namespace Steinberg::Vst {

class HostAttributeList final : public RefCounted<HostAttributeList, IAttributeList> {
 public:
  tresult setInt(AttrID id, int64 value) override;
  tresult getInt(AttrID id, int64& value) override;
  tresult setFloat(AttrID id, double value) override;
  tresult getFloat(AttrID id, double& value) override;
  // Up to the first NUL.
  tresult setString(AttrID id, const TChar* string) override;
  // Copies at most sizeInBytes / 2 - 1 units and a NUL; kResultFalse when the
  // buffer holds no unit at all.
  tresult getString(AttrID id, TChar* string, uint32 sizeInBytes) override;
  tresult setBinary(AttrID id, const void* data, uint32 sizeInBytes) override;
  // `data` stays valid until the attribute is set again or the list is freed.
  tresult getBinary(AttrID id, const void*& data, uint32& sizeInBytes) override;

 private:
  using Value = std::variant<int64, double, std::u16string, std::vector<uint8>>;
  template <class T>
  const T* find(AttrID id) const;
  tresult put(AttrID id, Value value);

  std::map<std::string, Value, std::less<>> values_;
};

class HostMessage final : public RefCounted<HostMessage, IMessage> {
 public:
  HostMessage();
  FIDString getMessageID() override;
  void setMessageID(FIDString id) override;
  IAttributeList* getAttributes() override { return attributes_.get(); }

 private:
  std::string id_;
  bool hasId_ = false;
  IPtr<HostAttributeList> attributes_;
};

// Never destroyed by its users: release does not free it.
class HostApplication final : public NonDestroyable<IHostApplication, IPlugInterfaceSupport> {
 public:
  explicit HostApplication(std::u16string name) : name_(std::move(name)) {}

  tresult getName(String128 name) override;
  // Makes a HostMessage (cid and iid IMessage) or a HostAttributeList (both
  // IAttributeList); kNoInterface for anything else.
  tresult createInstance(TUID cid, TUID iid, void** obj) override;
  tresult isPlugInterfaceSupported(const TUID iid) override;

 private:
  const std::u16string name_;
};

}  // namespace Steinberg::Vst
