#include "reader/metainfo.h"

#include "hash/sha1_single.h"
#include "hash/sha256_single.h"

#include <algorithm>
#include <limits>
#include <numeric>

path_view path_view::consecutive(const bencode_document &document, value_index first,
                                 std::uint32_t size) {
    return path_view(&document, nullptr, first, size);
}

path_view path_view::of_keys(const bencode_document &document, const value_index *keys,
                             std::uint32_t size) {
    return path_view(&document, keys, 0, size);
}

path_view path_view::unnamed() {
    return path_view(nullptr, nullptr, 0, 1);
}

// Why a path component could name a place outside the torrent's folder, or none at all. One
// pass over the bytes: every component of every file comes here.
const char *path_component_fault(std::string_view component) {
    if (component.empty())
        return "an empty path component";
    if (component == "." || component == "..")
        return "a path component '.' or '..'";
    bool slash = false;
    bool nul = false;
    for (const char c : component) {
        slash = slash || c == '/';
        nul = nul || c == '\0';
    }
    if (slash)
        return "a path component with '/'";
    if (nul)
        return "a path component with a NUL byte";
    return nullptr;
}

namespace {
constexpr std::uint64_t v2_smallest_piece = 16384;
constexpr std::size_t sha1_size = 20;
constexpr std::uint64_t largest_size = std::numeric_limits<std::int64_t>::max();

std::string quoted(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size() + 2);
    text += '\'';
    text += bytes;
    text += '\'';
    return text;
}

std::string joined(path_view path) {
    std::string text;
    for (std::size_t at = 0; at < path.size(); ++at) {
        if (at > 0)
            text += '/';
        text += path[at];
    }
    return text;
}

std::uint64_t pieces_for(std::uint64_t size, std::uint64_t piece_length) {
    return size / piece_length + (size % piece_length != 0);
}

// The state of one reading: the document, what has been learnt so far and the limits.
struct reading {
    const bencode_document &document;
    const bencode_limits &limits;
    metainfo &torrent;
    std::optional<bencode_error> refusal;

    void invalid(std::string text) { torrent.problems.push_back({std::move(text), true}); }
    void remark(std::string text) { torrent.problems.push_back({std::move(text), false}); }

    std::optional<value_index> field(value_index dictionary, std::string_view key,
                                     bencode_kind kind, bool required) {
        return checked(find_key(document, dictionary, key), key, kind, required);
    }

    // The value found under `key`, if it is there and of the kind asked for.
    std::optional<value_index> checked(std::optional<value_index> value, std::string_view key,
                                       bencode_kind kind, bool required) {
        if (!value) {
            if (required)
                invalid("no " + quoted(key));
            return std::nullopt;
        }
        if (!is_kind(document, *value, kind)) {
            const std::string message = quoted(key) + " of the wrong type";
            required ? invalid(message) : remark(message);
            return std::nullopt;
        }
        return value;
    }

    std::optional<std::string_view> text(value_index dictionary, std::string_view key,
                                         bool required = false) {
        const auto value = field(dictionary, key, bencode_kind::string, required);
        return value ? std::optional(text_of(document, *value)) : std::nullopt;
    }

    std::optional<std::int64_t> number(value_index dictionary, std::string_view key,
                                       bool required = false) {
        const auto value = field(dictionary, key, bencode_kind::integer, required);
        return value ? std::optional(integer_of(document, *value)) : std::nullopt;
    }

    // A file's length, found under "length": present, whole and not negative.
    std::optional<std::uint64_t> length(std::optional<value_index> found, path_view path) {
        const auto integer = checked(found, "length", bencode_kind::integer, true);
        const std::optional<std::int64_t> value =
            integer ? std::optional(integer_of(document, *integer)) : std::nullopt;
        if (value && *value < 0)
            invalid("negative length of " + quoted(joined(path)));
        return value && *value >= 0 ? std::optional(static_cast<std::uint64_t>(*value))
                                    : std::nullopt;
    }

