#include "metainfo/document.h"

#include "common/numbers.h"
#include "metainfo/name.h"

#include <algorithm>
#include <charconv>
#include <numeric>

std::string announce_url(std::string_view base, std::string_view port, std::string_view path) {
    std::string url;
    url.reserve(base.size() + 1 + port.size() + path.size());
    url.append(base).append(":").append(port).append(path);
    return url;
}

namespace {
std::size_t url_count(const tracker_tiers &trackers) {
    return std::accumulate(trackers.begin(), trackers.end(), std::size_t{0},
                           [](std::size_t count, const auto &tier) { return count + tier.size(); });
}

// A single tracker is the announce URL alone; clients that know announce lists read the tiers.
void write_trackers(bencode_writer &out, const tracker_tiers &trackers) {
    out.key("announce");
    out.string(trackers.front().front());
    if (url_count(trackers) < 2) {
        return;
    }
    out.key("announce-list");
    out.begin_list();
    for (const auto &tier : trackers) {
        out.begin_list();
        for (const auto &url : tier) {
            out.string(url);
        }
        out.end();
    }
    out.end();
}
} // namespace

void open_document(bencode_writer &out, const document_head &head) {
    out.begin_dict();
    write_trackers(out, head.trackers);
    if (head.comment != nullptr) {
        out.key("comment");
        out.string(head.comment);
    }
    if (head.creation_date) {
        out.key("creation date");
        out.integer(*head.creation_date);
    }
    out.key("info");
    if (head.info_bytes) {
        out.tap_next_container(head.info_bytes);
    }
    out.begin_dict();
}

void close_info(bencode_writer &out, const document_tail &tail) {
    if (tail.is_private) {
        out.key("private");
        out.integer(1);
    }
    if (tail.source != nullptr) {
        out.key("source");
        out.string(tail.source);
    }
    out.end();
}

void close_outer(bencode_writer &out, const document_tail &tail) {
    if (!tail.web_seeds.empty()) {
        out.key("url-list");
        out.begin_list();
        for (const char *url : tail.web_seeds) {
            out.string(url);
        }
        out.end();
    }
    out.end();
}

void close_document(bencode_writer &out) {
    out.end();
    out.end();
}

void write_name(bencode_writer &out, std::string_view input_path) {
    out.key("name");
    out.string(torrent_name(input_path));
}

std::string_view info_name(const info_basics &info) {
    return info.name != nullptr ? std::string_view(info.name) : torrent_name(info.input_path);
}

namespace {
void write_info_name(bencode_writer &out, const info_basics &info) {
    out.key("name");
    out.string(info_name(info));
}

void write_piece_length(bencode_writer &out, const info_basics &info) {
    out.key("piece length");
    out.integer(info.piece_length);
}

void open_pieces(bencode_writer &out, std::int64_t length) {
    out.key("pieces");
    out.string_head(length);
}

// One file's entry of a v1 file list; `path` holds its components.
template <typename components>
void write_file_entry(bencode_writer &out, std::int64_t length, const components &path) {
    out.begin_dict();
    out.key("length");
    out.integer(length);
    out.key("path");
    out.begin_list();
    for (const auto &component : path) {
        out.string(component);
    }
    out.end();
    out.end();
}
} // namespace

void open_single_file_info(bencode_writer &out, std::int64_t length, const info_basics &info) {
    out.key("length");
    out.integer(length);
    write_info_name(out, info);
    write_piece_length(out, info);
    open_pieces(out, pieces_length(length, info.piece_length));
}

bool write_digests(bencode_writer &out, const unsigned char *digests, std::size_t size) {
    return out.string_part(digests, size);
}

feed_status digest_writer::take_pieces(std::int64_t /*first*/, const unsigned char *digests,
                                       std::size_t count) {
    // A failed write is the output's failure, which its writer reports.
    return write_digests(out_, digests, count * static_cast<std::size_t>(digest_size))
               ? feed_status::ok
               : feed_status::sink_failed;
}

directory_document::directory_document(bencode_writer &out, const info_basics &info)
    : out_(out), info_(info) {}

void directory_document::files_begin() {
    out_.key("files");
    out_.begin_list();
}

void directory_document::add_file(const file_entry &entry) {
    write_file_entry(out_, entry.length, entry.path);
}

void directory_document::files_end() {
    out_.end();
    write_info_name(out_, info_);
    write_piece_length(out_, info_);
}

bool directory_document::output_failed() const {
    return out_.failed();
}

void directory_document::pieces_begin(std::int64_t length) {
    open_pieces(out_, length);
}

void directory_document::pieces_part(const unsigned char *digests, std::size_t size) {
    write_digests(out_, digests, size);
}

v2_document::v2_document(bencode_writer &out, const info_basics &info, bool hybrid,
                         bool single_file)
    : out_(out), info_(info), hybrid_(hybrid), single_file_(single_file) {}

// Nothing can be written before the file tree is complete.
void v2_document::files_begin() {}

