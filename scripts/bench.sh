#!/usr/bin/env bash
# Benchmark of the restore: times `unbak -x` on a compressed set of about
# 512 MiB (one disk and three disks) against a tight zlib loop, and on a
# stored set of the same files against a plain 128 KiB copy; reports unbak's
# peak memory on that set and on the same files at 4x the size; times `-l` on
# catalogs of 20,000 and 200,000 files. The ratios come last, one per line.
#
# Environment:
#   UNBAK_BENCH_DIR    scratch directory for the sets (/tmp/unbak-bench)
#   UNBAK_BENCH_OUT    where the restores write (/dev/shm/unbak-bench-out when
#                      /dev/shm is there: a tmpfs keeps the file system's own
#                      costs, the same for every program, out of the ratios)
#   UNBAK_BENCH_BUILD  build directory (build-bench)
#   UNBAK_BENCH_RUNS   timed runs of each command (5); medians are compared
#   UNBAK              an unbak binary to measure instead of the one built here
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
data=${UNBAK_BENCH_DIR:-/tmp/unbak-bench}
build=${UNBAK_BENCH_BUILD:-build-bench}
runs=${UNBAK_BENCH_RUNS:-5}
mkdir -p "$data"
data=$(cd "$data" && pwd)
case $build in /*) ;; *) build=$root/$build ;; esac

if [ ! -x /usr/bin/time ]; then
    echo "installing the Debian package time (for /usr/bin/time -v)" >&2
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get install -y time >/dev/null ||
        { $sudo apt-get update >/dev/null && $sudo apt-get install -y time >/dev/null; }
fi

echo "building into $build" >&2
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUNBAK_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target unbak >/dev/null
cmake -S bench -B "$build/bench" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build/bench" -j2 >/dev/null
unbak=${UNBAK:-$build/unbak}
unbak=$(cd "$(dirname "$unbak")" && pwd)/$(basename "$unbak")
gen=$build/bench/benchgen
baseline=$build/bench/baseline

# Sets are written once and kept until the generator changes.
fresh() { [ -f "$1" ] && [ "$1" -nt "$gen" ]; }
if ! fresh "$data/x1/info.txt"; then
    echo "writing the 512 MiB sets (compressed on 1 and 3 disks, stored)" >&2
    rm -rf "$data/x1" && mkdir -p "$data/x1"
    (cd "$data" && "$gen" data x1 1 -3 -s)
fi
if ! fresh "$data/x4/info.txt"; then
    echo "writing the 2 GiB compressed set" >&2
    rm -rf "$data/x4" && mkdir -p "$data/x4"
    (cd "$data" && "$gen" data x4 4)
fi
for n in 20000 200000; do
    if ! fresh "$data/l$n/list.001"; then
        echo "writing the catalog of $n files" >&2
        rm -rf "$data/l$n" && mkdir -p "$data/l$n"
        "$gen" catalog "$data/l$n" "$n"
    fi
done

# info.txt lines: "<set> <disks> <image>..." and one line of totals.
images_of() {
    awk -v s="$1" -v d="$data" '$1 == s { for (i = 3; i <= NF; i++) printf "%s/%s ", d, $i }' \
        "$2/info.txt"
}
info_value() {
    awk -v k="$1" '$1 == "files" { for (i = 1; i < NF; i++) if ($i == k) print $(i + 1) }' \
        "$2/info.txt"
}
comp1=$(images_of comp "$data/x1")
comp3=$(images_of comp3 "$data/x1")
stored=$(images_of stored "$data/x1")
comp4=$(images_of comp "$data/x4")
last_of() { local a=($1); echo "${a[${#a[@]}-1]}"; }

# Answers for a restore from the last disk of a multi-disk set: N, then the
# image names in order.
answers=$data/answers
: >"$answers.1"
{ printf 'N\n'; for i in $comp3; do printf '%s\n' "$i"; done; } >"$answers.3"
n4=$(set -- $comp4; echo $#)
if [ "$n4" -gt 1 ]; then
    { printf 'N\n'; for i in $comp4; do printf '%s\n' "$i"; done; } >"$answers.4"
else
    : >"$answers.4"
fi

out=${UNBAK_BENCH_OUT:-}
if [ -z "$out" ]; then
    out=$data/out
    [ -d /dev/shm ] && [ -w /dev/shm ] && out=/dev/shm/unbak-bench-out
fi
clean_out() {
    rm -rf "$out"
    mkdir "$out"
    sync
}

# Runs a command in a fresh output directory with stdin from a file;
# prints its wall time in seconds.
timed() {
    local input=$1
    shift
    clean_out
    local t0=$EPOCHREALTIME
    (cd "$out" && "$@" <"$input" >/dev/null)
    local t1=$EPOCHREALTIME
    awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f\n", b - a }'
}

median() {
    printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 }
        END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# Checksum of every file below the output directory, for the sanity check.
tree_sum() {
    (cd "$out" && find . -type f -print0 | sort -z | xargs -0 md5sum | md5sum | cut -d' ' -f1)
}

echo "checking that unbak restores what the baselines write" >&2
for set in 1 3 s; do
    case $set in
    1) imgs=$comp1; input=$answers.1; base=(zlib "$data/x1/manifest.txt" $comp1) ;;
    3) imgs=$comp3; input=$answers.3; base=(zlib "$data/x1/manifest.txt" $comp3) ;;
    s) imgs=$stored; input=$answers.1; base=(copy "$data/x1/manifest.txt" $stored) ;;
    esac
    timed "$input" "$unbak" "$(last_of "$imgs")" -x >/dev/null
    a=$(tree_sum)
    timed /dev/null "$baseline" "${base[@]}" >/dev/null
    b=$(tree_sum)
    if [ "$a" != "$b" ]; then
        echo "unbak's restore of set $set differs from the baseline's files" >&2
        exit 1
    fi
done

declare -a t_zlib t_u1 t_u3 t_copy t_us
echo "timing, $runs runs each" >&2
for ((r = 1; r <= runs; r++)); do
    t_zlib+=("$(timed /dev/null "$baseline" zlib "$data/x1/manifest.txt" $comp1)")
    t_u1+=("$(timed "$answers.1" "$unbak" "$(last_of "$comp1")" -x)")
    t_u3+=("$(timed "$answers.3" "$unbak" "$(last_of "$comp3")" -x)")
    t_copy+=("$(timed /dev/null "$baseline" copy "$data/x1/manifest.txt" $stored)")
    t_us+=("$(timed "$answers.1" "$unbak" "$(last_of "$stored")" -x)")
done

declare -a t_l20 t_l200
for ((r = 1; r <= runs; r++)); do
    t_l20+=("$(timed /dev/null "$unbak" "$data/l20000/list.001" -l)")
    t_l200+=("$(timed /dev/null "$unbak" "$data/l200000/list.001" -l)")
done

# Peak memory: maximum resident set of one restore of each compressed set.
peak_kib() {
    local input=$1
    shift
    clean_out
    (cd "$out" && /usr/bin/time -v "$@" <"$input" 2>&1 >/dev/null) |
        awk -F': ' '/Maximum resident set size/ { print $2 }'
}
echo "measuring peak memory" >&2
rss1=$(peak_kib "$answers.1" "$unbak" "$(last_of "$comp1")" -x)
rss4=$(peak_kib "$answers.4" "$unbak" "$(last_of "$comp4")" -x)
rm -rf "$out"
largest1=$(info_value largest_group "$data/x1")
largest4=$(info_value largest_group "$data/x4")
limit1=$(( (16 * 1048576 + largest1) / 1024 ))
limit4=$(( (16 * 1048576 + largest4) / 1024 ))
within() { [ "$1" -le "$2" ] && echo within || echo OVER; }

m_zlib=$(median "${t_zlib[@]}")
m_u1=$(median "${t_u1[@]}")
m_u3=$(median "${t_u3[@]}")
m_copy=$(median "${t_copy[@]}")
m_us=$(median "${t_us[@]}")
m_l20=$(median "${t_l20[@]}")
m_l200=$(median "${t_l200[@]}")

echo
echo "unbak: $unbak  (restores into $out)"
echo "sets: $(awk '$1 == "files"' "$data/x1/info.txt")"
echo "      $(awk '$1 == "files"' "$data/x4/info.txt")"
echo "times in seconds, median of $runs:"
echo "  compressed, 1 disk   unbak -x $m_u1   zlib loop $m_zlib    (${t_u1[*]} / ${t_zlib[*]})"
echo "  compressed, 3 disks  unbak -x $m_u3   zlib loop $m_zlib    (${t_u3[*]})"
echo "  stored               unbak -x $m_us   128 KiB copy $m_copy (${t_us[*]} / ${t_copy[*]})"
echo "  -l 20,000 files $m_l20   -l 200,000 files $m_l200"
echo "peak memory (maximum resident set):"
echo "  512 MiB set $rss1 KiB, $(within "$rss1" "$limit1") 16 MiB + largest group" \
    "($largest1 bytes) = $limit1 KiB"
echo "  2 GiB set   $rss4 KiB, $(within "$rss4" "$limit4") 16 MiB + largest group" \
    "($largest4 bytes) = $limit4 KiB"
echo "ratios (targets: <= 1.4, <= 1.4, <= 1.5, <= 12):"
echo "compressed 1 disk unbak/zlib $(ratio "$m_u1" "$m_zlib")"
echo "compressed 3 disks unbak/zlib $(ratio "$m_u3" "$m_zlib")"
echo "stored unbak/copy $(ratio "$m_us" "$m_copy")"
echo "list 200k/20k $(ratio "$m_l200" "$m_l20")"
