#pragma once
// Our own declarations of the VST3 byte streams through which state is saved and
// restored. A stream is used by one thread at a time, the one that handed it over.
#include "platform/vst3/vst3_base.h"

namespace Steinberg {

class IBStream : public FUnknown {
 public:
  enum IStreamSeekMode : int32 { kIBSeekSet = 0, kIBSeekCur = 1, kIBSeekEnd = 2 };

  // `numBytesRead`/`numBytesWritten` may be null.
  virtual tresult read(void* buffer, int32 numBytes, int32* numBytesRead) = 0;
  virtual tresult write(void* buffer, int32 numBytes, int32* numBytesWritten) = 0;
  virtual tresult seek(int64 pos, int32 mode, int64* result) = 0;
  virtual tresult tell(int64* pos) = 0;

  static constexpr Uid iid = makeUid(0xC3BF6EA2, 0x30994752, 0x9B6BF990, 0x1EE33E9B);
};

class ISizeableStream : public FUnknown {
 public:
  virtual tresult getStreamSize(int64& size) = 0;
  virtual tresult setStreamSize(int64 size) = 0;

  static constexpr Uid iid = makeUid(0x04F9549E, 0xE02F4E6E, 0x87E86A87, 0x47F4E17F);
};

}  // namespace Steinberg
