#pragma once
// Counts heap allocations per thread. The counting operator new lives in
// counting_new.cpp, which a binary lists among its own sources to opt in; it is
// never part of the shared support library, so other suites keep the ordinary
// allocator.
#include <cstdint>

namespace bridge::test {

// Allocations made so far by the calling thread (operator new and new[] only).
uint64_t threadAllocations();

// The kernel id of the calling thread, as /proc/self/task lists it.
int currentThreadId();

// Allocations made so far by the live or finished thread with kernel id `tid`
// (the newest such thread when the id was reused), read from any thread; 0 for
// a thread that never allocated. Up to 8192 threads per process are told apart;
// later ones share one count that no id answers.
uint64_t allocationsOfThread(int tid);

}  // namespace bridge::test
