#!/usr/bin/env bash
# Benchmark of quillet, against other torrent makers measured in the same run.
# Prints figures and whether the performance goals were met in this run; checks
# nothing else and fails only when a program fails.
#
#   bench/run.sh [--quick] [--only LIST] [--runs N] [--no-peers] [--install-peers] [--clean]
#
# Workloads (page-cached unless noted; 256 KiB pieces unless noted):
#   W1  one 4 GiB file: quillet, openssl dgst -sha1, peers
#   WL  the W1 file at 256 KiB, 4, 16 and 64 MiB pieces: quillet at each, and
#       mktorrent -t 2 at 16 MiB
#   WF  the W1 file in each format (v1, v2, hybrid) at 256 KiB and 16 MiB pieces:
#       quillet, and libtorrent's hybrid at 256 KiB
#   W2  16,384 files of 64 KiB in 32 dirs: quillet, peers
#   W3  100,000 files of 0-4096 bytes in a tree 10 levels deep: quillet, peers
#   W4  one 64 MiB file: quillet, openssl dgst -sha1, peers
#   WI  the W4 file again, each run after the machine idled for 3 s: quillet,
#       the baseline build when QUILLET_BASE_BIN names one, openssl dgst -sha1.
#       Back-to-back runs find the memory the run before freed still warm; on a
#       virtual machine whose host takes back free memory, a run after a pause
#       pays for every fresh page it touches, huge pages most of all
#   WS  the W1 file at 256 KiB pieces in three states of the page cache, each
#       made afresh: written in 16 KiB writes (dd bs=16k, as a download client
#       or a copy program writes), copied with cp, and (as root only) read back
#       with cat after the caches were dropped; quillet, and the baseline build
#       when QUILLET_BASE_BIN names one; and whether quillet chose to hash the
#       file from mappings or by reading it (counted with strace)
#   WN  `quillet create` against the classic command line at the same piece length
#       and format (the W1 file at 256 KiB in v1 and at 16 MiB in hybrid, the W2
#       tree at 256 KiB), and `create` with its `auto` piece length on the W1 file
#       against mktorrent -t 2 at the length auto picks
#   WR  reading the W3 torrent back (made once by quillet): quillet show,
#       transmission-show, and libtorrent's torrent_info load (bench/lt_load.py),
#       with python3 importing libtorrent alone as the start-up to take off it
#   WE  `quillet edit` (with W3): W3's torrent edited beside and inside its info
#       dictionary against creating it, and 1,000 torrents edited in place in one run
#   WC  cold cache (only when named in --only; needs root): the W1 file read from
#       the disk, caches dropped before every run, by quillet at 256 KiB, 4, 16
#       and 64 MiB pieces and by `dd bs=4M`
#   WV  checking content against a torrent made once by quillet (v1, 256 KiB
#       pieces): the W1 file and the W3 tree, each by quillet verify, by quillet
#       making the same torrent, and by libtorrent's recheck with as many hashing
#       threads as processors (bench/lt_recheck.py)
# Default: W1,WS,WL,WF,WN,W2,W3,W4,WI,WR,WE,WV.
#
# Peers are other torrent makers, measured where installed: mktorrent -t 2,
# transmission-create, and python3-libtorrent (bench/lt_create.py).
# --install-peers installs the missing ones from the distribution's archive
# first (apt-get, as root); --no-peers leaves them out.
#
# Within a workload every program runs once per round, in turn (A B C A B C ...),
# so that drift of a shared machine touches all of them alike; ratios are the
# medians of the per-round ratios.
#
# Environment:
#   QUILLET_BIN        binary to measure (default: build/release/quillet of this
#                      repository, built with the release preset when missing)
#   QUILLET_BASE_BIN   another build to pair with it (an older commit, say): run
#                      beside quillet at 256 KiB in W1, WS, W4 and WI as "base"
#   QUILLET_BENCH_DIR  data folder (default /tmp/quillet-bench); the data is kept
#                      and reused by later runs unless --clean is given
#
# Timing: every run goes through GNU time (`/usr/bin/time -f '%e %M'`), which
# gives the peak RSS (%M). The wall time is taken around that call with bash's
# microsecond clock, less what the GNU time wrapper itself costs (measured
# before each workload and printed); starting the measured program stays in
# its time.
#
# Memory: peak anonymous memory (RssAnon: what the run takes from the machine,
# not the page cache it reads through) is sampled from /proc by
# bench/peak_anon.py in one extra, untimed run of each quillet contestant.
#
# The header states the machine: its CPU and the single-core speed of each
# hashing kernel (quillet_kernel_speed, built here when missing).

set -uo pipefail
export LC_ALL=C

script_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo_dir=$(cd "$script_dir/.." && pwd)

usage() {
  sed -n '2,42p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
}

die() {
  printf 'bench: %s\n' "$*" >&2
  exit 1
}

# ---------------------------------------------------------------- options ---

quick=0
clean=0
peers=1
install_peers=0
runs=
only=W1,WS,WL,WF,WN,W2,W3,W4,WI,WR,WE,WV
all_workloads=W1,WS,WL,WF,WN,W2,W3,W4,WI,WR,WE,WV,WC
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=1 ;;
    --clean) clean=1 ;;
    --no-peers) peers=0 ;;
    --install-peers) install_peers=1 ;;
    --runs) [ $# -ge 2 ] || die "--runs needs a number"; runs=$2; shift ;;
    --runs=*) runs=${1#--runs=} ;;
    --only) [ $# -ge 2 ] || die "--only needs a list such as W1,W4"; only=$2; shift ;;
    --only=*) only=${1#--only=} ;;
    -h | --help) usage; exit 0 ;;
    *) die "unknown argument '$1' (try --help)" ;;
  esac
  shift
done
if [ -z "$runs" ]; then
  if [ $quick = 1 ]; then runs=1; else runs=5; fi
fi
[[ $runs =~ ^[1-9][0-9]*$ ]] || die "--runs wants a positive whole number, not '$runs'"

