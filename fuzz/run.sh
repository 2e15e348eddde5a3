#!/usr/bin/env bash
# Builds the libFuzzer targets of the torrent reader, of `edit` and of the presets file with
# clang, AddressSanitizer and UndefinedBehaviorSanitizer, and runs each for a bounded time from
# the seeds in fuzz/seeds: torrents made by quillet, mktorrent, transmission-create, buildtorrent
# and libtorrent, inputs that once found a fault, and presets files.
# Fails on any finding; the input that caused it is left in build/fuzz/findings.
#
#   fuzz/run.sh [SECONDS_PER_TARGET]     (default 30)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
clang=${CLANGXX:-clang++-14}
out=build/fuzz
mkdir -p "$out/findings"

flags=(-std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -fno-omit-frame-pointer -Isrc)
reader=(src/reader/bencode_reader.cpp src/hash/buffer.cpp)
checks=("${reader[@]}" src/reader/metainfo.cpp src/metainfo/magnet.cpp
        src/common/terminal_text.cpp src/hash/sha1_single.cpp src/hash/sha256_single.cpp)
edits=("${reader[@]}" src/reader/metainfo.cpp src/metainfo/magnet.cpp src/metainfo/bencode.cpp
       src/metainfo/info_hash.cpp src/commands/torrent_edit.cpp src/common/output_stream.cpp
       src/hash/sha1_single.cpp src/hash/sha256_single.cpp)
presets=(src/commands/presets.cpp src/common/console.cpp src/common/progress.cpp
         src/common/terminal_text.cpp)

"$clang" "${flags[@]}" fuzz/bencode_fuzz.cpp "${reader[@]}" -o "$out/bencode_fuzz"
"$clang" "${flags[@]}" fuzz/metainfo_fuzz.cpp "${checks[@]}" -lcrypto -o "$out/metainfo_fuzz"
"$clang" "${flags[@]}" fuzz/edit_fuzz.cpp "${edits[@]}" -lcrypto -o "$out/edit_fuzz"
"$clang" "${flags[@]}" fuzz/presets_fuzz.cpp "${presets[@]}" -lyaml-cpp -o "$out/presets_fuzz"

for target in bencode_fuzz metainfo_fuzz edit_fuzz presets_fuzz; do
    corpus=$out/corpus-$target
    mkdir -p "$corpus"
    if [[ $target == presets_fuzz ]]; then
        cp fuzz/seeds/*.yaml "$corpus/"
    else
        cp fuzz/seeds/*.torrent "$corpus/"
    fi
    echo "fuzz: $target for ${seconds}s"
    "$out/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$out/findings/$target-" "$corpus" 2>"$out/$target.log" || {
        tail -n 60 "$out/$target.log" >&2
        echo "fuzz: $target found a fault; see $out/findings" >&2
        exit 1
    }
    grep -E '^stat::number_of_executed_units|^#[0-9]+ *DONE' "$out/$target.log" || true
done
