# The device rule in Debian's own udevd, for a unit on USB with nobody at the seat; sourced by
# suite.sh after lib.sh.

# ---- the device rule in Debian's udevd --------------------------------------------------------

velto_gid=4243  # the group velto in the guest, when the host has none
outsider_id=4244

# start_udevd: Debian's udevd in the guest, with the host's rules and the project's device rule
# (the source tree's file, in /run/udev/rules.d over any installed one). The guest's
# /etc/group is the host's with a group velto added, as the package's postinst adds it.
# Nobody is logged in at a seat: no logind, so uaccess grants nothing.
start_udevd() {
  local udevd=/lib/systemd/systemd-udevd control=/run/udev/control i
  local rule="$here/../../../platform/hidraw/70-velto-update.rules"
  if [ ! -x $udevd ]; then
    fail "no $udevd: the package udev is missing (tools/install-deps.sh)"
    return 1
  fi
  local entry
  if entry=$(getent group velto); then
    velto_gid=$(echo "$entry" | cut -d: -f3)
  else
    cp /etc/group /tmp/group.velto && echo "velto:x:$velto_gid:" >>/tmp/group.velto &&
      mount --bind /tmp/group.velto /etc/group || { fail "no group velto in the guest"; return 1; }
    group_bound=1
  fi
  mkdir -p /run/udev/rules.d && cp "$rule" /run/udev/rules.d/
  $udevd >"$current.udevd.log" 2>&1 &
  udevd_pid=$!
  udevd_started=1
  for ((i = 0; i < 400; i++)); do
    [ -S $control ] && break
    pause 0.05
  done
  if [ ! -S $control ]; then
    fail "udevd did not start"
    return 1
  fi
  log "udevd $(udevadm --version) running, with $(basename "$rule"); group velto is $velto_gid"
}

# udevadm control ignores requests in a chroot, as the guest's programs run: a signal it is.
stop_udevd() {
  kill -TERM "$udevd_pid" 2>/dev/null
  wait "$udevd_pid" 2>/dev/null
  indent udevd "$current.udevd.log"
  rm -f /run/udev/rules.d/70-velto-update.rules
  [ -n "${group_bound:-}" ] && umount /etc/group && group_bound=""
  udevd_started=""
}

# node_mode_is NODE WANT TIMEOUT: the node's "owner group mode" becomes WANT within TIMEOUT
# seconds (udevd applies the rule a moment after devtmpfs made the node).
node_mode_is() {
  local i have
  for ((i = 0; i < $3 * 20; i++)); do
    have=$(stat -c '%U %G %a' "$1" 2>/dev/null)
    [ "$have" = "$2" ] && return 0
    pause 0.05
  done
  log "$1 is \"$have\""
  return 1
}

# opens UID GROUPS MODE NODE: the user (in the groups GID,..., or none) opens the node for
# reading (<), writing (>) or both (<>).
opens() {
  local groups=(--clear-groups)
  [ -n "$2" ] && groups=(--groups="$2")
  # shellcheck disable=SC2016
  setpriv --reuid="$1" --regid="$1" "${groups[@]}" -- bash -c "exec 3$3\"\$1\"" _ "$4" 2>/dev/null
}
opens_not() { ! opens "$@"; }

# The device rule as Debian's udevd applies it to a USB unit, with nobody at the seat: each
# node of the unit goes to group velto with mode 0660; a member of the group reads and writes
# it, a user outside the group can neither; the member updates the unit through both
# re-enumerations, each new node given to the group by udevd.
scenario_gadget_group_access() {
  local device_program=velto-gadget-device node
  start_udevd || return
  watch_nodes
  start_device
  node=$(node_of $run_product 5)
  check "udevd gave $node to group velto, mode 0660" node_mode_is "$node" "root velto 660" 10
  check "a member of velto opens it for reading and writing" opens $user_id $velto_gid "<>" "$node"
  check "a user outside the group can not open it for reading" opens_not $outsider_id "" "<" "$node"
  check "... nor for writing" opens_not $outsider_id "" ">" "$node"
  updater_groups=$velto_gid run_updater member $user_id 240
  check "the update as a member of velto ends with exit 0" [ "$updater_status" -eq 0 ]
  node=$(node_of $run_product 5)
  check "the node after both re-enumerations is velto's, mode 0660" \
    node_mode_is "$node" "root velto 660" 10
  stop_device
  check "the device's memories equal the images" [ "$device_status" -eq 0 ]
  check "the device went to update mode and back" has "$device_log" "plugged in: 0821 x2 0904 x1"
}
