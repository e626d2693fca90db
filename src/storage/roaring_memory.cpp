// CRoaring's allocations fail with std::bad_alloc instead of returning NULL:
// not every CRoaring path checks what it gets, and a NULL container is
// dereferenced later. roaring.c is compiled with -fexceptions, so the
// exception unwinds through its frames. Some CRoaring operations make room
// for new containers before allocating them, so a failure inside one can
// leave its bitmap inconsistent: operations that may allocate much first
// check that the memory is there (ensureHeadroom), before anything changes.
#include <cstdlib>
#include <new>

#include <roaring.h>

#include "storage/slot_bitmap.hpp"

namespace morvane::storage {

namespace {

void *checked(void *memory) {
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}

void *throwingMalloc(size_t size) { return checked(std::malloc(size == 0 ? 1 : size)); }
void *throwingRealloc(void *memory, size_t size) {
    return checked(std::realloc(memory, size == 0 ? 1 : size));
}
void *throwingCalloc(size_t count, size_t size) {
    return checked(std::calloc(count == 0 ? 1 : count, size == 0 ? 1 : size));
}
void *throwingAlignedMalloc(size_t alignment, size_t size) {
    void *memory = nullptr;
    if (posix_memalign(&memory, alignment, size == 0 ? 1 : size) != 0) throw std::bad_alloc();
    return memory;
}

}  // namespace

void ensureHeadroom(size_t bytes) {
    // Small needs are left to the allocation itself: a trial costs a system call.
    constexpr size_t kCheckedBytes = size_t{1} << 20;
    if (bytes < kCheckedBytes) return;
    void *trial = std::malloc(bytes);
    if (trial == nullptr) throw std::bad_alloc();
    std::free(trial);
}

void installRoaringAllocator() {
    roaring_init_memory_hook(
        {throwingMalloc, throwingRealloc, throwingCalloc, std::free, throwingAlignedMalloc, std::free});
}

}  // namespace morvane::storage
