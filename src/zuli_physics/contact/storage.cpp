#include "storage.hpp"

#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace zuli {

namespace {

// A huge page on x86-64 and most arm64 kernels; below this size an array
// gains little from one and the rounding would waste memory.
constexpr std::size_t kHugePage = std::size_t{2} << 20;

}  // namespace

void* allocate_stored(std::size_t bytes) {
    void* p = nullptr;
    if (bytes >= kHugePage) {
        const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        p = std::aligned_alloc(kHugePage, rounded);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        // Advice only: a kernel without huge pages ignores it, and so do we.
        if (p) madvise(p, rounded, MADV_HUGEPAGE);
#endif
    } else {
        p = std::malloc(bytes ? bytes : 1);
    }
    if (!p) throw std::bad_alloc();
    return p;
}

void free_stored(void* p) noexcept { std::free(p); }

}  // namespace zuli
