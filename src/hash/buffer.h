#pragma once
#include <cstddef>
#include <memory>

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