void v2_document::add_file(const file_entry &entry) {
    kept_file &kept = files_.emplace_back();
    if (single_file_) {
        kept.path.emplace_back(info_name(info_));
    } else {
        kept.path.assign(entry.path.begin(), entry.path.end());
    }
    kept.length = entry.length;
    if (entry.hashes != nullptr) {
        kept.hashes = std::move(*entry.hashes);
    }
}

void v2_document::files_end() {
    write_file_tree();
    if (hybrid_ && single_file_) {
        out_.key("length");
        out_.integer(files_.front().length);
    } else if (hybrid_) {
        write_v1_files();
    }
    out_.key("meta version");
    out_.integer(2);
    write_info_name(out_, info_);
    write_piece_length(out_, info_);
}

bool v2_document::output_failed() const {
    return out_.failed();
}

void v2_document::pieces_begin(std::int64_t length) {
    open_pieces(out_, length);
    pieces_written_ = true;
}

void v2_document::pieces_part(const unsigned char *digests, std::size_t size) {
    write_digests(out_, digests, size);
}

void v2_document::end_document(const document_tail &tail) {
    // A single empty file still has its empty pieces, as in v1.
    if (hybrid_ && single_file_ && !pieces_written_) {
        open_pieces(out_, 0);
    }
    // Ordered before anything more is written, so that running out of memory on the way
    // leaves the document open as every failed run does.
    const std::vector<const kept_file *> layered = files_by_root();
    close_info(out_, tail);
    write_piece_layers(layered);
    close_outer(out_, tail);
}

namespace {
std::string_view node_bytes(const tree_node &node) {
    return {reinterpret_cast<const char *>(node.data()), node.size()};
}

// How many leading directories two paths share; the last component of each is its file's name.
std::size_t shared_directories(const std::vector<std::string_view> &open,
                               const std::vector<std::string> &path) {
    std::size_t shared = 0;
    while (shared < open.size() && shared + 1 < path.size() && open[shared] == path[shared]) {
        ++shared;
    }
    return shared;
}
} // namespace

// Files come in the order of the tree, so each directory's dictionary is opened at its first
// file and closed after its last.
void v2_document::write_file_tree() {
    out_.key("file tree");
    out_.begin_dict();
    std::vector<std::string_view> open;
    for (const kept_file &file : files_) {
        for (std::size_t keep = shared_directories(open, file.path); open.size() > keep;) {
            out_.end();
            open.pop_back();
        }
        while (open.size() + 1 < file.path.size()) {
            open.emplace_back(file.path[open.size()]);
            out_.key(open.back());
            out_.begin_dict();
        }
        out_.key(file.path.back());
        out_.begin_dict();
        out_.key("");
        out_.begin_dict();
        out_.key("length");
        out_.integer(file.length);
        if (file.hashes.has_root) {
            out_.key("pieces root");
            out_.string(node_bytes(file.hashes.root));
        }
        out_.end();
        out_.end();
    }
    for (; !open.empty(); open.pop_back()) {
        out_.end();
    }
    out_.end();
}

// Every file that does not end on a piece boundary is followed by its padding, so that the
// next file, and the end of the content, are on one.
void v2_document::write_v1_files() {
    out_.key("files");
    out_.begin_list();
    for (const kept_file &file : files_) {
        write_file_entry(out_, file.length, file.path);
        const std::int64_t padding = padding_length(file.length, info_.piece_length);
        if (padding == 0) {
            continue;
        }
        char digits[24];
        const char *end = std::to_chars(digits, digits + sizeof digits, padding).ptr;
        out_.begin_dict();
        out_.key("attr");
        out_.string("p");
        out_.key("length");
        out_.integer(padding);
        out_.key("path");
        out_.begin_list();
        out_.string(".pad");
        out_.string(std::string_view(digits, static_cast<std::size_t>(end - digits)));
        out_.end();
        out_.end();
    }
    out_.end();
}

// The files that have a piece layer, in ascending byte order of their pieces roots; files of
// the same content share one entry.
std::vector<const v2_document::kept_file *> v2_document::files_by_root() const {
    std::vector<const kept_file *> layered;
    for (const kept_file &file : files_) {
        if (!file.hashes.piece_layer.empty()) {
            layered.push_back(&file);
        }
    }
    const auto by_root = [](const kept_file *a, const kept_file *b) {
        return a->hashes.root < b->hashes.root;
    };
    const auto same_root = [](const kept_file *a, const kept_file *b) {
        return a->hashes.root == b->hashes.root;
    };
    std::sort(layered.begin(), layered.end(), by_root);
    layered.erase(std::unique(layered.begin(), layered.end(), same_root), layered.end());
    return layered;
}

void v2_document::write_piece_layers(const std::vector<const kept_file *> &layered) {
    out_.key("piece layers");
    out_.begin_dict();
    for (const kept_file *file : layered) {
        const std::vector<tree_node> &layer = file->hashes.piece_layer;
        out_.key(node_bytes(file->hashes.root));
        out_.string_head(static_cast<std::int64_t>(layer.size() * sizeof(tree_node)));
        out_.string_part(layer.data(), layer.size() * sizeof(tree_node));
    }
    out_.end();
}
