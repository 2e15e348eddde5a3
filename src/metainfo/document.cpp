#include "metainfo/document.h"

#include "common/numbers.h"
#include "metainfo/name.h"

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

directory_document::directory_document(bencode_writer &out, const info_basics &info)
    : out_(out), info_(info) {}

void directory_document::files_begin() {
    out_.key("files");
    out_.begin_list();
}

void directory_document::add_file(const file_entry &entry) {
    out_.begin_dict();
    out_.key("length");
    out_.integer(entry.length);
    out_.key("path");
    out_.begin_list();
    for (const std::string_view component : entry.path) {
        out_.string(component);
    }
    out_.end();
    out_.end();
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
