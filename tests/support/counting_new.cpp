// Replaces the global allocation functions for the binary that lists this file.
#include "support/counting_new.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>

namespace {

// One row per thread that allocated, claimed on its first allocation without
// allocating. Only the owner writes its count; any thread reads it. `failIn`
// counts down to the armed allocation: any thread sets it, the owner takes it.
struct Row {
  std::atomic<int> tid{0};
  std::atomic<uint64_t> count{0};
  std::atomic<uint64_t> failIn{0};
};
constexpr int kRows = 8192;
Row rows[kRows];
Row overflow;
std::atomic<int> used{0};
std::atomic<uint64_t> failed{0};

thread_local uint64_t allocations = 0;
thread_local Row* mine = nullptr;

Row* findRow(int tid) {
  const int n = std::min(used.load(), kRows);
  for (int i = n - 1; i >= 0; --i)
    if (rows[i].tid.load(std::memory_order_acquire) == tid) return &rows[i];
  return nullptr;
}

// Counts one allocation of the calling thread; false when it is the armed one.
bool count() {
  ++allocations;
  if (mine == nullptr) {
    const int index = used.fetch_add(1);
    mine = index < kRows ? &rows[index] : &overflow;
    if (mine != &overflow) mine->tid.store(static_cast<int>(::syscall(SYS_gettid)), std::memory_order_release);
  }
  mine->count.store(mine->count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  if (mine == &overflow) return true;
  // A compare-exchange loop, so that a new arming made meanwhile is never
  // counted down by the old one's decrement.
  uint64_t left = mine->failIn.load(std::memory_order_acquire);
  while (left != 0 && !mine->failIn.compare_exchange_weak(left, left - 1, std::memory_order_acq_rel)) {
  }
  if (left != 1) return true;
  failed.fetch_add(1);
  return false;
}

void* allocate(std::size_t size) {
  if (!count()) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

void* allocateAligned(std::size_t size, std::align_val_t align) {
  if (!count()) throw std::bad_alloc();
  std::size_t a = static_cast<std::size_t>(align);
  std::size_t rounded = (size + a - 1) / a * a;
  if (void* p = std::aligned_alloc(a, rounded == 0 ? a : rounded)) return p;
  throw std::bad_alloc();
}
}  // namespace

namespace bridge::test {
uint64_t threadAllocations() { return allocations; }

int currentThreadId() { return static_cast<int>(::syscall(SYS_gettid)); }

uint64_t allocationsOfThread(int tid) {
  const Row* row = findRow(tid);
  return row ? row->count.load(std::memory_order_relaxed) : 0;
}

bool failAllocation(int tid, uint64_t nth) {
  Row* row = findRow(tid);
  if (row == nullptr) return false;
  row->failIn.store(nth, std::memory_order_release);
  return true;
}

uint64_t failedAllocations() { return failed.load(); }
}  // namespace bridge::test

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new(std::size_t size, std::align_val_t align) { return allocateAligned(size, align); }
void* operator new[](std::size_t size, std::align_val_t align) { return allocateAligned(size, align); }

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
