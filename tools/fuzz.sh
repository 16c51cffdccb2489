#!/usr/bin/env bash
# Runs the fuzz targets (tests/fuzz) for a while each and prints, per target: executions,
# executions per second, libFuzzer's coverage (cov: edges, ft: features), the line coverage of
# the target's own code, and the corpus size.
#
#   tools/fuzz.sh [-t SECONDS] [TARGET...]      targets: hidp images protocol sysfs (default: all)
#
# Builds the `fuzz` preset (libFuzzer, ASan + UBSan) and the `fuzz-coverage` preset (the replay
# runners with clang's source coverage). Each target fuzzes from its committed seeds and
# regression inputs into build/fuzz/corpus/<target>, which is kept between runs; logs go to
# build/fuzz/logs, crashing inputs to build/fuzz/artifacts/<target>. Line coverage comes from
# replaying the final corpus through the coverage build, counted over the target's own source
# files only. Runs at nice 19 (FUZZ_NICE to change): the machine is shared.
# Exits 1 when a target found a failing input.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=600
while getopts "t:" opt; do
  case $opt in
    t) seconds=$OPTARG ;;
    *) sed -n '2,15p' "$0" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(hidp images protocol sysfs)
nice_level=${FUZZ_NICE:-19}

# The code each target is there to exercise; its line coverage is what the table shows.
declare -A sources=(
  [hidp]="platform/hidp/parser.cpp platform/hidp/hidp_api.cpp"
  [images]="firmware/image_check.cpp app/mcu_image.cpp app/dsp_image.cpp"
  [protocol]="protocol/lcmd.cpp protocol/answer.cpp"
  [sysfs]="platform/hidraw/sysfs.cpp platform/common/utf8.cpp"
)

tool() {  # llvm-cov / llvm-profdata, unversioned or of the installed clang
  command -v "$1" || command -v "$1-14" || { echo "fuzz: $1 not found (package llvm)" >&2; exit 2; }
}
cov=$(tool llvm-cov)
profdata=$(tool llvm-profdata)

for preset in fuzz fuzz-coverage; do
  [ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >/dev/null
done

root=$PWD/build/fuzz
mkdir -p "$root/logs"
# Scratch space for the targets (fuzz_sysfs rewrites a tree per input): memory-backed when
# possible, and gone afterwards even when a target stopped on a failing input.
scratch=$(mktemp -d /dev/shm/velto-fuzz.XXXXXX 2>/dev/null || mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export TMPDIR=$scratch
failed=0
rows=()
for t in "${targets[@]}"; do
  [ -n "${sources[$t]:-}" ] || { echo "fuzz: unknown target $t" >&2; exit 2; }
  corpus=$root/corpus/$t
  artifacts=$root/artifacts/$t
  log=$root/logs/$t.log
  mkdir -p "$corpus" "$artifacts"
  echo "fuzz: $t for ${seconds}s (log: $log)" >&2
  status=0
  nice -n "$nice_level" "$root/bin/fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$artifacts/" \
    "$corpus" "tests/fuzz/$t/seeds" "tests/fuzz/$t/regressions" >"$log" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    failed=1
    echo "fuzz: $t FAILED (exit $status); inputs in $artifacts" >&2
  fi

  execs=$(awk '/stat::number_of_executed_units/ {n += $2} END {print n + 0}' "$log")
  rate=$(awk '/stat::average_exec_per_sec/ {n += $2} END {print n + 0}' "$log")
  last=$(grep -E '^#[0-9]+' "$log" | tail -n 1)
  edges=$(sed -nE 's/.* cov: ([0-9]+).*/\1/p' <<<"$last")
  features=$(sed -nE 's/.* ft: ([0-9]+).*/\1/p' <<<"$last")
  files=$(find "$corpus" -type f | wc -l)
  bytes=$(du -sb "$corpus" | cut -f1)

  # Line coverage of the target's own code over the final corpus and the committed inputs.
  profile=$root/logs/$t
  rm -f "$profile".profraw
  LLVM_PROFILE_FILE=$profile.profraw "build/fuzz-coverage/bin/fuzz_$t" \
    "$corpus" "tests/fuzz/$t/seeds" "tests/fuzz/$t/regressions" >/dev/null 2>&1 || true
  "$profdata" merge -sparse "$profile".profraw -o "$profile".profdata
  lines=$("$cov" report "build/fuzz-coverage/bin/fuzz_$t" -instr-profile="$profile".profdata |
    awk -v files="${sources[$t]}" '
      BEGIN { n = split(files, f, " "); for (i = 1; i <= n; i++) want[f[i]] = 1 }
      ($1 in want) { total += $8; missed += $9 }
      END { if (total) printf "%.1f%%", 100 * (total - missed) / total }')

  rows+=("$(printf '%-9s %12s %9s %7s %8s %9s %8s %10s' "$t" "$execs" "$rate" \
    "${edges:-?}" "${features:-?}" "${lines:-?}" "$files" "$bytes")")
done

printf '%-9s %12s %9s %7s %8s %9s %8s %10s\n' target execs exec/s cov ft lines files bytes
printf '%s\n' "${rows[@]}"
exit $failed
