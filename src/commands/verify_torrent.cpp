#include "commands/verify_torrent.h"

#include "common/terminal_text.h"

#include <algorithm>
#include <filesystem>
#include <numeric>

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
                          const std::vector<bencode_entry> &layers, const pieces_root &root) {
    const std::string_view key(reinterpret_cast<const char *>(root.data()), root.size());
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

std::optional<refusal> expected_files(const loaded_torrent &loaded, const std::string &root,
                                      content_layout &layout) {
    const metainfo &torrent = loaded.torrent;
    const std::vector<bencode_entry> layers = piece_layers(*loaded.document);
    std::size_t tree_index = 0; // hybrid: the tree's files follow the v1 list's, pads left out
    for (const torrent_file &file : torrent.files) {
        for (const std::string_view component : file.path)
            if (const auto unsafe = unsafe_component(component); unsafe && !file.pad)
                return refusal{"the file " + utf8_escaped(shown_path(torrent, file)) + " has " +
                               *unsafe};
        expected_file expected;
        expected.shown = shown_path(torrent, file);
        expected.disk_path = torrent.single_file ? root : disk_path_of(root, file.path);
        expected.size = file.size;
        expected.pad = file.pad;
        const torrent_file *in_tree = layout.kind == check_kind::hybrid && !file.pad
                                          ? &torrent.tree_files[tree_index++]
                                          : &file;
        expected.root = in_tree->root;
        if (in_tree->root)
            expected.piece_layer = layer_of(*loaded.document, layers, *in_tree->root);
        layout.files.push_back(std::move(expected));
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
                                 const std::string &content_path, std::string &root,
                                 content_layout &layout) {
    const metainfo &torrent = loaded.torrent;
    if (torrent.format == torrent_format::unknown || !torrent.piece_length)
        return refusal{"not a valid torrent: neither v1 nor v2"};
    layout.kind = kind_of(torrent.format);
    layout.piece_length = *torrent.piece_length;
    layout.pieces = torrent.pieces;
    if (layout.kind == check_kind::hybrid && !hybrid_padding_as_hashed(torrent))
        return refusal{"a hybrid torrent whose last file has no pad file is not checked"};
    if (auto refused = content_root(torrent_path, content_path, torrent, root))
        return refused;
    return expected_files(loaded, root, layout);
}
