#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One tier from an option's value: its URLs are separated by commas; empty ones are kept for
// the caller to refuse.
std::vector<std::string> split_tier(std::string_view value);

// Why a complete announce or web seed URL cannot be used, or nothing when it can: the scheme is
// one of `schemes` (compared without regard to case), a host follows "//", and a port, when
// given, is a number from 1 to 65535. The reason names no URL; the caller says which one.
std::optional<std::string> url_problem(std::string_view url,
                                       std::initializer_list<std::string_view> schemes);

// The schemes trackers answer on: HTTP(S), UDP (BEP 15) and WebSocket (WebTorrent).
std::optional<std::string> tracker_url_problem(std::string_view url);

// Web seeds are fetched over HTTP(S), or FTP as BEP 19 allows.
std::optional<std::string> web_seed_url_problem(std::string_view url);
