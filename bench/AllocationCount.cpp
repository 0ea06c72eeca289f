#include "AllocationCount.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

// Kept in a file of its own, so the compiler never sees these beside the calls they serve.
// No header in front of the blocks: the process's growth must be the allocator's alone. The
// sized delete (what C++14 and later call for complete types) gives back what was counted.
namespace {

std::atomic<long long> liveBytes{0};
std::atomic<long long> liveBlocks{0};
std::atomic<long long> unsized{0};

} // namespace

long long allocatedBytes() {
    return liveBytes.load();
}

long long allocatedBlocks() {
    return liveBlocks.load();
}

long long unsizedDeletes() {
    return unsized.load();
}

void* operator new(std::size_t size) {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr)
        throw std::bad_alloc();
    liveBytes += static_cast<long long>(size);
    ++liveBlocks;
    return block;
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void operator delete(void* pointer) noexcept {
    if (pointer == nullptr)
        return;
    ++unsized;
    std::free(pointer);
}

void operator delete(void* pointer, std::size_t size) noexcept {
    if (pointer == nullptr)
        return;
    liveBytes -= static_cast<long long>(size);
    --liveBlocks;
    std::free(pointer);
}

void operator delete(void* pointer, const std::nothrow_t&) noexcept {
    operator delete(pointer);
}
