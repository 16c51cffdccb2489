#!/usr/bin/env bash
# Soak test, run by hand: N consecutive unattended updates of the simulated device
# (velto-update-sim --auto), one process each, in one condition:
#   plain  headless (-platform offscreen)
#   busy   headless, with two busy loops beside the runs on the machine's cores
#   log    under Xvfb (with openbox when it is installed), the "Hid Data" log window opened
#          (Ctrl+Shift+H, sent with xdotool) as a technician would
# Prints one line per run (result, exit code, wall time, peak RSS, most threads and most open
# descriptors seen) and a summary, so that a failure, a leak or a drift shows.
#
#   tools/soak.sh [-n N] [-c plain|busy|log] [-b BUILD_DIR] [-t TIMEOUT_S]
#
# Installs nothing. The log condition needs Xvfb and xdotool (Debian: xvfb, xdotool; openbox
# optional). Each run's output is kept in a scratch folder, named at the end.
set -euo pipefail

runs=20
condition=plain
build="$(cd "$(dirname "$0")/.." && pwd)/build/default"
timeout=300
while getopts "n:c:b:t:h" opt; do
  case "$opt" in
    n) runs="$OPTARG" ;;
    c) condition="$OPTARG" ;;
    b) build="$OPTARG" ;;
    t) timeout="$OPTARG" ;;
    *) sed -n '2,15p' "$0"; exit 2 ;;
  esac
done
case "$condition" in plain|busy|log) ;; *) echo "soak: unknown condition $condition" >&2; exit 2 ;; esac
[[ "$runs" =~ ^[1-9][0-9]*$ ]] || { echo "soak: -n needs a positive number" >&2; exit 2; }

bin="$build/bin/velto-update-sim"
[ -x "$bin" ] || { echo "soak: $bin not found (build it first)" >&2; exit 2; }
if [ "$condition" = log ]; then
  for tool in Xvfb xdotool; do
    command -v "$tool" >/dev/null || { echo "soak: $tool is needed (apt-get install xvfb xdotool)" >&2; exit 2; }
  done
fi

out="$(mktemp -d /tmp/velto-soak.XXXXXX)"
helpers=()  # processes this script started besides the runs, stopped at the end
cleanup() {
  for pid in "${helpers[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${helpers[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

args=(--auto --timeout "$timeout")
if [ "$condition" = busy ]; then
  for _ in 1 2; do
    ( while :; do :; done ) &
    helpers+=($!)
  done
fi
if [ "$condition" = log ]; then
  display=":$(( 90 + RANDOM % 100 ))"
  Xvfb "$display" -screen 0 1366x768x24 -nolisten tcp >"$out/xvfb.log" 2>&1 &
  helpers+=($!)
  export DISPLAY="$display"
  for _ in $(seq 50); do xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.1; done
  if command -v openbox >/dev/null; then
    openbox >"$out/wm.log" 2>&1 &
    helpers+=($!)
    sleep 0.5
  fi
  unset QT_QPA_PLATFORM
else
  args+=(-platform offscreen)
fi

echo "soak: $runs runs, condition $condition, $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%4s  %-5s %3s %9s %9s %8s %8s\n' run res exit "wall s" "rss MB" threads fds
passes=0
failures=0
unseen=0
walls=()
for i in $(seq "$runs"); do
  log="$out/run-$i.txt"
  start=$(date +%s%N)
  "$bin" "${args[@]}" >"$log" 2>&1 &
  pid=$!
  rss=0 threads=0 fds=0 opened=0
  while kill -0 "$pid" 2>/dev/null; do
    if [ -r "/proc/$pid/status" ]; then
      r=$(awk '/^VmHWM:/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo 0)
      t=$(awk '/^Threads:/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo 0)
      f=$(ls "/proc/$pid/fd" 2>/dev/null | wc -l || true)
      [ "${r:-0}" -gt "$rss" ] && rss=$r
      [ "${t:-0}" -gt "$threads" ] && threads=$t
      [ "${f:-0}" -gt "$fds" ] && fds=$f
    fi
    if [ "$condition" = log ] && [ "$opened" -eq 0 ]; then
      win=$(xdotool search --pid "$pid" --name "Update Velto" 2>/dev/null | head -1 || true)
      if [ -n "$win" ]; then
        xdotool windowactivate --sync "$win" 2>/dev/null || xdotool windowfocus --sync "$win" 2>/dev/null || true
        xdotool key --clearmodifiers ctrl+shift+h 2>/dev/null || true
        sleep 0.3
        xdotool search --pid "$pid" --name "^Hid Data$" >/dev/null 2>&1 && opened=1
      fi
    fi
    sleep 0.2
  done
  set +e
  wait "$pid"
  code=$?
  set -e
  wall=$(( ($(date +%s%N) - start) / 1000000 ))
  walls+=("$wall")
  if [ "$code" -eq 0 ]; then result=PASS; passes=$((passes + 1)); else result=FAIL; failures=$((failures + 1)); fi
  if [ "$condition" = log ] && [ "$opened" -eq 0 ]; then result="$result*"; unseen=$((unseen + 1)); fi
  awk -v i="$i" -v res="$result" -v code="$code" -v wall="$wall" -v rss="$rss" -v t="$threads" \
    -v f="$fds" 'BEGIN { printf "%4d  %-5s %3d %9.1f %9.1f %8d %8d\n", i, res, code, wall / 1000, rss / 1024, t, f }'
done

printf '%s\n' "${walls[@]}" | sort -n | awk -v p="$passes" -v f="$failures" -v load="$(cut -d' ' -f1-3 /proc/loadavg)" \
  '{ w[NR] = $1 } END { printf "soak: %d passed, %d failed; wall s min %.1f, median %.1f, max %.1f; load %s\n", p, f, w[1] / 1000, w[int((NR + 1) / 2)] / 1000, w[NR] / 1000, load }'
if [ "$unseen" -gt 0 ]; then echo "soak: * = the log window was not seen open in that run"; fi
echo "soak: run outputs in $out"
[ "$failures" -eq 0 ]
