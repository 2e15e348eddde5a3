#include "commands/verify_layout.h"

#include "hash/hash_workers.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <numeric>
#include <sys/stat.h>
#include <thread>

const char *status_name(file_status status) {
    switch (status) {
    case file_status::intact:
        return "intact";
    case file_status::missing:
        return "missing";
    case file_status::wrong_size:
        return "wrong_size";
    case file_status::unreadable:
        return "unreadable";
    case file_status::damaged:
        return "damaged";
    case file_status::suspect:
        return "suspect";
    }
    return "unknown";
}

std::optional<std::string> unsafe_component(std::string_view component) {
    if (component.empty())
        return "an empty path component";
    if (component == "." || component == "..")
        return "a path component '" + std::string(component) + "' that leaves the content";
    if (component.find('/') != std::string_view::npos)
        return "a path component with '/' in it";
    if (component.find('\0') != std::string_view::npos)
        return "a path component with a NUL byte in it";
    return std::nullopt;
}

std::string_view content_layout::path_below(std::size_t index) const {
    const std::size_t end = index + 1 < files.size() ? files[index + 1].path : paths.size();
    return std::string_view(paths).substr(files[index].path, end - files[index].path);
}

// A folder's file is shown below the torrent's name; a torrent without one shows the path alone,
// from its first component that is not empty.
std::string content_layout::shown(std::size_t index) const {
    const std::string_view path = path_below(index);
    if (!single_file && !name.empty())
        return name + '/' + std::string(path);
    const std::size_t first = path.find_first_not_of('/');
    return std::string(first == std::string_view::npos ? std::string_view{} : path.substr(first));
}

std::string content_layout::disk_path(std::size_t index) const {
    if (single_file)
        return content_path;
    return content_path + '/' + std::string(path_below(index));
}

const std::array<unsigned char, 32> *content_layout::root_of(std::size_t index) const {
    const std::uint32_t at = files[index].root;
    return at == expected_file::no_root ? nullptr : &roots[at];
}

std::string_view content_layout::piece_layer(std::size_t index) const {
    const expected_file &file = files[index];
    if (file.layer == expected_file::no_layer)
        return {};
    return layers.substr(file.layer, pieces_of(file.size, piece_length) * 32);
}

std::int64_t nanoseconds_of(const timespec &time) {
    // Unsigned, so that a time outside that span wraps instead of overflowing.
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(time.tv_sec) * 1'000'000'000U +
                                     static_cast<std::uint64_t>(time.tv_nsec));
}

std::string reason_text(const found_file &found) {
    switch (found.reason) {
    case reason_folder:
        return "a folder, not a file";
    case reason_not_regular:
        return "not a regular file";
    case reason_changed:
        return "changed while being read";
    default:
        return std::strerror(found.reason);
    }
}

found_file found_from_status(const expected_file &file, const struct stat &status) {
    found_file found;
    if (!S_ISREG(status.st_mode)) {
        found.status = file_status::unreadable;
        found.reason = S_ISDIR(status.st_mode) ? reason_folder : reason_not_regular;
        return found;
    }
    found.found_size = static_cast<std::uint64_t>(status.st_size);
    found.seen = {status.st_dev, status.st_ino, nanoseconds_of(status.st_mtim),
                  nanoseconds_of(status.st_ctim)};
    if (found.found_size != file.size)
        found.status = file_status::wrong_size;
    return found;
}

namespace {
found_file not_found(int error) {
    found_file found;
    const bool absent = error == ENOENT || error == ENOTDIR;
    found.status = absent ? file_status::missing : file_status::unreadable;
    found.reason = error;
    return found;
}
} // namespace

found_file look_at(const expected_file &file, const std::string &disk_path) {
    struct stat status {};
    if (stat(disk_path.c_str(), &status) == 0)
        return found_from_status(file, status);
    return not_found(errno);
}

