#pragma once
#include <array>
#include <cstddef>
#include <string>

// Digests as people compare them: two lower-case hex digits a byte.
template <std::size_t size> std::string hex_text(const std::array<unsigned char, size> &bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * size);
    for (const unsigned char byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0f];
    }
    return text;
}
