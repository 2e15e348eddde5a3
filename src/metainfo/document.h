#pragma once
#include "common/content_sink.h"
#include "common/tracker_tiers.h"
#include "metainfo/bencode.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The layout of every metainfo document the tool writes: which keys the outer dictionary and the
// info dictionary hold, in which order, and where the content writers' values go. No other module
// knows a key. The document is written front to back as its values become known: in v1 the
// digests go out as they are computed and nothing of the document is held in memory; v2 and
// hybrid keep the files and their trees until the file tree can be written.

// The announce URL that -a, -p and -P make: base ":" port path, each byte for byte.
std::string announce_url(std::string_view base, std::string_view port, std::string_view path);

// The outer dictionary's values that come before the info dictionary.
struct document_head {
    // At least one URL. The first URL of the first tier is the announce URL; every tier goes into
    // the announce list as well when there are two or more URLs in all.
    tracker_tiers trackers;
    const char *comment = nullptr; // no comment key when nullptr; an empty one still counts
    std::optional<std::int64_t> creation_date; // none: no creation date key
    // When set, receives the info dictionary's bytes exactly as they are written.
    byte_tap info_bytes;
};

// What every info dictionary holds besides its content.
struct info_basics {
    std::string_view input_path; // as typed: the torrent's name comes from it
    std::int32_t piece_length = 0;
    const char *name = nullptr; // a name given instead of the one from the input path
};

// The keys every format writes after the content: in the info dictionary they sort after every
// content key, and web seeds come after the info dictionary (and the piece layers).
struct document_tail {
    bool is_private = false;
    const char *source = nullptr; // no source key when nullptr; an empty one still counts
    std::span<const char *const> web_seeds;
};

// Writes the outer dictionary up to and including the opening of the info dictionary.
void open_document(bencode_writer &out, const document_head &head);

// Ends the info dictionary of a complete document with the tail's info keys.
void close_info(bencode_writer &out, const document_tail &tail);

// Ends the document after its info dictionary and whatever follows that, with the web seeds.
void close_outer(bencode_writer &out, const document_tail &tail);

// Ends the info dictionary and the document. A run that failed on its way ends the same way.
// (A complete v2 document is ended by its own writer.)
void close_document(bencode_writer &out);

// The info dictionary's name key, from the input path as typed.
void write_name(bencode_writer &out, std::string_view input_path);

// The torrent's name: the one given, or else the one from the input path.
std::string_view info_name(const info_basics &info);

// A single file's info contents up to its digests: the pieces string's length is announced from
// the file's length, and its digests follow through write_digests.
void open_single_file_info(bencode_writer &out, std::int64_t length, const info_basics &info);

// Returns whether the digests were taken.
bool write_digests(bencode_writer &out, const unsigned char *digests, std::size_t size);

// A single file's pieces, written into its document as they complete.
class digest_writer final : public piece_digest_sink {
  public:
    explicit digest_writer(bencode_writer &out) : out_(out) {}
    feed_status take_pieces(std::int64_t first, const unsigned char *digests,
                            std::size_t count) override;

  private:
    bencode_writer &out_;
};

// Lays out a directory's info contents from the parts the walk and the content hasher hand
// over.
class directory_document final : public directory_sink {
  public:
    directory_document(bencode_writer &out, const info_basics &info);

    void files_begin() override;
    void add_file(const file_entry &entry) override;
    void files_end() override;
    bool output_failed() const override;
    void pieces_begin(std::int64_t length) override;
    void pieces_part(const unsigned char *digests, std::size_t size) override;

  private:
    bencode_writer &out_;
    info_basics info_;
};

// Lays out a v2 or hybrid document. Its info dictionary opens with the file tree, which needs
// every file's tree: the files are kept, with their hashes, and written once all are added.
// The parts come in the order of directory_sink: files_begin, add_file for every file (in the
// order of the file tree: ascending byte order of names at every level), files_end, and for
// hybrid the v1 pieces; end_document then writes the rest. A single-file torrent has one file,
// named in the file tree by the torrent's name (info_name).
class v2_document final : public directory_sink {
  public:
    v2_document(bencode_writer &out, const info_basics &info, bool hybrid, bool single_file);

    void files_begin() override;
    void add_file(const file_entry &entry) override;
    void files_end() override;
    bool output_failed() const override;
    void pieces_begin(std::int64_t length) override;
    void pieces_part(const unsigned char *digests, std::size_t size) override;

    // Ends the info dictionary with the tail's info keys, writes the piece layers and ends the
    // document with the tail's outer keys.
    void end_document(const document_tail &tail);

  private:
    struct kept_file {
        std::vector<std::string> path;
        std::int64_t length = 0;
        file_hashes hashes;
    };

    void write_file_tree();
    void write_v1_files();
    std::vector<const kept_file *> files_by_root() const;
    void write_piece_layers(const std::vector<const kept_file *> &layered);

    bencode_writer &out_;
    info_basics info_;
    bool hybrid_;
    bool single_file_;
    bool pieces_written_ = false;
    std::vector<kept_file> files_;
};
