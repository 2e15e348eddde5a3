#include "hash/hash_plan.h"

#include "hash/batch.h"
#include "hash/sha256_lanes.h"

#include <algorithm>

namespace {
constexpr std::int64_t mib = std::int64_t{1} << 20;

// A batch is what one thread hashes in one go. Up to 16 pieces fill the widest kernel (sixteen
// AVX-512 lanes side by side); the byte budget keeps a batch of long pieces from holding 16 of
// them: from 2 MiB pieces up, a batch has fewer pieces and the kernel runs partly empty, which
// costs less than the memory would. At the default 256 KiB a batch is 4 MiB.
constexpr std::int64_t batch_byte_budget = 16 * mib;

// Smaller content takes smaller batches, down to as many pieces as the kernel in use hashes side
// by side, so that the ring's buffers stay within a 16th of the content. Memory a run touches
// for the first time is dear beside hashing it: a fresh 4 KiB page cost about 2.5 us on a
// 2-core AMD EPYC under a hypervisor (1.6 GB/s, against 3 GB/s of SHA-1 per core), so the four
// 4 MiB batches of two processors cost a 64 MiB file a quarter of its hashing time. With 1 MiB
// batches such a file took 0.88 of the time it took with 2 MiB ones, while a 4 GiB file keeps
// 4 MiB batches, which took 0.85 of its time with 1 MiB ones (paired runs, same machine). From
// 256 MiB up, where mappings may be chosen (they need batches of a 2 MiB window or more), a
// batch holds 4 MiB. Content that is all mapped fills no buffer and keeps them whole.
constexpr std::int64_t content_per_ring_byte = 16;

// All batches together stay within this, so that a run takes at most 64 MiB of anonymous memory
// from the machine whatever the piece length, the format or the number of processors: the
// batches, plus the leaves, the digests and the document around them. That is twelve batches of
// the default 4 MiB, a thread for each of ten processors, and three batches of 16 MiB.
constexpr std::int64_t in_flight_byte_budget = 48 * mib;

// Pieces up to this length are held whole: three of them, the fewest batches the stream runs
// with, stay within the in-flight budget. Longer pieces are hashed as their bytes arrive, through
// a chunk of the size below, so memory no longer grows with the piece length.
//
// Lane groups take every whole piece a file holds; what is left of such long pieces (the piece
// spanning two files, a file's last partial piece, bytes read earlier) stays on the reading
// thread rather than in the ring. A piece that is never held whole can only be hashed through
// one running digest, in order, so a unit of the ring holding part of one could not be hashed
// until the unit before it was, and no other thread would gain from taking it up. It costs
// nothing here: at 32 MiB pieces a 1 GiB file whose last piece is one byte short (almost 32 MiB
// hashed this way, while the threads hash the file's 31 whole pieces in groups) took 1.27 s and
// 0.48 s of processor time against 1.32 s and 0.45 s for the whole 1 GiB with none (medians of 5
// runs on a 2-core virtualised AMD EPYC shared with other builds).
constexpr std::int64_t longest_batched_piece = in_flight_byte_budget / 3;
constexpr std::int64_t long_piece_chunk = 4 * mib;

// Lane groups: sixteen pieces of a file side by side, each lane fed its piece's next chunk per
// round, so a group's buffer is 16 chunks whatever the piece length. A chunk is a multiple of
// 16 KiB, so that the 16 KiB leaves of hybrid content are taken from the same reads; 256 KiB
// keeps a group's 4 MiB buffer close to the caches the kernel reads it back from, and a read
// long enough that the system call costs little beside the copy.
constexpr std::int64_t lane_group_chunk = std::int64_t{256} << 10;

// A stream without v1 pieces carries leaves alone in batches of 2 MiB: large enough that handing
// a batch over costs little beside hashing it, yet small enough that a file of a few MiB already
// keeps every thread busy.
constexpr std::int64_t leaf_batch_bytes = 2 * mib;

// Never more buffer than the content needs: a small file costs only its own size.
std::int64_t within_content(std::int64_t bytes, std::int64_t content_limit) {
    return content_limit < 0 ? bytes : std::min(bytes, content_limit);
}

// No thread is worth starting for content that one unit of work holds. Otherwise a thread for
// every slot beyond three (see plan_batches), and one at least where there are two processors
// or more: with three slots, one is read into while the thread hashes another, and the reader
// hashes the third itself when it would otherwise wait, so both processors still work.
unsigned threads_for(std::size_t slots, bool one_unit, unsigned processors) {
    if (one_unit) {
        return 0;
    }
    return std::max(static_cast<unsigned>(slots - 3), processors > 1 ? 1U : 0U);
}

// Slots between reading and delivery that the processors would keep busy: see plan_batches for
// why the processors plus two.
std::int64_t wanted_slots(unsigned processors) {
    return std::int64_t{std::max(processors, 1U)} + 2;
}

// Those slots, as far as the memory budget allows units of `unit_bytes`.
std::size_t slots_for(std::int64_t unit_bytes, unsigned processors) {
    const std::int64_t affordable = std::max<std::int64_t>(3, in_flight_byte_budget / unit_bytes);
    return static_cast<std::size_t>(std::min(wanted_slots(processors), affordable));
}

// Pieces too long for a batch to hold 16 of them leave the widest kernel partly empty; lane
// groups fill it. Where batches also run (pieces up to the longest batched one), groups share
// their slots and threads: a slot may hold either, so it is the batches' size that bounds the
// memory. Longer pieces have no batches, and the slots are counted in group buffers.
void plan_lane_groups(hash_plan &plan, unsigned processors) {
    if (plan.piece_length * std::int64_t{max_pieces_per_batch} <= batch_byte_budget) {
        return;
    }
    plan.lanes.chunk = static_cast<std::size_t>(lane_group_chunk);
    if (!has_long_pieces(plan)) {
        plan.path = stream_path::batches_and_lane_groups;
        plan.lanes.slots = plan.batches_in_flight;
        plan.lanes.threads = plan.hasher_threads;
        return;
    }
    plan.lanes.slots = slots_for(lane_group_chunk * std::int64_t{max_pieces_per_batch}, processors);
    const bool one_piece = plan.content_limit >= 0 && plan.content_limit <= plan.piece_length;
    plan.lanes.threads = threads_for(plan.lanes.slots, one_piece, processors);
}

hash_plan plan_long_pieces(hash_plan plan, unsigned processors) {
    plan.path = stream_path::lane_groups_and_long_pieces;
    plan.long_piece_chunk =
        static_cast<std::size_t>(within_content(long_piece_chunk, plan.content_limit));
    plan_lane_groups(plan, processors);
    return plan;
}

// Batches in flight: one being read into, one for each hasher thread, one that the reading
// thread hashes itself whenever it would otherwise wait for the oldest batch's digests, and one
// already hashed that waits behind an older batch still being hashed, so that the reader is not
// held up by the order of delivery. With a thread on every processor but the reader's, that is
// the number of processors plus two. When the memory budget allows fewer, the threads shrink
// with the batches, to one with three batches (on one processor, none: the reader reads and
// hashes by turns). Content that fits in one batch is hashed by the reader alone: no thread is
// worth starting for it.
void plan_batches(hash_plan &plan, unsigned processors) {
    plan.batches_in_flight = slots_for(static_cast<std::int64_t>(plan.batch_bytes), processors);
    const bool one_batch = plan.content_limit >= 0 &&
                           plan.content_limit <= static_cast<std::int64_t>(plan.batch_bytes);
    plan.hasher_threads = threads_for(plan.batches_in_flight, one_batch, processors);
}

// The most pieces a batch of this content should hold (see content_per_ring_byte), never fewer
// than the kernel's lanes.
std::int64_t pieces_for_content(const hash_plan &plan, const hashing_job &job) {
    const auto lanes = static_cast<std::int64_t>(std::max<std::size_t>(job.kernel_lanes, 1));
    if (plan.content_limit < 0 || job.every_file_mapped)
        return std::max<std::int64_t>(lanes, max_pieces_per_batch);
    const std::int64_t ring_bytes = plan.content_limit / content_per_ring_byte;
    return std::max(lanes, ring_bytes / wanted_slots(job.processors) / plan.piece_length);
}

void plan_batch_bytes(hash_plan &plan, std::int64_t bytes, unsigned processors) {
    plan.batch_bytes = static_cast<std::size_t>(bytes);
    plan.buffer_bytes = static_cast<std::size_t>(within_content(bytes, plan.content_limit));
    plan_batches(plan, processors);
}
} // namespace

