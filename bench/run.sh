#!/usr/bin/env bash
# Benchmark of quillet on page-cached data. Prints figures; checks nothing.
#
#   bench/run.sh [--quick] [--only W1,W2,W3,W4,W1L,W1V2,W1H] [--runs N] [--clean]
#
# Workloads (256 KiB pieces unless noted):
#   W1   one 4 GiB file                     quillet vs `openssl dgst -sha1`
#   W2   16,384 files of 64 KiB in 32 dirs  quillet
#   W3   100,000 files of 0-4096 bytes in a tree 10 levels deep   quillet
#   W4   one 64 MiB file                    quillet vs `openssl dgst -sha1`
#   W1L  W1 at 16 MiB pieces (-l 16777216), for peak RSS
#   W1V2 W1 with --format v2                quillet (only when asked for with --only)
#   W1H  W1 with --format hybrid            quillet (only when asked for with --only)
# quillet and openssl runs alternate (A B A B ...) so drift of a shared machine
# touches both; the quillet/openssl ratio comes from those same runs. Figures of
# other torrent makers are not measured here: the ones printed are quoted from
# earlier measurements on this machine kind, for reference.
#
# Environment:
#   QUILLET_BIN        binary to measure (default: build/release/quillet of this
#                      repository, built with the release preset when missing)
#   QUILLET_BENCH_DIR  data folder (default /tmp/quillet-bench); the data is kept
#                      and reused by later runs unless --clean is given
#
# Timing: every run goes through GNU time (`/usr/bin/time -f '%e %M'`), which
# gives the peak RSS (%M) and a wall time (%e, printed per run) of only 10 ms
# resolution. The wall time used for medians and ratios is taken around that
# call with bash's microsecond clock, less what the GNU time wrapper itself
# costs (measured before each workload and printed); starting the measured
# program stays in its time.

set -uo pipefail
export LC_ALL=C

script_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo_dir=$(cd "$script_dir/.." && pwd)

usage() {
  sed -n '2,30p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
}

die() {
  printf 'bench: %s\n' "$*" >&2
  exit 1
}

# ---------------------------------------------------------------- options ---

quick=0
clean=0
runs=
only=W1,W2,W3,W4,W1L
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=1 ;;
    --clean) clean=1 ;;
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
  case $w in
    W1 | W2 | W3 | W4 | W1L | W1V2 | W1H) selected[$w]=1 ;;
    "") ;;
    *) die "unknown workload '$w' in --only (choose from W1,W2,W3,W4,W1L,W1V2,W1H)" ;;
  esac