    bool within_piece_limit(std::uint64_t pieces, std::size_t offset) {
        if (pieces <= limits.max_pieces)
            return true;
        refusal = bencode_error{std::to_string(pieces) + " pieces are over the piece limit of " +
                                    std::to_string(limits.max_pieces),
                                offset, "--max-pieces"};
        return false;
    }
};

void check_path(reading &state, path_view path) {
    const auto faulty = std::find_if(path.begin(), path.end(), path_component_fault);
    if (faulty != path.end())
        state.invalid("file " + quoted(joined(path)) + " has " + path_component_fault(*faulty));
}

std::uint64_t summed_sizes(reading &state, const file_list &files) {
    std::uint64_t total = 0;
    for (const torrent_file &file : files) {
        if (file.size > largest_size - total) {
            state.invalid("the files' total size is out of range");
            return 0;
        }
        total += file.size;
    }
    return total;
}

// ------------------------------------------------------------------------------------ v1 ---

// The fields of an entry of 'files', found in one pass over it; the first of each name counts,
// as with find_key.
struct file_fields {
    std::optional<value_index> path;
    std::optional<value_index> length;
    std::optional<value_index> attr;
};

file_fields fields_of(const bencode_document &document, value_index entry) {
    file_fields fields;
    const value_index end = end_of(document, entry);
    for (value_index key = entry + 1; key < end; key = end_of(document, key + 1)) {
        const std::string_view name = text_of(document, key);
        std::optional<value_index> *slot = name == "path"     ? &fields.path
                                           : name == "length" ? &fields.length
                                           : name == "attr"   ? &fields.attr
                                                              : nullptr;
        if (slot != nullptr && !*slot)
            *slot = key + 1;
    }
    return fields;
}

std::optional<torrent_file> v1_file(reading &state, value_index entry) {
    const bencode_document &document = state.document;
    if (!is_kind(document, entry, bencode_kind::dictionary)) {
        state.invalid("an entry of 'files' is not a dictionary");
        return std::nullopt;
    }
    const file_fields fields = fields_of(document, entry);
    // Strings each take one value, so a list of nothing else holds them one after another.
    torrent_file file;
    if (const auto path = state.checked(fields.path, "path", bencode_kind::list, true)) {
        const value_index end = end_of(document, *path);
        for (value_index at = *path + 1; at < end; ++at) {
            if (!is_kind(document, at, bencode_kind::string)) {
                state.invalid("a path component that is not a string");
                return std::nullopt;
            }
        }
        file.path = path_view::consecutive(document, *path + 1, end - *path - 1);
    }
    if (file.path.empty()) {
        state.invalid("a file in 'files' without a path");
        return std::nullopt;
    }
    check_path(state, file.path);
    file.size = state.length(fields.length, file.path).value_or(0);
    if (const auto attr = state.checked(fields.attr, "attr", bencode_kind::string, false))
        file.pad = text_of(document, *attr).find('p') != std::string_view::npos;
    return file;
}

void read_v1_files(reading &state, value_index info) {
    metainfo &torrent = state.torrent;
    const auto length = find_key(state.document, info, "length");
    const auto files = find_key(state.document, info, "files");
    if (length && files) {
        state.invalid("both 'length' and 'files'");
        return;
    }
    if (!length && !files) {
        state.invalid("neither 'length' nor 'files'");
        return;
    }
    if (length) {
        torrent.single_file = true;
        torrent_file file;
        const auto name = find_key(state.document, info, "name");
        file.path =
            torrent.name ? path_view::consecutive(state.document, *name, 1) : path_view::unnamed();
        file.size = state.length(length, file.path).value_or(0);
        torrent.files.push_back(file);
        return;
    }
    const auto list = state.field(info, "files", bencode_kind::list, true);
    if (!list)
        return;
    torrent.files.reserve(count_of(state.document, *list));
    const value_index end = end_of(state.document, *list);
    for (value_index entry = *list + 1; entry < end; entry = end_of(state.document, entry))
        if (auto file = v1_file(state, entry))
            torrent.files.push_back(*file);
    if (torrent.files.empty())
        state.invalid("an empty 'files' list");
}

