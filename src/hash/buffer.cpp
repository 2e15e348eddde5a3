#include "hash/buffer.h"

#include <cstdint>
#include <sys/mman.h>

namespace {
constexpr std::size_t huge_page = std::size_t{2} << 20;

std::size_t round_up(std::size_t size, std::size_t unit) {
    return (size + unit - 1) / unit * unit;
}

// Maps `size` bytes starting on a huge-page boundary, trimming the slack around it.
unsigned char *map_aligned(std::size_t size) {
    const std::size_t padded = size + huge_page;
    void *mapped =
        mmap(nullptr, padded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) {
        return nullptr;
    }
    auto *raw = static_cast<unsigned char *>(mapped);
    const auto address = reinterpret_cast<std::uintptr_t>(raw);
    const std::size_t head = round_up(address, huge_page) - address;
    if (head > 0) {
        munmap(raw, head);
    }
    const std::size_t tail = padded - head - size;
    if (tail > 0) {
        munmap(raw + head + size, tail);
    }
    return raw + head;
}
} // namespace

void mapping_deleter::operator()(unsigned char *start) const {
    if (start != nullptr) {
        munmap(start, mapped_size);
    }
}

std::size_t content_buffer_mapped_size(std::size_t size) {
    return round_up(size, size >= huge_page ? huge_page : 4096);
}

content_buffer allocate_content_buffer(std::size_t size) {
    if (size == 0) {
        return content_buffer(nullptr, mapping_deleter{0});
    }
    const bool large = size >= huge_page;
    const std::size_t mapped_size = content_buffer_mapped_size(size);
    unsigned char *start = large ? map_aligned(mapped_size) : nullptr;
    if (!large) {
        void *mapped =
            mmap(nullptr, mapped_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        start = mapped == MAP_FAILED ? nullptr : static_cast<unsigned char *>(mapped);
    }
    return content_buffer(start, mapping_deleter{start != nullptr ? mapped_size : 0});
}
