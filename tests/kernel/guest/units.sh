# Scenarios with several units at once, each a velto-uhid-device of its own port and serial
# (start_unit in lib.sh); sourced by suite.sh after lib.sh.

# unit_untouched N: unit N stopped with no report ever reaching it.
unit_untouched() { [ "$(unit_outputs "$1")" = 0 ]; }

# Two units: --auto without a choice refuses and writes nothing to either; --port updates the
# unit named and no other.
scenario_units_choice() {
  start_unit 1
  start_unit 2
  run_updater refused 0 60
  check "refused: exit 6 (exit $updater_status)" [ "$updater_status" -eq 6 ]
  check "refused: both units are named" has_all "$current.refused.out" \
    "$(unit_phys 1) run mode serial $(unit_serial 1)" "$(unit_phys 2) run mode serial $(unit_serial 2)"
  check "refused: nothing was written ($(trace_lines "$current.refused.trace" W) reports)" \
    [ "$(trace_lines "$current.refused.trace" W)" -eq 0 ]
  run_updater port 0 240 --port "$(unit_phys 2)"
  check "port: exit 0 (exit $updater_status)" [ "$updater_status" -eq 0 ]
  stop_unit 1
  check "unit 1: no command reached it ($(unit_outputs 1) reports)" unit_untouched 1
  stop_unit 2
  check "unit 2: its memories equal the images (exit ${unit_status[2]})" [ "${unit_status[2]}" -eq 0 ]
  check "unit 2: to update mode and back" has "${unit_log[2]}" "plugged in: 0821 x2 0904 x1"
}

# Three units with --all --json: every unit's memories equal the images, and each has its
# final record.
scenario_units_all() {
  local n
  for n in 1 2 3; do start_unit "$n"; done
  updater_err="$current.all.err" run_updater all 0 300 --all --json
  indent stderr "$current.all.err"
  check "all: exit 0 (exit $updater_status)" [ "$updater_status" -eq 0 ]
  for n in 1 2 3; do
    check "all: unit $n's final record passes" has_line "$current.all.out" \
      "{\"dsp_image\":\"sha256:*\"elapsed_s\":*\"event\":\"result\",\"exit\":0,\"firmware_version\":\"0x13\",\"mcu_image\":\"sha256:*\"port\":\"$(unit_phys "$n")\",\"result\":\"pass\",*\"serial\":\"$(unit_serial "$n")\"*"
  done
  check "all: the summary record ends the output" has_line "$current.all.out" \
    "{\"event\":\"summary\",\"exit\":0,*"
  check "all: the table is on standard error" has "$current.all.err" "$(unit_phys 3)"
  for n in 1 2 3; do
    stop_unit "$n"
    check "unit $n: its memories equal the images (exit ${unit_status[$n]})" \
      [ "${unit_status[$n]}" -eq 0 ]
  done
}

# Three units with --all, one pulled out in the middle of its MCU data (it comes back in update
# mode): the other two pass, the table and the exit status name the one that failed, and a
# second --all completes it.
scenario_units_cut() {
  start_unit 1
  start_unit 2 --unplug-at-packet 40 --replug-after 1000
  start_unit 3
  run_updater cut 0 300 --all
  check "cut: exit 1 (exit $updater_status)" [ "$updater_status" -eq 1 ]
  check "cut: the table names the unit that failed" \
    has_line "$current.cut.out" "$(unit_phys 2) *$(unit_serial 2) *FAIL 1 *"
  local n
  for n in 1 3; do
    check "cut: unit $n passed" has_line "$current.cut.out" "$(unit_phys "$n") *$(unit_serial "$n") *PASS *"
  done
  run_updater again 0 300 --all
  check "again: exit 0 (exit $updater_status)" [ "$updater_status" -eq 0 ]
  check "again: unit 2 was found with its update unfinished" \
    has "$current.again.out" "This unit's last update did not finish"
  for n in 1 2 3; do
    stop_unit "$n"
    check "unit $n: its memories equal the images (exit ${unit_status[$n]})" \
      [ "${unit_status[$n]}" -eq 0 ]
  done
}