void read_v1_pieces(reading &state, value_index info, bool required) {
    metainfo &torrent = state.torrent;
    const auto pieces = state.field(info, "pieces", bencode_kind::string, required);
    if (!pieces)
        return;
    torrent.pieces = text_of(state.document, *pieces);
    if (torrent.pieces.size() % sha1_size != 0) {
        state.invalid("'pieces' of " + std::to_string(torrent.pieces.size()) +
                      " bytes, not a multiple of 20");
        return;
    }
    torrent.piece_count = torrent.pieces.size() / sha1_size;
    if (!state.within_piece_limit(torrent.piece_count, span_of(state.document, *pieces).offset))
        return;
    const std::uint64_t total = summed_sizes(state, torrent.files);
    if (torrent.piece_length && *torrent.piece_length > 0) {
        const std::uint64_t needed = pieces_for(total, *torrent.piece_length);
        if (needed != torrent.piece_count)
            state.invalid("'pieces' holds " + std::to_string(torrent.piece_count) +
                          " digests where the content needs " + std::to_string(needed));
    }
}

// ------------------------------------------------------------------------------------ v2 ---

// A file of the tree: `node` is the dictionary under its name, whose only key is "".
std::optional<torrent_file> v2_file(reading &state, value_index node, path_view path) {
    const bencode_document &document = state.document;
    if (count_of(document, node) != 1) {
        state.invalid("file tree entry " + quoted(joined(path)) + " is both a file and a folder");
        return std::nullopt;
    }
    const auto leaf = state.field(node, "", bencode_kind::dictionary, true);
    if (!leaf)
        return std::nullopt;
    torrent_file file;
    file.size = state.length(find_key(document, *leaf, "length"), path).value_or(0);
    const auto root = state.text(*leaf, "pieces root", file.size > 0);
    if (root && root->size() != std::tuple_size_v<pieces_root>) {
        state.invalid("'pieces root' of " + quoted(joined(path)) + " is not 32 bytes");
    } else if (root) {
        file.root = reinterpret_cast<const unsigned char *>(root->data());
    }
    return file;
}

// The tree is walked with an explicit stack, in its order; its depth is bounded by the reader's.
// `keys` holds the names down to the entry at hand, each the index of its key.
void read_file_tree(reading &state, value_index tree) {
    const bencode_document &document = state.document;
    struct folder {
        value_index next_key = 0;
        value_index end = 0;
    };
    std::vector<folder> open{{tree + 1, end_of(document, tree)}};
    std::vector<value_index> keys;
    std::vector<std::size_t> first_keys;
    while (!open.empty()) {
        folder &current = open.back();
        if (current.next_key == current.end) {
            open.pop_back();
            if (!keys.empty())
                keys.pop_back();
            continue;
        }
        const value_index key = current.next_key;
        const value_index value = key + 1;
        current.next_key = end_of(document, value);
        keys.push_back(key);
        const path_view entry_path =
            path_view::of_keys(document, keys.data(), static_cast<std::uint32_t>(keys.size()));
        if (const char *fault = path_component_fault(text_of(document, key))) {
            state.invalid("file tree entry " + quoted(joined(entry_path)) + " has " + fault);
        } else if (!is_kind(document, value, bencode_kind::dictionary)) {
            state.invalid("file tree entry " + quoted(joined(entry_path)) + " is not a dictionary");
        } else if (find_key(document, value, "")) {
            if (auto file = v2_file(state, value, entry_path)) {
                // Viewed once the walk is over and the block can no longer move.
                first_keys.push_back(state.torrent.tree_keys.size());
                state.torrent.tree_keys.insert(state.torrent.tree_keys.end(), keys.begin(),
                                               keys.end());
                state.torrent.tree_files.push_back(*file);
            }
        } else if (count_of(document, value) == 0) {
            state.invalid("file tree entry " + quoted(joined(entry_path)) + " is empty");
        } else {
            open.push_back({value + 1, end_of(document, value)});
            continue;
        }
        keys.pop_back();
    }
    file_list &files = state.torrent.tree_files;
    const std::vector<value_index> &all_keys = state.torrent.tree_keys;
    for (std::size_t at = 0; at < files.size(); ++at) {
        const std::size_t end = at + 1 < files.size() ? first_keys[at + 1] : all_keys.size();
        files[at].path = path_view::of_keys(document, all_keys.data() + first_keys[at],
                                            static_cast<std::uint32_t>(end - first_keys[at]));
    }
}

