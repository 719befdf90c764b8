#pragma once
// Counts heap allocations per thread. The counting operator new lives in
// counting_new.cpp, which a binary lists among its own sources to opt in; it is
// never part of the shared support library, so other suites keep the ordinary
// allocator.
#include <cstdint>

namespace bridge::test {

// Allocations made so far by the calling thread (operator new and new[] only).
uint64_t threadAllocations();

}  // namespace bridge::test
