#include "reader/bencode_reader.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <numeric>

namespace {
using bencode_detail::end_mask;
using bencode_detail::kind_shift;

// Indexes are 32-bit to keep a value small; a document of more values is refused whatever the
// token limit says.
constexpr std::size_t most_values = (std::size_t{1} << kind_shift) - 1;
// Offsets are 32-bit for the same reason.
constexpr std::size_t largest_input = std::numeric_limits<std::uint32_t>::max();

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

std::string number_text(std::size_t number) {
    return std::to_string(number);
}

struct open_container {
    value_index index = 0;
    bool is_dict = false;
    bool key_next = true;         // a dictionary waits for a key, not for a key's value
    bool keys_may_repeat = false; // a key was not above its predecessor
    value_index last_key = 0;     // the dictionary's latest key
};

class reader {
  public:
    reader(std::string_view bytes, const bencode_limits &limits)
        : limits_(limits), token_limit_(std::min(limits.max_tokens, most_values)) {
        document_.bytes = bytes;
    }

    bencode_outcome run();

  private:
    bool fail(std::string reason, std::size_t offset, const char *limit_option = nullptr);
    bool step();
    bool read_integer();
    bool read_string();
    bool open(bencode_kind kind);
    bool close();
    bool push_value(bencode_kind kind, std::size_t offset);
    bool complete(value_index index);
    void note_key(open_container &container, value_index key);
    void report_repeated_keys(value_index dictionary);
    std::size_t left() const { return document_.bytes.size() - position_; }