void read_piece_layers(reading &state, std::uint64_t piece_length) {
    const bencode_document &document = state.document;
    std::vector<bencode_entry> layers;
    if (const auto dictionary = state.field(0, "piece layers", bencode_kind::dictionary, false))
        layers = entries_of(document, *dictionary);
    std::sort(layers.begin(), layers.end(),
              [](const bencode_entry &a, const bencode_entry &b) { return a.name < b.name; });
    for (const torrent_file &file : state.torrent.tree_files) {
        if (file.size <= piece_length || !file.root)
            continue;
        const std::string_view root(reinterpret_cast<const char *>(file.root),
                                    std::tuple_size_v<pieces_root>);
        const auto layer = std::lower_bound(
            layers.begin(), layers.end(), root,
            [](const bencode_entry &entry, std::string_view key) { return entry.name < key; });
        if (layer == layers.end() || layer->name != root) {
            state.invalid("no piece layer for " + quoted(joined(file.path)));
            continue;
        }
        const std::uint64_t expected = 32 * pieces_for(file.size, piece_length);
        if (!is_kind(document, layer->value, bencode_kind::string) ||
            text_of(document, layer->value).size() != expected)
            state.invalid("the piece layer of " + quoted(joined(file.path)) + " is not " +
                          std::to_string(expected) + " bytes");
    }
}

void read_v2(reading &state, value_index info) {
    metainfo &torrent = state.torrent;
    const std::optional<std::int64_t> version = state.number(info, "meta version", true);
    if (version && *version != 2)
        state.invalid("'meta version' " + std::to_string(*version) + ", not 2");
    const auto tree = state.field(info, "file tree", bencode_kind::dictionary, true);
    if (!tree)
        return;
    read_file_tree(state, *tree);
    if (torrent.tree_files.empty())
        state.invalid("an empty 'file tree'");
    if (!torrent.piece_length || *torrent.piece_length == 0)
        return;
    const std::uint64_t piece_length = *torrent.piece_length;
    if (piece_length < v2_smallest_piece || (piece_length & (piece_length - 1)) != 0)
        state.invalid("'piece length' " + std::to_string(piece_length) +
                      " is not a power of two of at least 16 KiB");
    // Saturates, so that a tree claiming absurd sizes is refused by the limit, not wrapped.
    const std::uint64_t pieces = std::accumulate(
        torrent.tree_files.begin(), torrent.tree_files.end(), std::uint64_t{0},
        [piece_length](std::uint64_t sum, const torrent_file &file) {
            return sum + std::min(pieces_for(file.size, piece_length), largest_size - sum);
        });
    if (!state.within_piece_limit(pieces, span_of(state.document, *tree).offset))
        return;
    if (torrent.format == torrent_format::v2)
        torrent.piece_count = pieces;
    read_piece_layers(state, piece_length);
}

