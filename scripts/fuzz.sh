#!/usr/bin/env bash
# Coverage-guided fuzzing of unbak and dbfscan with libFuzzer (clang).
#
#   scripts/fuzz.sh TARGET SECONDS [FLAGS]  fuzz TARGET (unbak, unbak-struct or dbfscan)
#                                           for SECONDS, with extra libFuzzer FLAGS if given
#   scripts/fuzz.sh TARGET merge            minimize the corpus into tests/regress/corpus/TARGET
#
# unbak-struct is unbak's target with the structure-aware mutator
# (fuzz/mutator.cpp): same program, same seeds and kept inputs, its own
# corpus; its merge goes into tests/regress/corpus/unbak together with
# unbak's corpus.
#
# Builds the fuzz targets in build-fuzz/ (clang, ASan + UBSan), writes the seed
# corpora with the image writer on first use, and runs one fuzzing process on
# one core. Everything it writes lives in fuzz-out/ (not tracked):
#   fuzz-out/corpus/TARGET     the growing corpus
#   fuzz-out/seeds/TARGET      writer-made seeds
#   fuzz-out/artifacts/TARGET  crashing, leaking, slow or oversized inputs
#   fuzz-out/logs/TARGET       libFuzzer's log of each run
# Inputs kept as regression cases (tests/regress/TARGET, tests/regress/corpus/
# TARGET, gzip-compressed) are replayed by the test suite and seed every run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

target=${1:-}
what=${2:-}
extra=("${@:3}")
usage="usage: scripts/fuzz.sh unbak|unbak-struct|dbfscan SECONDS [FLAGS] | merge"
# The program fuzzed (its seeds, kept inputs and merged corpus) and the
# fuzzer binary.
case "$target" in
  unbak|dbfscan) program=$target; binary=fuzz_$target ;;
  unbak-struct) program=unbak; binary=fuzz_unbak_struct ;;
  *) echo "$usage" >&2; exit 2 ;;
esac
if [[ ! "$what" =~ ^[0-9]+$ && "$what" != merge ]]; then
  echo "$usage" >&2
  exit 2
fi

cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUNBAK_FUZZ=ON -DUNBAK_TESTS=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-fuzz -j2 --target "$binary" fuzz_seeds >/dev/null

out="$root/fuzz-out"
seeds="$out/seeds/$program"
corpus="$out/corpus/$target"
artifacts="$out/artifacts/$target"
logs="$out/logs/$target"
kept="$out/kept/$target"
mkdir -p "$corpus" "$artifacts" "$logs"
if [[ ! -d "$seeds" ]]; then
  mkdir -p "$out/seeds"
  ./build-fuzz/fuzz_seeds "$out/seeds/unbak" "$out/seeds/dbfscan"
fi

# The kept regression inputs, unpacked so libFuzzer can read them.
rm -rf "$kept"
mkdir -p "$kept"
for f in tests/regress/"$program"/*.gz tests/regress/corpus/"$program"/*.gz; do
  [[ -e "$f" ]] || continue
  gzip -dc "$f" >"$kept/$(basename "${f%.gz}")"
done

fuzzer="$root/build-fuzz/$binary"
common=(-dict="$root/fuzz/format.dict" -rss_limit_mb=2048 -malloc_limit_mb=2048 -timeout=25)

if [[ "$what" == merge ]]; then
  # A fresh minimal corpus that keeps every feature of the corpus, the seeds
  # and the kept inputs; stored compressed under tests/regress/corpus/. For
  # unbak the corpora of both mutators are merged.
  fresh="$out/merged/$program"
  rm -rf "$fresh"
  mkdir -p "$fresh"
  corpora=("$corpus")
  if [[ "$program" == unbak ]]; then
    corpora=()
    for c in "$out/corpus/unbak" "$out/corpus/unbak-struct"; do
      [[ -d "$c" ]] && corpora+=("$c")
    done
  fi
  "$fuzzer" -merge=1 "${common[@]}" "$fresh" "${corpora[@]}" "$seeds" "$kept" 2>&1 | tail -n 3
  dest="tests/regress/corpus/$program"
  rm -rf "$dest"
  mkdir -p "$dest"
  for f in "$fresh"/*; do
    gzip -9nc "$f" >"$dest/$(basename "$f").gz"
  done
  echo "$(ls "$dest" | wc -l) inputs, $(du -sh "$dest" | cut -f1) in $dest"
  exit 0
fi

# One fuzzing process on one core (the machine is shared). libFuzzer writes
# the job's log to fuzz-0.log in the log directory (follow it with tail -f);
# it is kept per run, and its summary shown at the end.
cd "$logs"
echo "fuzzing $target for $what s; log: $logs/fuzz-0.log"
status=0
"$fuzzer" "${common[@]}" -max_total_time="$what" -print_final_stats=1 -workers=1 -jobs=1 \
  -artifact_prefix="$artifacts/" "${extra[@]}" "$corpus" "$seeds" "$kept" >/dev/null 2>&1 || status=$?
log="run-$(date +%Y%m%d-%H%M%S).log"
mv fuzz-0.log "$log"
grep -E '^#[0-9]+[[:space:]]+(INITED|pulse|DONE)|^stat::|ERROR|SUMMARY|Test unit written' "$log" | tail -n 12
echo "log: $logs/$log"
exit "$status"
