# Helpers and scenarios of the kernel tests; sourced by suite.sh inside the guest, with $bin set
# to the build's bin folder and the results share as the current folder.

vendor=0168
run_product=0821
update_product=0904
user_id=4242         # a user the host's passwd need not know
grant_delay=0.3      # how long after a node appears its access is granted (udev's ACL)
device_program=velto-uhid-device  # on_gadget runs a scenario with velto-gadget-device
export QT_QPA_PLATFORM=offscreen

# Forks are slow in an emulated guest: timing, logging and matching use bash's own builtins.
now_ms() {
  local t=${EPOCHREALTIME/./}
  now=$((t / 1000))
}

# pause SECONDS without a fork: a read that times out on a pipe nobody writes to.
pause_fifo="$(mktemp -u /tmp/pause.XXXXXX)"
mkfifo "$pause_fifo"
exec {pause_fd}<>"$pause_fifo"
rm -f "$pause_fifo"
pause() { read -r -t "$1" -u "$pause_fd" _ || true; }

# The whole of a file, in $text.
slurp() {
  text=""
  [ -f "$1" ] && IFS= read -r -d '' text <"$1"
  return 0
}

# indent PREFIX FILE: the file's lines into the scenario's log.
indent() {
  local line
  [ -f "$2" ] || return 0
  while IFS= read -r line || [ -n "$line" ]; do
    printf '    %s: %s\n' "$1" "$line"
  done <"$2" >>"$current.log"
}

log() {
  local now
  now_ms
  local t=$((now - scenario_start))
  printf '[%6d ms] %s\n' "$t" "$*" >>"$current.log"
  printf '[%s %6d ms] %s\n' "$current" "$t" "$*"
}

fail() {
  failures+=("$*")
  log "FAIL: $*"
}

# check DESCRIPTION COMMAND...: records a failure when COMMAND fails.
check() {
  local what="$1"
  shift
  if "$@"; then log "ok: $what"; else fail "$what"; fi
}

begin_scenario() {
  current="$1"
  rm -f "$current".*
  failures=()
  dev_pid="" watcher_pid="" device_runs=""
  unit_pid=() unit_status=() unit_log=() unit_node=()
  local now
  now_ms
  scenario_start=$now
  log "begin"
}

