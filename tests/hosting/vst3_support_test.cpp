// Our VST3 interface declarations (vtable slots; sizes and offsets are checked
// by static_asserts in the headers) and the host-side objects handed to
// plug-ins: memory streams, parameter change lists, the host application with
// its messages and attribute lists, and the reference-counting bases.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "hosting/vst3_plugin.h"
#include "platform/vst3/vst3_controller.h"
#include "platform/vst3/vst3_host.h"
#include "platform/vst3/vst3_host_application.h"
#include "platform/vst3/vst3_memory_stream.h"
#include "platform/vst3/vst3_message.h"
#include "platform/vst3/vst3_process_data.h"
#include "platform/vst3/vst3_view.h"

namespace Steinberg {
namespace {

using namespace Steinberg::Vst;

// The vtable index of a virtual member function: the Itanium C++ ABI stores
// 1 + the byte offset in the vtable in a pointer to a virtual member.
template <class PMF>
long slotOf(PMF pmf) {
  struct {
    ptrdiff_t ptr;
    ptrdiff_t adj;
  } rep;
  static_assert(sizeof(pmf) == sizeof(rep));
  std::memcpy(&rep, &pmf, sizeof rep);
  if ((rep.ptr & 1) == 0) return -1;  // not virtual
  return static_cast<long>((rep.ptr - 1) / static_cast<ptrdiff_t>(sizeof(void*)));
}

TEST(Vst3Abi, VtableSlots) {
  struct Row {
    const char* name;
    long slot, want;
  };
  const Row rows[] = {
      {"FUnknown::queryInterface", slotOf(&FUnknown::queryInterface), 0},
      {"FUnknown::release", slotOf(&FUnknown::release), 2},
      {"IPluginBase::initialize", slotOf(&IPluginBase::initialize), 3},
      {"IPluginBase::terminate", slotOf(&IPluginBase::terminate), 4},
      {"IComponent::getControllerClassId", slotOf(&IComponent::getControllerClassId), 5},
      {"IComponent::setIoMode", slotOf(&IComponent::setIoMode), 6},
      {"IComponent::getBusCount", slotOf(&IComponent::getBusCount), 7},
      {"IComponent::getBusInfo", slotOf(&IComponent::getBusInfo), 8},
      {"IComponent::getRoutingInfo", slotOf(&IComponent::getRoutingInfo), 9},
      {"IComponent::activateBus", slotOf(&IComponent::activateBus), 10},
      {"IComponent::setActive", slotOf(&IComponent::setActive), 11},
      {"IComponent::setState", slotOf(&IComponent::setState), 12},
      {"IComponent::getState", slotOf(&IComponent::getState), 13},
      {"IAudioProcessor::setBusArrangements", slotOf(&IAudioProcessor::setBusArrangements), 3},
      {"IAudioProcessor::getBusArrangement", slotOf(&IAudioProcessor::getBusArrangement), 4},
      {"IAudioProcessor::canProcessSampleSize", slotOf(&IAudioProcessor::canProcessSampleSize), 5},
      {"IAudioProcessor::getLatencySamples", slotOf(&IAudioProcessor::getLatencySamples), 6},
      {"IAudioProcessor::setupProcessing", slotOf(&IAudioProcessor::setupProcessing), 7},
      {"IAudioProcessor::setProcessing", slotOf(&IAudioProcessor::setProcessing), 8},
      {"IAudioProcessor::process", slotOf(&IAudioProcessor::process), 9},
      {"IAudioProcessor::getTailSamples", slotOf(&IAudioProcessor::getTailSamples), 10},
      {"IEditController::setComponentState", slotOf(&IEditController::setComponentState), 5},
      {"IEditController::setState", slotOf(&IEditController::setState), 6},
      {"IEditController::getState", slotOf(&IEditController::getState), 7},
      {"IEditController::getParameterCount", slotOf(&IEditController::getParameterCount), 8},
      {"IEditController::getParameterInfo", slotOf(&IEditController::getParameterInfo), 9},
      {"IEditController::getParamStringByValue", slotOf(&IEditController::getParamStringByValue), 10},
      {"IEditController::getParamValueByString", slotOf(&IEditController::getParamValueByString), 11},
      {"IEditController::normalizedParamToPlain", slotOf(&IEditController::normalizedParamToPlain), 12},
      {"IEditController::plainParamToNormalized", slotOf(&IEditController::plainParamToNormalized), 13},
      {"IEditController::getParamNormalized", slotOf(&IEditController::getParamNormalized), 14},
      {"IEditController::setParamNormalized", slotOf(&IEditController::setParamNormalized), 15},
      {"IEditController::setComponentHandler", slotOf(&IEditController::setComponentHandler), 16},
      {"IEditController::createView", slotOf(&IEditController::createView), 17},
      {"IComponentHandler::beginEdit", slotOf(&IComponentHandler::beginEdit), 3},
      {"IComponentHandler::performEdit", slotOf(&IComponentHandler::performEdit), 4},
      {"IComponentHandler::endEdit", slotOf(&IComponentHandler::endEdit), 5},
      {"IComponentHandler::restartComponent", slotOf(&IComponentHandler::restartComponent), 6},
      {"IConnectionPoint::connect", slotOf(&IConnectionPoint::connect), 3},
      {"IConnectionPoint::disconnect", slotOf(&IConnectionPoint::disconnect), 4},
      {"IConnectionPoint::notify", slotOf(&IConnectionPoint::notify), 5},
      {"IMessage::getMessageID", slotOf(&IMessage::getMessageID), 3},
      {"IMessage::setMessageID", slotOf(&IMessage::setMessageID), 4},
      {"IMessage::getAttributes", slotOf(&IMessage::getAttributes), 5},
      {"IAttributeList::setInt", slotOf(&IAttributeList::setInt), 3},
      {"IAttributeList::getInt", slotOf(&IAttributeList::getInt), 4},
      {"IAttributeList::setFloat", slotOf(&IAttributeList::setFloat), 5},
      {"IAttributeList::getFloat", slotOf(&IAttributeList::getFloat), 6},
      {"IAttributeList::setString", slotOf(&IAttributeList::setString), 7},
      {"IAttributeList::getString", slotOf(&IAttributeList::getString), 8},
      {"IAttributeList::setBinary", slotOf(&IAttributeList::setBinary), 9},
      {"IAttributeList::getBinary", slotOf(&IAttributeList::getBinary), 10},
      {"IHostApplication::getName", slotOf(&IHostApplication::getName), 3},
      {"IHostApplication::createInstance", slotOf(&IHostApplication::createInstance), 4},
      {"IBStream::read", slotOf(&IBStream::read), 3},
      {"IBStream::write", slotOf(&IBStream::write), 4},
      {"IBStream::seek", slotOf(&IBStream::seek), 5},
      {"IBStream::tell", slotOf(&IBStream::tell), 6},
      {"ISizeableStream::getStreamSize", slotOf(&ISizeableStream::getStreamSize), 3},
      {"ISizeableStream::setStreamSize", slotOf(&ISizeableStream::setStreamSize), 4},
      {"IParamValueQueue::getParameterId", slotOf(&IParamValueQueue::getParameterId), 3},
      {"IParamValueQueue::getPointCount", slotOf(&IParamValueQueue::getPointCount), 4},
      {"IParamValueQueue::getPoint", slotOf(&IParamValueQueue::getPoint), 5},
      {"IParamValueQueue::addPoint", slotOf(&IParamValueQueue::addPoint), 6},
      {"IParameterChanges::getParameterCount", slotOf(&IParameterChanges::getParameterCount), 3},
      {"IParameterChanges::getParameterData", slotOf(&IParameterChanges::getParameterData), 4},
      {"IParameterChanges::addParameterData", slotOf(&IParameterChanges::addParameterData), 5},
      {"IPlugView::isPlatformTypeSupported", slotOf(&IPlugView::isPlatformTypeSupported), 3},
      {"IPlugView::attached", slotOf(&IPlugView::attached), 4},
      {"IPlugView::removed", slotOf(&IPlugView::removed), 5},
      {"IPlugView::onWheel", slotOf(&IPlugView::onWheel), 6},
      {"IPlugView::onKeyDown", slotOf(&IPlugView::onKeyDown), 7},
      {"IPlugView::onKeyUp", slotOf(&IPlugView::onKeyUp), 8},
      {"IPlugView::getSize", slotOf(&IPlugView::getSize), 9},
      {"IPlugView::onSize", slotOf(&IPlugView::onSize), 10},
      {"IPlugView::onFocus", slotOf(&IPlugView::onFocus), 11},
      {"IPlugView::setFrame", slotOf(&IPlugView::setFrame), 12},
      {"IPlugView::canResize", slotOf(&IPlugView::canResize), 13},
      {"IPlugView::checkSizeConstraint", slotOf(&IPlugView::checkSizeConstraint), 14},
      {"IPlugFrame::resizeView", slotOf(&IPlugFrame::resizeView), 3},
      {"IPlugInterfaceSupport::isPlugInterfaceSupported", slotOf(&IPlugInterfaceSupport::isPlugInterfaceSupported), 3},
  };
  for (const Row& r : rows) EXPECT_EQ(r.slot, r.want) << r.name;
  // Nothing beyond the ABI's methods: no destructor slots.
  static_assert(sizeof(IComponent) == sizeof(void*) && sizeof(IEditController) == sizeof(void*));
}

TEST(Vst3MemoryStream, ReadsAndWritesWithinBounds) {
  auto s = IPtr<MemoryStream>::adopt(new MemoryStream);
  char data[] = "hello";
  int32 n = -1;
  EXPECT_EQ(s->write(data, 5, &n), kResultOk);
  EXPECT_EQ(n, 5);
  int64 pos = -1;
  EXPECT_EQ(s->tell(&pos), kResultOk);
  EXPECT_EQ(pos, 5);
  EXPECT_EQ(s->seek(2, IBStream::kIBSeekSet, &pos), kResultOk);
  char out[16] = {};
  EXPECT_EQ(s->read(out, 10, &n), kResultOk);
  EXPECT_EQ(n, 3);
  EXPECT_STREQ(out, "llo");
  EXPECT_EQ(s->read(out, 10, &n), kResultOk);
  EXPECT_EQ(n, 0) << "at the end";
  EXPECT_EQ(s->seek(-1, IBStream::kIBSeekEnd, &pos), kResultOk);
  EXPECT_EQ(pos, 4);
  EXPECT_EQ(s->seek(-5, IBStream::kIBSeekCur, &pos), kInvalidArgument) << "before the start";
  EXPECT_EQ(s->seek(0, 7, &pos), kInvalidArgument);
  EXPECT_EQ(s->seek(MemoryStream::kMaxSize, IBStream::kIBSeekCur, &pos), kInvalidArgument);
  EXPECT_EQ(s->read(out, -1, &n), kInvalidArgument);
  EXPECT_EQ(s->write(nullptr, 3, &n), kInvalidArgument);
  EXPECT_EQ(s->write(data, 0, nullptr), kResultOk);

  // A write past the end fills the gap with zeros.
  EXPECT_EQ(s->seek(8, IBStream::kIBSeekSet, nullptr), kResultOk);
  EXPECT_EQ(s->write(data, 1, nullptr), kResultOk);
  int64 size = 0;
  EXPECT_EQ(s->getStreamSize(size), kResultOk);
  EXPECT_EQ(size, 9);
  EXPECT_EQ(s->bytes()[6], 0);
  EXPECT_EQ(s->setStreamSize(2), kResultOk);
  EXPECT_EQ(s->bytes().size(), 2u);
  EXPECT_EQ(s->setStreamSize(-1), kInvalidArgument);
  // Reading from past the end after a shrink gives nothing.
  EXPECT_EQ(s->read(out, 4, &n), kResultOk);
  EXPECT_EQ(n, 0);

  void* other = nullptr;
  EXPECT_EQ(s->queryInterface(ISizeableStream::iid.bytes, &other), kResultOk);
  static_cast<ISizeableStream*>(other)->release();
}

TEST(Vst3ParameterChanges, RoomIsFixedAndPointsStaySorted) {
  ParameterChanges changes(2, 3);
  int32 index = -5;
  IParamValueQueue* a = changes.addParameterData(7, index);
  ASSERT_TRUE(a);
  EXPECT_EQ(index, 0);
  EXPECT_EQ(changes.addParameterData(7, index), a) << "one queue per id";
  ASSERT_TRUE(changes.addParameterData(8, index));
  EXPECT_EQ(index, 1);
  EXPECT_EQ(changes.addParameterData(9, index), nullptr);
  EXPECT_EQ(index, -1);
  EXPECT_EQ(changes.getParameterCount(), 2);
  EXPECT_EQ(changes.getParameterData(2), nullptr);
  EXPECT_EQ(changes.getParameterData(-1), nullptr);

  EXPECT_EQ(a->addPoint(10, 0.1, index), kResultOk);
  EXPECT_EQ(a->addPoint(0, 0.2, index), kResultOk);
  EXPECT_EQ(index, 0);
  EXPECT_EQ(a->addPoint(10, 0.3, index), kResultOk);
  EXPECT_EQ(index, 1) << "the same offset replaces";
  EXPECT_EQ(a->addPoint(5, 0.4, index), kResultOk);
  EXPECT_EQ(a->addPoint(6, 0.5, index), kResultFalse) << "full";
  EXPECT_EQ(index, -1);
  int32 offset = 0;
  ParamValue value = 0;
  const std::pair<int32, double> want[] = {{0, 0.2}, {5, 0.4}, {10, 0.3}};
  ASSERT_EQ(a->getPointCount(), 3);
  for (int32 i = 0; i < 3; ++i) {
    ASSERT_EQ(a->getPoint(i, offset, value), kResultOk);
    EXPECT_EQ(offset, want[i].first);
    EXPECT_EQ(value, want[i].second);
  }
  EXPECT_EQ(a->getPoint(3, offset, value), kInvalidArgument);
  changes.clear();
  EXPECT_EQ(changes.getParameterCount(), 0);
  IParamValueQueue* again = changes.addParameterData(9, index);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->getParameterId(), 9u);
  EXPECT_EQ(again->getPointCount(), 0) << "a reused queue starts empty";
}

TEST(Vst3HostApplication, MakesMessagesAndAttributeLists) {
  auto* context = bridge::vst3HostContext();
  EXPECT_EQ(context, bridge::vst3HostContext()) << "one per process";
  IHostApplication* app = nullptr;
  ASSERT_EQ(context->queryInterface(IHostApplication::iid.bytes, reinterpret_cast<void**>(&app)), kResultOk);
  EXPECT_EQ(app->release(), 1000u) << "never destroyed";
  String128 name = {};
  ASSERT_EQ(app->getName(name), kResultOk);
  EXPECT_EQ(std::u16string(name), u"Krevlo Bridge");

  TUID messageId, listId;
  std::memcpy(messageId, IMessage::iid.bytes, 16);
  std::memcpy(listId, IAttributeList::iid.bytes, 16);
  void* obj = reinterpret_cast<void*>(1);
  EXPECT_EQ(app->createInstance(messageId, listId, &obj), kNoInterface);
  EXPECT_EQ(obj, nullptr);
  ASSERT_EQ(app->createInstance(messageId, messageId, &obj), kResultOk);
  auto message = IPtr<IMessage>::adopt(static_cast<IMessage*>(obj));
  EXPECT_EQ(message->getMessageID(), nullptr);
  message->setMessageID("hello");
  EXPECT_STREQ(message->getMessageID(), "hello");
  ASSERT_TRUE(message->getAttributes());

  ASSERT_EQ(app->createInstance(listId, listId, &obj), kResultOk);
  auto list = IPtr<IAttributeList>::adopt(static_cast<IAttributeList*>(obj));
  EXPECT_EQ(list->setInt("i", -3), kResultOk);
  EXPECT_EQ(list->setFloat("f", 1.5), kResultOk);
  EXPECT_EQ(list->setString("s", u"hello"), kResultOk);
  const uint8 bytes[] = {9, 8, 7};
  EXPECT_EQ(list->setBinary("b", bytes, 3), kResultOk);
  int64 i = 0;
  double f = 0;
  EXPECT_EQ(list->getInt("i", i), kResultOk);
  EXPECT_EQ(i, -3);
  EXPECT_EQ(list->getFloat("f", f), kResultOk);
  EXPECT_EQ(f, 1.5);
  EXPECT_EQ(list->getInt("f", i), kResultFalse) << "another type";
  EXPECT_EQ(list->getInt("none", i), kResultFalse);
  EXPECT_EQ(list->setInt(nullptr, 1), kInvalidArgument);
  char16 small[4] = {u'x', u'x', u'x', u'x'};
  EXPECT_EQ(list->getString("s", small, sizeof small), kResultOk);
  EXPECT_EQ(std::u16string(small), u"hel") << "cut to the buffer, NUL included";
  EXPECT_EQ(list->getString("s", small, 1), kResultFalse) << "room for no unit";
  const void* data = nullptr;
  uint32 size = 0;
  EXPECT_EQ(list->getBinary("b", data, size), kResultOk);
  ASSERT_EQ(size, 3u);
  EXPECT_EQ(static_cast<const uint8*>(data)[2], 7);

  IPlugInterfaceSupport* support = nullptr;
  ASSERT_EQ(context->queryInterface(IPlugInterfaceSupport::iid.bytes, reinterpret_cast<void**>(&support)),
            kResultOk);
  EXPECT_EQ(support->isPlugInterfaceSupported(IComponent::iid.bytes), kResultTrue);
  EXPECT_EQ(support->isPlugInterfaceSupported(IEditController::iid.bytes), kResultTrue);
  EXPECT_EQ(support->isPlugInterfaceSupported(IPluginFactory::iid.bytes), kResultFalse);
  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(context->queryInterface(IComponent::iid.bytes, &none), kNoInterface);
  EXPECT_EQ(none, nullptr);
}

class Counted final : public RefCounted<Counted, IBStream> {
 public:
  explicit Counted(bool& gone) : gone_(gone) {}
  ~Counted() { gone_ = true; }
  tresult read(void*, int32, int32*) override { return kNotImplemented; }
  tresult write(void*, int32, int32*) override { return kNotImplemented; }
  tresult seek(int64, int32, int64*) override { return kNotImplemented; }
  tresult tell(int64*) override { return kNotImplemented; }

 private:
  bool& gone_;
};

TEST(Vst3RefCounted, LastReleaseDeletes) {
  bool gone = false;
  auto* c = new Counted(gone);
  void* other = nullptr;
  ASSERT_EQ(c->queryInterface(FUnknown::iid.bytes, &other), kResultOk);
  EXPECT_EQ(other, static_cast<IBStream*>(c));
  EXPECT_EQ(c->release(), 1u);
  EXPECT_FALSE(gone);
  EXPECT_EQ(c->release(), 0u);
  EXPECT_TRUE(gone);
}

}  // namespace
}  // namespace Steinberg
