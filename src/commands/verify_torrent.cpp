#include "commands/verify_torrent.h"

#include "common/terminal_text.h"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <numeric>
#include <sys/mman.h>
#include <unistd.h>

std::optional<refusal> load_checkable(const std::string &path, loaded_torrent &loaded) {
    if (const auto refused = load_torrent(path, bencode_limits{}, loaded))
        return refusal{*refused};
    if (const metainfo_problem *invalid = first_invalid_problem(loaded.torrent))
        return refusal{"not a valid torrent: " + utf8_escaped(invalid->text)};
    return std::nullopt;
}

namespace {
// Where the content is: PATH as given, else the torrent's name beside the torrent file, a name
// that must not lead anywhere else.
std::optional<refusal> content_root(const std::string &torrent_path,
                                    const std::string &content_path, const metainfo &torrent,
                                    std::string &root) {
    if (!content_path.empty()) {
        root = content_path;
        return std::nullopt;
    }
    const std::string_view name = torrent.name.value_or("");
    if (const auto unsafe = unsafe_component(name))
        return refusal{"the torrent's name is " + *unsafe + "; give the content's path"};
    std::filesystem::path beside = std::filesystem::path(torrent_path).parent_path();
    root = (beside.empty() ? std::string(".") : beside.string()) + "/" + std::string(name);
    return std::nullopt;
}

// The piece layers the torrent lists, by the root they belong to.
std::vector<bencode_entry> piece_layers(const bencode_document &document) {
    std::vector<bencode_entry> layers;
    if (const auto dictionary = find_key(document, 0, "piece layers"))
        layers = entries_of(document, *dictionary);
    std::sort(layers.begin(), layers.end(),
              [](const bencode_entry &a, const bencode_entry &b) { return a.name < b.name; });
    return layers;
}

std::string_view layer_of(const bencode_document &document,
                          const std::vector<bencode_entry> &layers, const unsigned char *root) {
    const std::string_view key(reinterpret_cast<const char *>(root),
                               std::tuple_size_v<pieces_root>);
    const auto found = std::lower_bound(
        layers.begin(), layers.end(), key,
        [](const bencode_entry &entry, std::string_view wanted) { return entry.name < wanted; });
    return found != layers.end() && found->name == key ? text_of(document, found->value)
                                                       : std::string_view{};
}

check_kind kind_of(torrent_format format) {
    return format == torrent_format::v2       ? check_kind::v2
           : format == torrent_format::hybrid ? check_kind::hybrid
                                              : check_kind::v1;
}

// Bytes of the file's path below the content, its components joined with '/'.
std::size_t joined_size(const torrent_file &file) {
    return std::accumulate(
        file.path.begin(), file.path.end(),
        file.path.empty() ? std::size_t{0} : file.path.size() - 1,
        [](std::size_t sum, std::string_view component) { return sum + component.size(); });
}

void append_joined(const torrent_file &file, std::string &paths) {
    bool first = true;
    for (const std::string_view component : file.path) {
        if (!first)
            paths += '/';
        paths += component;
        first = false;
    }
}

// A file's tree as the layout keeps it: its root, and where its piece layer lies if it has one.
void keep_tree(const bencode_document &document, const std::vector<bencode_entry> &layers,
               const unsigned char *root, content_layout &layout, expected_file &file) {
    file.root = static_cast<std::uint32_t>(layout.roots.size());
    std::copy_n(root, std::tuple_size_v<pieces_root>, layout.roots.emplace_back().begin());
    const std::string_view layer = layer_of(document, layers, root);
    if (!layer.empty() && layer.size() == pieces_of(file.size, layout.piece_length) * 32)
        file.layer = static_cast<std::uint32_t>(layer.data() - layout.layers.data());
}

std::optional<refusal> expected_files(const loaded_torrent &loaded, content_layout &layout) {
    const metainfo &torrent = loaded.torrent;
    const std::vector<bencode_entry> layers = piece_layers(*loaded.document);
    const std::size_t paths_size = std::accumulate(
        torrent.files.begin(), torrent.files.end(), std::size_t{0},
        [](std::size_t sum, const torrent_file &file) { return sum + joined_size(file); });
    // A file's path is found by a 32-bit offset. Paths that long together cannot be made on
    // disk anyway (v2 trees can repeat a long folder name for every file below it).
    if (paths_size > std::numeric_limits<std::uint32_t>::max())
        return refusal{"its files' paths are longer than 4 GiB together"};
    layout.paths.reserve(paths_size);
    layout.files.reserve(torrent.files.size());
    if (layout.kind != check_kind::v1)
        layout.roots.reserve(torrent.files.size());
    std::size_t tree_index = 0; // hybrid: the tree's files follow the v1 list's, pads left out
    for (const torrent_file &file : torrent.files) {
        for (const std::string_view component : file.path)
            if (const auto unsafe = unsafe_component(component); unsafe && !file.pad)
                return refusal{"the file " + utf8_escaped(shown_path(torrent, file)) + " has " +
                               *unsafe};
        expected_file expected;
        expected.path = static_cast<std::uint32_t>(layout.paths.size());
        append_joined(file, layout.paths);
        expected.size = file.size;
        expected.pad = file.pad;
        const torrent_file *in_tree = layout.kind == check_kind::hybrid && !file.pad
                                          ? &torrent.tree_files[tree_index++]
                                          : &file;
        if (in_tree->root)
            keep_tree(*loaded.document, layers, in_tree->root, layout, expected);
        layout.files.push_back(expected);
    }
    return std::nullopt;
}

// The engine pads every file of hybrid content to a piece boundary, the last one too, as
// `create` and libtorrent write them, except where the torrent holds one file only: that one is
// never padded. A torrent of two or more files that leaves the last one unpadded ends its v1
// content elsewhere.
bool hybrid_padding_as_hashed(const metainfo &torrent) {
    const auto content_files = std::count_if(torrent.files.begin(), torrent.files.end(),
                                             [](const torrent_file &file) { return !file.pad; });
    if (torrent.single_file || content_files <= 1)
        return true;
    const std::uint64_t total = std::accumulate(
        torrent.files.begin(), torrent.files.end(), std::uint64_t{0},
        [](std::uint64_t sum, const torrent_file &file) { return sum + file.size; });
    return total % *torrent.piece_length == 0;
}

} // namespace

