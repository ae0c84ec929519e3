#!/usr/bin/env bash
# Benchmark of the restore. On a compressed set of about 512 MiB (one disk
# and three disks) it times `unbak -x` as built (whole groups inflated with
# libdeflate when it is there), `unbak -x` built without libdeflate, a tight
# zlib loop, and the extractors a user might pick instead: `unzip -q -o` and
# `bsdtar -xf` on a zip (deflate) of the same files. On a stored set of the
# same files it times `unbak -x` against a plain 128 KiB copy. It reports
# unbak's peak memory on the compressed set and on the same files at 4x the
# size, and times `-l` on catalogs of 20,000 and 200,000 files. bak is timed
# beside unbak -x: bak test and bak extract on each set, and on the 1-disk
# set with -j 1, -j 2 and every power of two up to the processors present
# (threads inflating), with reading the image alone (cat to /dev/null) as
# the floor. bak convert to .tar (-j 1) is timed beside bak extract -j 1 on
# the 1-disk set, and to .zip and .tar.zst once; bak mount (the set
# mounted, every file read with cat, unmounted; skipped with the reason
# where FUSE cannot be used) beside bak extract -j 1, with the mount's
# peak memory. The times come side by side, the ratios last, one per line.
#
#   scripts/bench.sh            the above
#   scripts/bench.sh --scale    and a set of about 4 GiB on 4 images,
#                               restored to disk (not tmpfs) once, with
#                               time and peak memory
#
# Environment:
#   UNBAK_BENCH_DIR    scratch directory for the sets (/tmp/unbak-bench)
#   UNBAK_BENCH_OUT    where the restores write (/dev/shm/unbak-bench-out when
#                      /dev/shm is there: a tmpfs keeps the file system's own
#                      costs, the same for every program, out of the ratios)
#   UNBAK_BENCH_BUILD  build directory (build-bench; build-bench-zlib for the
#                      build without libdeflate)
#   UNBAK_BENCH_RUNS   timed runs of each command (5); medians are compared
#   UNBAK              an unbak binary to measure instead of the one built here
#   UNBAK_ZLIB         the same for the build without libdeflate
# Debian packages it needs and installs when missing: time, zip, unzip,
# libarchive-tools.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scale=false
case ${1:-} in
--scale) scale=true ;;
"") ;;
*) echo "usage: scripts/bench.sh [--scale]" >&2; exit 2 ;;
esac
data=${UNBAK_BENCH_DIR:-/tmp/unbak-bench}
build=${UNBAK_BENCH_BUILD:-build-bench}
runs=${UNBAK_BENCH_RUNS:-5}
mkdir -p "$data"
data=$(cd "$data" && pwd)
case $build in /*) ;; *) build=$root/$build ;; esac

. scripts/deps.sh
need_debian_packages bench

echo "building into $build and $build-zlib" >&2
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUNBAK_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target unbak bak >/dev/null
cmake -S . -B "$build-zlib" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUNBAK_TESTS=OFF \
      -DUNBAK_LIBDEFLATE=OFF >/dev/null
cmake --build "$build-zlib" -j2 --target unbak >/dev/null
cmake -S bench -B "$build/bench" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build/bench" -j2 >/dev/null
abs() { echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"; }
unbak=$(abs "${UNBAK:-$build/unbak}")
unbak_zlib=$(abs "${UNBAK_ZLIB:-$build-zlib/unbak}")
bak=$(abs "$build/bak")
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
if $scale && ! fresh "$data/x8/info.txt"; then
    echo "writing the 4 GiB compressed set on 4 disks" >&2
    rm -rf "$data/x8" && mkdir -p "$data/x8"
    (cd "$data" && "$gen" data x8 8 -d 4)
fi

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
answers_for() {
    local n
    n=$(set -- $1; echo $#)
    if [ "$n" -gt 1 ]; then
        { printf 'N\n'; for i in $1; do printf '%s\n' "$i"; done; } >"$2"
    else
        : >"$2"
    fi
}
answers_for "$comp1" "$answers.1"
answers_for "$comp3" "$answers.3"
answers_for "$comp4" "$answers.4"

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
# prints its wall time in seconds. (What a run says on stderr, bak's
# summaries, is not shown: the trees are compared before timing.)
timed() {
    local input=$1
    shift
    clean_out
    local t0=$EPOCHREALTIME
    (cd "$out" && "$@" <"$input" >/dev/null 2>&1)
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

# The zip of the set's files, written once from the files the copy baseline
# restores (deflate at zip's default level).
zipfile=$data/x1/files.zip
if ! fresh "$zipfile" || [ "$zipfile" -ot "$data/x1/info.txt" ]; then
    echo "writing the zip of the 512 MiB set" >&2
    rm -f "$zipfile"
    timed /dev/null "$baseline" copy "$data/x1/manifest.txt" $stored >/dev/null
    (cd "$out" && zip -q -r "$zipfile" C_)
fi

echo "checking that every program restores what the baselines write" >&2
check() {
    local what=$1 want=$2 input=$3
    shift 3
    timed "$input" "$@" >/dev/null
    if [ "$(tree_sum)" != "$want" ]; then
        echo "$what restores other files than the baseline" >&2
        exit 1
    fi
}
timed /dev/null "$baseline" zlib "$data/x1/manifest.txt" $comp1 >/dev/null
want=$(tree_sum)
check "unbak, 1 disk" "$want" "$answers.1" "$unbak" "$(last_of "$comp1")" -x
check "unbak, 3 disks" "$want" "$answers.3" "$unbak" "$(last_of "$comp3")" -x
check "unbak without libdeflate" "$want" "$answers.1" "$unbak_zlib" "$(last_of "$comp1")" -x
check "unbak, stored" "$want" "$answers.1" "$unbak" "$(last_of "$stored")" -x
check "the copy baseline" "$want" /dev/null "$baseline" copy "$data/x1/manifest.txt" $stored
check "unzip" "$want" /dev/null unzip -q -o "$zipfile"
check "bsdtar" "$want" /dev/null bsdtar -xf "$zipfile"
# bak finds each set's other images by their headers: one image names it.
check "bak extract, 1 disk" "$want" /dev/null "$bak" extract "$(last_of "$comp1")"
check "bak extract, 3 disks" "$want" /dev/null "$bak" extract "${comp3%% *}"
check "bak extract, stored" "$want" /dev/null "$bak" extract "$(last_of "$stored")"
# bak convert's tar, unpacked, is the same tree.
check "bak convert .tar" "$want" /dev/null sh -c \
    "\"\$0\" convert \"\$1\" files.tar && bsdtar -xf files.tar && rm files.tar" \
    "$bak" "$(last_of "$comp1")"

# bak mount: the set mounted, every file read once with cat, unmounted;
# prints the seconds the reading took. BENCH_MOUNT_PEAK gets the daemon's
# peak memory (KiB) and BENCH_MOUNT_SUM the checksum of what was read.
mount_skip=""
if [ ! -r /dev/fuse ] || [ ! -w /dev/fuse ]; then
    mount_skip="/dev/fuse cannot be opened"
elif ! command -v fusermount3 >/dev/null; then
    mount_skip="fusermount3 is not installed (Debian package fuse3)"
elif "$bak" --help | grep -q 'mount .*not available'; then
    mount_skip="bak is built without mount (no libfuse3-dev)"
fi
mnt=$data/mnt
mount_cat() {
    mkdir -p "$mnt"
    if ! "$bak" mount "$1" "$mnt" >/dev/null 2>&1; then
        echo "bak mount $1 failed" >&2
        exit 1
    fi
    local pid t0 t1
    pid=$(pgrep -n -f -- "$bak mount $1 $mnt")
    t0=$EPOCHREALTIME
    (cd "$mnt" && find . -type f -print0 | xargs -0 cat >/dev/null)
    t1=$EPOCHREALTIME
    if [ "${2:-}" = check ]; then
        BENCH_MOUNT_SUM=$(cd "$mnt" && find . -type f -print0 | sort -z | xargs -0 md5sum | md5sum |
                          cut -d' ' -f1)
    fi
    BENCH_MOUNT_PEAK=$(awk '$1 == "VmHWM:" { print $2 }' "/proc/$pid/status")
    fusermount3 -u "$mnt"
    # The daemon ends once unmounted.
    while kill -0 "$pid" 2>/dev/null; do sleep 0.1; done
    awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f\n", b - a }'
}
if [ -z "$mount_skip" ]; then
    mount_cat "$(last_of "$comp1")" check >/dev/null
    if [ "$BENCH_MOUNT_SUM" != "$want" ]; then
        echo "bak mount shows other files than the baseline restores" >&2
        exit 1
    fi
fi

# The thread counts: 1, 2, 4, ... up to the processors present.
cores=$(nproc 2>/dev/null || echo 1)
jobs_list=(1)
for ((j = 2; j <= cores || j == 2; j *= 2)); do jobs_list+=("$j"); done
declare -A t_tj t_xj
t_cat=()
declare -a t_bm1 t_bm3 t_bc1 t_bt1 t_bt3 t_bts t_bx1 t_bx3 t_zlib t_u1 t_u3 t_z1 t_z3 t_copy t_us t_unzip t_bsdtar t_l20 t_l200
echo "timing, $runs runs each" >&2
for ((r = 1; r <= runs; r++)); do
    t_zlib+=("$(timed /dev/null "$baseline" zlib "$data/x1/manifest.txt" $comp1)")
    t_u1+=("$(timed "$answers.1" "$unbak" "$(last_of "$comp1")" -x)")
    t_z1+=("$(timed "$answers.1" "$unbak_zlib" "$(last_of "$comp1")" -x)")
    t_u3+=("$(timed "$answers.3" "$unbak" "$(last_of "$comp3")" -x)")
    t_z3+=("$(timed "$answers.3" "$unbak_zlib" "$(last_of "$comp3")" -x)")
    t_unzip+=("$(timed /dev/null unzip -q -o "$zipfile")")
    t_bsdtar+=("$(timed /dev/null bsdtar -xf "$zipfile")")
    t_copy+=("$(timed /dev/null "$baseline" copy "$data/x1/manifest.txt" $stored)")
    t_us+=("$(timed "$answers.1" "$unbak" "$(last_of "$stored")" -x)")
    t_bt1+=("$(timed /dev/null "$bak" test -q "$(last_of "$comp1")")")
    t_bt3+=("$(timed /dev/null "$bak" test -q "${comp3%% *}")")
    t_bts+=("$(timed /dev/null "$bak" test -q "$(last_of "$stored")")")
    t_bx1+=("$(timed /dev/null "$bak" extract "$(last_of "$comp1")")")
    t_bx3+=("$(timed /dev/null "$bak" extract "${comp3%% *}")")
    t_bc1+=("$(timed /dev/null "$bak" convert -j 1 "$(last_of "$comp1")" files.tar)")
    if [ -z "$mount_skip" ]; then
        t_bm1+=("$(mount_cat "$(last_of "$comp1")")")
        t_bm3+=("$(mount_cat "${comp3%% *}")")
    fi
    t_l20+=("$(timed /dev/null "$unbak" "$data/l20000/list.001" -l)")
    for j in "${jobs_list[@]}"; do
        t_tj[$j]+="$(timed /dev/null "$bak" test -q -j "$j" "$(last_of "$comp1")") "
        t_xj[$j]+="$(timed /dev/null "$bak" extract -j "$j" "$(last_of "$comp1")") "
    done
    t_cat+=("$(timed /dev/null cat "$(last_of "$comp1")")")
    t_l200+=("$(timed /dev/null "$unbak" "$data/l200000/list.001" -l)")
done

# Wall time in seconds and peak memory (maximum resident set, KiB) of one
# run, in the output directory given.
time_and_peak() {
    local dir=$1 input=$2
    shift 2
    rm -rf "$dir" && mkdir -p "$dir"
    (cd "$dir" && /usr/bin/time -f 'TIMED %e %M' "$@" <"$input" 2>&1 >/dev/null) |
        awk '$1 == "TIMED" { print $2, $3 }'
}
echo "measuring peak memory" >&2
read -r _ rss1 < <(time_and_peak "$out" "$answers.1" "$unbak" "$(last_of "$comp1")" -x)
read -r _ rss4 < <(time_and_peak "$out" "$answers.4" "$unbak" "$(last_of "$comp4")" -x)
read -r _ brss1 < <(time_and_peak "$out" /dev/null "$bak" extract "$(last_of "$comp1")")
read -r _ brss4 < <(time_and_peak "$out" /dev/null "$bak" extract "$(last_of "$comp4")")
if [ -z "$mount_skip" ]; then
    mount_cat "$(last_of "$comp1")" >/dev/null
    mrss1=$BENCH_MOUNT_PEAK
fi
rm -rf "$out"
largest1=$(info_value largest_group "$data/x1")
largest4=$(info_value largest_group "$data/x4")
limit_of() { echo $(( (16 * 1048576 + 2 * $1) / 1024 )); }
limit1=$(limit_of "$largest1")
limit4=$(limit_of "$largest4")
within() { [ "$1" -le "$2" ] && echo within || echo OVER; }

if $scale; then
    comp8=$(images_of comp "$data/x8")
    answers_for "$comp8" "$answers.8"
    scale_out=$data/scale-out
    echo "restoring the 4 GiB set to $scale_out" >&2
    read -r t8 rss8 < <(time_and_peak "$scale_out" "$answers.8" "$unbak" "$(last_of "$comp8")" -x)
    read -r t8z _ < <(time_and_peak "$scale_out" /dev/null "$baseline" zlib "$data/x8/manifest.txt" $comp8)
    rm -rf "$scale_out"
    largest8=$(info_value largest_group "$data/x8")
    limit8=$(limit_of "$largest8")
fi

m_zlib=$(median "${t_zlib[@]}")
m_u1=$(median "${t_u1[@]}")
m_z1=$(median "${t_z1[@]}")
m_u3=$(median "${t_u3[@]}")
m_z3=$(median "${t_z3[@]}")
m_unzip=$(median "${t_unzip[@]}")
m_bsdtar=$(median "${t_bsdtar[@]}")
m_copy=$(median "${t_copy[@]}")
m_us=$(median "${t_us[@]}")
m_l20=$(median "${t_l20[@]}")
m_l200=$(median "${t_l200[@]}")
m_bt1=$(median "${t_bt1[@]}")
m_bt3=$(median "${t_bt3[@]}")
m_bts=$(median "${t_bts[@]}")
m_bx1=$(median "${t_bx1[@]}")
m_bx3=$(median "${t_bx3[@]}")
m_bc1=$(median "${t_bc1[@]}")
# The compressing kinds, once each: their time is the compressor's.
t_bczip=$(timed /dev/null "$bak" convert "$(last_of "$comp1")" files.zip)
t_bczst=$(timed /dev/null "$bak" convert "$(last_of "$comp1")" files.tar.zst)

row() { printf '  %-22s %9s %11s %10s %13s %8s %8s\n' "$@"; }
echo
echo "unbak:                   $unbak"
echo "unbak without libdeflate: $unbak_zlib"
echo "restores into $out"
echo "sets: $(awk '$1 == "files"' "$data/x1/info.txt")"
echo "      $(awk '$1 == "files"' "$data/x4/info.txt")"
echo "times in seconds, median of $runs runs:"
row "" "unbak -x" "no libdefl." "zlib loop" "128 KiB copy" "unzip" "bsdtar"
row "compressed, 1 disk" "$m_u1" "$m_z1" "$m_zlib" - "$m_unzip" "$m_bsdtar"
row "compressed, 3 disks" "$m_u3" "$m_z3" "$m_zlib" - - -
row "stored" "$m_us" - - "$m_copy" - -
echo "  -l: 20,000 files $m_l20   200,000 files $m_l200"
echo "  bak test: 1 disk $m_bt1   3 disks $m_bt3   stored $m_bts"
echo "  bak extract: 1 disk $m_bx1   3 disks $m_bx3"
echo "  bak on threads, 1 disk (cat of the image alone: $(median "${t_cat[@]}")):"
for j in "${jobs_list[@]}"; do
    echo "    -j $j   test $(median ${t_tj[$j]})   extract $(median ${t_xj[$j]})"
done
echo "  bak convert, 1 disk: .tar $m_bc1   .zip $t_bczip   .tar.zst $t_bczst (once)"
if [ -z "$mount_skip" ]; then
    m_bm1=$(median "${t_bm1[@]}")
    m_bm3=$(median "${t_bm3[@]}")
    echo "  bak mount, cat of every file: 1 disk $m_bm1   3 disks $m_bm3"
else
    echo "  bak mount: skipped: $mount_skip"
fi
echo "every run:"
echo "  unbak -x, 1 disk:      ${t_u1[*]}"
echo "  no libdeflate, 1 disk: ${t_z1[*]}"
echo "  unbak -x, 3 disks:     ${t_u3[*]}"
echo "  no libdeflate, 3 disks: ${t_z3[*]}"
echo "  zlib loop:             ${t_zlib[*]}"
echo "  unzip:                 ${t_unzip[*]}"
echo "  bsdtar:                ${t_bsdtar[*]}"
echo "  unbak -x, stored:      ${t_us[*]}"
echo "  128 KiB copy:          ${t_copy[*]}"
echo "  -l 20,000 / 200,000:   ${t_l20[*]} / ${t_l200[*]}"
echo "  bak test 1 / 3 disks:  ${t_bt1[*]} / ${t_bt3[*]}"
echo "  bak extract 1 / 3 disks: ${t_bx1[*]} / ${t_bx3[*]}"
echo "  bak convert .tar, 1 disk: ${t_bc1[*]}"
[ -z "$mount_skip" ] && echo "  bak mount 1 / 3 disks:   ${t_bm1[*]} / ${t_bm3[*]}"
echo "peak memory of unbak -x (maximum resident set):"
echo "  512 MiB set $rss1 KiB, $(within "$rss1" "$limit1") 16 MiB + 2 x largest group" \
    "($largest1 bytes) = $limit1 KiB"
echo "  2 GiB set   $rss4 KiB, $(within "$rss4" "$limit4") 16 MiB + 2 x largest group" \
    "($largest4 bytes) = $limit4 KiB"
# bak on N threads holds 2N + 2 groups.
blimit_of() { echo $(( (16 * 1048576 + (2 * cores + 2) * $1) / 1024 )); }
blimit1=$(blimit_of "$largest1")
blimit4=$(blimit_of "$largest4")
echo "peak memory of bak extract (-j $cores), within 16 MiB + (2 x $cores + 2) x largest group:" \
    "512 MiB set $brss1 KiB, $(within "$brss1" "$blimit1") $blimit1 KiB;" \
    "2 GiB set $brss4 KiB, $(within "$brss4" "$blimit4") $blimit4 KiB"
if [ -z "$mount_skip" ]; then
    echo "peak memory of bak mount (the daemon, --cache 64): 512 MiB set $mrss1 KiB"
fi
if $scale; then
    echo "scale point: $(awk '$1 == "files"' "$data/x8/info.txt")"
    echo "  4 disks restored to $scale_out: unbak -x $t8 s, zlib loop $t8z s," \
        "peak $rss8 KiB, $(within "$rss8" "$limit8") $limit8 KiB"
fi
echo "ratios (targets: <= 0.75, <= 0.75, without libdeflate <= 1.15, <= 1.15, < 1, < 1, <= 12," \
    "<= 0.8, <= 1):"
echo "compressed 1 disk unbak/zlib $(ratio "$m_u1" "$m_zlib")"
echo "compressed 3 disks unbak/zlib $(ratio "$m_u3" "$m_zlib")"
echo "compressed without libdeflate 1 disk $(ratio "$m_z1" "$m_zlib"), 3 disks $(ratio "$m_z3" "$m_zlib")"
echo "stored unbak/copy $(ratio "$m_us" "$m_copy")"
echo "compressed 1 disk unbak/unzip $(ratio "$m_u1" "$m_unzip")"
echo "compressed 1 disk unbak/bsdtar $(ratio "$m_u1" "$m_bsdtar")"
echo "list 200k/20k $(ratio "$m_l200" "$m_l20")"
echo "bak test/unbak -x: 1 disk $(ratio "$m_bt1" "$m_u1"), 3 disks $(ratio "$m_bt3" "$m_u3")," \
    "stored $(ratio "$m_bts" "$m_us")"
echo "bak extract/unbak -x: 1 disk $(ratio "$m_bx1" "$m_u1"), 3 disks $(ratio "$m_bx3" "$m_u3")"
m_t1=$(median ${t_tj[1]})
m_x1=$(median ${t_xj[1]})
for j in "${jobs_list[@]:1}"; do
    echo "bak -j $j/-j 1 (targets at -j 2: test <= 0.55, extract <= 0.65): test" \
        "$(ratio "$(median ${t_tj[$j]})" "$m_t1"), extract $(ratio "$(median ${t_xj[$j]})" "$m_x1")"
done
echo "bak convert .tar/bak extract, 1 disk (both -j 1; target <= 1.2): $(ratio "$m_bc1" "$m_x1")"
if [ -z "$mount_skip" ]; then
    # Throughput of the mount against bak extract -j 1's (target >= 0.7).
    echo "bak mount throughput/bak extract -j 1's: 1 disk $(ratio "$m_x1" "$m_bm1");" \
        "3 disks, against bak extract: $(ratio "$m_bx3" "$m_bm3")"
fi
$scale && echo "scale point unbak/zlib $(ratio "$t8" "$t8z")"
exit 0
