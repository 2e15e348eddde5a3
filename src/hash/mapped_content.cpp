#include "hash/mapped_content.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
std::size_t page_size() {
    static const auto size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

std::int64_t round_down(std::int64_t value, std::int64_t unit) {
    return value / unit * unit;
}

std::int64_t round_up(std::int64_t value, std::int64_t unit) {
    return (value + unit - 1) / unit * unit;
}

// The windows the calling thread is hashing from (a lane group's lanes read one each), and
// whether the signal handler had to replace any of their pages. Plain thread-local data of the
// program itself, so the handler may use it; `guarded_count` is set after the windows it counts.
struct guarded_window {
    unsigned char *start = nullptr;
    std::size_t size = 0;
};
thread_local std::array<guarded_window, guarded_windows_max> guarded{};
thread_local volatile std::size_t guarded_count = 0;
thread_local volatile std::sig_atomic_t guarded_lost = 0;

struct sigaction previous_action = {};

// Anonymous zero pages take the place of the lost ones, from the faulting page to the end of the
// guarded window that holds it, so that the access that faulted can be made again. False for an
// address outside every guarded window.
bool replace_lost_pages(const unsigned char *address) {
    const std::size_t count = guarded_count;
    for (std::size_t index = 0; index < count; ++index) {
        const guarded_window window = guarded[index];
        if (address < window.start || address >= window.start + window.size) {
            continue;
        }
        unsigned char *page = window.start + (address - window.start) / page_size() * page_size();
        const auto rest = static_cast<std::size_t>(window.start + window.size - page);
        return mmap(page, rest, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) !=
               MAP_FAILED;
    }
    return false;
}

// A fault outside the guarded windows is not ours: the action in force before is put back, and
// the access faults again under it.
void on_bus_error(int signal_number, siginfo_t *info, void * /*context*/) {
    if (replace_lost_pages(static_cast<const unsigned char *>(info->si_addr))) {
        guarded_lost = 1;
        return;
    }
    sigaction(signal_number, &previous_action, nullptr);
}

bool install_handler() {
    static std::once_flag installed;
    static bool ok = false;
    std::call_once(installed, [] {
        struct sigaction action = {};
        action.sa_sigaction = on_bus_error;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        ok = sigaction(SIGBUS, &action, &previous_action) == 0;
    });
    return ok;
}

// The file's length, when it is a regular file that still holds `end` bytes: a window past its
// end would be all lost pages.
bool holds(int fd, std::int64_t end, std::int64_t &length) {
    struct stat status = {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < end) {
        return false;
    }
    length = status.st_size;
    return true;
}

// Address space of `size` bytes starting on a window_alignment boundary, held by an inaccessible
// reservation until the file is mapped over it; the slack around it is given back.
unsigned char *reserve_aligned(std::size_t size) {
    const std::size_t padded = size + window_alignment;
    void *reserved =
        mmap(nullptr, padded, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (reserved == MAP_FAILED) {
        return nullptr;
    }
    auto *raw = static_cast<unsigned char *>(reserved);
    const auto address = static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(raw));
    const auto head = static_cast<std::size_t>(
        round_up(address, static_cast<std::int64_t>(window_alignment)) - address);
    if (head > 0) {
        munmap(raw, head);
    }
    if (padded - head > size) {
        munmap(raw + head + size, padded - head - size);
    }
    return raw + head;
}
} // namespace

bool map_window(int fd, std::int64_t offset, std::size_t size, mapped_window &window) {
    const std::int64_t end = offset + static_cast<std::int64_t>(size);
    std::int64_t length = 0;
    if (!install_handler() || !holds(fd, end, length)) {
        return false;
    }
    const auto aligned = static_cast<std::int64_t>(window_alignment);
    const std::int64_t start = round_down(offset, aligned);
    // Not past the page that holds the file's last byte: nothing beyond it is read.
    const std::int64_t stop =
        std::min(round_up(end, aligned), round_up(length, static_cast<std::int64_t>(page_size())));
    const auto mapped_size = static_cast<std::size_t>(stop - start);
    unsigned char *place = reserve_aligned(mapped_size);
    if (place == nullptr) {
        return false;
    }
    // Over the reservation; a mapping refused leaves the reservation, which goes with `window`.
    content_buffer mapping(place, mapping_deleter{mapped_size});
    if (mmap(place, mapped_size, PROT_READ, MAP_SHARED | MAP_FIXED | MAP_POPULATE, fd, start) ==
        MAP_FAILED) {
        return false;
    }
    window.mapping = std::move(mapping);
    window.data = window.mapping.get() + (offset - start);
    window.fd = fd;
    window.end = end;
    return true;
}

feed_status lost_window_status(const mapped_window &window) {
    // A page the file still holds but that could not be brought in is a failed read, as read()
    // would have said; only a file cut short has changed.
    std::int64_t length = 0;
    if (holds(window.fd, window.end, length)) {
        errno = EIO;
        return feed_status::read_error;
    }
    return feed_status::changed;
}

void guard_begin(const mapped_window *windows, std::size_t count) {
    guarded_count = 0;
    guarded_lost = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    for (std::size_t index = 0; index < count; ++index) {
        guarded[index] = {windows[index].mapping.get(),
                          windows[index].mapping.get_deleter().mapped_size};
    }
    std::atomic_signal_fence(std::memory_order_seq_cst);
    guarded_count = count;
    std::atomic_signal_fence(std::memory_order_seq_cst); // armed before the first access
}

bool guard_end() {
    std::atomic_signal_fence(std::memory_order_seq_cst); // disarmed after the last access
    guarded_count = 0;
    return guarded_lost != 0;
}