done
[ ${#selected[@]} -gt 0 ] || die "--only selects no workload"

for tool in /usr/bin/time openssl python3 awk sort head stat df; do
  command -v "$tool" >/dev/null 2>&1 || die "needs $tool"
done

# ------------------------------------------------------------- workloads ---

piece=262144
big_piece=16777216
seed=20240611
if [ $quick = 1 ]; then
  w1_bytes=$((64 * 1024 * 1024))
  w2_count=1024
  w3_count=1000
  w4_bytes=$((8 * 1024 * 1024))
  mode=quick
else
  w1_bytes=$((4 * 1024 * 1024 * 1024))
  w2_count=16384
  w3_count=100000
  w4_bytes=$((64 * 1024 * 1024))
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

# The lead may rebuild while a long run goes on: measure one fixed copy.
quillet_src=$quillet
quillet_built=$(date -u -r "$quillet_src" '+%Y-%m-%d %H:%M:%S UTC')
cp -- "$quillet_src" "$scratch/quillet" || die "cannot copy $quillet_src"
quillet=$scratch/quillet

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

run_quillet() { # input output piece [options...]
  rm -f -- "$2"
  timed "$quillet" -a http://127.0.0.1 -l "$3" "${@:4}" "$1" "$2"
  if [ "$run_status" != 0 ] || [ ! -s "$2" ]; then
    echo "bench: quillet failed on $1 (exit status $run_status; output $([ -s "$2" ] && echo present || echo missing))" >&2
    sed 's/^/  stderr: /' "$run_err" >&2
    exit 1
  fi
  rm -f -- "$2"
}

run_openssl() { # input
  timed openssl dgst -sha1 "$1"
  if [ "$run_status" != 0 ]; then
    echo "bench: openssl dgst failed on $1 (exit status $run_status)" >&2
    sed 's/^/  stderr: /' "$run_err" >&2
    exit 1
  fi
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.6f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
maximum() { printf '%s\n' "$@" | sort -g | tail -n 1; }

# Results, by row key ("W1 quillet", "W1 openssl", ...).
declare -A res_med=() res_rss=() res_bytes=() res_files=() res_all=()
declare -A pair_ratio=()
row_keys=()

record() { # key bytes files walls... ; rss list in global rss_list
  local key=$1 bytes=$2 files=$3
  shift 3
  res_med[$key]=$(median "$@")
  res_rss[$key]=$(maximum "${rss_list[@]}")
  res_bytes[$key]=$bytes
  res_files[$key]=$files
  res_all[$key]="$*"
  row_keys+=("$key")
}

# A single file: warm-up, then quillet and openssl alternating.
bench_file() { # name path bytes
  local name=$1 path=$2 bytes=$3 out=$scratch/$1.torrent i
  local q_walls=() o_walls=() q_rss=() o_rss=() ratios=() q_gnu
  echo "  $name: warm-up"
  run_quillet "$path" "$out" "$piece"
  run_openssl "$path"
  calibrate
  for ((i = 1; i <= runs; i++)); do
    run_quillet "$path" "$out" "$piece"
    q_walls+=("$run_wall") q_rss+=("$run_rss") q_gnu=$run_gnu_wall
    run_openssl "$path"
    o_walls+=("$run_wall") o_rss+=("$run_rss")
    ratios+=("$(awk -v q="${q_walls[-1]}" -v o="$run_wall" 'BEGIN { printf "%.3f", o / q }')")
    printf '  %s run %d: quillet %.3f s (GNU %%e %s) %d KiB | openssl %.3f s (GNU %%e %s) %d KiB | ratio %s\n' \
      "$name" "$i" "${q_walls[-1]}" "$q_gnu" "${q_rss[-1]}" "$run_wall" "$run_gnu_wall" "$run_rss" "${ratios[-1]}"
  done
  rss_list=("${q_rss[@]}")
  record "$name quillet" "$bytes" 1 "${q_walls[@]}"
  rss_list=("${o_rss[@]}")
  record "$name openssl" "$bytes" 1 "${o_walls[@]}"
  pair_ratio[$name]=$(median "${ratios[@]}")
}

# quillet alone (trees, and W1 at large pieces or in another format): warm-up, then N runs.
bench_alone() { # name path bytes files piece [options...]
  local name=$1 path=$2 bytes=$3 files=$4 pl=$5 out=$scratch/$1.torrent i
  local walls=() rss=() options=("${@:6}")
  echo "  $name: warm-up"
  run_quillet "$path" "$out" "$pl" "${options[@]}"
  calibrate
  for ((i = 1; i <= runs; i++)); do
    run_quillet "$path" "$out" "$pl" "${options[@]}"
    walls+=("$run_wall") rss+=("$run_rss")
    printf '  %s run %d: quillet %.3f s (GNU %%e %s) %d KiB\n' "$name" "$i" "$run_wall" "$run_gnu_wall" "$run_rss"
  done
  rss_list=("${rss[@]}")
  record "$name quillet" "$bytes" "$files" "${walls[@]}"
}

# ----------------------------------------------------------------- header ---

cpu=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
flags=$(awk -F': ' '/^flags/ { print $2; exit }' /proc/cpuinfo)
isa=
for f in sha_ni avx2 avx512f avx512vl; do
  [[ " $flags " == *" $f "* ]] && isa+="$f "
done

echo "quillet benchmark ($mode sizes, $runs timed run(s) per workload after one warm-up)"
echo "  date        $(date -u '+%Y-%m-%d %H:%M:%S UTC')"
echo "  cpu         $cpu, $(nproc) cpu(s) online; ${isa:-no sha_ni/avx2/avx512}"
echo "  memory      $(mib "$(awk '/^MemTotal:/ { printf "%.0f", $2 * 1024 }' /proc/meminfo)") MiB total, $(mib "$(mem_available)") MiB available"
echo "  load avg    $(cut -d' ' -f1-3 /proc/loadavg) (machine shared: figures are indicative)"
echo "  quillet     $quillet_src (built $quillet_built; a copy is run)"
echo "  openssl     $(openssl version)"
echo "  data        $data_dir"
echo

# --------------------------------------------------------------------- run ---

w1=$data_dir/W1.bin
w2=$data_dir/W2
w3=$data_dir/W3
w4=$data_dir/W4.bin

if [ -n "${selected[W1]:-}${selected[W1L]:-}${selected[W1V2]:-}${selected[W1H]:-}" ]; then
  echo "W1: one file of $(human $w1_bytes)"
  check_memory W1 "$w1_bytes"
  ensure_file W1 "$w1" "$w1_bytes"
  [ -n "${selected[W1]:-}" ] && bench_file W1 "$w1" "$w1_bytes"
  [ -n "${selected[W1L]:-}" ] && bench_alone W1L "$w1" "$w1_bytes" 1 "$big_piece"
  [ -n "${selected[W1V2]:-}" ] && bench_alone W1V2 "$w1" "$w1_bytes" 1 "$piece" --format v2
  [ -n "${selected[W1H]:-}" ] && bench_alone W1H "$w1" "$w1_bytes" 1 "$piece" --format hybrid
  echo
fi

if [ -n "${selected[W2]:-}" ]; then
  w2_bytes=$(tree_bytes many-medium "$w2_count")
  echo "W2: $w2_count files of 64 KiB"
  check_memory W2 "$w2_bytes"
  ensure_tree W2 "$w2" many-medium "$w2_count"
  bench_alone W2 "$w2" "$w2_bytes" "$w2_count" "$piece"
  echo
fi

if [ -n "${selected[W3]:-}" ]; then
  w3_bytes=$(tree_bytes many-small "$w3_count")
  echo "W3: $w3_count files of 0-4096 bytes, tree 10 levels deep"
  # Inodes and dentries of the many small files want room too.
  check_memory W3 $((w3_bytes + w3_count * 4096))
  ensure_tree W3 "$w3" many-small "$w3_count"
  bench_alone W3 "$w3" "$w3_bytes" "$w3_count" "$piece"
  echo
fi

if [ -n "${selected[W4]:-}" ]; then
  echo "W4: one file of $(human $w4_bytes)"
  check_memory W4 "$w4_bytes"
  ensure_file W4 "$w4" "$w4_bytes"
  bench_file W4 "$w4" "$w4_bytes"
  echo
fi

# ----------------------------------------------------------------- report ---

workload_label() {
  case $1 in
    W1) echo "W1 $(human $w1_bytes) file" ;;
    W1L) echo "W1 @16 MiB pieces" ;;
    W1V2) echo "W1 --format v2" ;;
    W1H) echo "W1 --format hybrid" ;;
    W2) echo "W2 $w2_count x 64 KiB" ;;
    W3) echo "W3 $w3_count x 0-4 KiB" ;;
    W4) echo "W4 $(human $w4_bytes) file" ;;
  esac
}

