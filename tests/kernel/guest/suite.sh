#!/bin/bash
# The kernel tests' scenarios, run inside the guest (as root, in the chroot of the host's root)
# by tools/vm/run-vm.sh:
#
#   suite.sh BINDIR SCENARIO...
#
# Each scenario runs in turn against a fresh device program and leaves NAME.log (what it
# did and saw) and NAME.result ("PASS" or "FAIL: why") in the current folder, the results
# share. The suite itself exits 0 once every scenario has run; the verdicts are the files.
set -u

bin="$1"
shift
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=lib.sh
source "$here/lib.sh"
# shellcheck source=access.sh
source "$here/access.sh"
# shellcheck source=units.sh
source "$here/units.sh"

for scenario in "$@"; do
  if ! declare -F "scenario_$scenario" >/dev/null; then
    echo "FAIL: no scenario $scenario" >"$scenario.result"
    continue
  fi
  begin_scenario "$scenario"
  "scenario_$scenario"
  end_scenario
done
exit 0