std::shared_ptr<fd_owner> folder_cache::folder_of(const std::string &disk_path, std::string &name) {
    const std::size_t cut = disk_path.rfind('/');
    name = disk_path.substr(cut == std::string::npos ? 0 : cut + 1);
    if (name.empty())
        return nullptr;
    const std::string path = cut == std::string::npos ? "." : disk_path.substr(0, cut);
    if (path != path_) {
        path_ = path;
        auto opened =
            std::make_shared<fd_owner>(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        folder_ = opened->fd >= 0 ? std::move(opened) : nullptr;
    }
    return folder_;
}

namespace {
// Files [begin, end) of the layout, on the thread that calls it.
void look_at_files(const content_layout &layout, std::size_t begin, std::size_t end,
                   std::vector<found_file> &found) {
    folder_cache folders;
    std::string name;
    for (std::size_t i = begin; i < end; ++i) {
        const expected_file &file = layout.files[i];
        if (file.pad)
            continue;
        const std::string disk_path = layout.disk_path(i);
        const std::shared_ptr<fd_owner> folder = folders.folder_of(disk_path, name);
        struct stat status {};
        if (!folder)
            found[i] = look_at(file, disk_path);
        else if (fstatat(folder->fd, name.c_str(), &status, 0) == 0)
            found[i] = found_from_status(file, status);
        else
            found[i] = not_found(errno);
    }
}

// Below this many files one thread does it all: starting others costs more than it saves.
constexpr std::size_t files_per_thread = 4096;
} // namespace

// A tree of many small files costs a status query per file, most of it the system call itself:
// the files are shared out, in runs that keep each folder's files together, among as many
// threads as hash the content.
std::vector<found_file> size_pass(const content_layout &layout) {
    const std::size_t count = layout.files.size();
    std::vector<found_file> found(count);
    const std::size_t threads =
        std::clamp<std::size_t>(count / files_per_thread, 1, hash_thread_count());
    std::vector<std::exception_ptr> failures(threads);
    std::vector<std::thread> helpers;
    for (std::size_t t = 1; t < threads; ++t)
        helpers.emplace_back([&, t] {
            try {
                look_at_files(layout, count * t / threads, count * (t + 1) / threads, found);
            } catch (...) {
                failures[t] = std::current_exception();
            }
        });
    try {
        look_at_files(layout, 0, count / threads, found);
    } catch (...) {
        failures[0] = std::current_exception();
    }
    for (std::thread &helper : helpers)
        helper.join();
    for (const std::exception_ptr &failure : failures)
        if (failure)
            std::rethrow_exception(failure);
    return found;
}

std::uint64_t readable_bytes(const expected_file &file, const found_file &found) {
    const bool regular =
        found.status == file_status::intact || found.status == file_status::wrong_size;
    return regular ? std::min(found.found_size, file.size) : 0;
}

std::uint64_t content_bytes(const content_layout &layout) {
    return std::accumulate(layout.files.begin(), layout.files.end(), std::uint64_t{0},
                           [](std::uint64_t sum, const expected_file &file) {
                               return sum + (file.pad ? 0 : file.size);
                           });
}

std::uint64_t pieces_of(std::uint64_t size, std::uint64_t piece_length) {
    return size / piece_length + (size % piece_length != 0 ? 1 : 0);
}

std::vector<byte_range> merged(std::vector<byte_range> ranges) {
    std::sort(ranges.begin(), ranges.end(),
              [](const byte_range &a, const byte_range &b) { return a.start < b.start; });
    std::vector<byte_range> out;
    for (const byte_range &range : ranges) {
        if (range.start >= range.end)
            continue;
        if (!out.empty() && range.start <= out.back().end)
            out.back().end = std::max(out.back().end, range.end);
        else
            out.push_back(range);
    }
    return out;
}

std::vector<byte_range> ranges_of_file_pieces(const std::vector<std::uint64_t> &bad_pieces,
                                              std::uint64_t size, std::uint64_t piece_length) {
    std::vector<byte_range> ranges;
    ranges.reserve(bad_pieces.size());
    for (const std::uint64_t piece : bad_pieces) {
        const std::uint64_t start = piece * piece_length;
        if (start < size)
            ranges.push_back({start, std::min(size, start + piece_length)});
    }
    return merged(std::move(ranges));
}

namespace {
// Where each file starts in the v1 stream, and one entry past the last for its end.
std::vector<std::uint64_t> stream_offsets(const content_layout &layout) {
    std::vector<std::uint64_t> offsets;
    offsets.reserve(layout.files.size() + 1);
    std::uint64_t offset = 0;
    for (const expected_file &file : layout.files) {
        offsets.push_back(offset);
        offset += file.size;
    }
    offsets.push_back(offset);
    return offsets;
}

struct touched_file {
    std::vector<byte_range> ranges;
    bool alone = false; // some bad piece touches no other content file
};

bool is_content(const expected_file &file) {
    return !file.pad && file.size > 0;
}

// Adds piece [start, end) of the stream to every content file it overlaps.
void touch_files(const content_layout &layout, const std::vector<std::uint64_t> &offsets,
                 std::uint64_t start, std::uint64_t end, std::vector<touched_file> &touched) {
    // The first file that ends after `start`.
    auto first = std::upper_bound(offsets.begin() + 1, offsets.end(), start) - offsets.begin() - 1;
    std::vector<std::size_t> hit;
    for (auto i = static_cast<std::size_t>(first); i < layout.files.size() && offsets[i] < end; ++i)
        if (is_content(layout.files[i]))
            hit.push_back(i);
    for (const std::size_t i : hit) {
        const std::uint64_t from = std::max(start, offsets[i]);
        const std::uint64_t to = std::min(end, offsets[i + 1]);
        touched[i].ranges.push_back({from - offsets[i], to - offsets[i]});
        touched[i].alone = touched[i].alone || hit.size() == 1;
    }
}
} // namespace

std::vector<file_verdict> v1_verdicts(const content_layout &layout,
                                      const std::vector<found_file> &found,
                                      const std::vector<bool> &bad_pieces) {
    const std::vector<std::uint64_t> offsets = stream_offsets(layout);
    const std::uint64_t total = offsets.back();
    std::vector<touched_file> touched(layout.files.size());
    for (std::size_t piece = 0; piece < bad_pieces.size(); ++piece)
        if (bad_pieces[piece]) {
            const std::uint64_t start = piece * layout.piece_length;
            if (start < total)
                touch_files(layout, offsets, start, std::min(total, start + layout.piece_length),
                            touched);
        }
    std::vector<file_verdict> verdicts(layout.files.size());
    for (std::size_t i = 0; i < layout.files.size(); ++i) {
        file_verdict &verdict = verdicts[i];
        verdict.bad = merged(std::move(touched[i].ranges));
        if (found[i].status != file_status::intact)
            verdict.status = found[i].status;
        else if (!verdict.bad.empty())
            verdict.status = touched[i].alone ? file_status::damaged : file_status::suspect;
    }
    return verdicts;
}
