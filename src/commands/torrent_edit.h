#pragma once
#include "common/tracker_tiers.h"
#include "metainfo/magnet.h"
#include "reader/metainfo.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What `quillet edit` changes in a torrent. An option left out leaves its key as it stands;
// an empty text removes its key.
struct edit_request {
    // Outside the info dictionary: the info hash stays.
    std::optional<tracker_tiers> trackers; // replaces every tier
    tracker_tiers added_tiers;             // after the others
    std::vector<std::string> removed_trackers;
    std::optional<std::vector<std::string>> web_seeds; // replaces them all
    std::vector<std::string> added_web_seeds;
    std::vector<std::string> removed_web_seeds;
    std::optional<std::string> comment;
    std::optional<std::string> created_by;
    bool no_date = false;
    std::optional<std::int64_t> date;
    // Inside the info dictionary: a new info hash, on purpose.
    std::optional<bool> is_private; // false removes the key
    std::optional<std::string> source;
    std::optional<std::string> name;
};

struct edit_outcome {
    std::string bytes;                // the edited document
    std::vector<std::string> changed; // keys whose value changed, info keys as "info.KEY"
    std::vector<std::string> notes;   // removals that found nothing to remove
    info_hashes old_hashes;
    info_hashes new_hashes;
};

// Applies the request to a torrent without reading its content: keys outside the info
// dictionary are replaced beside it, whose bytes stay as they are; a change inside it writes
// the info dictionary again with its keys in ascending order, every key it does not change
// copied byte for byte. A request that changes nothing gives the input's bytes. `torrent`
// must be the metainfo read from `document`, with an info dictionary.
edit_outcome edit_torrent(const bencode_document &document, const metainfo &torrent,
                          const edit_request &request);
