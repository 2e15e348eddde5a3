#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

// Whether a large file's content is hashed from mappings of the page cache (mapped_content.h) or
// copied into buffers of our own, chosen per file by measuring both on its first windows.
//
// Neither is cheaper everywhere. Reading costs a copy out of the page cache, the same on every
// file: about 0.47 s of system time per 4 GiB on a 2-core AMD EPYC (Zen 3, AVX2, SHA-NI, no
// AVX-512) under a hypervisor. Mapping costs nothing to copy, but what the kernels then pay to
// reach the pages depends on how they came into the cache. On that machine 2 MiB windows over a
// file whose cache holds 2 MiB folios (written in 16 KiB writes) cost 0.2 s per 4 GiB, a third
// of the copy; over the same bytes copied with cp they cost 0.65 s, a little more than the copy.
// On a 2-core Zen 4 with AVX-512 under another hypervisor, hashing from mappings was 2.5 times
// slower than reading on files written either way. Nothing a program can ask tells the kinds
// apart beforehand, so the first windows of each large file are hashed alternately from mappings
// and from reads, their cost timed, and the rest of the file goes the cheaper way. The digests
// of the trial windows are real work and kept; only the timing is extra. Reading stays the way
// wherever the trial cannot tell: a refused mapping, a file too small to gain.

enum class content_source { read, mapped };

// What the next window of a file is to take, and whether its cost is to be told back with
// map_choice::record.
struct window_turn {
    content_source source = content_source::read;
    bool timed = false;
};

class map_choice {
  public:
    // Trial windows of each kind: the cheapest of them stands for the kind, so that a window
    // slowed by another program on the machine does not decide.
    static constexpr int samples = 4;
    // Read before the trial, untimed: the first windows of a run cost more either way (buffers
    // and threads are new), and in 4 MiB batches over a page-cached file were measured here to
    // cost up to half as much again as the windows after the first 64 MiB.
    static constexpr std::int64_t warm_up_bytes = std::int64_t{64} << 20;
    // A kind that costs this much more than the other on its first trial window has lost: a
    // machine where mappings cost 2.5 times as much pays for one mapped window, not four.
    static constexpr double clear_loss = 1.5;

    // A file's choice to be measured, or decided already (forced: see choice_for_file).
    explicit map_choice(const window_turn &fixed = {content_source::read, true}) : fixed_(fixed) {}

    // What the next window, of `bytes` bytes, takes. Safe from any thread, as are the others: a
    // file's windows are hashed on several.
    window_turn next(std::size_t bytes);

    // The processor time a timed window of `bytes` bytes took from `source`, every step
    // included (reading, or mapping with its pages entered, and letting the mapping go).
    void record(content_source source, std::int64_t nanoseconds, std::size_t bytes);

    // A mapping was refused: the file is read from then on.
    void refused();

  private:
    struct kind_samples {
        int handed = 0;   // trial windows given this kind
        int recorded = 0; // of those, timed and told back
        double best = 0;  // the lowest cost per byte recorded, in nanoseconds
    };
    void decide();

    std::mutex lock_;
    window_turn fixed_; // timed: still measuring; else every window's source
    std::int64_t warm_up_left_ = warm_up_bytes;
    std::array<kind_samples, 2> kinds_{}; // by content_source
};

// The choice for a file of `size` bytes, or none when it is read throughout. The environment
// variable QUILLET_CONTENT_SOURCE, "mapped" or "read", skips the measuring and makes every file
// that holds a whole window take that way whatever its size, so that tests cover both.
std::unique_ptr<map_choice> choice_for_file(std::int64_t size);

// Whether QUILLET_CONTENT_SOURCE makes every file that holds a whole window be mapped.
bool mapping_forced();

// Whether `mapped` and `read`, the cheapest cost per byte of each kind over `samples` trial
// windows each, choose mapping.
bool mapping_is_cheaper(double mapped, double read, int samples);

// Processor time of the calling thread, in nanoseconds: what a window costs, without the time
// other programs held the processor.
std::int64_t thread_processor_ns();