std::optional<refusal> layout_of(const loaded_torrent &loaded, const std::string &torrent_path,
                                 const std::string &content_path, content_layout &layout) {
    const metainfo &torrent = loaded.torrent;
    if (torrent.format == torrent_format::unknown || !torrent.piece_length)
        return refusal{"not a valid torrent: neither v1 nor v2"};
    layout.kind = kind_of(torrent.format);
    layout.piece_length = *torrent.piece_length;
    layout.pieces = torrent.pieces;
    if (const auto layers = find_key(*loaded.document, 0, "piece layers"))
        layout.layers = encoding_of(*loaded.document, *layers);
    layout.name = torrent.name.value_or("");
    layout.single_file = torrent.single_file;
    if (layout.kind == check_kind::hybrid && !hybrid_padding_as_hashed(torrent))
        return refusal{"a hybrid torrent whose last file has no pad file is not checked"};
    if (auto refused = content_root(torrent_path, content_path, torrent, layout.content_path))
        return refused;
    return expected_files(loaded, layout);
}

namespace {
// Gives back the whole pages within [from, to) of the buffer at `base`.
void release_pages(unsigned char *base, std::size_t from, std::size_t to) {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t skew = reinterpret_cast<std::uintptr_t>(base) % page;
    // Counted from the start of the page that `base` lies in.
    const std::size_t first = (skew + from + page - 1) / page * page;
    const std::size_t last = (skew + to) / page * page;
    if (first < last)
        madvise(base + (first - skew), last - first, MADV_DONTNEED);
}
} // namespace

void keep_what_the_layout_reads(loaded_torrent &loaded, const content_layout &layout) {
    loaded.torrent = metainfo{};
    loaded.document.reset();
    unsigned char *base = loaded.bytes.data.get();
    const auto offset_of = [&](std::string_view part) {
        return static_cast<std::size_t>(reinterpret_cast<const unsigned char *>(part.data()) -
                                        base);
    };
    std::vector<std::pair<std::size_t, std::size_t>> kept;
    for (const std::string_view part : {layout.pieces, layout.layers})
        if (!part.empty())
            kept.emplace_back(offset_of(part), offset_of(part) + part.size());
    std::sort(kept.begin(), kept.end());
    std::size_t from = 0;
    for (const auto &[start, end] : kept) {
        release_pages(base, from, start);
        from = std::max(from, end);
    }
    release_pages(base, from, loaded.bytes.capacity);
}
