#pragma once

#include <cstdint>

// Heap allocations made by the whole program so far. Counting comes from replacing the global
// operator new in alloc_counter.cpp, so only programs that link that file count.
uint64_t AllocationCount();
