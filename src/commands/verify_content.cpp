#include "commands/verify_content.h"

#include "common/handles.h"
#include "hash/content_hasher.h"
#include "hash/hash_workers.h"
#include "tree/prefetch.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <limits>
#include <memory>

namespace {
constexpr std::size_t sha1_bytes = 20;
constexpr std::size_t node_bytes = 32;
constexpr std::array<unsigned char, 65536> zeros{};

// Compares each v1 digest, as the engine hands it on, with the torrent's.
class comparing_sink final : public piece_digest_sink {
  public:
    comparing_sink(std::string_view expected, std::vector<bool> &bad)
        : expected_(expected), bad_(bad) {}

    feed_status take_pieces(std::int64_t first, const unsigned char *digests,
                            std::size_t count) override {
        for (std::size_t i = 0; i < count; ++i) {
            const auto piece = static_cast<std::size_t>(first) + i;
            // The size pass held every file to its size, so the stream cannot outgrow the list.
            if (piece >= bad_.size())
                return feed_status::changed;
            if (std::memcmp(expected_.data() + piece * sha1_bytes, digests + i * sha1_bytes,
                            sha1_bytes) != 0)
                bad_[piece] = true;
        }
        return feed_status::ok;
    }

  private:
    std::string_view expected_;
    std::vector<bool> &bad_;
};

torrent_format engine_format(check_kind kind) {
    switch (kind) {
    case check_kind::v1:
        return torrent_format::v1;
    case check_kind::v2:
        return torrent_format::v2;
    case check_kind::hybrid:
        return torrent_format::hybrid;
    }
    return torrent_format::v1;
}

feed_status feed_zeros(content_hasher &hasher, std::uint64_t size) {
    while (size > 0) {
        const std::size_t part = std::min<std::uint64_t>(size, zeros.size());
        const feed_status status = hasher.feed_bytes(zeros.data(), part);
        if (status != feed_status::ok)
            return status;
        size -= part;
    }
    return feed_status::ok;
}

// The first `size` bytes of a file that holds more: the engine's own reads insist on the end.
feed_status feed_leading_bytes(content_hasher &hasher, int fd, std::uint64_t size) {
    constexpr std::size_t chunk = std::size_t{1} << 20;
    const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(chunk);
    while (size > 0) {
        const ssize_t got = read_some(fd, buffer.get(), std::min<std::uint64_t>(size, chunk));
        if (got < 0)
            return feed_status::read_error;
        if (got == 0)
            return feed_status::changed;
        const feed_status status = hasher.feed_bytes(buffer.get(), static_cast<std::size_t>(got));
        if (status != feed_status::ok)
            return status;
        size -= static_cast<std::uint64_t>(got);
    }
    return feed_status::ok;
}

// A file's pieces that its tree does not vouch for: those that overlap its absent tail from
// `absent_from`, and, when the root differs, each one whose piece-layer node differs.
std::vector<std::uint64_t> bad_file_pieces(const expected_file &file, const file_hashes &hashes,
                                           std::uint64_t piece_length, std::uint64_t absent_from) {
    const std::uint64_t count = pieces_of(file.size, piece_length);
    const bool root_matches = file.root && hashes.has_root &&
                              std::memcmp(file.root->data(), hashes.root.data(), node_bytes) == 0;
    const bool layer_usable =
        file.piece_layer.size() == count * node_bytes && hashes.piece_layer.size() == count;
    std::vector<std::uint64_t> bad;
    for (std::uint64_t piece = 0; piece < count; ++piece) {
        bool is_bad = absent_from < file.size && (piece + 1) * piece_length > absent_from;
        if (!is_bad && !root_matches)
            is_bad = count == 1 || !layer_usable ||
                     std::memcmp(file.piece_layer.data() + piece * node_bytes,
                                 hashes.piece_layer[piece].data(), node_bytes) != 0;
        if (is_bad)
            bad.push_back(piece);
    }
    return bad;
}

std::string failure_text(feed_status status, int error) {
    switch (status) {
    case feed_status::read_error:
        return std::strerror(error);
    case feed_status::changed:
        return "changed while being read";
    case feed_status::out_of_memory:
        return "out of memory";
    default:
        return "could not be checked";
    }
}

// Hidden files are content like any other here, also to the look-ahead.
constexpr probe_rule hidden_files_too{true, {}};

// Files looked at ahead of the hashing, by the helper threads (and io_uring) that look ahead of
// create's walk: each file's status and, for a small one, its bytes. A folder is opened once
// for the run of files in it.
class look_ahead {
  public:
    explicit look_ahead(const content_layout &layout)
        : layout_(layout),
          pool_(hash_thread_count() > 1 ? hash_thread_count() - 1 : 0, hidden_files_too) {}

