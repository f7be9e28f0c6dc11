#include "alloc_counter.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

namespace
{
std::atomic<uint64_t> allocations{0};
}

uint64_t AllocationCount() { return allocations.load(std::memory_order_relaxed); }

// libstdc++'s nothrow forms call these; over-aligned allocations are not counted, and the code
// measured makes none.
void *operator new(std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    // malloc(0) may return null; operator new must not.
    if (void *p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}

void *operator new[](std::size_t size) { return operator new(size); }

void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }
