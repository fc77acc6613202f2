// Storage for a mesh's large arrays, which live as long as the mesh and are
// read in random order by every query.
//
// Arrays of a few megabytes and more are placed on 2 MiB boundaries and the
// kernel is asked to back them with huge pages (Linux, where transparent huge
// pages are enabled for regions that ask): a query touches some twenty
// places scattered over a hundred megabytes, and with 4 KiB pages each of
// them is also a miss in the address translation cache; building touches
// fresh memory, which costs a fault per page. Elements are left
// uninitialised when a vector grows (the mesh writes every one it makes).
#pragma once

#include <cstddef>
#include <new>
#include <utility>
#include <vector>

namespace zuli {

void* allocate_stored(std::size_t bytes);
void free_stored(void* p) noexcept;

template <class T>
struct StoredAllocator {
    using value_type = T;
    StoredAllocator() = default;
    template <class U>
    StoredAllocator(const StoredAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(allocate_stored(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t) noexcept { free_stored(p); }

    // Default-initialise: resize() leaves trivial elements unwritten.
    template <class U>
    void construct(U* p) noexcept(noexcept(U())) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... A>
    void construct(U* p, A&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<A>(args)...);
    }

    template <class U>
    bool operator==(const StoredAllocator<U>&) const noexcept {
        return true;
    }
};

template <class T>
using Stored = std::vector<T, StoredAllocator<T>>;

}  // namespace zuli
