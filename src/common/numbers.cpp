#include "common/numbers.h"

#include <cctype>
#include <limits>

std::int32_t leading_decimal(const char *text) {
    while (std::isspace(static_cast<unsigned char>(*text)) != 0) {
        ++text;
    }
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    // Accumulate as a negative number so that INT32_MIN is reachable without overflow.
    constexpr std::int64_t floor = std::numeric_limits<std::int32_t>::min();
    std::int64_t value = 0;
    for (; std::isdigit(static_cast<unsigned char>(*text)) != 0; ++text) {
        value = value * 10 - (*text - '0');
        if (value < floor) {
            value = floor;
        }
    }
    if (!negative) {
        value = -value;
        if (value > std::numeric_limits<std::int32_t>::max()) {
            value = std::numeric_limits<std::int32_t>::max();
        }
    }
    return static_cast<std::int32_t>(value);
}

std::int64_t piece_count(std::int64_t size, std::int32_t piece_length) {
    return size / piece_length + (size % piece_length != 0 ? 1 : 0);
}

std::int64_t pieces_length(std::int64_t size, std::int32_t piece_length) {
    return digest_size * piece_count(size, piece_length);
}

std::int64_t padding_length(std::int64_t length, std::int32_t piece_length) {
    const std::int64_t past_boundary = length % piece_length;
    return past_boundary == 0 ? 0 : piece_length - past_boundary;
}
