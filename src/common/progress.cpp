#include "common/progress.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {
// The line is drawn after saving the cursor and removed by restoring it and clearing to the end
// of the line, so text already on that line (such as "computing sha1... ") stays intact.
constexpr const char save_cursor[] = "\0337";
constexpr const char erase_line[] = "\0338\033[K";
constexpr std::int64_t redraw_interval_ns = 100'000'000;

struct progress_state {
    bool active = false;
    std::int64_t total_bytes = -1;
    std::int64_t bytes = 0;
    std::int64_t files = 0;
    std::int64_t started_ns = 0;
    std::int64_t drawn_ns = 0;
};

// The line is the terminal's, not one layer's: whatever prints, at any depth of the run, takes it
// off the screen first (through the console), and so does the signal handler that ends a run,
// which can be handed nothing but the signal's number. So the line's state is the process's.
progress_state state;
volatile std::sig_atomic_t shown = 0; // read by that handler

std::int64_t now_ns() {
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::string human_bytes(double bytes) {
    const char *units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    std::size_t unit = 0;
    while (bytes >= 1024.0 && unit + 1 < std::size(units)) {
        bytes /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

std::string human_duration(double seconds) {
    const long long whole = std::llround(seconds);
    char text[32];
    if (whole >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60,
                      whole % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
    }
    return text;
}

std::string status_text(double elapsed_s) {
    const double rate = elapsed_s > 0 ? static_cast<double>(state.bytes) / elapsed_s : 0;
    std::string text = human_bytes(static_cast<double>(state.bytes));
    if (state.total_bytes > 0) {
        char percent[16];
        std::snprintf(percent, sizeof percent, " (%.0f%%)",
                      100.0 * static_cast<double>(state.bytes) /
                          static_cast<double>(state.total_bytes));
        text += " of " + human_bytes(static_cast<double>(state.total_bytes)) + percent;
    }
    if (state.total_bytes < 0) {
        text += ", " + std::to_string(state.files) + (state.files == 1 ? " file" : " files");
    }
    text += ", " + human_bytes(rate) + "/s";
    if (state.total_bytes > 0 && rate > 0) {
        text += ", " + human_duration(static_cast<double>(state.total_bytes - state.bytes) / rate) +
                " left";
    }
    return text;
}

// Keeps the line on one terminal row, so that erasing it removes all of it.
std::size_t room_on_row() {
    winsize size = {};
    const std::size_t columns =
        ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
    // Leave space for text the line may follow on the same row, such as "computing sha1... ".
    constexpr std::size_t reserved = 20;
    return columns > reserved ? columns - reserved : 0;
}

void draw(std::int64_t now) {
    std::string text = status_text(static_cast<double>(now - state.started_ns) / 1e9);
    text.resize(std::min(text.size(), room_on_row()));
    const int saved_errno = errno;
    std::fputs(shown != 0 ? erase_line : save_cursor, stderr);
    std::fputs(text.c_str(), stderr);
    errno = saved_errno;
    shown = 1;
    state.drawn_ns = now;
}

void maybe_draw() {
    const std::int64_t now = now_ns();
    if (now - state.drawn_ns >= redraw_interval_ns) {
        draw(now);
    }
}
} // namespace

void progress_start(std::int64_t total_bytes) {
    state = progress_state{};
    state.active = isatty(STDERR_FILENO) == 1;
    state.total_bytes = total_bytes;
    state.started_ns = now_ns();
    // The first draw waits one interval, so quick runs never flash a line.
    state.drawn_ns = state.started_ns;
}

void progress_bytes(std::int64_t count) {
    if (state.active) {
        state.bytes += count;
        maybe_draw();
    }
}

void progress_file() {
    if (state.active) {
        ++state.files;
        maybe_draw();
    }
}

void progress_erase() {
    if (shown != 0) {
        const int saved_errno = errno;
        std::fputs(erase_line, stderr);
        errno = saved_errno;
        shown = 0;
    }
}

void progress_stop() {
    progress_erase();
    state.active = false;
}

void progress_erase_from_signal() {
    if (shown != 0) {
        const ssize_t ignored = write(STDERR_FILENO, erase_line, sizeof erase_line - 1);
        static_cast<void>(ignored);
        shown = 0;
    }
}
