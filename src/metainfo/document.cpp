#include "metainfo/document.h"

#include "common/numbers.h"
#include "metainfo/name.h"

void open_document(bencode_writer &out, const document_head &head) {
    out.begin_dict();
    out.key("announce");
    out.string_head(static_cast<std::int64_t>(head.announce_base.size() + 1 + head.port.size() +
                                              head.path.size()));
    out.string_part(head.announce_base.data(), head.announce_base.size());
    out.string_part(":", 1);
    out.string_part(head.port.data(), head.port.size());
    out.string_part(head.path.data(), head.path.size());
    if (head.comment != nullptr) {
        out.key("comment");
        out.string(head.comment);
    }
    out.key("creation date");
    out.integer(head.creation_date);
    out.key("info");
    if (head.info_bytes) {
        out.tap_next_container(head.info_bytes);
    }
    out.begin_dict();
}

void close_document(bencode_writer &out) {
    out.end();
    out.end();
}

void write_name(bencode_writer &out, std::string_view input_path) {
    out.key("name");
    out.string(torrent_name(input_path));
}

namespace {
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
    write_name(out, info.input_path);
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
    write_name(out_, info_.input_path);
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
