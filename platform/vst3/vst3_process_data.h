#pragma once
// What the host gives the audio processor for each block: the bus buffers, made
// once from the component's bus infos, and parameter change lists whose storage
// is fixed when they are made.
//
// Threads: prepare and unprepare on the main thread while the processor is not
// processing; everything else on the audio thread, which these classes never make
// allocate, lock or block.
#include <vector>

#include "platform/vst3/vst3_object.h"
#include "platform/vst3/vst3_processor.h"

namespace Steinberg::Vst {

// One parameter's points of one block, kept sorted by sample offset; a point at
// an offset already present replaces that point's value.
class ParameterValueQueue final : public NonDestroyable<IParamValueQueue> {
 public:
  explicit ParameterValueQueue(int32 maxPoints);

  void reset(ParamID id) {
    id_ = id;
    count_ = 0;
  }

  ParamID getParameterId() override { return id_; }
  int32 getPointCount() override { return count_; }
  tresult getPoint(int32 index, int32& sampleOffset, ParamValue& value) override;
  // kResultFalse, index -1, when the queue is full.
  tresult addPoint(int32 sampleOffset, ParamValue value, int32& index) override;

 private:
  struct Point {
    int32 offset;
    ParamValue value;
  };
  ParamID id_ = 0;
  int32 count_ = 0;
  std::vector<Point> points_;  // sized once
};

// Room for a fixed number of parameters per block, each with a fixed number of
// points.
class ParameterChanges final : public NonDestroyable<IParameterChanges> {
 public:
  explicit ParameterChanges(int32 maxParameters = 64, int32 maxPoints = 64);
  ParameterChanges(const ParameterChanges&) = delete;
  ParameterChanges& operator=(const ParameterChanges&) = delete;

  void clear() { count_ = 0; }

  int32 getParameterCount() override { return count_; }
  IParamValueQueue* getParameterData(int32 index) override;
  IParamValueQueue* addParameterData(const ParamID& id, int32& index) override;

 private:
  int32 count_ = 0;
  std::vector<ParameterValueQueue> queues_;  // sized once; addresses stay put
};

// ProcessData with buffers for every audio bus of a component: bus 0 each way
// gets buffers of its own, every further bus (which this host keeps inactive)
// shares one silent scratch buffer per direction.
class HostProcessData : public ProcessData {
 public:
  // Caps on what an untrusted bus list can make the host allocate.
  static constexpr int32 kMaxBuses = 256;
  static constexpr int32 kMaxChannels = 64;

  HostProcessData();
  HostProcessData(const HostProcessData&) = delete;
  HostProcessData& operator=(const HostProcessData&) = delete;

  // Replaces the buffers with ones for `maxSamples` 32-bit samples per channel
  // for the component's audio buses as its bus infos describe them (a bus whose
  // info is refused gets no channels). Keeps the lists and context attached.
  void prepare(IComponent& component, int32 maxSamples);
  // Frees the buffers; the bus counts become 0.
  void unprepare();

  int32 maxSamples() const { return maxSamples_; }

 private:
  void makeBuses(IComponent& component, BusDirection dir, std::vector<AudioBusBuffers>& buses,
                 std::vector<float>& main, std::vector<Sample32*>& pointers);

  int32 maxSamples_ = 0;
  std::vector<AudioBusBuffers> inputBuses_, outputBuses_;
  std::vector<float> inputMain_, outputMain_, inputScratch_, outputScratch_;
  std::vector<Sample32*> inputPointers_, outputPointers_;
};

}  // namespace Steinberg::Vst
