// Counts every heap allocation the process makes, the C library's and the
// curses library's included, by standing in front of the C library's
// allocator. Include it in exactly one source file of a program.
#pragma once

#include <atomic>
#include <cstddef>

// AddressSanitizer stands in front of the allocator itself; there the
// count is not kept.
#if defined(__SANITIZE_ADDRESS__)
namespace heap {
inline constexpr bool kCounting = false;
inline std::atomic<long> allocations{0};
}  // namespace heap
#else
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* block);
}

namespace heap {
inline constexpr bool kCounting = true;
inline std::atomic<long> allocations{0};
inline void counted()
{
    allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace heap

extern "C" {
void* malloc(std::size_t size) noexcept
{
    heap::counted();
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) noexcept
{
    heap::counted();
    return __libc_calloc(count, size);
}
void* realloc(void* block, std::size_t size) noexcept
{
    heap::counted();
    return __libc_realloc(block, size);
}
void* memalign(std::size_t alignment, std::size_t size) noexcept
{
    heap::counted();
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept
{
    heap::counted();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** block, std::size_t alignment, std::size_t size) noexcept
{
    heap::counted();
    *block = __libc_memalign(alignment, size);
    return *block != nullptr ? 0 : 12;  // ENOMEM
}
void free(void* block) noexcept
{
    __libc_free(block);
}
}
#endif
