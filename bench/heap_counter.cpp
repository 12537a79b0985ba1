#include "bench/heap_counter.hpp"

#include <malloc.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* p);
}

namespace {

std::atomic<long> news{0};
std::atomic<long> mallocs{0};
std::atomic<long> held{0};

void* taken(void* p)
{
    if (p) {
        mallocs.fetch_add(1, std::memory_order_relaxed);
        held.fetch_add(static_cast<long>(malloc_usable_size(p)), std::memory_order_relaxed);
    }
    return p;
}

void given_back(void* p)
{
    if (p) held.fetch_sub(static_cast<long>(malloc_usable_size(p)), std::memory_order_relaxed);
}

}  // namespace

HeapCount heap_count()
{
    return {news.load(std::memory_order_relaxed), mallocs.load(std::memory_order_relaxed),
            held.load(std::memory_order_relaxed)};
}

extern "C" {

void* malloc(std::size_t size) noexcept { return taken(__libc_malloc(size)); }
void* calloc(std::size_t count, std::size_t size) noexcept { return taken(__libc_calloc(count, size)); }
void* realloc(void* p, std::size_t size) noexcept
{
    const long before = p ? static_cast<long>(malloc_usable_size(p)) : 0;
    void* q = __libc_realloc(p, size);
    if (q) {
        mallocs.fetch_add(1, std::memory_order_relaxed);
        held.fetch_add(static_cast<long>(malloc_usable_size(q)) - before, std::memory_order_relaxed);
    } else if (size == 0) {
        held.fetch_sub(before, std::memory_order_relaxed);  // realloc(p, 0) frees p
    }
    return q;
}
void free(void* p) noexcept
{
    given_back(p);
    __libc_free(p);
}
void* memalign(std::size_t alignment, std::size_t size) noexcept
{
    return taken(__libc_memalign(alignment, size));
}
void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept
{
    return taken(__libc_memalign(alignment, size));
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) noexcept
{
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
    void* p = taken(__libc_memalign(alignment, size));
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}

}  // extern "C"

void* operator new(std::size_t size)
{
    news.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
