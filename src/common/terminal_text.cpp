#include "common/terminal_text.h"

#include <algorithm>
#include <cstdint>

namespace {
// The length of the valid UTF-8 sequence at the start of `bytes` and its code point, or a
// length of 0 when it is not one: overlong forms, surrogates and values past U+10FFFF are not.
struct utf8_sequence {
    std::size_t length = 0;
    std::uint32_t code_point = 0;
};

bool is_continuation(unsigned char byte) {
    return (byte & 0xc0) == 0x80;
}

utf8_sequence sequence_at(std::string_view bytes) {
    const auto lead = static_cast<unsigned char>(bytes[0]);
    if (lead < 0x80)
        return {1, lead};
    if (lead > 0xf4)
        return {};
    const std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 0;
    if (length == 0 || bytes.size() < length)
        return {};
    std::uint32_t code_point = lead & (0x7f >> length);
    for (std::size_t at = 1; at < length; ++at) {
        const auto byte = static_cast<unsigned char>(bytes[at]);
        if (!is_continuation(byte))
            return {};
        code_point = (code_point << 6) | (byte & 0x3f);
    }
    constexpr std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool surrogate = code_point >= 0xd800 && code_point <= 0xdfff;
    if (code_point < smallest[length] || surrogate || code_point > 0x10ffff)
        return {};
    return {length, code_point};
}

bool is_control(std::uint32_t code_point) {
    return code_point < 0x20 || code_point == 0x7f || (code_point >= 0x80 && code_point < 0xa0);
}

void append_hex_escape(std::string &out, unsigned char byte) {
    constexpr std::string_view digits = "0123456789abcdef";
    out += "\\x";
    out += digits[byte >> 4];
    out += digits[byte & 0x0f];
}

void append_escaped(std::string &out, std::string_view bytes, bool controls_too) {
    while (!bytes.empty()) {
        // Printable ASCII, by far the most common, is taken a run at a time.
        const auto plain = std::find_if(bytes.begin(), bytes.end(), [](char c) {
            return static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f;
        });
        out.append(bytes.begin(), plain);
        bytes.remove_prefix(static_cast<std::size_t>(plain - bytes.begin()));
        if (bytes.empty())
            break;
        const utf8_sequence sequence = sequence_at(bytes);
        const std::size_t taken = sequence.length == 0 ? 1 : sequence.length;
        if (sequence.length == 0 || (controls_too && is_control(sequence.code_point)))
            for (std::size_t at = 0; at < taken; ++at)
                append_hex_escape(out, static_cast<unsigned char>(bytes[at]));
        else
            out += bytes.substr(0, taken);
        bytes.remove_prefix(taken);
    }
}

std::string escaped(std::string_view bytes, bool controls_too) {
    std::string out;
    out.reserve(bytes.size());
    append_escaped(out, bytes, controls_too);
    return out;
}
} // namespace

std::string utf8_escaped(std::string_view bytes) {
    return escaped(bytes, false);
}

std::string terminal_escaped(std::string_view bytes) {
    return escaped(bytes, true);
}

void append_terminal_escaped(std::string &out, std::string_view bytes) {
    append_escaped(out, bytes, true);
}