    // The probe of file `index`, done; nullptr when its folder could not be opened.
    entry_probe *wait_for(std::size_t index) {
        if (pending_.size() <= prefetch_window / 2)
            top_up();
        while (!pending_.empty() && pending_.front().index < index)
            pending_.pop_front();
        if (pending_.empty() || pending_.front().index != index)
            return nullptr;
        prefetch_wait(pending_.front().probe);
        return &*pending_.front().probe;
    }

  private:
    // The probe outlives neither its folder nor the pool.
    struct ahead {
        std::size_t index = 0;
        std::shared_ptr<fd_owner> folder;
        probe_handle probe;
    };

    void top_up() {
        std::vector<probe_handle> added;
        std::vector<ahead> entries;
        while (pending_.size() + added.size() < prefetch_window && next_ < layout_.files.size()) {
            const expected_file &file = layout_.files[next_++];
            if (file.pad)
                continue;
            const std::size_t cut = file.disk_path.rfind('/');
            std::shared_ptr<fd_owner> folder =
                folder_of(cut == std::string::npos ? "." : file.disk_path.substr(0, cut));
            if (!folder)
                continue;
            const std::string name = file.disk_path.substr(cut + 1);
            added.push_back(prefetch_new_probe(pool_, folder->fd, name.c_str(), DT_UNKNOWN));
            entries.push_back({next_ - 1, std::move(folder), {}});
        }
        prefetch_submit(pool_, added);
        for (std::size_t i = 0; i < added.size(); ++i) {
            entries[i].probe = std::move(added[i]);
            pending_.push_back(std::move(entries[i]));
        }
    }

    std::shared_ptr<fd_owner> folder_of(const std::string &path) {
        if (path != folder_path_) {
            folder_path_ = path;
            auto opened =
                std::make_shared<fd_owner>(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            folder_ = opened->fd >= 0 ? std::move(opened) : nullptr;
        }
        return folder_;
    }

    const content_layout &layout_;
    prefetcher pool_;
    std::deque<ahead> pending_;
    std::size_t next_ = 0;
    std::string folder_path_;
    std::shared_ptr<fd_owner> folder_;
};

// Where a file's content comes from: bytes read ahead, or an open file.
struct file_source {
    const std::vector<unsigned char> *bytes = nullptr;
    fd_owner file;
};

class content_check {
  public:
    content_check(const content_layout &layout, std::vector<found_file> &found,
                  content_findings &out, content_hasher &hasher)
        : layout_(layout), found_(found), out_(out), hasher_(hasher) {}

    // Every file in order; false when the run had to stop (out_.failure says why).
    bool run() {
        for (std::size_t i = 0; i < layout_.files.size(); ++i) {
            const feed_status status = check_file(i);
            if (status != feed_status::ok) {
                out_.failure = layout_.files[i].shown + ": " + failure_text(status, read_error());
                return false;
            }
            offset_ += layout_.files[i].size;
        }
        const feed_status status = hasher_.finish();
        if (status != feed_status::ok)
            out_.failure = failure_text(status, read_error());
        return status == feed_status::ok;
    }

  private:
    // Why the last read failed: the engine keeps the reason of its own reads, whichever thread
    // made them; a read made here leaves it in errno.
    int read_error() const {
        const int saved = errno;
        return hasher_.read_error() != 0 ? hasher_.read_error() : saved;
    }

