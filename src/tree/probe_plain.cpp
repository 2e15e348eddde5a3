#include "tree/probe_paths.h"

#include "common/handles.h"
#include "tree/probe_rule.h"

#include <cerrno>
#include <fcntl.h>
#include <new>
#include <unistd.h>

namespace {
// Reads the whole file, asking for one byte more than its size so that a file that grew or
// shrank since its status was taken is noticed.
void read_whole(entry_probe &probe, int fd) {
    const auto size = static_cast<std::size_t>(probe.status.st_size);
    probe.bytes.resize(size + 1);
    std::size_t total = 0;
    while (total <= size) {
        const std::size_t asked = size + 1 - total;
        const ssize_t got = read_some(fd, probe.bytes.data() + total, asked);
        if (got < 0) {
            probe.content = probe_content::read_failed;
            probe.error = errno;
            return;
        }
        total += static_cast<std::size_t>(got);
        // A regular file returns less than asked only at its end.
        if (got == 0 || (total == size && static_cast<std::size_t>(got) < asked)) {
            break;
        }
    }
    settle_read(probe, total);
}

// An entry the listing calls a regular file is opened straight away and its status taken from
// the open file, which spares looking its name up twice. Opening it cannot block or disturb a
// device: it is not a link, and O_NONBLOCK covers a file replaced meanwhile by a fifo. Returns
// false when the plain status query must tell what the entry is.
bool probe_listed_file(look_ahead_budget &budget, entry_probe &probe) {
    fd_owner file(
        openat(probe.dir_fd, probe.name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.fd < 0) {
        if (errno != EACCES && errno != EPERM) {
            return false; // gone or otherwise odd
        }
        probe.error = errno;
        probe.content = probe_content::open_failed;
        probe.stat_ok = fstatat(probe.dir_fd, probe.name.c_str(), &probe.status, 0) == 0;
        return true;
    }
    probe.stat_ok = fstat(file.fd, &probe.status) == 0;
    if (!probe.stat_ok || !S_ISREG(probe.status.st_mode)) {
        return false;
    }
    if (reserve_content(budget, probe)) {
        read_whole(probe, file.fd);
    } else {
        keep_file_open(budget, probe, file);
    }
    return true;
}

void probe_entry(look_ahead_budget &budget, entry_probe &probe) {
    if (probe.listed_type == DT_REG) {
        if (name_leaves_out_file(*probe.rule, probe.name)) {
            mark_left_out_by_name(probe);
            return;
        }
        if (probe_listed_file(budget, probe)) {
            return;
        }
    }
    probe.stat_ok = fstatat(probe.dir_fd, probe.name.c_str(), &probe.status, 0) == 0;
    if (!probe.stat_ok || !reserve_content(budget, probe)) {
        return;
    }
    const fd_owner file(openat(probe.dir_fd, probe.name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (file.fd < 0) {
        probe.content = probe_content::open_failed;
        probe.error = errno;
        return;
    }
    read_whole(probe, file.fd);
}
} // namespace

void probe_plainly(look_ahead_budget &budget, entry_probe &probe) {
    try {
        probe_entry(budget, probe);
    } catch (const std::bad_alloc &) {
        probe.out_of_memory = true;
    }
}

bool plain_path::run_group(std::span<entry_probe *const> group) {
    for (entry_probe *probe : group) {
        probe_plainly(budget, *probe);
    }
    return true;
}
