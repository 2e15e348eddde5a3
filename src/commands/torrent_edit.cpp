#include "commands/torrent_edit.h"

#include "metainfo/bencode.h"
#include "metainfo/info_hash.h"

#include <algorithm>
#include <deque>
#include <numeric>

namespace {
// One entry of a dictionary being written again: the key's bytes and its value's whole
// encoding, either as it stands in the input or as this edit made it.
struct dict_entry {
    std::string_view key;
    std::string_view value;
};

// A dictionary of the input with some of its values replaced, added or removed; what it
// changes is recorded under `prefix` and the key's name.
struct dictionary_edit {
    std::vector<dict_entry> entries;
    std::deque<std::string> made; // encodings made by the edit; a deque keeps them in place
    std::vector<std::string> &changed;
    const char *prefix;

    // The value clients read for `key`: the first entry of that name.
    std::optional<std::string_view> current(std::string_view key) const {
        const auto found =
            std::find_if(entries.begin(), entries.end(),
                         [key](const dict_entry &entry) { return entry.key == key; });
        return found == entries.end() ? std::nullopt : std::optional(found->value);
    }

    // Gives `key` the value `encoding`, or removes it; a value equal to the one clients read
    // leaves every entry as it stands, repeated keys included.
    void put(std::string_view key, std::optional<std::string> encoding) {
        const std::optional<std::string_view> now = current(key);
        if (now.has_value() == encoding.has_value() && (!now || *now == *encoding))
            return;
        std::erase_if(entries, [key](const dict_entry &entry) { return entry.key == key; });
        if (encoding)
            entries.push_back({key, made.emplace_back(std::move(*encoding))});
        changed.push_back(prefix + std::string(key));
    }

