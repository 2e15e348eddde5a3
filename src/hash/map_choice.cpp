#include "hash/map_choice.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

namespace {
// Files shorter than this are read. The copy that mapping spares costs about 0.11 ms per MiB on
// the machine measured (0.47 s per 4 GiB), so a shorter file could gain at most some 28 ms, while
// its trial windows, the wait for them at the file's end (piece_stream.cpp) and a wrong guess
// would cost a good part of that; and a run of many small files stays as fast as it was.
constexpr std::int64_t shortest_measured_file = std::int64_t{256} << 20;

// Mapping is taken only when clearly cheaper: what the trial does not see (other threads' address
// translations dropped when a mapping goes, the wait at the file's end) is on its side.
constexpr double mapping_advantage = 0.95;

const char *forced_source() {
    static const char *const forced = std::getenv("QUILLET_CONTENT_SOURCE");
    return forced;
}

std::size_t index_of(content_source source) {
    return source == content_source::mapped ? 1 : 0;
}
} // namespace

window_turn map_choice::next(std::size_t bytes) {
    const std::lock_guard<std::mutex> held(lock_);
    if (!fixed_.timed) {
        return fixed_;
    }
    if (warm_up_left_ > 0) {
        warm_up_left_ -= static_cast<std::int64_t>(bytes);
        return {content_source::read, false};
    }
    kind_samples &mapped = kinds_[index_of(content_source::mapped)];
    kind_samples &read = kinds_[index_of(content_source::read)];
    // Alternately, mapped first; once every trial window is handed out, the windows until their
    // costs are back are read.
    const bool mapped_turn = mapped.handed <= read.handed;
    kind_samples &turn = mapped_turn ? mapped : read;
    if (turn.handed == samples) {
        return {content_source::read, false};
    }
    ++turn.handed;
    return {mapped_turn ? content_source::mapped : content_source::read, true};
}

void map_choice::record(content_source source, std::int64_t nanoseconds, std::size_t bytes) {
    const std::lock_guard<std::mutex> held(lock_);
    if (!fixed_.timed || bytes == 0) {
        return;
    }
    kind_samples &kind = kinds_[index_of(source)];
    const double cost = static_cast<double>(nanoseconds) / static_cast<double>(bytes);
    kind.best = kind.recorded == 0 ? cost : std::min(kind.best, cost);
    ++kind.recorded;
    decide();
}

void map_choice::decide() {
    const kind_samples &mapped = kinds_[index_of(content_source::mapped)];
    const kind_samples &read = kinds_[index_of(content_source::read)];
    const int pairs = std::min(mapped.recorded, read.recorded);
    if (pairs == samples || (pairs == 1 && !mapping_is_cheaper(mapped.best, read.best, 1))) {
        fixed_ = {mapping_is_cheaper(mapped.best, read.best, pairs) ? content_source::mapped
                                                                    : content_source::read,
                  false};
    }
}

void map_choice::refused() {
    const std::lock_guard<std::mutex> held(lock_);
    fixed_ = {content_source::read, false};
}

bool mapping_is_cheaper(double mapped, double read, int samples) {
    const double bound = samples == 1 ? map_choice::clear_loss : mapping_advantage;
    return mapped < read * bound;
}

std::unique_ptr<map_choice> choice_for_file(std::int64_t size) {
    const char *forced = forced_source();
    if (forced != nullptr && std::strcmp(forced, "read") == 0) {
        return nullptr;
    }
    if (mapping_forced()) {
        return std::unique_ptr<map_choice>(new (std::nothrow)
                                               map_choice({content_source::mapped, false}));
    }
    return size < shortest_measured_file
               ? nullptr
               : std::unique_ptr<map_choice>(new (std::nothrow) map_choice);
}

bool mapping_forced() {
    const char *forced = forced_source();
    return forced != nullptr && std::strcmp(forced, "mapped") == 0;
}

std::int64_t thread_processor_ns() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}