    const bencode_limits &limits_;
    const std::size_t token_limit_; // values the document may hold
    bencode_document document_;
    std::vector<open_container> open_;
    std::size_t position_ = 0;
    bool finished_ = false;
    bencode_error error_;
};

bool reader::fail(std::string reason, std::size_t offset, const char *limit_option) {
    error_ = bencode_error{std::move(reason), offset, limit_option};
    return false;
}

bencode_outcome reader::run() {
    const std::size_t size = document_.bytes.size();
    const std::size_t limit = std::min(limits_.max_size, largest_input);
    if (size > limit) {
        fail("input of " + number_text(size) + " bytes is over the size limit of " +
                 number_text(limit),
             0, "--max-size");
    } else {
        // Most torrents spend 4 to 8 bytes of input on a value: room for that many is taken up
        // front, untouched until used, so the values are never copied as they grow.
        document_.values.reserve(std::min(size / 4 + 1, token_limit_));
        while (!finished_ && step()) {
        }
    }
    if (!finished_)
        return bencode_outcome{std::nullopt, std::move(error_)};
    std::stable_sort(
        document_.problems.begin(), document_.problems.end(),
        [](const bencode_problem &a, const bencode_problem &b) { return a.offset < b.offset; });
    return bencode_outcome{std::move(document_), {}};
}

bool reader::step() {
    if (left() == 0)
        return fail(open_.empty()          ? "empty input"
                    : open_.back().is_dict ? "truncated: a dictionary is not closed"
                                           : "truncated: a list is not closed",
                    position_);
    const char c = document_.bytes[position_];
    if (!open_.empty()) {
        const open_container &top = open_.back();
        if (c == 'e') {
            if (top.is_dict && !top.key_next)
                return fail("dictionary key without a value", position_);
            return close();
        }
        if (top.is_dict && top.key_next && !is_digit(c))
            return fail("dictionary key that is not a string", position_);
    }
    if (c == 'i')
        return read_integer();
    if (is_digit(c))
        return read_string();
    if (c == 'l')
        return open(bencode_kind::list);
    if (c == 'd')
        return open(bencode_kind::dictionary);
    char byte_name[8];
    std::snprintf(byte_name, sizeof byte_name, "0x%02x", static_cast<unsigned char>(c));
    return fail(
        std::string(c == 'e' ? "end marker outside a list or dictionary" : "unexpected byte ") +
            (c == 'e' ? "" : byte_name),
        position_);
}

bool reader::read_integer() {
    const std::string_view bytes = document_.bytes;
    const std::size_t start = position_;
    std::size_t at = start + 1;
    const bool negative = at < bytes.size() && bytes[at] == '-';
    if (negative)
        ++at;
    const std::size_t digits = at;
    // The magnitude of the most negative value is one more than the largest positive one.
    const std::uint64_t most = std::uint64_t{std::numeric_limits<std::int64_t>::max()} + negative;
    std::uint64_t magnitude = 0;
    for (; at < bytes.size() && is_digit(bytes[at]); ++at) {
        const unsigned digit = bytes[at] - '0';
        if (magnitude > (most - digit) / 10)
            return fail("integer out of range", digits);
        magnitude = magnitude * 10 + digit;
    }
    if (at == bytes.size())
        return fail("truncated integer", at);
    if (at == digits)
        return fail("integer without digits", at);
    if (bytes[at] != 'e')
        return fail("integer not ended by 'e'", at);
    if (bytes[digits] == '0' && at - digits > 1)
        return fail("integer with a leading zero", digits);
    if (negative && magnitude == 0)
        return fail("negative zero", start);
    // The value is read again from its digits when asked for: most integers never are.
    if (!push_value(bencode_kind::integer, start))
        return false;
    position_ = at + 1;
    return complete(static_cast<value_index>(document_.values.size() - 1));
}

bool reader::read_string() {
    const std::string_view bytes = document_.bytes;
    const std::size_t start = position_;
    std::size_t at = start;
    std::size_t length = 0;
    for (; at < bytes.size() && is_digit(bytes[at]); ++at) {
        const unsigned digit = bytes[at] - '0';
        if (length > (std::numeric_limits<std::size_t>::max() - digit) / 10)
            return fail("string length out of range", start);
        length = length * 10 + digit;
    }
    if (at == bytes.size())
        return fail("truncated string length", at);
    if (bytes[at] != ':')
        return fail("string length not followed by ':'", at);
    if (bytes[start] == '0' && at - start > 1)
        return fail("string length with a leading zero", start);
    const std::size_t text = at + 1;
    if (length > bytes.size() - text)
        return fail("string of " + number_text(length) + " bytes runs past the end of the input",
                    start);
    if (length > limits_.max_string)
        return fail("string of " + number_text(length) + " bytes is over the string limit of " +
                        number_text(limits_.max_string),
                    start, "--max-string");
    if (!push_value(bencode_kind::string, start))
        return false;
    position_ = text + length;
    return complete(static_cast<value_index>(document_.values.size() - 1));
}

bool reader::open(bencode_kind kind) {
    if (open_.size() >= limits_.max_depth)
        return fail("nesting deeper than the depth limit of " + number_text(limits_.max_depth),
                    position_, "--max-depth");
    if (!push_value(kind, position_))
        return false;
    open_.push_back(open_container{static_cast<value_index>(document_.values.size() - 1),
                                   kind == bencode_kind::dictionary});
    ++position_;
    return true;
}

bool reader::close() {
    const open_container closing = open_.back();
    open_.pop_back();
    bencode_value &value = document_.values[closing.index];
    value.end_and_kind =
        (value.end_and_kind & ~end_mask) | static_cast<std::uint32_t>(document_.values.size());
    ++position_;
    if (closing.keys_may_repeat)
        report_repeated_keys(closing.index);
    return complete(closing.index);
}

bool reader::push_value(bencode_kind kind, std::size_t offset) {
    if (document_.values.size() >= token_limit_)
        return fail("more values than the token limit of " + number_text(token_limit_), offset,
                    "--max-tokens");
    bencode_value value;
    value.offset = static_cast<std::uint32_t>(offset);
    value.end_and_kind = static_cast<std::uint32_t>(document_.values.size() + 1) |
                         static_cast<std::uint32_t>(kind) << kind_shift;
    document_.values.push_back(value);
    return true;
}

// A value has been read whole: it is the document, a list's element, a key or a key's value.
bool reader::complete(value_index index) {
    if (open_.empty()) {
        if (left() != 0)
            return fail("trailing bytes after the document", position_);
        finished_ = true;
        return true;
    }
    open_container &parent = open_.back();
    if (!parent.is_dict)
        return true;
    if (parent.key_next)
        note_key(parent, index);
    parent.key_next = !parent.key_next;
    return true;
}

void reader::note_key(open_container &container, value_index key) {
    // No key has index 0, the document's own.
    const bool first = container.last_key == 0;
    const value_index previous = container.last_key;
    container.last_key = key;
    if (first)
        return;
    const std::string_view name = text_of(document_, key);
    if (name > text_of(document_, previous))
        return;
    // Equal neighbours are reported with every other repeat once the dictionary is closed.
    container.keys_may_repeat = true;
    if (name < text_of(document_, previous))
        document_.problems.push_back(bencode_problem{"key '" + std::string(name) + "' out of order",
                                                     document_.values[key].offset});
}

// Keys out of order may repeat anywhere in their dictionary: compared sorted, each repeat after
// the first in file order is reported once.
void reader::report_repeated_keys(value_index dictionary) {
    std::vector<bencode_entry> entries = entries_of(document_, dictionary);
    std::stable_sort(
        entries.begin(), entries.end(),
        [](const bencode_entry &a, const bencode_entry &b) { return a.name < b.name; });
    for (std::size_t i = 1; i < entries.size(); ++i)
        if (entries[i].name == entries[i - 1].name)
            document_.problems.push_back(
                bencode_problem{"duplicate key '" + std::string(entries[i].name) + "'",
                                document_.values[entries[i].key].offset});
}
} // namespace