// A single-file v2 torrent's tree holds one file at its top, under the torrent's name.
bool tree_is_single_file(const metainfo &torrent) {
    return torrent.tree_files.size() == 1 && torrent.tree_files.front().path.size() == 1 &&
           torrent.name && torrent.tree_files.front().path.front() == *torrent.name;
}

// A hybrid torrent's v1 list is the tree's files in the same order, each padded to a piece
// boundary where another file follows.
void check_hybrid(reading &state) {
    const metainfo &torrent = state.torrent;
    if (torrent.single_file != tree_is_single_file(torrent)) {
        state.invalid("the v1 files and the v2 file tree disagree on a single file");
        return;
    }
    std::vector<const torrent_file *> content;
    std::uint64_t offset = 0;
    const std::uint64_t piece_length = torrent.piece_length.value_or(0);
    for (const torrent_file &file : torrent.files) {
        if (!file.pad) {
            if (piece_length > 0 && offset % piece_length != 0)
                state.invalid("file " + quoted(joined(file.path)) +
                              " does not start on a piece boundary");
            content.push_back(&file);
        }
        offset += file.size;
    }
    const bool same =
        content.size() == torrent.tree_files.size() &&
        std::equal(content.begin(), content.end(), torrent.tree_files.begin(),
                   [](const torrent_file *v1, const torrent_file &v2) {
                       return std::ranges::equal(v1->path, v2.path) && v1->size == v2.size;
                   });
    if (!same)
        state.invalid("the v1 files and the v2 file tree describe different files");
}

// ------------------------------------------------------------------------ the whole torrent ---

void read_trackers(reading &state) {
    metainfo &torrent = state.torrent;
    if (const auto list = state.field(0, "announce-list", bencode_kind::list, false))
        for (const value_index tier : elements_of(state.document, *list)) {
            std::vector<std::string> urls;
            for (const value_index url : elements_of(state.document, tier))
                if (is_kind(state.document, url, bencode_kind::string) &&
                    !text_of(state.document, url).empty())
                    urls.emplace_back(text_of(state.document, url));
            if (!urls.empty())
                torrent.trackers.push_back(std::move(urls));
        }
    // Clients take `announce` only from a torrent without a usable announce list.
    const auto announce = state.text(0, "announce");
    if (torrent.trackers.empty() && announce && !announce->empty())
        torrent.trackers.push_back({std::string(*announce)});
}

void read_web_seeds(reading &state) {
    const auto seeds = find_key(state.document, 0, "url-list");
    if (!seeds)
        return;
    std::vector<value_index> urls = elements_of(state.document, *seeds);
    if (is_kind(state.document, *seeds, bencode_kind::string))
        urls.push_back(*seeds);
    for (const value_index url : urls)
        if (is_kind(state.document, url, bencode_kind::string) &&
            !text_of(state.document, url).empty())
            state.torrent.web_seeds.emplace_back(text_of(state.document, url));
}

void read_descriptions(reading &state, value_index info) {
    metainfo &torrent = state.torrent;
    torrent.comment = state.text(0, "comment");
    torrent.created_by = state.text(0, "created by");
    torrent.creation_date = state.number(0, "creation date");
    torrent.source = state.text(info, "source");
    const std::optional<std::int64_t> flag = state.number(info, "private");
    torrent.is_private = flag == 1;
}

void hash_info(reading &state, value_index info) {
    metainfo &torrent = state.torrent;
    const std::string_view bytes = encoding_of(state.document, info);
    const auto *data = reinterpret_cast<const unsigned char *>(bytes.data());
    const bool v2 =
        torrent.format == torrent_format::v2 || torrent.format == torrent_format::hybrid;
    const bool v1 = !v2 || torrent.format == torrent_format::hybrid;
    if (v1 && !sha1_single_digest(data, bytes.size(), torrent.hashes.v1.emplace().data()))
        torrent.hashes.v1.reset();
    if (v2 && !sha256_single_digest(data, bytes.size(), torrent.hashes.v2.emplace().data()))
        torrent.hashes.v2.reset();
}

