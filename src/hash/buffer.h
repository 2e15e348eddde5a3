#pragma once
#include <cstddef>
#include <memory>
#include <new>

// Memory for content read from files. Large buffers start on a 2 MiB boundary, so that a system
// that gives huge pages to every mapping (transparent huge pages "always") can back them whole,
// but they do not ask for huge pages: on a virtual machine whose host takes back the memory the
// guest leaves free, the first touch of a fresh huge page cost about 20 ms (2-core AMD EPYC under
// a hypervisor: 32 MiB took 345-485 ms with MADV_HUGEPAGE after a few seconds idle, against
// 17-22 ms in 4 KiB pages), and which one a run gets depends on what ran before it. Small pages
// cost the same every time; what a run touches is kept small instead (see hash_plan.cpp).
struct mapping_deleter {
    std::size_t mapped_size = 0;
    void operator()(unsigned char *start) const;
};
using content_buffer = std::unique_ptr<unsigned char[], mapping_deleter>;

// Returns an empty buffer when the memory cannot be had.
content_buffer allocate_content_buffer(std::size_t size);

// What allocate_content_buffer maps for `size` bytes, which its deleter is told.
std::size_t content_buffer_mapped_size(std::size_t size);

// For arrays that a large input fills with millions of small records (the values of a torrent's
// document, its files): from 2 MiB up they are mapped as content buffers are, and given back to
// the system whole when freed.
template <typename T> struct large_array_allocator {
    using value_type = T;
    static constexpr std::size_t smallest_mapped = std::size_t{2} << 20;

    large_array_allocator() = default;
    template <typename U> large_array_allocator(const large_array_allocator<U> &) {}

    T *allocate(std::size_t count) {
        if (count * sizeof(T) < smallest_mapped)
            return std::allocator<T>{}.allocate(count);
        content_buffer buffer = allocate_content_buffer(count * sizeof(T));
        if (!buffer)
            throw std::bad_alloc();
        return reinterpret_cast<T *>(buffer.release());
    }
    void deallocate(T *start, std::size_t count) {
        if (count * sizeof(T) < smallest_mapped) {
            std::allocator<T>{}.deallocate(start, count);
            return;
        }
        mapping_deleter{content_buffer_mapped_size(count * sizeof(T))}(
            reinterpret_cast<unsigned char *>(start));
    }
    template <typename U> bool operator==(const large_array_allocator<U> &) const { return true; }
};
