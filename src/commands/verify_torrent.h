#pragma once
#include "commands/torrent_input.h"
#include "commands/verify_layout.h"

#include <optional>
#include <string>

// The torrent that `quillet verify` checks content against, and what it expects on disk.

// Why a torrent cannot be checked; printed once, by the command.
struct refusal {
    std::string text;
};

// Reads the torrent at `path` into `loaded` and holds it to being valid.
std::optional<refusal> load_checkable(const std::string &path, loaded_torrent &loaded);

// The files `loaded` expects under `content_path` (empty: the torrent's name beside the torrent
// file), each path held safe, into `layout`. The layout's views point into the torrent's bytes,
// which must outlive it; the document and its metainfo need not.
std::optional<refusal> layout_of(const loaded_torrent &loaded, const std::string &torrent_path,
                                 const std::string &content_path, content_layout &layout);

// Once the layout is made: the document and its metainfo go, and so do the pages of the
// torrent's bytes that hold neither the pieces nor the piece layers, all that the layout reads of
// them. Most of a torrent of many files is its file list, which the layout keeps in its own way.
void keep_what_the_layout_reads(loaded_torrent &loaded, const content_layout &layout);
