// libFuzzer target: a presets file is text that may come from anyone (trackers hand theirs
// out). Whatever it holds, reading it ends in a preset or in one reported failure, never in a
// crash or an escaped exception, and a piece length it gives is one `create` can use.
#include "commands/presets.h"
#include "require.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {
bool usable_exponent(const std::optional<int> &exponent) {
    return !exponent || (*exponent >= 14 && *exponent <= 28);
}

// The presets are read from a path: the input is put in a file in memory that one names.
std::string input_file(const std::uint8_t *data, std::size_t size) {
    static const int fd = memfd_create("presets", 0);
    require(fd >= 0 && ftruncate(fd, 0) == 0);
    require(size == 0 || pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
    return "/proc/self/fd/" + std::to_string(fd);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string path = input_file(data, size);
    for (const char *name : {"", "p"}) {
        const std::optional<preset> chosen = load_preset(path, name, true);
        if (chosen) {
            require(usable_exponent(chosen->piece_length_exponent));
            require(usable_exponent(chosen->max_piece_length_exponent));
        }
    }
    return 0;
}
