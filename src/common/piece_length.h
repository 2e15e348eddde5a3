#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

// Piece lengths the new commands accept: a power of two from 16 KiB to 256 MiB.
constexpr std::int32_t smallest_piece_length = 16 * 1024;
constexpr std::int32_t largest_piece_length = 256 * 1024 * 1024;
// Where `auto` stops growing the piece length unless told otherwise: longer pieces make every
// piece a peer fetches from scratch needlessly costly, while 2,048 pieces of 16 MiB keep the
// torrent small up to 32 GiB and below 100 KB well beyond.
constexpr std::int32_t default_max_piece_length = 16 * 1024 * 1024;
constexpr std::int64_t auto_piece_count = 2048;

// Reads a piece length as people write it: a size with a binary unit (256K, 256KiB, 4M, 4MiB,
// 1G), a plain byte count from 16384, or a plain number from 14 to 28 as the exponent that
// mktorrent and mkbrr take (22 means 4 MiB). Nothing when the text is none of these or the length
// is not a power of two from 16 KiB to 256 MiB.
std::optional<std::int32_t> parse_piece_length(std::string_view text);

// The smallest power of two of at least 16 KiB that cuts `total_bytes` into at most 2,048
// pieces, but never above `max_length` (itself a valid piece length).
std::int32_t auto_piece_length(std::int64_t total_bytes,
                               std::int32_t max_length = default_max_piece_length);
