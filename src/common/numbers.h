#pragma once
#include <cstdint>

// Leading-decimal conversion (optional white space, optional sign, leading digits; no digits
// gives 0) that saturates at the 32-bit limits instead of overflowing.
std::int32_t leading_decimal(const char *text);

// Number of pieces a content of `size` bytes is cut into: rounded up, 0 for no content.
std::int64_t piece_count(std::int64_t size, std::int32_t piece_length);

// Byte length of the pieces string: 20 bytes per piece, in 64 bits so it never wraps.
std::int64_t pieces_length(std::int64_t size, std::int32_t piece_length);

// Zero bytes that follow a file of `length` bytes in a hybrid torrent's v1 content, so that the
// next file starts on a piece boundary: 0 for a file that already ends on one.
std::int64_t padding_length(std::int64_t length, std::int32_t piece_length);

constexpr std::int64_t digest_size = 20;
