// Counts heap allocations made on the calling thread while counting is on:
// operator new is replaced and malloc/calloc/realloc are wrapped at link time
// (the test links with --wrap for each).
#include "tests/unit/transport/alloc_count.h"

#include <cstdlib>
#include <new>

thread_local bool t_counting = false;
thread_local int t_allocs = 0;

namespace {
void note() {
    if (t_counting) ++t_allocs;
}
}  // namespace

extern "C" {
void* __real_malloc(size_t n);
void* __real_calloc(size_t n, size_t m);
void* __real_realloc(void* p, size_t n);
void* __wrap_malloc(size_t n) {
    note();
    return __real_malloc(n);
}
void* __wrap_calloc(size_t n, size_t m) {
    note();
    return __real_calloc(n, m);
}
void* __wrap_realloc(void* p, size_t n) {
    note();
    return __real_realloc(p, n);
}
}

void* operator new(size_t n) {
    note();
    void* p = __real_malloc(n == 0 ? 1 : n);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void* operator new[](size_t n) {
    return operator new(n);
}
void operator delete(void* p) noexcept {
    free(p);
}
void operator delete(void* p, size_t) noexcept {
    free(p);
}
void operator delete[](void* p) noexcept {
    free(p);
}
void operator delete[](void* p, size_t) noexcept {
    free(p);
}