echo "Results (median wall time of $runs run(s); peak RSS is the largest of those runs; MB = 10^6 bytes)"
printf '%-22s %-8s %10s %10s %10s %12s %14s\n' workload tool "median s" "MB/s" "files/s" "peak RSS MiB" "quillet/openssl"
printf '%-22s %-8s %10s %10s %10s %12s %14s\n' -------- ---- -------- ---- ------- ------------ ---------------
for key in "${row_keys[@]}"; do
  name=${key%% *} tool=${key#* }
  med=${res_med[$key]} bytes=${res_bytes[$key]} files=${res_files[$key]}
  mbs=$(awk -v b="$bytes" -v s="$med" 'BEGIN { printf "%.0f", b / 1e6 / s }')
  fps=-
  [ "$files" -gt 1 ] && fps=$(awk -v n="$files" -v s="$med" 'BEGIN { printf "%.0f", n / s }')
  ratio=
  if [ "$tool" = quillet ] && [ -n "${res_med[$name openssl]:-}" ]; then
    ratio=$(awk -v q="$med" -v o="${res_med[$name openssl]}" 'BEGIN { printf "%.2fx", o / q }')
  fi
  label=$(workload_label "$name")
  [ "$tool" = openssl ] && label=
  printf '%-22s %-8s %10.3f %10s %10s %12s %14s\n' "$label" "$tool" "$med" "$mbs" "$fps" \
    "$(awk -v k="${res_rss[$key]}" 'BEGIN { printf "%.1f", k / 1024 }')" "$ratio"
done
for name in W1 W4; do
  [ -n "${pair_ratio[$name]:-}" ] &&
    echo "  $name quillet/openssl, median of the per-pair ratios: ${pair_ratio[$name]}x (runs: ${res_all[$name quillet]} | ${res_all[$name openssl]})"
done
echo

# Peer figures measured earlier on this machine kind (mktorrent -t 2, transmission-create), seconds.
declare -A peer_mk=([W1]=1.67 [W2]=1.08 [W3]=46 [W4]=0.038)
declare -A peer_tc=([W1]=3.0 [W2]=1.09 [W3]=2.2 [W4]=0.51)
echo "Against other torrent makers: QUOTED figures, measured earlier on this machine kind,"
echo "not measured by this script (full sizes, 256 KiB pieces)"
printf '%-4s %10s %16s %21s %16s %22s\n' "" "quillet s" "mktorrent -t 2 s" "transmission-create s" "fastest quoted s" "quillet vs fastest"
for name in W1 W2 W3 W4; do
  [ -n "${res_med[$name quillet]:-}" ] || continue
  mk=${peer_mk[$name]} tc=${peer_tc[$name]}
  fastest=$(awk -v a="$mk" -v b="$tc" 'BEGIN { print (a < b ? a : b) }')
  if [ $quick = 1 ]; then
    vs="n/a (quick sizes)"
  else
    vs=$(awk -v p="$fastest" -v q="${res_med[$name quillet]}" 'BEGIN { printf "%.2fx", p / q }')
  fi
  printf '%-4s %10.3f %16s %21s %16s %22s\n' "$name" "${res_med[$name quillet]}" "$mk" "$tc" "$fastest" "$vs"
done
echo "  (quillet vs fastest = fastest quoted peer time / quillet median time, i.e. the throughput ratio;"
echo "   for W3 it is also the files-per-second ratio)"
echo

echo "Performance goals, set against this run:"
goal() { # text measured threshold min|max shown
  local verdict
  verdict=$(awk -v m="$2" -v t="$3" -v u="$4" 'BEGIN { if (u == "max") print (m <= t ? "met" : "NOT met"); else print (m >= t ? "met" : "NOT met") }')
  printf '  %-52s %-14s %s\n' "$1" "$5" "$verdict"
}
if [ $quick = 1 ]; then
  echo "  (throughput goals not judged at quick sizes)"
else
  if [ -n "${res_med[W1 quillet]:-}" ]; then
    r=$(awk -v q="${res_med[W1 quillet]}" -v o="${res_med[W1 openssl]}" 'BEGIN { printf "%.2f", o / q }')
    goal "W1 >= 3x openssl dgst -sha1 (this run)" "$r" 3 min "${r}x"
    r=$(awk -v q="${res_med[W1 quillet]}" 'BEGIN { printf "%.2f", 1.67 / q }')
    goal "W1 >= 2x fastest quoted peer" "$r" 2 min "${r}x"
  fi
  if [ -n "${res_med[W2 quillet]:-}" ]; then
    r=$(awk -v q="${res_med[W2 quillet]}" 'BEGIN { printf "%.2f", 1.08 / q }')
    goal "W2 >= 2.5x fastest quoted peer" "$r" 2.5 min "${r}x"
  fi
  if [ -n "${res_med[W3 quillet]:-}" ]; then
    r=$(awk -v q="${res_med[W3 quillet]}" 'BEGIN { printf "%.2f", 2.2 / q }')
    goal "W3 >= 4x fastest quoted peer (files/s)" "$r" 4 min "${r}x"
  fi
  if [ -n "${res_med[W4 quillet]:-}" ]; then
    r=$(awk -v q="${res_med[W4 quillet]}" 'BEGIN { printf "%.2f", 0.038 / q }')
    goal "W4 >= 1.5x fastest quoted peer" "$r" 1.5 min "${r}x"
  fi
fi
for name in W1 W2 W3 W4; do
  [ -n "${res_rss[$name quillet]:-}" ] || continue
  r=$(awk -v k="${res_rss[$name quillet]}" 'BEGIN { printf "%.1f", k / 1024 }')
  goal "$name peak RSS < 64 MiB at 256 KiB pieces" "$r" 64 max "$r MiB"
done
if [ -n "${res_rss[W1L quillet]:-}" ]; then
  r=$(awk -v k="${res_rss[W1L quillet]}" 'BEGIN { printf "%.1f", k / 1024 }')
  goal "W1 peak RSS < 320 MiB at 16 MiB pieces" "$r" 320 max "$r MiB"
fi
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
