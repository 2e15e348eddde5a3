#include "metainfo/magnet.h"

#include "common/hex_text.h"

namespace {
bool is_unreserved(unsigned char byte) {
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
           (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' || byte == '~';
}

// The link under construction; the first parameter follows "?", the others "&".
struct magnet_text {
    std::string text = "magnet:?";
    bool has_parameter = false;
};

void add_parameter(magnet_text &link, std::string_view key, std::string_view value) {
    if (link.has_parameter) {
        link.text += '&';
    }
    link.has_parameter = true;
    link.text += key;
    link.text += '=';
    link.text += value;
}
} // namespace

std::string lower_hex(std::span<const unsigned char> bytes) {
    constexpr std::string_view digits = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * bytes.size());
    for (const unsigned char byte : bytes) {
        hex += digits[byte >> 4];
        hex += digits[byte & 0x0f];
    }
    return hex;
}

std::string percent_encoded(std::string_view bytes) {
    constexpr std::string_view digits = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(bytes.size());
    for (const char character : bytes) {
        const auto byte = static_cast<unsigned char>(character);
        if (is_unreserved(byte)) {
            encoded += character;
        } else {
            encoded += '%';
            encoded += digits[byte >> 4];
            encoded += digits[byte & 0x0f];
        }
    }
    return encoded;
}

std::string magnet_link(const info_hashes &hashes, std::string_view name,
                        const tracker_tiers &trackers) {
    magnet_text link;
    if (hashes.v1) {
        add_parameter(link, "xt", "urn:btih:" + hex_text(*hashes.v1));
    }
    if (hashes.v2) {
        // A multihash: 0x12 names SHA-256 and 0x20 is the digest's length in bytes.
        add_parameter(link, "xt", "urn:btmh:1220" + hex_text(*hashes.v2));
    }
    add_parameter(link, "dn", percent_encoded(name));
    for (const auto &tier : trackers) {
        for (const auto &url : tier) {
            add_parameter(link, "tr", percent_encoded(url));
        }
    }
    return link.text;
}
