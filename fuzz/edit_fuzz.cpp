// libFuzzer target: `edit` on any torrent the reader accepts. What it writes must read back as
// the torrent asked for: the same info dictionary, byte for byte, when only keys outside it
// change; the new info hash it announces, and the values it was given, when keys inside change;
// the input itself when nothing is asked.
#include "commands/torrent_edit.h"
#include "reader/metainfo.h"
#include "require.h"

#include <cstddef>
#include <cstdint>

namespace {
// Small limits let the fuzzer reach them; an edit adds a few values and one level of nesting at
// most, so what it writes must read back under limits a little wider.
const bencode_limits input_limits{.max_depth = 64, .max_pieces = 4096};
const bencode_limits output_limits{.max_depth = 68, .max_pieces = 4096};

bool same_hashes(const info_hashes &a, const info_hashes &b) {
    return a.v1 == b.v1 && a.v2 == b.v2;
}

std::string_view info_encoding(const bencode_document &document, const metainfo &torrent) {
    return encoding_of(document, *torrent.info);
}

// The edited bytes read back; the document views `bytes`, which the caller keeps.
struct reread {
    bencode_document document;
    metainfo torrent;
};

reread read_back(const std::string &bytes) {
    bencode_outcome outcome = read_bencode(bytes, output_limits);
    require(outcome.document.has_value());
    reread back{std::move(*outcome.document), {}};
    metainfo_outcome read = read_metainfo(back.document, output_limits);
    require(!read.refusal && read.torrent.info.has_value());
    back.torrent = std::move(read.torrent);
    return back;
}

void check_outside_info(const bencode_document &document, const metainfo &torrent) {
    edit_request request;
    request.trackers = tracker_tiers{{"http://tracker.invalid/announce"}};
    request.web_seeds = std::vector<std::string>{"http://seed.invalid/"};
    request.comment = "edited";
    request.created_by = "";
    request.date = 1700000000;
    const edit_outcome edited = edit_torrent(document, torrent, request);
    require(same_hashes(edited.new_hashes, edited.old_hashes));
    const reread back = read_back(edited.bytes);
    require(info_encoding(back.document, back.torrent) == info_encoding(document, torrent));
    require(same_hashes(back.torrent.hashes, torrent.hashes));
    require(back.torrent.comment == std::optional<std::string_view>("edited"));
    require(!back.torrent.created_by.has_value());
    require(back.torrent.creation_date == std::optional<std::int64_t>(1700000000));
    require(back.torrent.trackers == *request.trackers);
}

void check_inside_info(const bencode_document &document, const metainfo &torrent) {
    edit_request request;
    request.is_private = true;
    request.source = "fuzz";
    request.name = "renamed";
    const edit_outcome edited = edit_torrent(document, torrent, request);
    const reread back = read_back(edited.bytes);
    require(same_hashes(back.torrent.hashes, edited.new_hashes));
    require(back.torrent.is_private);
    require(back.torrent.source == std::optional<std::string_view>("fuzz"));
    require(back.torrent.name == std::optional<std::string_view>("renamed"));
    // The content described stays the same: the same files of the same sizes, the same pieces.
    require(back.torrent.format == torrent.format);
    require(back.torrent.files.size() == torrent.files.size());
    for (std::size_t i = 0; i < torrent.files.size(); ++i)
        require(back.torrent.files[i].size == torrent.files[i].size);
    require(back.torrent.pieces == torrent.pieces);
    require(back.torrent.piece_length == torrent.piece_length);
    // A usable torrent stays usable (one without a name may become usable by getting one).
    require(has_invalid_problem(torrent) || !has_invalid_problem(back.torrent));
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    const bencode_outcome outcome = read_bencode(bytes, input_limits);
    if (!outcome.document)
        return 0;
    const metainfo_outcome read = read_metainfo(*outcome.document, input_limits);
    if (read.refusal || !read.torrent.info)
        return 0;
    const edit_outcome untouched = edit_torrent(*outcome.document, read.torrent, {});
    require(untouched.bytes == bytes && untouched.changed.empty());
    check_outside_info(*outcome.document, read.torrent);
    check_inside_info(*outcome.document, read.torrent);
    return 0;
}
