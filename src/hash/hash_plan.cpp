#include "hash/hash_plan.h"

#include "hash/batch.h"

#include <algorithm>

namespace {
constexpr std::int64_t mib = std::int64_t{1} << 20;

// A batch is what one thread hashes in one go. Up to 16 pieces fill the widest kernel (sixteen
// AVX-512 lanes side by side); the byte budget keeps a batch of long pieces from holding 16 of
// them: from 2 MiB pieces up, a batch has fewer pieces and the kernel runs partly empty, which
// costs less than the memory would. At the default 256 KiB a batch is 4 MiB.
constexpr std::int64_t batch_byte_budget = 16 * mib;

// All batches together stay within this: forty batches of the default 4 MiB, so that every
// processor of a large machine has one to hash, and no more than ten batches of 16 MiB.
constexpr std::int64_t in_flight_byte_budget = 160 * mib;

// Pieces up to this length are held whole: three of them, the fewest batches the stream runs
// with, stay within the in-flight budget. Longer pieces are hashed as their bytes arrive, through
// a chunk of the size below, so memory no longer grows with the piece length.
constexpr std::int64_t longest_batched_piece = 32 * mib;
constexpr std::int64_t long_piece_chunk = 4 * mib;

// Never more buffer than the content needs: a small file costs only its own size.
std::int64_t within_content(std::int64_t bytes, std::int64_t content_limit) {
    return content_limit < 0 ? bytes : std::min(bytes, content_limit);
}

hash_plan plan_long_pieces(hash_plan plan) {
    plan.long_pieces = true;
    plan.long_piece_chunk =
        static_cast<std::size_t>(within_content(long_piece_chunk, plan.content_limit));
    return plan;
}

// Batches in flight: one being read into, one for each hasher thread, one that the reading
// thread hashes itself whenever it would otherwise wait for the oldest batch's digests, and one
// already hashed that waits behind an older batch still being hashed, so that the reader is not
// held up by the order of delivery. With a thread on every processor but the reader's, that is
// the number of processors plus two. When the memory budget allows fewer, the threads shrink
// with the batches; with three batches there is no thread, and the reader reads and hashes by
// turns. Content that fits in one batch is hashed by the reader alone: no thread is worth
// starting for it.
void plan_batches(hash_plan &plan, unsigned processors) {
    const std::int64_t affordable = std::max<std::int64_t>(
        3, in_flight_byte_budget / static_cast<std::int64_t>(plan.batch_bytes));
    const std::int64_t wanted = std::int64_t{std::max(processors, 1U)} + 2;
    plan.batches_in_flight = static_cast<std::size_t>(std::min(wanted, affordable));
    const bool one_batch = plan.content_limit >= 0 &&
                           plan.content_limit <= static_cast<std::int64_t>(plan.batch_bytes);
    plan.hasher_threads = one_batch ? 0 : static_cast<unsigned>(plan.batches_in_flight - 3);
}
} // namespace

hash_plan plan_hashing(std::int32_t piece_length, std::int64_t content_limit, unsigned processors) {
    hash_plan plan;
    plan.piece_length = piece_length;
    plan.content_limit = content_limit;
    if (plan.piece_length > longest_batched_piece) {
        return plan_long_pieces(plan);
    }
    const std::int64_t pieces = std::clamp<std::int64_t>(
        batch_byte_budget / plan.piece_length, 1, static_cast<std::int64_t>(max_pieces_per_batch));
    plan.pieces_per_batch = static_cast<std::size_t>(pieces);
    plan.batch_bytes = static_cast<std::size_t>(pieces * plan.piece_length);
    plan.buffer_bytes = static_cast<std::size_t>(
        within_content(static_cast<std::int64_t>(plan.batch_bytes), content_limit));
    plan_batches(plan, processors);
    return plan;
}
