#pragma once
#include "reader/metainfo.h"

#include <CLI/CLI.hpp>

#include <optional>
#include <string>

// A torrent file read whole and checked, for the commands that read torrents someone else made.
// The document and the metainfo point into `bytes`, so the three live and die together: a
// loaded torrent is filled in place and never moved.
struct loaded_torrent {
    std::string bytes;
    std::optional<bencode_document> document;
    metainfo torrent;

    loaded_torrent() = default;
    loaded_torrent(const loaded_torrent &) = delete;
    loaded_torrent &operator=(const loaded_torrent &) = delete;
};

// Reads and checks the torrent at `path` into `into`. Returns why it was refused (unreadable,
// not bencode, or over a limit, with the option that raises it), or nothing once `into.torrent`
// holds what it says, problems included.
std::optional<std::string> load_torrent(const std::string &path, const bencode_limits &limits,
                                        loaded_torrent &into);

// --max-size, --max-depth, --max-tokens, --max-string and --max-pieces, which raise the limits.
void add_limit_options(CLI::App &app, bencode_limits &limits);
