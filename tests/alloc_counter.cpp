#include "alloc_counter.h"

#include <atomic>
#include <cstddef>

namespace {
std::atomic<bool> g_armed{false};
std::atomic<uint64_t> g_count{0};

void noteAllocation() {
    if (g_armed.load(std::memory_order_relaxed))
        g_count.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

namespace alloccount {
void arm() {
    g_count.store(0);
    g_armed.store(true);
}
void disarm() {
    g_armed.store(false);
}
uint64_t count() {
    return g_count.load();
}
}  // namespace alloccount

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizer runtimes export this hook installer; GCC ships no header for it.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void*,
                                                                            size_t),
                                                         void (*freeHook)(const volatile void*));

namespace {
void onMalloc(const volatile void*, size_t) {
    noteAllocation();
}
void onFree(const volatile void*) {}
[[maybe_unused]] const int g_hooksInstalled =
    __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree);
}  // namespace
#else
// Interposed allocator entry points: the module's calls resolve to these as well.
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);

void* malloc(size_t size) {
    noteAllocation();
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
    noteAllocation();
    return __libc_calloc(count, size);
}
void* realloc(void* ptr, size_t size) {
    noteAllocation();
    return __libc_realloc(ptr, size);
}
void* memalign(size_t alignment, size_t size) {
    noteAllocation();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
    noteAllocation();
    void* ptr = __libc_memalign(alignment, size);
    if (ptr == nullptr)
        return 12;  // ENOMEM
    *out = ptr;
    return 0;
}
void* aligned_alloc(size_t alignment, size_t size) {
    noteAllocation();
    return __libc_memalign(alignment, size);
}
}
#endif
