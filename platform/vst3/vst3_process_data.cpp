#include "platform/vst3/vst3_process_data.h"

#include <algorithm>

namespace Steinberg::Vst {

ParameterValueQueue::ParameterValueQueue(int32 maxPoints) : points_(static_cast<size_t>(std::max(maxPoints, 1))) {}

tresult ParameterValueQueue::getPoint(int32 index, int32& sampleOffset, ParamValue& value) {
  if (index < 0 || index >= count_) return kInvalidArgument;
  sampleOffset = points_[static_cast<size_t>(index)].offset;
  value = points_[static_cast<size_t>(index)].value;
  return kResultOk;
}

tresult ParameterValueQueue::addPoint(int32 sampleOffset, ParamValue value, int32& index) {
  int32 at = count_;
  for (int32 i = 0; i < count_; ++i) {
    Point& p = points_[static_cast<size_t>(i)];
    if (p.offset == sampleOffset) {
      p.value = value;
      index = i;
      return kResultOk;
    }
    if (p.offset > sampleOffset) {
      at = i;
      break;
    }
  }
  if (count_ >= static_cast<int32>(points_.size())) {
    index = -1;
    return kResultFalse;
  }
  for (int32 i = count_; i > at; --i) points_[static_cast<size_t>(i)] = points_[static_cast<size_t>(i - 1)];
  points_[static_cast<size_t>(at)] = Point{sampleOffset, value};
  ++count_;
  index = at;
  return kResultOk;
}

ParameterChanges::ParameterChanges(int32 maxParameters, int32 maxPoints) {
  const size_t n = static_cast<size_t>(std::max(maxParameters, 1));
  queues_.reserve(n);
  for (size_t i = 0; i < n; ++i) queues_.emplace_back(maxPoints);
}

IParamValueQueue* ParameterChanges::getParameterData(int32 index) {
  if (index < 0 || index >= count_) return nullptr;
  return &queues_[static_cast<size_t>(index)];
}

IParamValueQueue* ParameterChanges::addParameterData(const ParamID& id, int32& index) {
  for (int32 i = 0; i < count_; ++i) {
    if (queues_[static_cast<size_t>(i)].getParameterId() == id) {
      index = i;
      return &queues_[static_cast<size_t>(i)];
    }
  }
  if (count_ >= static_cast<int32>(queues_.size())) {
    index = -1;
    return nullptr;
  }
  ParameterValueQueue& q = queues_[static_cast<size_t>(count_)];
  q.reset(id);
  index = count_++;
  return &q;
}

HostProcessData::HostProcessData() : ProcessData{} {
  processMode = kRealtime;
  symbolicSampleSize = kSample32;
}

void HostProcessData::makeBuses(IComponent& component, BusDirection dir, std::vector<AudioBusBuffers>& buses,
                                std::vector<float>& main, std::vector<Sample32*>& pointers) {
  const int32 count = std::clamp(component.getBusCount(kAudio, dir), 0, kMaxBuses);
  std::vector<int32> channels(static_cast<size_t>(count), 0);
  size_t pointerCount = 0;
  for (int32 b = 0; b < count; ++b) {
    BusInfo info{};
    if (component.getBusInfo(kAudio, dir, b, info) == kResultOk)
      channels[static_cast<size_t>(b)] = std::clamp(info.channelCount, 0, kMaxChannels);
    pointerCount += static_cast<size_t>(channels[static_cast<size_t>(b)]);
  }
  const size_t samples = static_cast<size_t>(maxSamples_);
  const int32 mainChannels = count > 0 ? channels[0] : 0;
  main.assign(samples * static_cast<size_t>(mainChannels), 0.0f);
  std::vector<float>& scratch = dir == kInput ? inputScratch_ : outputScratch_;
  scratch.assign(samples, 0.0f);
  pointers.assign(pointerCount, nullptr);
  buses.assign(static_cast<size_t>(count), AudioBusBuffers{});
  size_t next = 0;
  for (int32 b = 0; b < count; ++b) {
    AudioBusBuffers& bus = buses[static_cast<size_t>(b)];
    bus.numChannels = channels[static_cast<size_t>(b)];
    bus.silenceFlags = 0;
    bus.channelBuffers32 = pointers.data() + next;
    for (int32 c = 0; c < bus.numChannels; ++c)
      pointers[next++] = b == 0 ? main.data() + samples * static_cast<size_t>(c) : scratch.data();
  }
}

void HostProcessData::prepare(IComponent& component, int32 maxSamples) {
  unprepare();
  maxSamples_ = std::max(maxSamples, 1);
  makeBuses(component, kInput, inputBuses_, inputMain_, inputPointers_);
  makeBuses(component, kOutput, outputBuses_, outputMain_, outputPointers_);
  numInputs = static_cast<int32>(inputBuses_.size());
  numOutputs = static_cast<int32>(outputBuses_.size());
  inputs = inputBuses_.empty() ? nullptr : inputBuses_.data();
  outputs = outputBuses_.empty() ? nullptr : outputBuses_.data();
}

void HostProcessData::unprepare() {
  numInputs = numOutputs = 0;
  inputs = outputs = nullptr;
  numSamples = 0;
  maxSamples_ = 0;
  for (auto* v : {&inputBuses_, &outputBuses_}) std::vector<AudioBusBuffers>().swap(*v);
  for (auto* v : {&inputMain_, &outputMain_, &inputScratch_, &outputScratch_}) std::vector<float>().swap(*v);
  for (auto* v : {&inputPointers_, &outputPointers_}) std::vector<Sample32*>().swap(*v);
}

}  // namespace Steinberg::Vst
