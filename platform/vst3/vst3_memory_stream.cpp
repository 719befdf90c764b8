#include "platform/vst3/vst3_memory_stream.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace Steinberg {

MemoryStream::MemoryStream(const void* data, size_t size) {
  const auto* b = static_cast<const uint8_t*>(data);
  if (b && size) bytes_.assign(b, b + size);
}

tresult MemoryStream::read(void* buffer, int32 numBytes, int32* numBytesRead) {
  if (numBytesRead) *numBytesRead = 0;
  if (numBytes < 0 || (numBytes > 0 && !buffer)) return kInvalidArgument;
  const int64 size = static_cast<int64>(bytes_.size());
  const int64 n = pos_ >= size ? 0 : std::min<int64>(numBytes, size - pos_);
  if (n > 0) std::memcpy(buffer, bytes_.data() + pos_, static_cast<size_t>(n));
  pos_ += n;
  if (numBytesRead) *numBytesRead = static_cast<int32>(n);
  return kResultOk;
}

tresult MemoryStream::write(void* buffer, int32 numBytes, int32* numBytesWritten) {
  if (numBytesWritten) *numBytesWritten = 0;
  if (numBytes < 0 || (numBytes > 0 && !buffer)) return kInvalidArgument;
  if (numBytes == 0) return kResultOk;
  const int64 end = pos_ + numBytes;
  if (end > kMaxSize) return kOutOfMemory;
  try {
    if (end > static_cast<int64>(bytes_.size())) bytes_.resize(static_cast<size_t>(end));
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;  // nothing may unwind into the plug-in
  }
  std::memcpy(bytes_.data() + pos_, buffer, static_cast<size_t>(numBytes));
  pos_ = end;
  if (numBytesWritten) *numBytesWritten = numBytes;
  return kResultOk;
}

tresult MemoryStream::seek(int64 pos, int32 mode, int64* result) {
  int64 base = 0;
  switch (mode) {
    case kIBSeekSet: base = 0; break;
    case kIBSeekCur: base = pos_; break;
    case kIBSeekEnd: base = static_cast<int64>(bytes_.size()); break;
    default: return kInvalidArgument;
  }
  // Both terms lie within [-2^63, kMaxSize], so the sum is checked before it is made.
  if ((pos < 0 && pos < -base) || (pos > 0 && pos > kMaxSize - base)) return kInvalidArgument;
  pos_ = base + pos;
  if (result) *result = pos_;
  return kResultOk;
}

tresult MemoryStream::tell(int64* pos) {
  if (!pos) return kInvalidArgument;
  *pos = pos_;
  return kResultOk;
}

tresult MemoryStream::getStreamSize(int64& size) {
  size = static_cast<int64>(bytes_.size());
  return kResultOk;
}

tresult MemoryStream::setStreamSize(int64 size) {
  if (size < 0 || size > kMaxSize) return kInvalidArgument;
  try {
    bytes_.resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  return kResultOk;
}

}  // namespace Steinberg