declare -A selected=()
IFS=, read -r -a only_list <<<"${only^^}"
for w in "${only_list[@]}"; do
  case ,$all_workloads, in
    *,"$w",*) selected[$w]=1 ;;
    *) [ -z "$w" ] || die "unknown workload '$w' in --only (choose from $all_workloads)" ;;
  esac
done
[ ${#selected[@]} -gt 0 ] || die "--only selects no workload"

for tool in /usr/bin/time openssl python3 awk sort head stat df dd; do
  command -v "$tool" >/dev/null 2>&1 || die "needs $tool"
done
if [ -n "${selected[WC]:-}" ]; then
  [ "$(id -u)" = 0 ] && [ -w /proc/sys/vm/drop_caches ] || die "WC drops the page cache, which needs root"
fi

# ------------------------------------------------------------------ peers ---

# The distribution's libtorrent binding lives with its own python3, which another
# python3 first on PATH does not see.
lt_python() {
  local py
  for py in python3 /usr/bin/python3; do
    "$py" -c 'import libtorrent' 2>/dev/null && { echo "$py"; return 0; }
  done
  return 1
}

if [ $install_peers = 1 ] && [ $peers = 1 ]; then
  missing=()
  command -v mktorrent >/dev/null 2>&1 || missing+=(mktorrent)
  command -v transmission-create >/dev/null 2>&1 || missing+=(transmission-cli)
  lt_python >/dev/null || missing+=(python3-libtorrent)
  if [ ${#missing[@]} -gt 0 ]; then
    echo "bench: installing ${missing[*]}" >&2
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"; } >&2 ||
      die "could not install ${missing[*]}"
  fi
fi
have_mktorrent=0 have_transmission=0 have_libtorrent=0
if [ $peers = 1 ]; then
  command -v mktorrent >/dev/null 2>&1 && have_mktorrent=1
  command -v transmission-create >/dev/null 2>&1 && have_transmission=1
  lt_py=$(lt_python) && have_libtorrent=1
fi

# ------------------------------------------------------------- workloads ---

piece=262144
long_pieces=(4194304 16777216 67108864)
seed=20240611
if [ $quick = 1 ]; then
  w1_bytes=$((64 * 1024 * 1024))
  w2_count=1024
  w3_count=1000
  w4_bytes=$((8 * 1024 * 1024))
  edit_count=100
  mode=quick
else
  w1_bytes=$((4 * 1024 * 1024 * 1024))
  w2_count=16384
  w3_count=100000
  w4_bytes=$((64 * 1024 * 1024))
  edit_count=1000
  mode=full
fi

bench_root=${QUILLET_BENCH_DIR:-/tmp/quillet-bench}
data_dir=$bench_root/$mode
mkdir -p "$data_dir" || die "cannot create $data_dir"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/quillet-bench-out.XXXXXX") || die "mktemp failed"
cleanup() {
  rm -rf -- "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# ---------------------------------------------------------------- binary ---

if [ -n "${QUILLET_BIN:-}" ]; then
  quillet=$QUILLET_BIN
  [ -x "$quillet" ] || die "QUILLET_BIN=$quillet is not an executable file"
else
  quillet=$repo_dir/build/release/quillet
  if [ ! -x "$quillet" ]; then
    echo "bench: $quillet is missing; building the release preset" >&2
    (cd "$repo_dir" && cmake --preset release >&2 && cmake --build --preset release >&2) ||
      die "release build failed"
    [ -x "$quillet" ] || die "release build made no $quillet"
  fi
fi

# The binary may be rebuilt while a long run goes on: measure one fixed copy.
quillet_src=$quillet
quillet_built=$(date -u -r "$quillet_src" '+%Y-%m-%d %H:%M:%S UTC')
cp -- "$quillet_src" "$scratch/quillet" || die "cannot copy $quillet_src"
quillet=$scratch/quillet
base_quillet=
if [ -n "${QUILLET_BASE_BIN:-}" ]; then
  [ -x "$QUILLET_BASE_BIN" ] || die "QUILLET_BASE_BIN=$QUILLET_BASE_BIN is not an executable file"
  cp -- "$QUILLET_BASE_BIN" "$scratch/base-quillet" || die "cannot copy $QUILLET_BASE_BIN"
  base_quillet=$scratch/base-quillet
fi

# The kernels' single-core speeds, printed beside the figures they bound.
kernel_speed=$repo_dir/build/release/quillet_kernel_speed
if [ ! -x "$kernel_speed" ]; then
  (cd "$repo_dir" && cmake --preset release >/dev/null && cmake --build --preset release --target quillet_kernel_speed >/dev/null) 2>&1 ||
    kernel_speed=
fi

# --------------------------------------------------------------- helpers ---

mem_available() { awk '/^MemAvailable:/ { printf "%.0f\n", $2 * 1024 }' /proc/meminfo; }

disk_available() { df -P -B1 "$1" | awk 'NR == 2 { print $4 }'; }

mib() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }

human() { awk -v b="$1" 'BEGIN { if (b % 1073741824 == 0) printf "%d GiB", b / 1073741824; else printf "%d MiB", b / 1048576 }'; }

# The data of one workload must fit in the page cache with room to spare,
# or the figures would measure the disk.
check_memory() { # name bytes
  local avail need
  avail=$(mem_available)
  need=$(($2 + 1024 * 1024 * 1024))
  if [ "$need" -gt "$avail" ]; then
    die "$1 needs $(mib "$2") MiB of page cache (+1 GiB headroom), only $(mib "$avail") MiB available; try --only"
  fi
}

check_disk() { # name bytes
  local avail need
  avail=$(disk_available "$data_dir")
  need=$(($2 + 512 * 1024 * 1024))
  if [ "$need" -gt "$avail" ]; then
    die "$1 needs $(mib "$2") MiB in $data_dir, only $(mib "$avail") MiB free"
  fi
}

# One file of BYTES bytes of AES-CTR key stream: fast, reproducible, incompressible.
make_file() { # path bytes tag
  local tmp=$1.partial
  rm -f -- "$tmp"
  nice -n 10 openssl enc -aes-128-ctr -nosalt -pass "pass:quillet-$3" -in /dev/zero 2>/dev/null |
    nice -n 10 head -c "$2" >"$tmp"
  [ "$(stat -c %s "$tmp" 2>/dev/null)" = "$2" ] || die "could not write $tmp"
  sync -- "$tmp"
  mv -f -- "$tmp" "$1"
}

# Reuses the file when its stamp and size match, otherwise makes it again.
ensure_file() { # name path bytes
  local stamp="$2.stamp" want="quillet-bench file v1 bytes=$3 tag=$1"
  if [ -f "$2" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$want" ] && [ "$(stat -c %s "$2")" = "$3" ]; then
    echo "  $1: reusing $2"
    return
  fi
  rm -f -- "$2" "$stamp"
  check_disk "$1" "$3"
  echo "  $1: making $2 ($(mib "$3") MiB)"
  make_file "$2" "$3" "$1"
  echo "$want" >"$stamp"
}

ensure_tree() { # name path kind count
  local stamp="$2.stamp" want="quillet-bench tree v1 kind=$3 count=$4 seed=$seed" bytes
  if [ -d "$2" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$want" ] &&
    python3 "$script_dir/gen_tree.py" check "$3" "$2" "$4" "$seed" >/dev/null; then
    echo "  $1: reusing $2"
    return
  fi
  rm -rf -- "$2" "$stamp"
  bytes=$(python3 "$script_dir/gen_tree.py" bytes "$3" "$2" "$4" "$seed") || die "gen_tree.py failed"
  # Small files take a block each on disk.
  check_disk "$1" $((bytes + $4 * 4096))
  echo "  $1: making $2 ($4 files, $(mib "$bytes") MiB)"
  nice -n 10 python3 "$script_dir/gen_tree.py" make "$3" "$2" "$4" "$seed" || die "could not make $2"
  python3 "$script_dir/gen_tree.py" check "$3" "$2" "$4" "$seed" >/dev/null || die "$2 came out with the wrong shape"
  sync -f -- "$2"
  echo "$want" >"$stamp"
}

tree_bytes() { python3 "$script_dir/gen_tree.py" bytes "$1" - "$2" "$seed"; }

# Runs one command under GNU time. Sets run_wall (s: microsecond clock around
# the call, less the wrapper's own cost $wrap_us), run_gnu_wall (GNU time's %e),
# run_rss (KiB, GNU time's %M) and run_status; stdout goes to /dev/null, stderr
# to $run_err.
run_err=$scratch/stderr
wrap_us=0
timed() {
  local tf=$scratch/time t0 t1 d
  rm -f -- "$tf"
  t0=${EPOCHREALTIME/./}
  /usr/bin/time -f '%e %M' -o "$tf" "$@" >/dev/null 2>"$run_err"
  run_status=$?
  t1=${EPOCHREALTIME/./}
  d=$((t1 - t0 - wrap_us))
  [ $d -gt 0 ] || d=1
  run_wall=$(awk -v d=$d 'BEGIN { printf "%.6f", d / 1e6 }')
  read -r run_gnu_wall run_rss < <(tail -n 1 "$tf" 2>/dev/null)
  [ -n "${run_rss:-}" ] || run_rss=0
  [ -n "${run_gnu_wall:-}" ] || run_gnu_wall=0
}

# Process start-up is slow and noisy on this kind of machine (several ms), so
# the cost that GNU time adds on top of starting the measured program is
# measured (median over pairs: GNU time running /bin/true vs /bin/true alone,
# alternating) and taken off every wall time. Starting the measured program
# itself stays in its figure, as it would for any caller.
calibrate() {
  local with=() without=() i t0 t1
  wrap_us=0
  for ((i = 0; i < 11; i++)); do
    t0=${EPOCHREALTIME/./}
    /usr/bin/time -f '%e %M' -o "$scratch/time" /bin/true >/dev/null 2>&1
    t1=${EPOCHREALTIME/./}
    with+=($((t1 - t0)))
    t0=${EPOCHREALTIME/./}
    /bin/true >/dev/null 2>&1
    t1=${EPOCHREALTIME/./}
    without+=($((t1 - t0)))
  done
  start_us=$(median "${without[@]}")
  wrap_us=$(awk -v a="$(median "${with[@]}")" -v b="$start_us" 'BEGIN { d = a - b; printf "%.0f", (d > 0 ? d : 0) }')
  start_us=$(awk -v b="$start_us" 'BEGIN { printf "%.0f", b }')
  echo "  timing: GNU time wrapper adds $(awk -v u="$wrap_us" 'BEGIN { printf "%.1f", u / 1000 }') ms (subtracted); starting /bin/true takes $(awk -v u="$start_us" 'BEGIN { printf "%.1f", u / 1000 }') ms (kept)"
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.6f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
maximum() { printf '%s\n' "$@" | sort -g | tail -n 1; }

log2() { awk -v n="$1" 'BEGIN { l = 0; while (n > 1) { n /= 2; l++ } print l }'; }

url=http://127.0.0.1

# The programs a workload measures, in the order they take turns: a label (one
# word, unique in the workload), a program, a piece length and quillet options.
c_label=() c_tool=() c_piece=() c_opts=()
contestant() { # label tool piece [quillet options...]
  c_label+=("$1") c_tool+=("$2") c_piece+=("$3") c_opts+=("${*:4}")
}
clear_contestants() { c_label=() c_tool=() c_piece=() c_opts=(); }

# Runs contestant $1 on input $2 once; fails the whole benchmark if it fails.
run_contestant() { # index input
  local i=$1 input=$2 out=$scratch/out.torrent piece=${c_piece[$1]} opts
  read -r -a opts <<<"${c_opts[$i]}"
  rm -f -- "$out"
  case ${c_tool[$i]} in
    quillet) timed "$quillet" -a "$url" -l "$piece" "${opts[@]}" "$input" "$out" ;;
    create) timed "$quillet" create -q -t "$url/announce" -l "$piece" "${opts[@]}" -o "$out" "$input" ;;
    base) timed "$base_quillet" -a "$url" -l "$piece" "${opts[@]}" "$input" "$out" ;;
    openssl) timed openssl dgst -sha1 "$input" ;;
    dd) timed dd if="$input" of=/dev/null bs=4M ;;
    mktorrent) timed mktorrent -t 2 -l "$(log2 "$piece")" -a "$url" -o "$out" "$input" ;;
    transmission) timed transmission-create -s $((piece / 1024)) -t "$url" -o "$out" "$input" ;;
    libtorrent-*) timed "$lt_py" "$script_dir/lt_create.py" "${c_tool[$i]#libtorrent-}" "$piece" "$input" "$out" ;;
    show) timed "$quillet" show "$input" ;;
    transmission-show) timed transmission-show "$input" ;;
    lt-load) timed "$lt_py" "$script_dir/lt_load.py" "$input" ;;
    lt-import) timed "$lt_py" "$script_dir/lt_load.py" --import-only ;;
    # The edits take the torrent of their workload's input, made beforehand.
    edit-outside) timed "$quillet" edit "$edit_torrent" --tracker "$url/edited" --comment bench -o "$out" ;;
    edit-inside) timed "$quillet" edit "$edit_torrent" --private --source bench -o "$out" ;;
    # Each round gives another source, so that every torrent really changes.
    edit-in-place) edit_round=$((edit_round + 1))
      timed "$quillet" edit --in-place --source "round$edit_round" "$edit_many"/*.torrent ;;
    verify) timed "$quillet" verify -q "${opts[@]}" "$input" ;;
    lt-recheck) timed "$lt_py" "$script_dir/lt_recheck.py" "${opts[@]}" "$input" ;;
    *) die "no such program: ${c_tool[$i]}" ;;
  esac
  if [ "$run_status" != 0 ]; then
    echo "bench: ${c_label[$i]} failed on $input (exit status $run_status)" >&2
    sed 's/^/  stderr: /' "$run_err" >&2
    exit 1
  fi
  case ${c_tool[$i]} in
    openssl | dd | show | transmission-show | lt-load | lt-import | edit-in-place | verify | lt-recheck) ;;
    *) [ -s "$out" ] || die "${c_label[$i]} wrote no torrent for $input" ;;
  esac
  rm -f -- "$out"
}

drop_caches() { sync && echo 1 >/proc/sys/vm/drop_caches; }

# One untimed run of contestant $1 under bench/peak_anon.py: sets run_anon (KiB).
measure_anon() { # index input
  local i=$1 bin opts
  case ${c_tool[$i]} in quillet | verify) bin=$quillet ;; base) bin=$base_quillet ;; *) run_anon=; return ;; esac
  read -r -a opts <<<"${c_opts[$i]}"
  rm -f -- "$scratch/anon" "$scratch/out.torrent"
  if [ "${c_tool[$i]}" = verify ]; then
    python3 "$script_dir/peak_anon.py" "$scratch/anon" "$bin" verify -q "${opts[@]}" "$2" \
      >/dev/null 2>&1 || die "${c_label[$i]} failed on $2"
  else
    python3 "$script_dir/peak_anon.py" "$scratch/anon" "$bin" -a "$url" -l "${c_piece[$i]}" "${opts[@]}" \
      "$2" "$scratch/out.torrent" >/dev/null 2>&1 || die "${c_label[$i]} failed on $2"
  fi
  run_anon=$(cat "$scratch/anon")
  rm -f -- "$scratch/out.torrent"
}

# Results, by "workload|label".
declare -A res_walls=() res_rss=() res_anon=() res_bytes=() res_files=()
workload_order=()
declare -A workload_labels=() workload_title=()

# Seconds the machine idles before each run of an idle workload (WI).
idle_pause=3

# Every contestant once per round, in turn; a warm-up round first unless cold.
# cold: 0 page-cached, 1 caches dropped before every run, 2 page-cached and
# idle for idle_pause seconds before every run.
bench_workload() { # name title input bytes files cold(0|1|2)
  local name=$1 input=$3 bytes=$4 files=$5 cold=$6 i round key line
  workload_order+=("$name")
  workload_title[$name]=$2
  workload_labels[$name]="${c_label[*]}"
  if [ "$cold" != 1 ]; then
    echo "  $name: warm-up"
    for i in "${!c_label[@]}"; do run_contestant "$i" "$input"; done
  fi
  calibrate
  for key in "${c_label[@]}"; do
    res_walls[$name|$key]= res_rss[$name|$key]= res_bytes[$name|$key]=$bytes res_files[$name|$key]=$files
  done
  for ((round = 1; round <= runs; round++)); do
    line="  $name run $round:"
    for i in "${!c_label[@]}"; do
      [ "$cold" = 1 ] && drop_caches
      [ "$cold" = 2 ] && sleep "$idle_pause"
      run_contestant "$i" "$input"
      key="$name|${c_label[$i]}"
      res_walls[$key]+="$run_wall " res_rss[$key]+="$run_rss "
      line+=$(printf ' %s %.3f s %d KiB |' "${c_label[$i]}" "$run_wall" "$run_rss")
    done
    echo "${line% |}"
  done
  for i in "${!c_label[@]}"; do
    [ "$cold" = 1 ] && drop_caches
    measure_anon "$i" "$input"
    res_anon[$name|${c_label[$i]}]=$run_anon
  done
}

# Median over the rounds of (time of label a) / (time of label b), in workload w.
round_ratio() { # w a b
  local -a ta tb ratios=()
  local i
  read -r -a ta <<<"${res_walls[$1|$2]:-}"
  read -r -a tb <<<"${res_walls[$1|$3]:-}"
  [ ${#ta[@]} -gt 0 ] && [ ${#ta[@]} = ${#tb[@]} ] || return 1
  for i in "${!ta[@]}"; do
    ratios+=("$(awk -v a="${ta[$i]}" -v b="${tb[$i]}" 'BEGIN { printf "%.4f", a / b }')")
  done
  median "${ratios[@]}"
}

has_result() { [ -n "${res_walls[$1|$2]:-}" ]; }

median_of() { # w label
  local -a t
  read -r -a t <<<"${res_walls[$1|$2]}"
  median "${t[@]}"
}

rss_of() { # w label -> MiB
  local -a r
  read -r -a r <<<"${res_rss[$1|$2]}"
  awk -v k="$(maximum "${r[@]}")" 'BEGIN { printf "%.1f", k / 1024 }'
}

anon_of() { # w label -> MiB, or - when not measured
  local k=${res_anon[$1|$2]:-}
  if [ -n "$k" ]; then awk -v k="$k" 'BEGIN { printf "%.1f", k / 1024 }'; else echo -; fi
}

size_label() { awk -v b="$1" 'BEGIN { if (b >= 1048576) printf "%dM", b / 1048576; else printf "%dK", b / 1024 }'; }

add_peers() { # piece: the torrent makers installed, at this piece length
  local p=$1 s
  s=$(size_label "$p")
  [ $have_mktorrent = 1 ] && contestant "mktorrent-$s" mktorrent "$p"
  [ $have_transmission = 1 ] && contestant "transmission-$s" transmission "$p"
  [ $have_libtorrent = 1 ] && contestant "libtorrent-v1-$s" libtorrent-v1 "$p"
  return 0
}

# ----------------------------------------------------------------- header ---

cpu=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
flags=$(awk -F': ' '/^flags/ { print $2; exit }' /proc/cpuinfo)
isa=
for f in sha_ni avx2 avx512f avx512vl; do
  [[ " $flags " == *" $f "* ]] && isa+="$f "
done
peer_version() { dpkg-query -W -f '${Version}' "$1" 2>/dev/null || echo "version unknown"; }
peer_list=
[ $have_mktorrent = 1 ] && peer_list+="mktorrent $(peer_version mktorrent); "
[ $have_transmission = 1 ] && peer_list+="transmission-create $(peer_version transmission-cli); "
[ $have_libtorrent = 1 ] && peer_list+="libtorrent $("$lt_py" -c 'import libtorrent; print(libtorrent.__version__)'); "

echo "quillet benchmark ($mode sizes, $runs timed run(s) per workload)"
echo "  date        $(date -u '+%Y-%m-%d %H:%M:%S UTC')"
echo "  cpu         $cpu, $(nproc) cpu(s) online; ${isa:-no sha_ni/avx2/avx512}"
if [ -n "$kernel_speed" ]; then
  echo "  kernels     single-core speed (quillet_kernel_speed, best of 3; a loaded machine lowers them):"
  "$kernel_speed" 3 2>&1 | sed 's/^/                /'
fi
echo "  memory      $(mib "$(awk '/^MemTotal:/ { printf "%.0f", $2 * 1024 }' /proc/meminfo)") MiB total, $(mib "$(mem_available)") MiB available"
echo "  load avg    $(cut -d' ' -f1-3 /proc/loadavg) (a shared machine makes figures indicative)"
echo "  quillet     $quillet_src (built $quillet_built; a copy is run)"
[ -n "$base_quillet" ] && echo "  base        $QUILLET_BASE_BIN (built $(date -u -r "$QUILLET_BASE_BIN" '+%Y-%m-%d %H:%M:%S UTC'); a copy is run)"
echo "  openssl     $(openssl version)"
echo "  peers       ${peer_list:-none measured (--install-peers installs them)}"
echo "  data        $data_dir"
echo

# --------------------------------------------------------------------- run ---

w1=$data_dir/W1.bin
w2=$data_dir/W2
w3=$data_dir/W3
w4=$data_dir/W4.bin
k256=$(size_label $piece)

if [ -n "${selected[W1]:-}${selected[WS]:-}${selected[WL]:-}${selected[WF]:-}${selected[WN]:-}${selected[WC]:-}${selected[WV]:-}" ]; then
  echo "W1 data: one file of $(human $w1_bytes)"
  check_memory W1 "$w1_bytes"
  ensure_file W1 "$w1" "$w1_bytes"
fi

if [ -n "${selected[W1]:-}" ]; then
  clear_contestants
  contestant quillet quillet $piece
  [ -n "$base_quillet" ] && contestant base base $piece
  contestant openssl openssl $piece
  add_peers $piece
  bench_workload W1 "one file of $(human $w1_bytes)" "$w1" "$w1_bytes" 1 0
  echo
fi

# Which way quillet hashed a file: it times its first windows both ways and keeps
# the cheaper, so a run that chose mappings maps a window for the rest of the file,
# one that chose reading only its few trial windows (at most 4 batches, or 4 spans
# of 16 lanes each). Counted in one more run, with strace where it is installed,
# stopping the run at mappings only: a tracer that stopped it at every read would
# weigh on the trial it counts. On a file where the two ways cost about the same,
# runs may differ in their choice.
content_way() { # input piece
  local log=$scratch/mappings maps
  command -v strace >/dev/null 2>&1 || { echo "not counted (no strace)"; return; }
  strace --seccomp-bpf -f -qq -e trace=mmap -e signal=none -o "$log" \
    "$quillet" -a "$url" -l "$2" "$1" "$scratch/out.torrent" >/dev/null 2>&1 || { echo "not counted"; return; }
  maps=$(grep -c 'MAP_SHARED|MAP_FIXED|MAP_POPULATE' "$log")
  rm -f -- "$log" "$scratch/out.torrent"
  if [ "$maps" -gt 64 ]; then echo "from mappings ($maps windows mapped)"; else echo "read ($maps trial windows mapped)"; fi
}

# The W1 file in a page-cache state of its own: made afresh as `how` makes it,
# measured, and removed, so that only one copy needs the cache at a time.
cache_state() { # name how title
  local copy=$data_dir/$1.bin
  rm -f -- "$copy"
  check_disk "$1" "$w1_bytes"
  case $2 in
    dd) dd if="$w1" of="$copy" bs=16k status=none || die "dd could not write $copy" ;;
    cp) cp -- "$w1" "$copy" || die "cp could not write $copy" ;;
    cat) cp -- "$w1" "$copy" && sync -- "$copy" && drop_caches && cat -- "$copy" >/dev/null ||
      die "could not read $copy back" ;;
  esac
  clear_contestants
  contestant quillet quillet $piece
  [ -n "$base_quillet" ] && contestant base base $piece
  bench_workload "$1" "$3" "$copy" "$w1_bytes" 1 0
  echo "  $1: quillet at $(size_label "$piece") hashed the file $(content_way "$copy" "$piece")"
  rm -f -- "$copy"
  echo
}

if [ -n "${selected[WS]:-}" ]; then
  cache_state WS-dd dd "the W1 file written in 16 KiB writes (dd bs=16k)"
  cache_state WS-cp cp "the W1 file copied with cp"
  if [ "$(id -u)" = 0 ] && [ -w /proc/sys/vm/drop_caches ]; then
    cache_state WS-cat cat "the W1 file read back with cat after the caches were dropped"
  else
    echo "WS-cat left out: dropping the caches needs root"
  fi
fi

if [ -n "${selected[WL]:-}" ]; then
  clear_contestants
  contestant "quillet-$k256" quillet $piece
  for p in "${long_pieces[@]}"; do contestant "quillet-$(size_label "$p")" quillet "$p"; done
  [ $have_mktorrent = 1 ] && contestant mktorrent-16M mktorrent 16777216
  bench_workload WL "the W1 file at long pieces" "$w1" "$w1_bytes" 1 0
  echo
fi

if [ -n "${selected[WF]:-}" ]; then
  clear_contestants
  for p in $piece 16777216; do
    s=$(size_label "$p")
    contestant "v1-$s" quillet "$p"
    contestant "v2-$s" quillet "$p" --format v2
    contestant "hybrid-$s" quillet "$p" --format hybrid
  done
  [ $have_libtorrent = 1 ] && contestant "libtorrent-hybrid-$k256" libtorrent-hybrid $piece
  bench_workload WF "the W1 file in each format" "$w1" "$w1_bytes" 1 0
  echo
fi

# The piece length `create` picks for the W1 file: at most 2,048 pieces, from 16 KiB, up to 16 MiB.
auto_piece() { # bytes
  local p=16384
  while [ $p -lt 16777216 ] && [ $((p * 2048)) -lt "$1" ]; do p=$((p * 2)); done
  echo $p
}

if [ -n "${selected[WN]:-}" ]; then
  clear_contestants
  contestant "classic-v1-$k256" quillet $piece
  contestant "create-v1-$k256" create $piece
  contestant classic-hybrid-16M quillet 16777216 --format hybrid
  contestant create-hybrid-16M create 16777216 --format hybrid
  auto=$(auto_piece "$w1_bytes")
  contestant create-auto create auto
  [ $have_mktorrent = 1 ] && contestant "mktorrent-auto-$(size_label "$auto")" mktorrent "$auto"
  bench_workload WN "create and the classic command line, the W1 file" "$w1" "$w1_bytes" 1 0
  echo
fi

if [ -n "${selected[W2]:-}${selected[WN]:-}" ]; then
  w2_bytes=$(tree_bytes many-medium "$w2_count")
  echo "W2 data: $w2_count files of 64 KiB"
  check_memory W2 "$w2_bytes"
  ensure_tree W2 "$w2" many-medium "$w2_count"
fi

if [ -n "${selected[WN]:-}" ]; then
  clear_contestants
  contestant "classic-v1-$k256" quillet $piece
  contestant "create-v1-$k256" create $piece
  bench_workload WNT "create and the classic command line, the W2 tree" "$w2" "$w2_bytes" "$w2_count" 0
  echo
fi

if [ -n "${selected[W2]:-}" ]; then
  clear_contestants
  contestant quillet quillet $piece
  add_peers $piece
  bench_workload W2 "$w2_count files of 64 KiB" "$w2" "$w2_bytes" "$w2_count" 0
  echo
fi

# The W3 tree, made once, for a workload that reads it or its torrent; sets w3_bytes. Inodes and
# dentries of the many small files want room too.
need_w3_tree() { # workload
  w3_bytes=$(tree_bytes many-small "$w3_count")
  check_memory "$1" $((w3_bytes + w3_count * 4096))
  ensure_tree W3 "$w3" many-small "$w3_count"
}

if [ -n "${selected[W3]:-}" ]; then
  echo "W3 data: $w3_count files of 0-4096 bytes, tree 10 levels deep"
  need_w3_tree W3
  clear_contestants
  contestant quillet quillet $piece
  add_peers $piece
  bench_workload W3 "$w3_count files of 0-4 KiB" "$w3" "$w3_bytes" "$w3_count" 0
  echo
fi

if [ -n "${selected[WR]:-}" ]; then
  echo "WR data: the torrent of W3 ($w3_count files), made once by quillet"
  need_w3_tree WR
  wr_torrent=$scratch/W3.torrent
  "$quillet" -a "$url" -l "$piece" "$w3" "$wr_torrent" >/dev/null || die "could not make $wr_torrent"
  clear_contestants
  contestant quillet-show show $piece
  command -v transmission-show >/dev/null 2>&1 && [ $peers = 1 ] &&
    contestant transmission-show transmission-show $piece
  if [ $have_libtorrent = 1 ]; then
    contestant libtorrent-load lt-load $piece
    contestant python-import lt-import $piece
  fi
  bench_workload WR "show of W3's torrent ($(mib "$(stat -c %s "$wr_torrent")") MiB)" "$wr_torrent" \
    "$(stat -c %s "$wr_torrent")" "$w3_count" 0
  echo
fi

# verify against create on the same content, at the same piece length and format; the torrent
# is made once, before the rounds.
verify_workload() { # name title input bytes files
  local torrent=$scratch/$1.torrent
  "$quillet" -a "$url" -l "$piece" "$3" "$torrent" >/dev/null || die "could not make $torrent"
  clear_contestants
  contestant verify verify $piece "$torrent"
  contestant create quillet $piece
  [ $have_libtorrent = 1 ] && contestant lt-recheck lt-recheck $piece "$torrent"
  bench_workload "$@" 0
}

if [ -n "${selected[WV]:-}" ]; then
  need_w3_tree WV
  echo "WV data: the W1 file and the W3 tree, each with a torrent made once by quillet"
  verify_workload WV-W1 "verify the W1 file" "$w1" "$w1_bytes" 1
  verify_workload WV-W3 "verify the W3 tree" "$w3" "$w3_bytes" "$w3_count"
  echo
fi

if [ -n "${selected[WE]:-}" ]; then
  echo "WE data: the W3 tree, its torrent, and $edit_count copies of a torrent of one 64 MiB file"
  need_w3_tree WE
  edit_torrent=$scratch/edit-source.torrent
  "$quillet" -a "$url" -l $piece "$w3" "$edit_torrent" >/dev/null || die "could not make W3's torrent"
  edit_many=$scratch/many
  mkdir -p "$edit_many"
  make_file "$scratch/one.bin" $((64 * 1024 * 1024)) WE
  "$quillet" -a "$url" -l $piece "$scratch/one.bin" "$edit_many/0.torrent" >/dev/null || die "could not make a torrent to copy"
  for ((i = 1; i < edit_count; i++)); do cp "$edit_many/0.torrent" "$edit_many/$i.torrent"; done
  echo "  WE: W3's torrent has $(stat -c %s "$edit_torrent") bytes; each of the $edit_count has $(stat -c %s "$edit_many/0.torrent")"
  edit_round=0
  clear_contestants
  contestant create-W3 quillet $piece
  contestant edit-outside edit-outside $piece
  contestant edit-inside edit-inside $piece
  contestant "edit-in-place-$edit_count" edit-in-place $piece
  bench_workload WE "W3's torrent made and edited; $edit_count torrents edited in place" "$w3" "$w3_bytes" "$w3_count" 0
  echo
fi

if [ -n "${selected[W4]:-}" ]; then
  echo "W4 data: one file of $(human $w4_bytes)"
  check_memory W4 "$w4_bytes"
  ensure_file W4 "$w4" "$w4_bytes"
  clear_contestants
  contestant quillet quillet $piece
  [ -n "$base_quillet" ] && contestant base base $piece
  contestant openssl openssl $piece
  add_peers $piece
  bench_workload W4 "one file of $(human $w4_bytes)" "$w4" "$w4_bytes" 1 0
  echo
fi

if [ -n "${selected[WI]:-}" ]; then
  echo "WI data: the W4 file, each run after ${idle_pause} s idle"
  check_memory WI "$w4_bytes"
  ensure_file WI "$w4" "$w4_bytes"
  clear_contestants
  contestant quillet quillet $piece
  [ -n "$base_quillet" ] && contestant base base $piece
  contestant openssl openssl $piece
  bench_workload WI "one file of $(human $w4_bytes), after ${idle_pause} s idle" "$w4" "$w4_bytes" 1 2
  echo
fi

if [ -n "${selected[WC]:-}" ]; then
  clear_contestants
  contestant dd dd $piece
  contestant "quillet-$k256" quillet $piece
  for p in "${long_pieces[@]}"; do contestant "quillet-$(size_label "$p")" quillet "$p"; done
  bench_workload WC "the W1 file from the disk, caches dropped" "$w1" "$w1_bytes" 1 1
  echo
fi

# ----------------------------------------------------------------- report ---

echo "Results (median wall time of $runs run(s); peak RSS is the largest of those runs; peak anon is"
echo "RssAnon sampled in one more run; MB = 10^6 bytes; 'x first' is the median of the per-round"
echo "ratios of this row's time to the first row's)"
printf '%-4s %-24s %10s %10s %10s %12s %13s %9s\n' "" program "median s" "MB/s" "files/s" "peak RSS MiB" "peak anon MiB" "x first"
for name in "${workload_order[@]}"; do
  read -r -a labels <<<"${workload_labels[$name]}"
  echo "$name: ${workload_title[$name]}"
  for label in "${labels[@]}"; do
    key="$name|$label"
    med=$(median_of "$name" "$label")
    mbs=$(awk -v b="${res_bytes[$key]}" -v s="$med" 'BEGIN { printf "%.0f", b / 1e6 / s }')
    fps=-
    [ "${res_files[$key]}" -gt 1 ] && fps=$(awk -v n="${res_files[$key]}" -v s="$med" 'BEGIN { printf "%.0f", n / s }')
    printf '%-4s %-24s %10.3f %10s %10s %12s %13s %9.2f\n' "" "$label" "$med" "$mbs" "$fps" \
      "$(rss_of "$name" "$label")" "$(anon_of "$name" "$label")" "$(round_ratio "$name" "$label" "${labels[0]}")"
  done
done
echo

echo "Performance goals, judged on this run's own figures:"
goal() { # text measured threshold min|max shown
  local verdict
  verdict=$(awk -v m="$2" -v t="$3" -v u="$4" 'BEGIN { if (u == "max") print (m <= t ? "met" : "NOT met"); else print (m >= t ? "met" : "NOT met") }')
  printf '  %-58s %-12s %s\n' "$1" "$5" "$verdict"
}
# How many times faster label a is than label b (median per-round ratio b/a).
faster() { round_ratio "$1" "$3" "$2"; }
# The fastest peer of a workload, by median time: prints its label.
fastest_peer() { # w
  local label best= best_t t
  read -r -a labels <<<"${workload_labels[$1]}"
  for label in "${labels[@]}"; do
    case $label in mktorrent-* | transmission-* | libtorrent-*) ;; *) continue ;; esac
    t=$(median_of "$1" "$label")
    if [ -z "$best" ] || awk -v a="$t" -v b="$best_t" 'BEGIN { exit !(a < b) }'; then
      best=$label best_t=$t
    fi
  done
  [ -n "$best" ] && echo "$best"
}
if [ $quick = 1 ]; then
  echo "  (goals are not judged at quick sizes)"
else
  if has_result W1 quillet; then
    r=$(faster W1 quillet openssl)
    goal "W1 >= 3x openssl dgst -sha1" "$r" 3 min "$(printf %.2fx "$r")"
  fi
  for w in W1:2 W2:2.5 W3:4 W4:1.5; do
    name=${w%%:*} want=${w#*:}
    has_result "$name" quillet || continue
    best=$(fastest_peer "$name") || continue
    r=$(faster "$name" quillet "$best")
    goal "$name >= ${want}x the fastest peer ($best)" "$r" "$want" min "$(printf %.2fx "$r")"
  done
  if has_result WL "quillet-$k256"; then
    for p in "${long_pieces[@]}"; do
      s=$(size_label "$p")
      r=$(round_ratio WL "quillet-$s" "quillet-$k256")
      goal "WL at $s pieces within 1.2x of quillet at $k256" "$r" 1.2 max "$(printf %.2fx "$r")"
    done
    if has_result WL mktorrent-16M; then
      r=$(faster WL quillet-16M mktorrent-16M)
      goal "WL at 16M >= 2.5x mktorrent -t 2 at 16M" "$r" 2.5 min "$(printf %.2fx "$r")"
    fi
  fi
  if has_result WF "v1-$k256"; then
    for s in "$k256" 16M; do
      r=$(round_ratio WF "v2-$s" "v1-$s")
      goal "WF v2 at $s at most 1.8x v1" "$r" 1.8 max "$(printf %.2fx "$r")"
      r=$(round_ratio WF "hybrid-$s" "v1-$s")
      goal "WF hybrid at $s at most 2.5x v1" "$r" 2.5 max "$(printf %.2fx "$r")"
    done
    if has_result WF "libtorrent-hybrid-$k256"; then
      r=$(faster WF "hybrid-$k256" "libtorrent-hybrid-$k256")
      goal "WF hybrid >= 4x libtorrent's hybrid" "$r" 4 min "$(printf %.2fx "$r")"
    fi
  fi
  if has_result WN "classic-v1-$k256"; then
    for pair in "WN:v1-$k256" WN:hybrid-16M "WNT:v1-$k256"; do
      w=${pair%%:*} s=${pair#*:}
      r=$(round_ratio "$w" "create-$s" "classic-$s")
      goal "$w create $s within 1.05x of the classic command" "$r" 1.05 max "$(printf %.2fx "$r")"
    done
    m=$(size_label "$(auto_piece "$w1_bytes")")
    if has_result WN "mktorrent-auto-$m"; then
      r=$(faster WN create-auto "mktorrent-auto-$m")
      goal "WN create auto >= 2.5x mktorrent -t 2 at $m" "$r" 2.5 min "$(printf %.2fx "$r")"
    fi
  fi
  if has_result WR transmission-show; then
    r=$(faster WR quillet-show transmission-show)
    goal "WR show >= 3x transmission-show" "$r" 3 min "$(printf %.2fx "$r")"
  fi
  if has_result WR libtorrent-load; then
    # libtorrent's load alone: the interpreter's start-up and import taken off, round by round.
    read -r -a t_load <<<"${res_walls[WR|libtorrent-load]}"
    read -r -a t_import <<<"${res_walls[WR|python-import]}"
    read -r -a t_show <<<"${res_walls[WR|quillet-show]}"
    ratios=()
    for i in "${!t_show[@]}"; do
      ratios+=("$(awk -v l="${t_load[$i]}" -v p="${t_import[$i]}" -v q="${t_show[$i]}" 'BEGIN { printf "%.4f", (l - p) / q }')")
    done
    r=$(median "${ratios[@]}")
    goal "WR show >= 3x libtorrent's load (start-up taken off)" "$r" 3 min "$(printf %.2fx "$r")"
  fi
  if has_result WE create-W3; then
    for e in edit-outside edit-inside; do
      r=$(round_ratio WE "$e" create-W3)
      goal "WE $e at most 1/1000 of creating W3's torrent" "$r" 0.001 max "$(printf %.4fx "$r")"
    done
    t=$(median_of WE "edit-in-place-$edit_count")
    goal "WE $edit_count torrents edited in place under 5 s" "$t" 5 max "$(printf '%.3f s' "$t")"
  fi
  for name in W1 WS-dd WS-cp WS-cat W4 WI; do
    has_result "$name" base || continue
    r=$(faster "$name" quillet base)
    goal "$name at least as fast as the base build" "$r" 1 min "$(printf %.2fx "$r")"
  done
  for w in WV-W1:1.1 WV-W3:1.2; do
    name=${w%:*} want=${w#*:}
    has_result "$name" verify || continue
    r=$(round_ratio "$name" verify create)
    goal "$name verify at most ${want}x create" "$r" "$want" max "$(printf %.2fx "$r")"
    if has_result "$name" lt-recheck; then
      r=$(faster "$name" verify lt-recheck)
      goal "$name verify >= 4x libtorrent's recheck" "$r" 4 min "$(printf %.2fx "$r")"
    fi
  done
  if has_result WC dd; then
    for p in $piece "${long_pieces[@]}"; do
      s=$(size_label "$p")
      r=$(round_ratio WC "quillet-$s" dd)
      goal "WC cold at $s within 1.1x of dd bs=4M" "$r" 1.1 max "$(printf %.2fx "$r")"
    done
  fi
fi
for name in "${workload_order[@]}"; do
  read -r -a labels <<<"${workload_labels[$name]}"
  for label in "${labels[@]}"; do
    case $label in quillet* | v1-* | v2-* | hybrid-* | classic-* | create-*) ;; *) continue ;; esac
    r=$(anon_of "$name" "$label")
    [ "$r" = - ] && continue
    goal "$name $label peak anon at most 64 MiB" "$r" 64 max "$r MiB"
  done
done
echo "  load avg at the end: $(cut -d' ' -f1-3 /proc/loadavg)"

# ---------------------------------------------------------------- cleanup ---

if [ $clean = 1 ]; then
  rm -rf -- "$w1" "$w1.stamp" "$w1.partial" "$w2" "$w2.stamp" "$w3" "$w3.stamp" "$w4" "$w4.stamp" "$w4.partial"
  rmdir -- "$data_dir" 2>/dev/null
  rmdir -- "$bench_root" 2>/dev/null
  echo "  data removed from $data_dir"
else
  echo "  data kept in $data_dir for the next run (--clean removes it)"
fi
exit 0
