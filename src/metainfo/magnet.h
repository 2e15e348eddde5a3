#pragma once
#include "common/tracker_tiers.h"

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// The info hashes of one torrent: v1 only, v2 only, or both for a hybrid torrent.
struct info_hashes {
    std::optional<std::array<unsigned char, 20>> v1; // SHA-1 of the info dictionary
    std::optional<std::array<unsigned char, 32>> v2; // SHA-256 of the info dictionary
};

// Bytes as lower-case hex, the way info hashes are shown.
std::string lower_hex(std::span<const unsigned char> bytes);

// Every byte except RFC 3986's unreserved characters (A-Z a-z 0-9 - . _ ~) as %XX, upper-case
// hex; names and URLs are taken as bytes, whatever their encoding.
std::string percent_encoded(std::string_view bytes);

// The magnet link of a torrent: "magnet:?xt=urn:btih:<hex>" for a v1 hash, then
// "xt=urn:btmh:1220<hex>" for a v2 hash, "dn=" and the name, and one "tr=" per tracker URL in
// tier order, joined with "&". The caller gives at least one hash.
std::string magnet_link(const info_hashes &hashes, std::string_view name,
                        const tracker_tiers &trackers);
