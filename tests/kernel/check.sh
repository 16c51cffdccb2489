#!/usr/bin/env bash
# One kernel test's verdict: prints what the scenario did in the guest and exits 0 when it
# passed.   check.sh RESULTS_DIR SCENARIO
results="$1" scenario="$2"
[ -f "$results/$scenario.log" ] && cat "$results/$scenario.log"
if [ ! -f "$results/$scenario.result" ]; then
  echo "$scenario: no verdict; the guest did not run it (see the output of the kernel.vm test)"
  exit 1
fi
verdict="$(cat "$results/$scenario.result")"
echo "$scenario: $verdict"
[ "$verdict" = PASS ]