torrent_format format_of(const bencode_document &document, value_index info) {
    const bool v1 = find_key(document, info, "pieces") || find_key(document, info, "length") ||
                    find_key(document, info, "files");
    const bool v2 =
        find_key(document, info, "file tree") || find_key(document, info, "meta version");
    if (v1 && v2)
        return torrent_format::hybrid;
    return v1 ? torrent_format::v1 : v2 ? torrent_format::v2 : torrent_format::unknown;
}

void read_info(reading &state, value_index info) {
    metainfo &torrent = state.torrent;
    torrent.info = info;
    torrent.format = format_of(state.document, info);
    hash_info(state, info);
    torrent.name = state.text(info, "name", true);
    if (torrent.name)
        if (const char *fault = path_component_fault(*torrent.name))
            state.invalid(std::string("the name is ") + (torrent.name->empty() ? "empty" : fault));
    if (const auto length = state.number(info, "piece length", true)) {
        if (*length <= 0)
            state.invalid("'piece length' " + std::to_string(*length) + " is not positive");
        else
            torrent.piece_length = static_cast<std::uint64_t>(*length);
    }
    switch (torrent.format) {
    case torrent_format::unknown:
        state.invalid("neither a v1 file list nor a v2 file tree");
        return;
    case torrent_format::v1:
        read_v1_files(state, info);
        read_v1_pieces(state, info, true);
        return;
    case torrent_format::v2:
        read_v2(state, info);
        torrent.single_file = tree_is_single_file(torrent);
        torrent.files = std::move(torrent.tree_files);
        torrent.tree_files = {};
        return;
    case torrent_format::hybrid:
        read_v1_files(state, info);
        // Content of no bytes has no pieces, and a hybrid torrent of it may leave them out.
        read_v1_pieces(state, info, summed_sizes(state, torrent.files) > 0);
        if (!state.refusal)
            read_v2(state, info);
        if (!state.refusal)
            check_hybrid(state);
        return;
    }
}
} // namespace

metainfo_outcome read_metainfo(const bencode_document &document, const bencode_limits &limits) {
    metainfo_outcome outcome;
    reading state{document, limits, outcome.torrent, std::nullopt};
    for (const bencode_problem &problem : document.problems)
        state.remark(problem.reason + " at byte " + std::to_string(problem.offset));
    if (!is_kind(document, 0, bencode_kind::dictionary)) {
        state.invalid("the document is not a dictionary");
        return outcome;
    }
    if (const auto info = state.field(0, "info", bencode_kind::dictionary, true)) {
        read_info(state, *info);
        if (state.refusal) {
            outcome.refusal = std::move(state.refusal);
            return outcome;
        }
    }
    read_trackers(state);
    read_web_seeds(state);
    if (outcome.torrent.info)
        read_descriptions(state, *outcome.torrent.info);
    return outcome;
}

const metainfo_problem *first_invalid_problem(const metainfo &torrent) {
    const auto found =
        std::find_if(torrent.problems.begin(), torrent.problems.end(),
                     [](const metainfo_problem &problem) { return problem.invalid; });
    return found == torrent.problems.end() ? nullptr : &*found;
}

bool has_invalid_problem(const metainfo &torrent) {
    return first_invalid_problem(torrent) != nullptr;
}

std::uint64_t content_size(const metainfo &torrent) {
    return std::accumulate(torrent.files.begin(), torrent.files.end(), std::uint64_t{0},
                           [](std::uint64_t sum, const torrent_file &file) {
                               return file.pad ? sum : sum + file.size;
                           });
}

const char *format_name(torrent_format format) {
    switch (format) {
    case torrent_format::v1:
        return "v1";
    case torrent_format::v2:
        return "v2";
    case torrent_format::hybrid:
        return "hybrid";
    case torrent_format::unknown:
        break;
    }
    return nullptr;
}
