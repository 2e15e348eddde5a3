#include "hash/mapped_content.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr std::int64_t shortest_mapped_file = std::int64_t{32} << 20;

std::size_t page_size() {
    static const auto size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
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

// A fault outside the guarded window is not ours: the action in force before is put back, and the
// access faults again under it.
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

// The file still holds `end` bytes: a window past its end would be all lost pages.
bool holds(int fd, std::int64_t end) {
    struct stat status = {};
    return fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size >= end;
}
} // namespace

bool worth_mapping(std::int64_t size) {
    return size >= shortest_mapped_file;
}

bool map_window(int fd, std::int64_t offset, std::size_t size, mapped_window &window) {
    if (!install_handler() || !holds(fd, offset + static_cast<std::int64_t>(size))) {
        return false;
    }
    const auto page = static_cast<std::int64_t>(page_size());
    const std::int64_t start = offset / page * page;
    const auto lead = static_cast<std::size_t>(offset - start);
    const std::size_t length = (lead + size + page_size() - 1) / page_size() * page_size();
    void *mapped = mmap(nullptr, length, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, start);
    if (mapped == MAP_FAILED) {
        return false;
    }
    window.mapping = content_buffer(static_cast<unsigned char *>(mapped), mapping_deleter{length});
    window.data = window.mapping.get() + lead;
    window.fd = fd;
    window.end = offset + static_cast<std::int64_t>(size);
    return true;
}

feed_status lost_window_status(const mapped_window &window) {
    // A page the file still holds but that could not be brought in is a failed read, as read()
    // would have said; only a file cut short has changed.
    if (holds(window.fd, window.end)) {
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
