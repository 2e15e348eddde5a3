// libFuzzer target: the metainfo checks, and what `show` derives from them, on any bytes.
#include "common/terminal_text.h"
#include "reader/metainfo.h"
#include "require.h"

#include <cstddef>
#include <cstdint>

namespace {
// What a terminal is shown is valid UTF-8 (escaping it again changes nothing) without a single
// control byte, and JSON text is valid UTF-8.
void check_shown(std::string_view text) {
    const std::string shown = terminal_escaped(text);
    require(utf8_escaped(shown) == shown);
    for (const char c : shown)
        require(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
    const std::string json_text = utf8_escaped(text);
    require(utf8_escaped(json_text) == json_text);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    // Small limits let the fuzzer reach them.
    const bencode_limits limits{.max_depth = 64, .max_pieces = 4096};
    const bencode_outcome outcome = read_bencode(bytes, limits);
    if (!outcome.document)
        return 0;
    const metainfo_outcome read = read_metainfo(*outcome.document, limits);
    const metainfo &torrent = read.torrent;
    for (const torrent_file &file : torrent.files)
        for (const std::string_view component : file.path) {
            // A path component is the torrent's own bytes, never memory beyond them.
            require(component.empty() ||
                    (component.data() >= bytes.data() &&
                     component.data() + component.size() <= bytes.data() + size));
            check_shown(component);
        }
    check_shown(torrent.name.value_or(""));
    for (const metainfo_problem &problem : torrent.problems)
        check_shown(problem.text);
    if (torrent.hashes.v1 || torrent.hashes.v2)
        check_shown(magnet_link(torrent.hashes, torrent.name.value_or(""), torrent.trackers));
    return 0;
}