    // Keys in ascending byte order, as a canonical encoder writes them; entries of one key keep
    // their order.
    std::string encoded() {
        std::stable_sort(entries.begin(), entries.end(),
                         [](const dict_entry &a, const dict_entry &b) { return a.key < b.key; });
        const std::size_t size =
            std::accumulate(entries.begin(), entries.end(), std::size_t{2},
                            [](std::size_t sum, const dict_entry &e) {
                                return sum + e.key.size() + e.value.size() + 24;
                            });
        std::string out;
        out.reserve(size);
        bencode_writer writer(out);
        out += 'd';
        for (const dict_entry &entry : entries) {
            writer.string(entry.key);
            out += entry.value;
        }
        out += 'e';
        return out;
    }
};

dictionary_edit edit_of(const bencode_document &document, value_index dictionary,
                        std::vector<std::string> &changed, const char *prefix) {
    dictionary_edit edit{{}, {}, changed, prefix};
    for (const bencode_entry &entry : entries_of(document, dictionary))
        edit.entries.push_back({entry.name, encoding_of(document, entry.value)});
    return edit;
}

std::string encoded_text(std::string_view text) {
    std::string out;
    bencode_writer(out).string(text);
    return out;
}

std::string encoded_integer(std::int64_t value) {
    std::string out;
    bencode_writer(out).integer(value);
    return out;
}

std::string encoded_list(const std::vector<std::string> &texts) {
    std::string out;
    bencode_writer writer(out);
    writer.begin_list();
    for (const std::string &text : texts)
        writer.string(text);
    writer.end();
    return out;
}

// A text option: left out keeps the key, empty removes it.
void put_text(dictionary_edit &edit, std::string_view key, const std::optional<std::string> &text) {
    if (text)
        edit.put(key, text->empty() ? std::nullopt : std::optional(encoded_text(*text)));
}

// Removes `url` wherever it is; whether it was found.
bool remove_from(std::vector<std::string> &urls, const std::string &url) {
    return std::erase(urls, url) > 0;
}

tracker_tiers edited_tiers(const metainfo &torrent, const edit_request &request,
                           std::vector<std::string> &notes) {
    tracker_tiers tiers = request.trackers.value_or(torrent.trackers);
    for (const std::string &url : request.removed_trackers) {
        bool found = false;
        for (auto &tier : tiers)
            found = remove_from(tier, url) || found;
        if (!found)
            notes.push_back("no tracker " + url + " to remove");
    }
    std::erase_if(tiers, [](const auto &tier) { return tier.empty(); });
    tiers.insert(tiers.end(), request.added_tiers.begin(), request.added_tiers.end());
    return tiers;
}

// A single tracker is the announce URL alone, as `create` writes it; clients that know announce
// lists read the tiers.
void put_trackers(dictionary_edit &outer, const tracker_tiers &tiers) {
    const std::size_t urls =
        std::accumulate(tiers.begin(), tiers.end(), std::size_t{0},
                        [](std::size_t sum, const auto &tier) { return sum + tier.size(); });
    outer.put("announce", tiers.empty() ? std::nullopt : std::optional(encoded_text(tiers[0][0])));
    if (urls < 2) {
        outer.put("announce-list", std::nullopt);
        return;
    }
    std::string list;
    bencode_writer writer(list);
    writer.begin_list();
    for (const auto &tier : tiers) {
        writer.begin_list();
        for (const std::string &url : tier)
            writer.string(url);
        writer.end();
    }
    writer.end();
    outer.put("announce-list", std::move(list));
}

std::vector<std::string> edited_web_seeds(const metainfo &torrent, const edit_request &request,
                                          std::vector<std::string> &notes) {
    std::vector<std::string> seeds = request.web_seeds.value_or(torrent.web_seeds);
    for (const std::string &url : request.removed_web_seeds)
        if (!remove_from(seeds, url))
            notes.push_back("no web seed " + url + " to remove");
    seeds.insert(seeds.end(), request.added_web_seeds.begin(), request.added_web_seeds.end());
    return seeds;
}

void edit_outside_info(dictionary_edit &outer, const metainfo &torrent, const edit_request &request,
                       std::vector<std::string> &notes) {
    const tracker_tiers tiers = edited_tiers(torrent, request, notes);
    if (tiers != torrent.trackers)
        put_trackers(outer, tiers);
    const std::vector<std::string> seeds = edited_web_seeds(torrent, request, notes);
    if (seeds != torrent.web_seeds)
        outer.put("url-list", seeds.empty() ? std::nullopt : std::optional(encoded_list(seeds)));
    put_text(outer, "comment", request.comment);
    put_text(outer, "created by", request.created_by);
    if (request.no_date)
        outer.put("creation date", std::nullopt);
    if (request.date)
        outer.put("creation date", encoded_integer(*request.date));
}

// A single-file v2 torrent keeps its file at the top of the tree, under the torrent's name:
// the new name takes the old one's place there, the file's own value copied as it stands. A
// tree of any other shape is left as it stands rather than cut down to one entry.
std::optional<std::string> renamed_tree(const bencode_document &document, value_index info,
                                        std::string_view name) {
    const std::optional<value_index> tree = find_key(document, info, "file tree");
    if (!tree)
        return std::nullopt;
    const std::vector<bencode_entry> top = entries_of(document, *tree);
    if (top.size() != 1)
        return std::nullopt;
    std::string out = "d";
    out += encoded_text(name);
    out += encoding_of(document, top.front().value);
    out += 'e';
    return out;
}

void edit_inside_info(dictionary_edit &info, const bencode_document &document,
                      const metainfo &torrent, const edit_request &request) {
    if (request.is_private)
        info.put("private", *request.is_private ? std::optional(encoded_integer(1)) : std::nullopt);
    put_text(info, "source", request.source);
    if (!request.name)
        return;
    info.put("name", encoded_text(*request.name));
    const bool has_tree =
        torrent.format == torrent_format::v2 || torrent.format == torrent_format::hybrid;
    if (has_tree && torrent.single_file)
        if (auto tree = renamed_tree(document, *torrent.info, *request.name))
            info.put("file tree", std::move(*tree));
}

info_hashes hashes_of(std::string_view info, torrent_format format) {
    info_hasher hasher;
    info_hasher_begin(hasher, format != torrent_format::v2,
                      format == torrent_format::v2 || format == torrent_format::hybrid);
    info_hasher_feed(hasher, reinterpret_cast<const unsigned char *>(info.data()), info.size());
    return info_hasher_end(hasher).value_or(info_hashes{});
}
} // namespace

edit_outcome edit_torrent(const bencode_document &document, const metainfo &torrent,
                          const edit_request &request) {
    edit_outcome outcome;
    outcome.old_hashes = torrent.hashes;
    outcome.new_hashes = torrent.hashes;
    std::vector<std::string> info_changes;
    dictionary_edit outer = edit_of(document, 0, outcome.changed, "");
    dictionary_edit info = edit_of(document, *torrent.info, info_changes, "info.");
    edit_outside_info(outer, torrent, request, outcome.notes);
    edit_inside_info(info, document, torrent, request);
    if (!info_changes.empty()) {
        const std::string_view info_bytes = outer.made.emplace_back(info.encoded());
        outcome.new_hashes = hashes_of(info_bytes, torrent.format);
        for (dict_entry &entry : outer.entries)
            if (entry.key == "info")
                entry.value = info_bytes;
        outcome.changed.insert(outcome.changed.end(), info_changes.begin(), info_changes.end());
    }
    outcome.bytes = outcome.changed.empty() ? std::string(document.bytes) : outer.encoded();
    return outcome;
}
