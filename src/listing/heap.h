// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// Objects on the C library's heap. The library needs no C++ runtime: its
// objects are made in memory from aligned_alloc() and given back with
// free(), through holders that do it on every way out, rather than with
// the runtime's operator new and delete.
#ifndef KELVANE_HEAP_H
#define KELVANE_HEAP_H

#include <cstddef>
#include <cstdlib>
#include <new>

// A value-initialised T on the heap, or null when memory runs out.
template <typename T> T *new_on_heap() noexcept {
    constexpr std::size_t alignment =
        alignof(T) > alignof(std::max_align_t) ? alignof(T) : alignof(std::max_align_t);
    // aligned_alloc() takes a size that is a multiple of the alignment.
    constexpr std::size_t size = (sizeof(T) + alignment - 1) / alignment * alignment;
    void *memory = std::aligned_alloc(alignment, size);
    return memory ? ::new (memory) T{} : nullptr;
}

// Ends the life of an object new_on_heap() made, and gives its memory back.
template <typename T> void delete_from_heap(T *object) noexcept {
    if (!object)
        return;
    object->~T();
    std::free(object);
}

#endif // KELVANE_HEAP_H
