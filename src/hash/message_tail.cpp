#include "hash/message_tail.h"

#include <cstring>

std::size_t build_message_tail(const unsigned char *rest_bytes, std::size_t rest,
                               std::uint64_t total, unsigned char *tail) {
    // 0x80 and the 8-byte length must fit after the rest: one block if rest <= 55.
    const std::size_t blocks = rest + 9 <= 64 ? 1 : 2;
    const std::size_t size = blocks * 64;
    if (rest > 0) {
        std::memcpy(tail, rest_bytes, rest);
    }
    tail[rest] = 0x80;
    std::memset(tail + rest + 1, 0, size - rest - 1 - 8);
    const std::uint64_t bits = total * 8;
    for (std::size_t i = 0; i < 8; ++i) {
        tail[size - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
    }
    return blocks;
}

std::size_t build_message_tails(const unsigned char *data, std::size_t length, std::size_t count,
                                unsigned char *tails) {
    const std::size_t rest = length % 64;
    std::size_t blocks = 0;
    for (std::size_t i = 0; i < count; ++i) {
        blocks = build_message_tail(data + i * length + (length - rest), rest, length,
                                    tails + i * message_tail_capacity);
    }
    return blocks;
}