hash_plan plan_hashing(const hashing_job &job) {
    hash_plan plan;
    plan.piece_length = job.piece_length;
    plan.content_limit = job.content_limit;
    if (plan.piece_length > longest_batched_piece) {
        return plan_long_pieces(plan, job.processors);
    }
    plan.path = stream_path::batches; // lane groups may join them, in plan_lane_groups
    const std::int64_t pieces = std::clamp<std::int64_t>(
        batch_byte_budget / plan.piece_length, 1, static_cast<std::int64_t>(max_pieces_per_batch));
    plan.pieces_per_batch =
        static_cast<std::size_t>(std::min(pieces, pieces_for_content(plan, job)));
    plan_batch_bytes(plan, static_cast<std::int64_t>(plan.pieces_per_batch) * plan.piece_length,
                     job.processors);
    plan_lane_groups(plan, job.processors);
    return plan;
}

hash_plan plan_leaf_hashing(std::int64_t content_limit, unsigned processors) {
    hash_plan plan;
    plan.path = stream_path::leaf_batches;
    plan.content_limit = content_limit;
    plan_batch_bytes(plan, leaf_batch_bytes, processors);
    return plan;
}

// Smaller files have their leaves hashed on the reading thread while the threads hash the pieces
// (hybrid) or earlier files (v2); files the walk read ahead are always hashed there. Putting
// every file in the ring instead was measured slower, since each file then starts a unit of its
// own and the reading thread waits for it at the file's end: on 2,000 files of 17 to 400 KiB
// (407 MiB), hybrid at 256 KiB pieces took 1.13 s and 0.57 s of processor time against 0.79 s
// and 0.49 s, v2 0.51 s against 0.46 s (medians of 7 paired runs, 2-core virtualised AMD EPYC
// shared with other builds).
bool leaves_in_ring(const hash_plan &plan, std::int64_t size) {
    if (!has_lane_groups(plan)) {
        return size > static_cast<std::int64_t>(plan.batch_bytes);
    }
    // Lane groups take the leaves of the file's whole pieces, from the chunks they read, so a
    // file of one whole piece is worth it; the rest goes through batches or the long-piece path.
    // Each of them must cut the file at whole blocks.
    const auto whole_blocks = [](std::int64_t bytes) {
        return bytes % static_cast<std::int64_t>(sha256_leaf_bytes) == 0;
    };
    return whole_blocks(plan.piece_length) &&
           whole_blocks(static_cast<std::int64_t>(plan.lanes.chunk)) &&
           (!has_long_pieces(plan) ||
            whole_blocks(static_cast<std::int64_t>(plan.long_piece_chunk))) &&
           size >= plan.piece_length;
}
