// A counting layer over glibc's allocator, preloaded (LD_PRELOAD) into the
// child interpreter that the memory goals run in. It keeps the bytes in use
// and their highest value since the last reset, so the peak of a call is seen
// even when the call frees what it allocated before it returns, which no
// reading taken before and after the call can show. Sizes are the usable
// sizes of the blocks, the same at allocation and release, so the count stays
// exact whichever entry point allocated a block and whichever released it.
// Built only by the benchmark suite; glibc only.

#include <malloc.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

extern "C" {
void *__libc_malloc(std::size_t);
void *__libc_calloc(std::size_t, std::size_t);
void *__libc_realloc(void *, std::size_t);
void *__libc_memalign(std::size_t, std::size_t);
void *__libc_valloc(std::size_t);
void *__libc_pvalloc(std::size_t);
void __libc_free(void *);
}

namespace {

// Signed: a block allocated before the counting began, through a path that
// bypasses the counted entry points, may be released after it.
std::int64_t in_use = 0;
std::int64_t highest = 0;

void grew(void *block) {
    if (!block)
        return;
    auto size = static_cast<std::int64_t>(malloc_usable_size(block));
    std::int64_t now = __atomic_add_fetch(&in_use, size, __ATOMIC_RELAXED);
    std::int64_t seen = __atomic_load_n(&highest, __ATOMIC_RELAXED);
    while (now > seen &&
           !__atomic_compare_exchange_n(&highest, &seen, now, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
    }
}

void shrinking(void *block) {
    if (block)
        __atomic_sub_fetch(&in_use, static_cast<std::int64_t>(malloc_usable_size(block)), __ATOMIC_RELAXED);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) long long allocations_in_use() {
    return __atomic_load_n(&in_use, __ATOMIC_RELAXED);
}

__attribute__((visibility("default"))) long long allocations_peak() {
    return __atomic_load_n(&highest, __ATOMIC_RELAXED);
}

// The peak starts again from what is in use now.
__attribute__((visibility("default"))) void allocations_reset_peak() {
    __atomic_store_n(&highest, __atomic_load_n(&in_use, __ATOMIC_RELAXED), __ATOMIC_RELAXED);
}

void *malloc(std::size_t size) noexcept {
    void *block = __libc_malloc(size);
    grew(block);
    return block;
}

void *calloc(std::size_t count, std::size_t size) noexcept {
    void *block = __libc_calloc(count, size);
    grew(block);
    return block;
}

void *realloc(void *old, std::size_t size) noexcept {
    std::int64_t before = old ? static_cast<std::int64_t>(malloc_usable_size(old)) : 0;
    void *block = __libc_realloc(old, size);
    if (!block) {
        // The old block is still there, unless the size was 0 and it went.
        if (old && size == 0)
            __atomic_sub_fetch(&in_use, before, __ATOMIC_RELAXED);
        return block;
    }
    if (block != old) {
        // Moved: both blocks were held while the contents were copied.
        grew(block);
        __atomic_sub_fetch(&in_use, before, __ATOMIC_RELAXED);
    } else {
        __atomic_sub_fetch(&in_use, before, __ATOMIC_RELAXED);
        grew(block);
    }
    return block;
}

void *reallocarray(void *old, std::size_t count, std::size_t size) noexcept {
    std::size_t total;
    if (__builtin_mul_overflow(count, size, &total)) {
        errno = ENOMEM;
        return nullptr;
    }
    return realloc(old, total);
}

void free(void *block) noexcept {
    shrinking(block);
    __libc_free(block);
}

void *memalign(std::size_t alignment, std::size_t size) noexcept {
    void *block = __libc_memalign(alignment, size);
    grew(block);
    return block;
}

void *aligned_alloc(std::size_t alignment, std::size_t size) noexcept { return memalign(alignment, size); }

int posix_memalign(void **out, std::size_t alignment, std::size_t size) noexcept {
    if (alignment % sizeof(void *) != 0 || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    void *block = __libc_memalign(alignment, size);
    if (!block)
        return ENOMEM;
    grew(block);
    *out = block;
    return 0;
}

void *valloc(std::size_t size) noexcept {
    void *block = __libc_valloc(size);
    grew(block);
    return block;
}

void *pvalloc(std::size_t size) noexcept {
    void *block = __libc_pvalloc(size);
    grew(block);
    return block;
}
}
