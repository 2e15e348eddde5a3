#pragma once
#include <cstddef>
#include <memory>
#include <new>

// Memory for content read from files. Large buffers are backed by huge pages where the system
// offers them: a fresh 4 MiB batch then costs two page faults instead of a thousand, which on a
// small input is most of the run time.
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
// document, its files): from one huge page up they take huge-page-backed memory as content
// buffers do, so that filling them costs a few faults rather than one per 4 KiB page.
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
