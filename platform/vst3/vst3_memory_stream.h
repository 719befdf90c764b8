#pragma once
// A growable byte stream in memory, given to plug-ins to write or read state.
//
// Threads: one at a time (the stream belongs to the call it is made for).
// Reads and writes are bounded: a read never goes past the end, a write that
// cannot be stored fails with kOutOfMemory and changes nothing.
#include <cstdint>
#include <vector>

#include "platform/vst3/vst3_object.h"
#include "platform/vst3/vst3_stream.h"

namespace Steinberg {

class MemoryStream final : public RefCounted<MemoryStream, IBStream, ISizeableStream> {
 public:
  MemoryStream() = default;
  // A stream that reads `size` bytes copied from `data`, positioned at 0.
  MemoryStream(const void* data, size_t size);

  // IBStream
  tresult read(void* buffer, int32 numBytes, int32* numBytesRead) override;
  tresult write(void* buffer, int32 numBytes, int32* numBytesWritten) override;
  tresult seek(int64 pos, int32 mode, int64* result) override;
  tresult tell(int64* pos) override;
  // ISizeableStream
  tresult getStreamSize(int64& size) override;
  tresult setStreamSize(int64 size) override;

  const std::vector<uint8_t>& bytes() const { return bytes_; }
  void rewind() { pos_ = 0; }

  // Beyond this a stream refuses to grow, so a plug-in cannot make the host
  // allocate without limit (the state blob's lengths are 32-bit).
  static constexpr int64 kMaxSize = int64(UINT32_MAX);

 private:
  std::vector<uint8_t> bytes_;
  int64 pos_ = 0;  // may lie past the end after a seek
};

}  // namespace Steinberg
