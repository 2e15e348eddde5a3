#pragma once
#include "hash/buffer.h"

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Reads bencode that someone else made, possibly to hurt the reader: nothing recurses (the open
// containers live on an explicit stack), every dimension is bounded, and every value keeps the
// exact bytes it came from, so that hashes and copies are taken over the original encoding and
// never over a re-encoding.

// `size` bytes of the input from `offset`.
struct byte_span {
    std::size_t offset = 0;
    std::size_t size = 0;
};

// How much a document may ask of the reader. The defaults refuse no real torrent: each is at
// least what libtorrent's load_torrent_limits allows, the total size well beyond it, so that a
// torrent of several hundred thousand files loads.
struct bencode_limits {
    std::size_t max_size = std::size_t{128} << 20;   // bytes of the whole input
    std::size_t max_depth = 1000;                    // containers open at once
    std::size_t max_tokens = 10'000'000;             // values of all kinds (16 bytes each)
    std::size_t max_string = std::size_t{128} << 20; // bytes of one string
    std::size_t max_pieces = std::size_t{1} << 22;   // v1 pieces or v2 pieces of the torrent
};

enum class bencode_kind : std::uint8_t { integer, string, list, dictionary };

// One value, in 8 bytes (a large torrent has millions): read it through the functions below.
// Values are stored in the order they begin in the input, so the values nested in a list or
// dictionary follow it directly and end just before end_of(); a dictionary's children
// alternate key, value. Inputs are under 4 GiB, so offsets fit 32 bits, and a document holds
// fewer than 2^30 values, so the kind fits the top bits of the end index. The rest (a string's
// length, where an encoding ends, a container's count) is read again from the checked input
// when asked for: most values are never asked, and a smaller record is fewer pages to fill.
struct bencode_value {
    std::uint32_t offset = 0;       // first byte of the encoding
    std::uint32_t end_and_kind = 0; // end_of() below, and the kind in the top two bits
};

// Something accepted that a canonical encoder would not have written: keys out of order or
// repeated. The reason may quote a key's bytes as they stand.
struct bencode_problem {
    std::string reason;
    std::size_t offset = 0;
};

// A whole document over bytes the caller keeps alive.
struct bencode_document {
    std::string_view bytes;
    std::vector<bencode_value, large_array_allocator<bencode_value>> values; // [0]: the top
    std::vector<bencode_problem> problems;
};

// Why the input was refused, and where.
struct bencode_error {
    std::string reason;                 // e.g. "integer with a leading zero"
    std::size_t offset = 0;             // byte of the input where the fault lies
    const char *limit_option = nullptr; // the option that raises the limit that refused it
};

// The document, or the error that stopped the reading.
struct bencode_outcome {
    std::optional<bencode_document> document;
    bencode_error error; // meaningful only without a document
};

bencode_outcome read_bencode(std::string_view bytes, const bencode_limits &limits = {});
// The document views its input: a temporary string would leave it viewing freed memory.
template <typename Text>
requires std::same_as<Text, std::string>
    bencode_outcome read_bencode(Text &&bytes, const bencode_limits &limits = {})
= delete;

// -------------------------------------------------------------------- walking a document ---

using value_index = std::uint32_t;

// The few accessors every walk calls for each value are defined here, to be inlined there.
namespace bencode_detail {
constexpr unsigned kind_shift = 30;
constexpr std::uint32_t end_mask = (std::uint32_t{1} << kind_shift) - 1;
} // namespace bencode_detail

inline bencode_kind kind_of(const bencode_document &document, value_index index) {
    return static_cast<bencode_kind>(document.values[index].end_and_kind >>
                                     bencode_detail::kind_shift);
}

inline bool is_kind(const bencode_document &document, value_index index, bencode_kind kind) {
    return kind_of(document, index) == kind;
}

// The index just past the value and every value nested in it: the next sibling's, if any.
inline value_index end_of(const bencode_document &document, value_index index) {
    return document.values[index].end_and_kind & bencode_detail::end_mask;
}

// Where the value's whole encoding lies in the input.
byte_span span_of(const bencode_document &document, value_index index);

// The bytes of a value's whole encoding: the info hash is taken over these.
std::string_view encoding_of(const bencode_document &document, value_index index);

// A string's bytes, without its length prefix; empty for any other kind.
inline std::string_view text_of(const bencode_document &document, value_index index) {
    if (!is_kind(document, index, bencode_kind::string))
        return {};
    // The reader checked the prefix: digits, then ':' before the end of the input.
    std::size_t at = document.values[index].offset;
    std::size_t length = 0;
    for (; document.bytes[at] != ':'; ++at)
        length = length * 10 + static_cast<unsigned>(document.bytes[at] - '0');
    return document.bytes.substr(at + 1, length);
}

// An integer's value; 0 for any other kind.
std::int64_t integer_of(const bencode_document &document, value_index index);

// A list's elements or a dictionary's entries; 0 for any other kind.
std::size_t count_of(const bencode_document &document, value_index index);

// The elements of a list, in order (none for any other kind).
std::vector<value_index> elements_of(const bencode_document &document, value_index list);

// One entry of a dictionary, in file order: the key's bytes, the key's index (its encoding is
// the key's span) and the value's.
struct bencode_entry {
    std::string_view name;
    value_index key = 0;
    value_index value = 0;
};
std::vector<bencode_entry> entries_of(const bencode_document &document, value_index dictionary);

// The value of the first entry named `key` (as clients take it), if the dictionary has one.
std::optional<value_index> find_key(const bencode_document &document, value_index dictionary,
                                    std::string_view key);