    // The pad files of hybrid content are the engine's own padding; v1 pads are zeros fed here.
    feed_status check_file(std::size_t index) {
        const expected_file &file = layout_.files[index];
        if (file.pad)
            return layout_.kind == check_kind::v1 ? feed_zeros(hasher_, file.size)
                                                  : feed_status::ok;
        file_source source;
        std::uint64_t readable = 0;
        const feed_status looked = look_at_file(index, source, readable);
        if (looked != feed_status::ok)
            return looked;
        if (layout_.kind == check_kind::v2 && readable == 0) {
            // Nothing to hash: the tree of v2 content starts anew with the next file.
            out_.v2_bad[index] = bad_file_pieces(file, file_hashes{}, layout_.piece_length, 0);
            return feed_status::ok;
        }
        feed_status status = feed_status::ok;
        if (source.bytes)
            status = hasher_.feed_bytes(source.bytes->data(), readable);
        else if (readable > 0)
            status = readable == found_[index].found_size
                         ? hasher_.feed(source.file.fd, static_cast<std::int64_t>(readable))
                         : feed_leading_bytes(hasher_, source.file.fd, readable);
        if (status == feed_status::ok)
            status = feed_zeros(hasher_, file.size - readable);
        file_hashes hashes;
        if (status == feed_status::ok)
            status = hasher_.end_file(static_cast<std::int64_t>(file.size), hashes);
        if (status != feed_status::ok)
            return status;
        if (layout_.kind != check_kind::v1)
            out_.v2_bad[index] = bad_file_pieces(file, hashes, layout_.piece_length, readable);
        if (layout_.kind != check_kind::v2)
            mark_absent(offset_ + readable, offset_ + file.size);
        return feed_status::ok;
    }

    // What is on disk of the file, from its status, and where its content comes from:
    // `readable` is how many of its expected bytes it holds. A file found otherwise than as
    // the torrent says has its verdict in found_.
    feed_status look_at_file(std::size_t index, file_source &source, std::uint64_t &readable) {
        const expected_file &file = layout_.files[index];
        found_file &found = found_[index];
        entry_probe *probe = ahead_.wait_for(index);
        found = probe && probe->stat_ok ? found_from_status(file, probe->status) : look_at(file);
        if (file.size == 0 ||
            (found.status != file_status::intact && found.status != file_status::wrong_size))
            return feed_status::ok;
        switch (probe ? probe->content : probe_content::not_read) {
        case probe_content::read:
            source.bytes = &probe->bytes;
            break;
        case probe_content::changed:
            return feed_status::changed;
        case probe_content::open_failed:
        case probe_content::read_failed:
            found.status = file_status::unreadable;
            found.reason = std::strerror(probe->error);
            return feed_status::ok;
        case probe_content::not_read:
            if (!probe || !prefetch_take_file(*probe, source.file))
                source.file = fd_owner(open(file.disk_path.c_str(), O_RDONLY | O_CLOEXEC));
            if (source.file.fd < 0) {
                found.status = file_status::unreadable;
                found.reason = std::strerror(errno);
                return feed_status::ok;
            }
            break;
        }
        readable = std::min(found.found_size, file.size);
        return feed_status::ok;
    }

    // v1 pieces that overlap stream bytes [from, to), which were not on disk.
    void mark_absent(std::uint64_t from, std::uint64_t to) {
        if (from >= to)
            return;
        const std::uint64_t last = (to - 1) / layout_.piece_length;
        for (std::uint64_t piece = from / layout_.piece_length;
             piece <= last && piece < out_.v1_bad.size(); ++piece)
            out_.v1_bad[piece] = true;
    }

    const content_layout &layout_;
    std::vector<found_file> &found_;
    content_findings &out_;
    content_hasher &hasher_;
    look_ahead ahead_{layout_};
    std::uint64_t offset_ = 0; // where the current file starts in the v1 stream
};

} // namespace

content_findings check_content(const content_layout &layout, std::vector<found_file> &found) {
    content_findings out;
    out.v1_bad.assign(layout.pieces.size() / sha1_bytes, false);
    out.v2_bad.resize(layout.files.size());
    if (layout.piece_length == 0 ||
        layout.piece_length > std::uint64_t{std::numeric_limits<std::int32_t>::max()}) {
        out.failure = "a piece length the engine does not take";
        return out;
    }
    content_plan plan;
    plan.format = engine_format(layout.kind);
    plan.piece_length = static_cast<std::int32_t>(layout.piece_length);
    // A single file is never padded; a hybrid tree pads each file to the next piece.
    plan.pad_files = std::any_of(layout.files.begin(), layout.files.end(),
                                 [](const expected_file &file) { return file.pad; });
    if (layout.files.size() == 1)
        plan.content_size = static_cast<std::int64_t>(content_bytes(layout));
    comparing_sink sink(layout.pieces, out.v1_bad);
    const std::unique_ptr<content_hasher> hasher = content_hasher::start(plan, sink);
    if (!hasher) {
        out.failure = "out of memory";
        return out;
    }
    content_check(layout, found, out, *hasher).run();
    return out;
}
