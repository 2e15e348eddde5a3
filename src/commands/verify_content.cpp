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

// Compares each v1 digest, as the engine hands it on, with the torrent's. An engine started
// again for the rest of the content counts its pieces from the piece it starts at; pieces that
// were compared before are not compared again.
class comparing_sink final : public piece_digest_sink {
  public:
    comparing_sink(std::string_view expected, std::vector<bool> &bad)
        : expected_(expected), bad_(bad) {}

    feed_status take_pieces(std::int64_t first, const unsigned char *digests,
                            std::size_t count) override {
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint64_t piece = base_ + static_cast<std::uint64_t>(first) + i;
            if (piece < compared_)
                continue;
            // The size pass held every file to its size, so the stream cannot outgrow the list.
            if (piece >= bad_.size())
                return feed_status::changed;
            if (std::memcmp(expected_.data() + piece * sha1_bytes, digests + i * sha1_bytes,
                            sha1_bytes) != 0)
                bad_[piece] = true;
            compared_ = piece + 1;
        }
        return feed_status::ok;
    }

    // The engine hands pieces on in order, so every piece before this one was compared.
    std::uint64_t next_piece() const { return compared_; }

    void count_from(std::uint64_t piece) { base_ = piece; }

  private:
    std::string_view expected_;
    std::vector<bool> &bad_;
    std::uint64_t base_ = 0;
    std::uint64_t compared_ = 0;
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
std::vector<std::uint64_t> bad_file_pieces(const content_layout &layout, std::size_t index,
                                           const file_hashes &hashes, std::uint64_t absent_from) {
    const expected_file &file = layout.files[index];
    const std::uint64_t piece_length = layout.piece_length;
    const std::uint64_t count = pieces_of(file.size, piece_length);
    const auto *root = layout.root_of(index);
    const bool root_matches =
        root && hashes.has_root && std::memcmp(root->data(), hashes.root.data(), node_bytes) == 0;
    const std::string_view layer = layout.piece_layer(index);
    const bool layer_usable =
        layer.size() == count * node_bytes && hashes.piece_layer.size() == count;
    std::vector<std::uint64_t> bad;
    for (std::uint64_t piece = 0; piece < count; ++piece) {
        bool is_bad = absent_from < file.size && (piece + 1) * piece_length > absent_from;
        if (!is_bad && !root_matches)
            is_bad = count == 1 || !layer_usable ||
                     std::memcmp(layer.data() + piece * node_bytes,
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

bool same_file(const found_file &found, const struct stat &now) {
    return S_ISREG(now.st_mode) && now.st_dev == found.seen.device &&
           now.st_ino == found.seen.inode &&
           static_cast<std::uint64_t>(now.st_size) == found.found_size;
}

// The file the size pass found, not written to since (its times) nor resized.
bool untouched(const found_file &found, const struct stat &now) {
    return same_file(found, now) && nanoseconds_of(now.st_mtim) == found.seen.modified &&
           nanoseconds_of(now.st_ctim) == found.seen.changed;
}

// Whether the file read from `fd` is still the one the size pass found, untouched since, and
// still there under some name. A file removed or replaced while it was open reads to its end
// as it was, so only its link count tells.
feed_status confirm_unchanged(int fd, const found_file &found) {
    struct stat now {};
    if (fstat(fd, &now) != 0)
        return feed_status::read_error;
    return untouched(found, now) && now.st_nlink > 0 ? feed_status::ok : feed_status::changed;
}

// Files with content to read, looked at ahead of the hashing by the helper threads that look
// ahead of create's walk: each one opened, a small one read whole. The size pass said they are
// regular files, so each is opened straight away and its status taken from the open file: the
// name is looked up once here, where io_uring would ask its status by name first.
class look_ahead {
  public:
    look_ahead(const content_layout &layout, const std::vector<found_file> &found)
        : layout_(layout), found_(found),
          pool_(hash_thread_count() > 1 ? hash_thread_count() - 1 : 0, hidden_files_too) {
        prefetch_plain_calls(pool_);
    }

    // The probe of file `index`, done; nullptr when there is none (its folder could not be
    // opened, or the file comes again after the look-ahead went past it).
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
        std::string name;
        while (pending_.size() + added.size() < prefetch_window && next_ < layout_.files.size()) {
            const std::size_t index = next_++;
            const expected_file &file = layout_.files[index];
            if (file.pad || readable_bytes(file, found_[index]) == 0)
                continue;
            std::shared_ptr<fd_owner> folder = folders_.folder_of(layout_.disk_path(index), name);
            if (!folder)
                continue;
            added.push_back(prefetch_new_probe(pool_, folder->fd, name.c_str(), DT_REG));
            entries.push_back({index, std::move(folder), {}});
        }
        prefetch_submit(pool_, added);
        for (std::size_t i = 0; i < added.size(); ++i) {
            entries[i].probe = std::move(added[i]);
            pending_.push_back(std::move(entries[i]));
        }
    }

    const content_layout &layout_;
    const std::vector<found_file> &found_;
    prefetcher pool_;
    std::deque<ahead> pending_;
    std::size_t next_ = 0;
    folder_cache folders_;
};

// Where a file's content comes from: bytes read ahead, or an open file.
struct file_source {
    const std::vector<unsigned char> *bytes = nullptr;
    fd_owner file;
};

class content_check {
  public:
    content_check(const content_layout &layout, std::vector<found_file> &found,
                  content_findings &out, const file_opened_hook &opened)
        : layout_(layout), found_(found), out_(out), opened_(opened),
          sink_(layout.pieces, out.v1_bad) {}

    // Every file in order; false when the run had to stop (out_.failure says why).
    bool run(const content_plan &plan) {
        plan_ = plan;
        if (!start_engine(0))
            return false;
        std::size_t index = 0;
        while (index < layout_.files.size()) {
            const feed_status status = check_file(index);
            if (status == feed_status::changed || status == feed_status::read_error) {
                if (!give_up_file(index, status))
                    return false;
                continue;
            }
            if (status != feed_status::ok) {
                out_.failure = layout_.shown(index) + ": " + failure_text(status, 0);
                return false;
            }
            offset_ += layout_.files[index].size;
            ++index;
        }
        const feed_status status = hasher_->finish();
        if (status != feed_status::ok)
            out_.failure = failure_text(status, read_error());
        return status == feed_status::ok;
    }

  private:
    // Why the last read failed: the engine keeps the reason of its own reads, whichever thread
    // made them; a read made here leaves it in errno.
    int read_error() const {
        const int saved = errno;
        return hasher_->read_error() != 0 ? hasher_->read_error() : saved;
    }

    // An engine for the content from `offset` of the v1 stream on (0 in v2, whose files the
    // engine takes each on its own), which starts on a piece boundary.
    bool start_engine(std::uint64_t offset) {
        hasher_.reset();
        const std::uint64_t head = offset % layout_.piece_length;
        sink_.count_from(offset / layout_.piece_length);
        if (offset > 0)
            plan_.content_size = -1;
        hasher_ = content_hasher::start(plan_, sink_);
        if (!hasher_) {
            out_.failure = "out of memory";
            return false;
        }
        // The head of the piece belongs to content before; that piece was compared, or is bad.
        // (In hybrid content every file starts a piece: there is no head, and an engine that is
        // fed one file only leaves it unpadded, which can only be the file given up, whose
        // pieces are bad whatever they hash to.)
        const feed_status status = feed_zeros(*hasher_, head);
        if (status != feed_status::ok)
            out_.failure = failure_text(status, 0);
        return status == feed_status::ok;
    }

    // A file that changed while it was read, or whose read failed, gets its verdict, and all
    // its pieces are bad. The engine is left in the middle of the file, with pieces of earlier
    // files perhaps hashed but not handed on: it starts again with the file where the pieces
    // compared end, and the files from there on are checked again, this one as absent content.
    bool give_up_file(std::size_t &index, feed_status status) {
        found_file &found = found_[index];
        found.status = file_status::unreadable;
        found.reason = status == feed_status::changed ? reason_changed : read_error();
        if (layout_.kind != check_kind::v2) {
            const std::uint64_t compared = sink_.next_piece() * layout_.piece_length;
            while (index > 0 && offset_ > compared)
                offset_ -= layout_.files[--index].size;
        }
        return start_engine(layout_.kind == check_kind::v2 ? 0 : offset_);
    }

    // The pad files of hybrid content are the engine's own padding; v1 pads are zeros fed here.
    feed_status check_file(std::size_t index) {
        const expected_file &file = layout_.files[index];
        if (file.pad)
            return layout_.kind == check_kind::v1 ? feed_zeros(*hasher_, file.size)
                                                  : feed_status::ok;
        file_source source;
        if (readable_bytes(file, found_[index]) > 0) {
            const feed_status opened = open_file(index, source);
            if (opened != feed_status::ok)
                return opened;
        }
        const std::uint64_t readable = readable_bytes(file, found_[index]);
        if (layout_.kind == check_kind::v2 && readable == 0) {
            // Nothing to hash: the tree of v2 content starts anew with the next file.
            out_.v2_bad[index] = bad_file_pieces(layout_, index, file_hashes{}, 0);
            return feed_status::ok;
        }
        feed_status status = feed_readable(index, source, readable);
        if (status == feed_status::ok)
            status = feed_zeros(*hasher_, file.size - readable);
        file_hashes hashes;
        if (status == feed_status::ok)
            status = hasher_->end_file(static_cast<std::int64_t>(file.size), hashes);
        if (status != feed_status::ok)
            return status;
        if (layout_.kind != check_kind::v1)
            out_.v2_bad[index] = bad_file_pieces(layout_, index, hashes, readable);
        if (layout_.kind != check_kind::v2)
            mark_absent(offset_ + readable, offset_ + file.size);
        return feed_status::ok;
    }

    // The file's first `readable` bytes, and for an open file the proof that it did not change
    // meanwhile.
    feed_status feed_readable(std::size_t index, const file_source &source,
                              std::uint64_t readable) {
        if (source.bytes)
            return hasher_->feed_bytes(source.bytes->data(), readable);
        if (readable == 0)
            return feed_status::ok;
        if (opened_)
            opened_(index);
        const feed_status status =
            readable == found_[index].found_size
                ? hasher_->feed(source.file.fd, static_cast<std::int64_t>(readable))
                : feed_leading_bytes(*hasher_, source.file.fd, readable);
        return status == feed_status::ok ? confirm_unchanged(source.file.fd, found_[index])
                                         : status;
    }

    // Where the content of a file the size pass found readable comes from: the look-ahead's
    // bytes or open file, else the file opened here. A file that can no longer be opened for
    // want of permission, or whose read ahead failed, is unreadable; one that is not as the
    // size pass found it has changed.
    feed_status open_file(std::size_t index, file_source &source) {
        found_file &found = found_[index];
        entry_probe *probe = ahead_.wait_for(index);
        if (!probe || probe->out_of_memory)
            return open_here(index, source);
        if (probe->content == probe_content::open_failed ||
            probe->content == probe_content::read_failed)
            return unreadable(found, probe->error);
        if (!probe->stat_ok || !untouched(found, probe->status) ||
            probe->content == probe_content::changed)
            return feed_status::changed;
        if (probe->content == probe_content::read) {
            source.bytes = &probe->bytes;
            return feed_status::ok;
        }
        return prefetch_take_file(*probe, source.file) ? feed_status::ok : open_here(index, source);
    }

    feed_status open_here(std::size_t index, file_source &source) {
        found_file &found = found_[index];
        // Not blocking: the path may lead to a fifo by now.
        source.file =
            fd_owner(open(layout_.disk_path(index).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        if (source.file.fd < 0)
            return errno == ENOENT || errno == ENOTDIR ? feed_status::changed
                                                       : unreadable(found, errno);
        struct stat now {};
        if (fstat(source.file.fd, &now) != 0)
            return unreadable(found, errno);
        return untouched(found, now) ? feed_status::ok : feed_status::changed;
    }

    static feed_status unreadable(found_file &found, int error) {
        found.status = file_status::unreadable;
        found.reason = error;
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
    const file_opened_hook &opened_;
    comparing_sink sink_;
    content_plan plan_;
    std::unique_ptr<content_hasher> hasher_;
    look_ahead ahead_{layout_, found_};
    std::uint64_t offset_ = 0; // where the current file starts in the v1 stream
};

} // namespace

content_findings check_content(const content_layout &layout, std::vector<found_file> &found,
                               const file_opened_hook &opened) {
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
    content_check(layout, found, out, opened).run(plan);
    return out;
}

std::uint64_t bytes_to_hash(const content_layout &layout, const std::vector<found_file> &found) {
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < layout.files.size(); ++i) {
        const expected_file &file = layout.files[i];
        const bool fed = layout.kind != check_kind::v2 || readable_bytes(file, found[i]) > 0;
        total += fed ? file.size : 0;
    }
    return total;
}
