#include "common/piece_length.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <string>

namespace {
bool valid_piece_length(std::int64_t length) {
    return length >= smallest_piece_length && length <= largest_piece_length &&
           (length & (length - 1)) == 0;
}

// The factor a unit suffix stands for; nothing for a suffix that is not a binary unit. Upper and
// lower case mean the same: nobody means millibytes.
std::optional<std::int64_t> unit_factor(std::string_view unit) {
    std::string folded(unit);
    std::transform(folded.begin(), folded.end(), folded.begin(), [](char c) {
        return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    });
    if (folded.empty() || folded == "B") {
        return 1;
    }
    constexpr std::string_view prefixes = "KMG";
    const std::size_t step = prefixes.find(folded.front());
    const std::string_view rest = std::string_view(folded).substr(1);
    if (step == std::string_view::npos || !(rest.empty() || rest == "B" || rest == "IB")) {
        return std::nullopt;
    }
    return std::int64_t{1} << (10 * (step + 1));
}
} // namespace

std::optional<std::int32_t> parse_piece_length(std::string_view text) {
    std::int64_t number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end == text.data() || number <= 0) {
        return std::nullopt;
    }
    const std::string_view unit(end, static_cast<std::size_t>(text.data() + text.size() - end));
    if (unit.empty() && number >= 14 && number <= 28) {
        return std::int32_t{1} << number;
    }
    const std::optional<std::int64_t> factor = unit_factor(unit);
    // A factor of at most 2^30 and a number below 2^33 cannot overflow.
    if (!factor || number >= (std::int64_t{1} << 33)) {
        return std::nullopt;
    }
    const std::int64_t length = number * *factor;
    if (!valid_piece_length(length)) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(length);
}

std::int32_t auto_piece_length(std::int64_t total_bytes, std::int32_t max_length) {
    std::int64_t length = smallest_piece_length;
    while (length < max_length && length * auto_piece_count < total_bytes) {
        length *= 2;
    }
    return static_cast<std::int32_t>(length);
}
