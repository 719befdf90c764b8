#pragma once
// Counts heap allocations per thread, and makes a chosen one fail. The counting
// operator new lives in counting_new.cpp, which a binary lists among its own
// sources to opt in; it is never part of the shared support library, so other
// suites keep the ordinary allocator. It replaces the sanitizer's operator new
// as well (a definition in the executable wins over the runtime's), and takes
// its memory from malloc, which the sanitizer still watches.
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

// Makes the `nth` allocation (1: the next one) that thread `tid` makes from now
// on fail, once: operator new throws std::bad_alloc, the nothrow forms return
// null. A later call for the same thread replaces the earlier one; nth 0
// disarms. False when `tid` has not allocated yet, so no count of it exists.
// Any thread; arm a thread while it waits, so which allocation is its nth does
// not depend on timing.
bool failAllocation(int tid, uint64_t nth);

// Allocations of any thread that failed so far because they were armed to.
uint64_t failedAllocations();

}  // namespace bridge::test