bencode_outcome read_bencode(std::string_view bytes, const bencode_limits &limits) {
    return reader(bytes, limits).run();
}

namespace {
// The last value directly inside a list or dictionary that holds any.
value_index last_child(const bencode_document &document, value_index container) {
    const value_index end = end_of(document, container);
    value_index last = container + 1;
    for (value_index next = end_of(document, last); next < end; next = end_of(document, next))
        last = next;
    return last;
}

// Just past a value's encoding. A container ends one byte past its last child, which may be a
// container ending with it: the walk goes down the last children to a value that ends on its
// own, counting the end markers on the way.
std::size_t encoding_end(const bencode_document &document, value_index index) {
    std::size_t markers = 0;
    for (;;) {
        const std::size_t offset = document.values[index].offset;
        switch (kind_of(document, index)) {
        case bencode_kind::integer:
            return document.bytes.find('e', offset) + 1 + markers;
        case bencode_kind::string: {
            const std::string_view text = text_of(document, index);
            return static_cast<std::size_t>(text.data() - document.bytes.data()) + text.size() +
                   markers;
        }
        case bencode_kind::list:
        case bencode_kind::dictionary:
            if (end_of(document, index) == index + 1)
                return offset + 2 + markers;
            index = last_child(document, index);
            ++markers;
        }
    }
}
} // namespace

byte_span span_of(const bencode_document &document, value_index index) {
    const std::size_t offset = document.values[index].offset;
    return byte_span{offset, encoding_end(document, index) - offset};
}

std::string_view encoding_of(const bencode_document &document, value_index index) {
    const byte_span span = span_of(document, index);
    return document.bytes.substr(span.offset, span.size);
}

// The reader checked the digits and the range when it took the integer.
std::int64_t integer_of(const bencode_document &document, value_index index) {
    if (!is_kind(document, index, bencode_kind::integer))
        return 0;
    std::string_view digits = encoding_of(document, index).substr(1);
    digits.remove_suffix(1);
    const bool negative = digits.front() == '-';
    if (negative)
        digits.remove_prefix(1);
    const std::uint64_t magnitude = std::accumulate(
        digits.begin(), digits.end(), std::uint64_t{0}, [](std::uint64_t sum, char digit) {
            return sum * 10 + static_cast<unsigned>(digit - '0');
        });
    return negative ? static_cast<std::int64_t>(0 - magnitude)
                    : static_cast<std::int64_t>(magnitude);
}

std::size_t count_of(const bencode_document &document, value_index index) {
    const bencode_kind kind = kind_of(document, index);
    if (kind != bencode_kind::list && kind != bencode_kind::dictionary)
        return 0;
    std::size_t children = 0;
    const value_index end = end_of(document, index);
    for (value_index at = index + 1; at < end; at = end_of(document, at))
        ++children;
    return kind == bencode_kind::dictionary ? children / 2 : children;
}

std::vector<value_index> elements_of(const bencode_document &document, value_index list) {
    std::vector<value_index> elements;
    if (!is_kind(document, list, bencode_kind::list))
        return elements;
    elements.reserve(count_of(document, list));
    for (value_index at = list + 1; at < end_of(document, list); at = end_of(document, at))
        elements.push_back(at);
    return elements;
}

std::vector<bencode_entry> entries_of(const bencode_document &document, value_index dictionary) {
    std::vector<bencode_entry> entries;
    if (!is_kind(document, dictionary, bencode_kind::dictionary))
        return entries;
    entries.reserve(count_of(document, dictionary));
    const value_index end = end_of(document, dictionary);
    for (value_index key = dictionary + 1; key < end; key = end_of(document, key + 1))
        entries.push_back(bencode_entry{text_of(document, key), key, key + 1});
    return entries;
}

std::optional<value_index> find_key(const bencode_document &document, value_index dictionary,
                                    std::string_view key) {
    if (!is_kind(document, dictionary, bencode_kind::dictionary))
        return std::nullopt;
    const value_index end = end_of(document, dictionary);
    for (value_index at = dictionary + 1; at < end; at = end_of(document, at + 1))
        if (text_of(document, at) == key)
            return at + 1;
    return std::nullopt;
}