end_scenario() {
  [ -n "$watcher_pid" ] && kill "$watcher_pid" 2>/dev/null && wait "$watcher_pid" 2>/dev/null
  [ -n "$dev_pid" ] && stop_device
  local n
  for n in "${!unit_pid[@]}"; do
    [ -n "${unit_pid[$n]}" ] && stop_unit "$n"
  done
  [ -n "${udevd_started:-}" ] && stop_udevd
  if [ ${#failures[@]} -eq 0 ]; then
    echo PASS >"$current.result"
  else
    local IFS=';'
    echo "FAIL: ${failures[*]}" >"$current.result"
  fi
  log "end: $(cat "$current.result")"
}

# node_of PRODUCT TIMEOUT [PHYS]: the hidraw node of the device with this product ID (and
# this HID_PHYS, or one that starts with PHYS/), once sysfs lists it; empty after TIMEOUT
# seconds.
node_of() {
  local product="$1" timeout_ms=$(($2 * 1000)) phys="${3:-}" start u now text
  now_ms
  start=$now
  while [ $((now - start)) -lt $timeout_ms ]; do
    for u in /sys/class/hidraw/hidraw*/device/uevent; do
      [ -e "$u" ] || continue
      slurp "$u"
      if [[ $text == *"HID_ID=0003:0000$vendor:0000$product"* ]] && phys_is "$phys"; then
        local n="${u#/sys/class/hidraw/}"
        n="${n%%/*}"
        [ -e "/dev/$n" ] && echo "/dev/$n" && return 0
      fi
    done
    pause 0.05
    now_ms
  done
  return 1
}

# start_device [OPTION...]: a fresh simulated device, waited for until its node is there.
start_device() {
  device_log="$current.device${device_runs:-}.log"
  device_runs=$((${device_runs:-0} + 1))
  "$bin/$device_program" "$@" >"$device_log" 2>&1 &
  dev_pid=$!
  local product=$run_product
  [[ " $* " == *" --start-mode update "* ]] && product=$update_product
  local node
  if node=$(node_of $product 20); then
    log "device up as $vendor:$product on $node ($*)"
  else
    fail "the device did not appear as $vendor:$product"
  fi
}

# phys_is PHYS: the uevent in $text is of the device at PHYS (HID_PHYS=PHYS or PHYS/inputN);
# an empty PHYS matches any.
phys_is() {
  [ -z "$1" ] || [[ $text == *"HID_PHYS=$1"$'\n'* ]] || [[ $text == *"HID_PHYS=$1/input"* ]]
}

# stop_device: SIGTERM, then its verdict on its memories in device_status.
stop_device() {
  kill -TERM "$dev_pid" 2>/dev/null
  wait "$dev_pid"
  device_status=$?
  dev_pid=""
  indent device "$device_log"
  log "device exit $device_status"
  nodes_gone 10 || fail "the device's hidraw node was still there 10 s after it stopped"
}

# ---- several units at once ------------------------------------------------------------------
# Each unit is a velto-uhid-device of its own, numbered from 1, with its own place (HID_PHYS,
# the updater's port) and serial: unit_phys N and unit_serial N. Its pid, log and exit status
# are unit_pid[N], unit_log[N] and unit_status[N]; end_scenario stops the units still running.

unit_phys() { echo "velto-unit-$1"; }
unit_serial() { printf 'SIM-UNIT-%04d\n' "$1"; }

# start_unit N [OPTION...]: the N-th unit, waited for until its node is there (unit_node[N]).
start_unit() {
  local n="$1"
  shift
  local phys serial log
  phys=$(unit_phys "$n") serial=$(unit_serial "$n")
  log="$current.unit$n.log"
  "$bin/velto-uhid-device" --phys "$phys" --serial "$serial" "$@" >"$log" 2>&1 &
  unit_pid[n]=$!
  unit_log[n]="$log"
  unit_status[n]=""
  local product=$run_product node
  [[ " $* " == *" --start-mode update "* ]] && product=$update_product
  if node=$(node_of $product 20 "$phys"); then
    unit_node[n]="$node"
    log "unit $n up as $vendor:$product on $node, port $phys, serial $serial ($*)"
  else
    unit_node[n]=""
    fail "unit $n did not appear as $vendor:$product at $phys"
  fi
}

# stop_unit N: SIGTERM, then its verdict on its memories in unit_status[N] (0 both equal the
# images, 1 not); its nodes must go, the other units' stay.
stop_unit() {
  local n="$1"
  kill -TERM "${unit_pid[$n]}" 2>/dev/null
  wait "${unit_pid[$n]}"
  unit_status[n]=$?
  unit_pid[n]=""
  indent "unit $n" "${unit_log[$n]}"
  log "unit $n exit ${unit_status[$n]}"
  nodes_gone 10 "$(unit_phys "$n")" ||
    fail "unit $n's hidraw node was still there 10 s after it stopped"
}

# unit_present N PRODUCT: unit N's node is listed as PRODUCT.
unit_present() { node_of "$2" 1 "$(unit_phys "$1")" >/dev/null; }

# unit_outputs N: the output reports unit N handled, from its log once it stopped (its own
# check that no command reached it: 0).
unit_outputs() {
  local text
  slurp "${unit_log[$1]}"
  [[ $text =~ output\ reports:\ ([0-9]+)\ handled ]] || return 1
  echo "${BASH_REMATCH[1]}"
}

# The product string and serial the device put into the kernel, from its own log.
device_string() {  # device_string product|serial PRODUCT_ID
  local text
  slurp "$device_log"
  [[ $text =~ plugged\ in\ as\ $vendor:$2\ \"([^\"]*)\"\ serial\ \"([^\"]*)\" ]] || return
  if [ "$1" = product ]; then echo "${BASH_REMATCH[1]}"; else echo "${BASH_REMATCH[2]}"; fi
}

# plugs [LOG]: how many times the device has been plugged in so far, from its log (default
# plug_log when set, else the device's; a unit's: "${unit_log[N]}").
plugs() {
  local text rest
  slurp "${1:-${plug_log:-$device_log}}"
  rest="$text"
  plug_count=0
  while [[ $rest == *"plugged in as"* ]]; do
    rest="${rest#*plugged in as}"
    plug_count=$((plug_count + 1))
  done
}

# run_updater NAME UID TIMEOUT [OPTION...]: velto-update --auto with a trace, as root (UID 0)
# or as a user without a passwd entry (in no group, or in the groups updater_groups=GID,...);
# updater_status and updater_ms afterwards. The guest's
# own limit (TIMEOUT + 30 s) ends a run that hangs with 124 or a signal's status. With
# updater_err=FILE set, standard error goes there instead of into the output.
# With end_after_plug=N set, a run still going stop_grace seconds after the device was
# plugged in for the N-th time is ended with SIGTERM (updater_stopped=1): a run the device left
# must end by itself once the device is back, and this keeps a failure from costing the whole
# time-out. With several units, plug_log="${unit_log[N]}" names the unit that counts.
stop_grace=30
run_updater() {
  local name="$1" uid="$2" limit="$3"
  shift 3
  local out="$current.$name.out" trace
  local -a as=()
  if [ "$uid" -eq 0 ]; then
    trace="$PWD/$current.$name.trace"
    export HOME=/root XDG_RUNTIME_DIR=/run/user/0
  else
    # The results share is root's: the user writes its trace at home, copied afterwards.
    export HOME=/tmp/home-$uid XDG_RUNTIME_DIR=/run/user/$uid
    trace="$HOME/$name.trace"
    as=(setpriv --reuid="$uid" --regid="$uid" --clear-groups --)
    [ -n "${updater_groups:-}" ] &&
      as=(setpriv --reuid="$uid" --regid="$uid" --groups="$updater_groups" --)
  fi
  mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
  chown "$uid:$uid" "$HOME" "$XDG_RUNTIME_DIR"
  chmod 700 "$XDG_RUNTIME_DIR"
  log "updater $name: velto-update --auto --trace --timeout $limit $* (uid $uid)"
  local start now back=0 pid
  now_ms
  start=$now
  # Standard error shares the output's open file (as 2>&1 does), or goes to a file of its own.
  local err_fd=""
  [ -n "${updater_err:-}" ] && exec {err_fd}>"$updater_err"
  timeout -k 5 $((limit + 30)) "${as[@]}" "$bin/velto-update" --auto --trace "$trace" \
    --timeout "$limit" "$@" -platform offscreen >"$out" 2>&"${err_fd:-1}" </dev/null &
  pid=$!
  [ -n "$err_fd" ] && exec {err_fd}>&-
  updater_stopped=0
  while kill -0 "$pid" 2>/dev/null; do
    pause 0.2
    [ -n "${end_after_plug:-}" ] || continue
    now_ms
    if [ "$back" -eq 0 ]; then
      plugs
      [ "$plug_count" -ge "$end_after_plug" ] && back=$now && log "the device is back"
    elif [ $((now - back)) -ge $((stop_grace * 1000)) ]; then
      log "updater $name still running ${stop_grace} s after the device came back: SIGTERM"
      updater_stopped=1
      # The updater is the child of timeout, which would pass the signal on too but then
      # exit with its own status.
      local children=""
      read -r children <"/proc/$pid/task/$pid/children" 2>/dev/null
      # shellcheck disable=SC2086
      [ -n "$children" ] && kill -TERM $children
      break
    fi
  done
  wait "$pid"
  updater_status=$?
  now_ms
  updater_ms=$((now - start))
  [ "$uid" -ne 0 ] && cp "$trace" "$current.$name.trace" 2>/dev/null
  indent updater "$out"
  log "updater $name: exit $updater_status after $updater_ms ms"
}

# watch_nodes [UID]: logs every hidraw node that appears and, given a UID, hands it to that
# user after grant_delay seconds, as udev's rules do some time after devtmpfs made the node.
watch_nodes() {
  local uid="${1:-}"
  (
    declare -A seen=() present=()
    while :; do
      present=()
      for n in /dev/hidraw*; do
        [ -e "$n" ] || continue
        present[$n]=1
        [ -n "${seen[$n]:-}" ] && continue
        seen[$n]=1
        log "node $n appeared ($(stat -c '%U %a' "$n"))"
        if [ -n "$uid" ]; then
          pause "$grant_delay"
          chown "$uid:$uid" "$n" && chmod 0600 "$n" && log "node $n handed to uid $uid"
        fi
      done
      # A node gone from the listing is a new one when it comes back.
      for n in "${!seen[@]}"; do
        [ -n "${present[$n]:-}" ] || unset "seen[$n]"
      done
      pause 0.05
    done
  ) &
  watcher_pid=$!
}

has() {
  local text
  slurp "$1"
  [[ $text == *"$2"* ]]
}
# has_all FILE TEXT...: the file holds every text.
has_all() {
  local file="$1" t
  shift
  for t in "$@"; do has "$file" "$t" || return 1; done
}
in_range() { [ "$1" -ge "$2" ] && [ "$1" -le "$3" ]; }
# has_line FILE PATTERN: a line of the file matches the glob pattern.
has_line() {
  local line
  while IFS= read -r line; do
    # shellcheck disable=SC2053
    [[ $line == $2 ]] && return 0
  done <"$1"
  return 1
}
trace_lines() {
  local n
  n=$(grep -c "^$2 " "$1" 2>/dev/null)
  echo "${n:-0}"
}

# ---- scenarios ----------------------------------------------------------------------------

# The lister sees the device in both modes with the identifiers, the model's own strings and
# the caps of its descriptor; without a device it says so in its exit code.
scenario_lister() {
  local mode product out status
  for mode in run update; do
    product=$run_product
    [ $mode = update ] && product=$update_product
    start_device --start-mode $mode
    out="$current.$mode.out"
    "$bin/velto-hid-list" >"$out" 2>&1
    status=$?
    indent lister "$out"
    check "$mode mode: the lister exits 0 with a Velto device" [ $status -eq 0 ]
    check "$mode mode: $vendor:$product listed as the Velto device in $mode mode" \
      has_line "$out" "*$vendor:$product *Velto device, $mode mode*"
    check "$mode mode: product string from the device" \
      has "$out" "\"$(device_string product $product)\""
    check "$mode mode: serial number from the device" \
      has "$out" "\"$(device_string serial $product)\""
    check "$mode mode: vendor usage page" has "$out" "page 0xff00"
    check "$mode mode: report lengths 65/65/0" has "$out" "input 65, output 65, feature 0"
    check "$mode mode: read/write access" has "$out" "read/write"
    # The unit as the updater tells it from others: uhid's HID_PHYS, or the USB port.
    local port=velto-uhid-device
    [ "$device_program" = velto-gadget-device ] && port=1-1
    check "$mode mode: the unit is $port with its serial" \
      has_line "$out" "    unit:         $port (serial $(device_string serial $product))"
    [ "$device_program" = velto-gadget-device ] && check_usb_parent "$mode" "$out"
    stop_device
  done
  "$bin/velto-hid-list" >"$current.none.out" 2>&1
  status=$?
  check "no device: the lister exits 1 (exit $status)" [ $status -eq 1 ]
}

# Two units at once, each with its own place and serial, one in each mode: the lister shows
# both as distinct units; each stops with its own verdict (untouched: not the images, no
# report handled) while the other stays.
scenario_two_units() {
  start_unit 1
  start_unit 2 --start-mode update
  local out="$current.list.out" status n
  "$bin/velto-hid-list" >"$out" 2>&1
  status=$?
  indent lister "$out"
  check "the lister exits 0" [ $status -eq 0 ]
  check "both listed, one in each mode" has_all "$out" \
    "$vendor:$run_product" "Velto device, run mode" "$vendor:$update_product" "Velto device, update mode"
  for n in 1 2; do
    check "unit $n: its own unit line" \
      has_line "$out" "    unit:         $(unit_phys $n) (serial $(unit_serial $n))"
  done
  local lines
  lines=$(grep -c '^    unit: ' "$out")
  check "two unit lines ($lines)" [ "$lines" -eq 2 ]
  stop_unit 1
  check "unit 1: its own verdict, exit 1 (untouched memories; exit ${unit_status[1]})" \
    [ "${unit_status[1]}" -eq 1 ]
  check "unit 1: no report reached it ($(unit_outputs 1))" [ "$(unit_outputs 1)" = 0 ]
  check "unit 2 is still there after unit 1 left" unit_present 2 $update_product
  stop_unit 2
  check "unit 2: its own verdict, exit 1 (exit ${unit_status[2]})" [ "${unit_status[2]}" -eq 1 ]
  check "unit 2: plugged in once, in update mode" has "${unit_log[2]}" "plugged in: 0904 x1"
}

# The whole update, as root: success, both memories equal to the images, both
# re-enumerations followed.
scenario_update() {
  watch_nodes
  start_device
  run_updater full 0 240
  check "the update ends with exit 0" [ "$updater_status" -eq 0 ]
  stop_device
  check "the device's flash and DSP memory equal the images" [ "$device_status" -eq 0 ]
  check "the device went to update mode and back (0821 twice, 0904 once)" \
    has "$device_log" "plugged in: 0821 x2 0904 x1"
  local w
  w=$(trace_lines "$current.full.trace" W)
  check "the trace holds every report written ($w)" [ "$w" -ge 1800 ]
}

# The device leaves during the MCU data and comes back in update mode; the next run completes
# the MCU update and the device leaves again during the DSP program, coming back in run mode;
# a third run completes the update. Each cut-off run ends without crashing and not in
# success; no run needs the program restarted from scratch beyond starting it again.
scenario_unplug() {
  start_device --unplug-at-packet 40 --unplug-at-block 100 --replug-after 1000
  cut_run mcu 3
  end_after_plug=5 run_updater dsp 0 300 --report "$PWD/$current.dsp.report"
  check_cut dsp 5
  check "dsp: the unit left in update mode is said to have an unfinished update" \
    has "$current.dsp.out" "This unit's last update did not finish"
  check "dsp: the report holds the versions, the units, the run and the trace" \
    has_all "$current.dsp.report" "== versions" "HID backend: " "== units" "== last run" \
    "exit status: " "== trace"
  memories
  check "the MCU update completed in the run after the first cut" \
    has "$memory_report" "flash: matches the image"
  check "the DSP program was cut off" has "$memory_report" "DSP memory: MISMATCH"
  run_updater complete 0 240
  check "the run after the DSP cut completes" [ "$updater_status" -eq 0 ]
  stop_device
  check "the device's memories equal the images" [ "$device_status" -eq 0 ]
}

# cut_run NAME PLUGS: a run cut off by the device leaving, back for the PLUGS-th plug.
cut_run() {
  end_after_plug=$2 run_updater "$1" 0 300
  check_cut "$1" "$2"
}

check_cut() {
  plugs
  check "$1: the device left at the fault and came back (plug $plug_count)" \
    [ "$plug_count" -eq "$2" ]
  check "$1: the cut-off run ended by itself once the device was back" \
    [ "$updater_stopped" -eq 0 ]
  check "$1: the cut-off run failed with exit 1, no crash (exit $updater_status)" \
    [ "$updater_status" -eq 1 ]
}

# memories: the device's own comparison of its memories with the images, now.
memories() {
  local before
  before=$(wc -l <"$device_log")
  kill -USR1 "$dev_pid"
  pause 1
  memory_report="$current.memories.out"
  tail -n +$((before + 1)) "$device_log" >"$memory_report"
  indent memories "$memory_report"
}

# A user who is not root, with each node handed over only after it appeared: the update
# completes through both re-enumerations.
scenario_late_access() {
  watch_nodes $user_id
  start_device
  run_updater user $user_id 240
  check "the update as uid $user_id ends with exit 0" [ "$updater_status" -eq 0 ]
  stop_device
  check "the device's memories equal the images" [ "$device_status" -eq 0 ]
  check "the device went to update mode and back" has "$device_log" "plugged in: 0821 x2 0904 x1"
}

# A user who is not root and never gets the node: a clear message naming the udev rule, and
# exit code 4, soon.
scenario_no_access() {
  start_device
  run_updater user $user_id 60
  check "exit code 4 (present but cannot be updated)" [ "$updater_status" -eq 4 ]
  check "the message names the udev rule" has "$current.user.out" "70-velto-update.rules"
  check "it says so within 30 s ($updater_ms ms)" [ "$updater_ms" -lt 30000 ]
}

# ---- the same scenarios on a USB device -----------------------------------------------------

# nodes_gone TIMEOUT [PHYS]: true once no hidraw node of the vendor (at PHYS) is listed; a USB
# device leaves a moment after its gadget was unbound.
nodes_gone() {
  local timeout_ms=$(($1 * 1000)) phys="${2:-}" start now text u present
  now_ms
  start=$now
  while :; do
    present=0
    for u in /sys/class/hidraw/hidraw*/device/uevent; do
      [ -e "$u" ] || continue
      slurp "$u"
      [[ $text == *"HID_ID=0003:0000$vendor:"* ]] && phys_is "$phys" && present=1
    done
    [ $present -eq 0 ] && return 0
    [ $((now - start)) -ge $timeout_ms ] && return 1
    pause 0.05
    now_ms
  done
}

# on_gadget SCENARIO: the scenario with the device as a USB gadget on dummy_hcd's first
# controller, taken by usbhid through the host's USB stack.
on_gadget() {
  local device_program=velto-gadget-device
  "$@"
}

# check_usb_parent MODE LISTING: the lister shows what the USB device itself says: its strings
# and bcdDevice, and the port it is plugged into.
check_usb_parent() {
  local text manufacturer bcd
  slurp "$device_log"
  [[ $text =~ manufacturer\ \"([^\"]*)\"\ bcdDevice\ ([0-9a-f]{4}) ]]
  manufacturer="${BASH_REMATCH[1]:-?}" bcd="${BASH_REMATCH[2]:-?}"
  check "$1 mode: manufacturer string from the USB device" \
    has "$2" "manufacturer: \"$manufacturer\""
  check "$1 mode: version $bcd, the USB device's bcdDevice" \
    has_line "$2" "*$vendor:* version $bcd *"
  check "$1 mode: USB port 1-1 (dummy_udc.0)" has_line "$2" "*usb port:*1-1"
}

scenario_gadget_lister() { on_gadget scenario_lister; }
scenario_gadget_update() { on_gadget scenario_update; }
scenario_gadget_unplug() { on_gadget scenario_unplug; }

# ---- runs that fail, and the run after them -------------------------------------------------

# second_run NAME: a new --auto run on the unit as the failed run left it, plugged in: it
# completes, and the unit's own check says both memories equal the images.
second_run() {
  run_updater "$1" 0 240
  check "$1: the run after the failed one completes (exit $updater_status)" \
    [ "$updater_status" -eq 0 ]
  stop_device
  check "$1: the device's flash and DSP memory equal the images" [ "$device_status" -eq 0 ]
}

# silent_run NAME PHASE: a run whose unit falls silent, plugged in: exit 1 with the dialog that
# names the phase, within the phase's wait and some slack for the emulated machine.
silent_run() {
  run_updater "$1" 0 120
  check "$1: exit 1 (exit $updater_status)" [ "$updater_status" -eq 1 ]
  check "$1: the dialog names the phase" has "$current.$1.out" "dialog (error): \"No answer from the unit for"
  check "$1: ... $2" has "$current.$1.out" "during $2:"
  check "$1: it ended within 120 s ($updater_ms ms)" [ "$updater_ms" -lt 120000 ]
}

# The unit leaves during the MCU data and does not come back: --auto says at once what the
# unit is left with and ends when its reconnect wait has run out. Plugged in again (a fresh
# unit, in update mode, as the sentence says), the next run completes.
scenario_unplug_gone() {
  start_device --unplug-at-packet 40
  run_updater gone 0 120 --reconnect-wait 3
  check "gone: exit 1 (exit $updater_status)" [ "$updater_status" -eq 1 ]
  check "gone: the phase and the unit's state are said" \
    has "$current.gone.out" "the MCU firmware is incomplete: the unit will come back in update mode"
  check "gone: it ended at the reconnect wait" \
    has "$current.gone.out" "it did not come back within 3 s (--reconnect-wait)"
  check "gone: within 60 s ($updater_ms ms)" [ "$updater_ms" -lt 60000 ]
  stop_device
  start_device --start-mode update
  second_run back
}

# Told to restart in update mode, the unit neither answers nor restarts for a while.
scenario_silent_switch() {
  start_device --deaf-at run:0x10:0 --deaf-for 2000
  silent_run switch "the switch to update mode"
  second_run again
}

# It takes the MCU reset packet and stays, in update mode, silent for a while.
scenario_silent_reset() {
  start_device --deaf-at update:0x86:0 --deaf-for 2000
  silent_run reset "the restart after the MCU firmware"
  second_run again
}

# Back in run mode after the MCU update, it stops in the middle of the parameter read.
scenario_silent_params() {
  start_device --deaf-at run:0xA8:3 --deaf-for 2000
  silent_run params "the parameter read"
  second_run again
}

# A wrong sum in the answer to the first IAP packet, and in the next run to "Start Program":
# each time the unit stays plugged in, in update mode, repeating its wrong answer, and the run
# after it must not judge that repeat as its own answer.
scenario_wrong_sum() {
  start_device --wrong-sum 0x80:0 --wrong-sum 0x85:0
  run_updater connect 0 120
  check "connect: exit 1 (exit $updater_status)" [ "$updater_status" -eq 1 ]
  check "connect: ISP Start Error !!" has "$current.connect.out" "dialog (error): \"ISP Start Error !!\""
  run_updater start 0 120
  check "start: exit 1 (exit $updater_status)" [ "$updater_status" -eq 1 ]
  check "start: Program Start Error !!" \
    has "$current.start.out" "dialog (error): \"Program Start Error !!\""
  check "start: not the old repeat judged" has_not "$current.start.out" "ISP Start Error !!"
  second_run again
}

has_not() { ! has "$@"; }
