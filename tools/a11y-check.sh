#!/usr/bin/env bash
# Shows the updater as a screen reader meets it: a virtual X display, a private session bus with
# the AT-SPI registry, and velto-update-sim with Qt's AT-SPI bridge on. Prints the window's
# accessibility tree, then runs a whole update on the simulated device with the keyboard alone
# (Enter on the focused "Start Program ", Enter on the end dialog) and prints what a screen
# reader is told on the way.
# Needs the Debian packages xvfb, dbus, at-spi2-core and python3-pyatspi.
# Usage: tools/a11y-check.sh [path/to/velto-update-sim]
set -euo pipefail
cd "$(dirname "$0")/.."
sim=${1:-build/default/bin/velto-update-sim}
[ -x "$sim" ] || { echo "a11y-check: no $sim (build it first)" >&2; exit 2; }
for tool in Xvfb dbus-run-session /usr/libexec/at-spi-bus-launcher; do
  command -v "$tool" >/dev/null || { echo "a11y-check: $tool missing" >&2; exit 2; }
done
/usr/bin/python3 -c 'import pyatspi' 2>/dev/null ||
  { echo "a11y-check: python3-pyatspi missing" >&2; exit 2; }

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null || true' EXIT
sleep 1

SIM=$(realpath "$sim")
export DISPLAY=$display SIM
# The inner script expands its own variables.
# shellcheck disable=SC2016
dbus-run-session -- bash -c '
  set -euo pipefail
  /usr/libexec/at-spi-bus-launcher --launch-immediately >/dev/null 2>&1 &
  launcher=$!
  sleep 1
  QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$SIM" >/dev/null 2>&1 &
  app=$!
  status=0
  /usr/bin/python3 - <<"PY" || status=$?
import sys, time
import pyatspi
from gi.repository import GLib

def find_app(timeout=20):
    end = time.time() + timeout
    while time.time() < end:
        desktop = pyatspi.Registry.getDesktop(0)
        for app in desktop:
            if app is not None and app.name and "velto" in app.name.lower():
                return app
        time.sleep(0.3)
    sys.exit("a11y-check: the window never reached the AT-SPI registry")

def states(node):
    s = node.getState()
    names = []
    for st, word in ((pyatspi.STATE_SHOWING, "showing"), (pyatspi.STATE_FOCUSABLE, "focusable"),
                     (pyatspi.STATE_FOCUSED, "focused"), (pyatspi.STATE_ENABLED, "enabled")):
        if s.contains(st):
            names.append(word)
    return ",".join(names)

def value(node):
    try:
        return " value=%g" % node.queryValue().currentValue
    except NotImplementedError:
        return ""

def walk(node, depth=0):
    print("%s[%s] \"%s\" -- %s (%s)%s" % ("  " * depth, node.getRoleName(), node.name,
                                        node.description, states(node), value(node)))
    for child in node:
        if child is not None:
            walk(child, depth + 1)

def find(node, role, name=None):
    if node.getRoleName() == role and (name is None or node.name == name):
        return node
    for child in node:
        if child is not None:
            hit = find(child, role, name)
            if hit is not None:
                return hit
    return None

app = find_app()
print("== The tree as a screen reader sees it")
for window in app:
    walk(window)

start = find(app, "push button", "Start Program ")
end = time.time() + 20
while not start.getState().contains(pyatspi.STATE_ENABLED) and time.time() < end:
    time.sleep(0.2)
# Without a window manager the window is never the active one, so no widget says "focused";
# the keyboard still reaches it.
print("\n== Start Program: %s" % states(start))

events = []
last = {}
def step_of(text):
    return text.rstrip("0123456789 ")

def heard(e):
    src = e.source
    try:
        who = "%s \"%s\"" % (src.getRoleName(), src.name)
    except Exception:
        return
    kind = e.type
    detail = ""
    if "accessible-value" in kind or kind == "object:value-changed":
        try:
            v = src.queryValue()
            percent = 100.0 * v.currentValue / max(v.maximumValue, 1)
        except Exception:
            return
        # Every 10 per cent of a part, not every packet.
        if who in last and percent != 0 and abs(percent - last[who]) < 10:
            return
        last[who] = percent
        detail = "%.0f %%" % percent
    elif kind.endswith("accessible-description"):
        detail = "\"%s\"" % src.description
        # Each new step; the count within a step is there for the asking.
        if last.get(who + "step") == step_of(src.description):
            return
        last[who + "step"] = step_of(src.description)
    line = "%-48s %s %s" % (kind, who, detail)
    if not events or events[-1] != line:
        events.append(line)
        print(line, flush=True)
    if src.getRoleName() in ("alert", "dialog") and kind == "window:activate":
        found.append(src)

found = []
for kind in ("object:property-change:accessible-description", "object:property-change:accessible-name",
             "object:value-changed", "object:property-change:accessible-value",
             "object:state-changed:focused", "window:activate", "window:create", "object:announcement"):
    pyatspi.Registry.registerEventListener(heard, kind)

print("\n== Enter on the focused button; what a screen reader is told")
pyatspi.Registry.generateKeyboardEvent(36, None, pyatspi.KEY_PRESSRELEASE)  # Return

loop = GLib.MainLoop()
deadline = time.time() + 240
def tick():
    if found:
        dialog = found[-1]
        label = find(dialog, "label")
        print("\n== Dialog: \"%s\" (%s)" % (label.name if label else dialog.name, dialog.getRoleName()))
        pyatspi.Registry.generateKeyboardEvent(36, None, pyatspi.KEY_PRESSRELEASE)  # OK
        loop.quit()
        return False
    if time.time() > deadline:
        print("a11y-check: no dialog within 240 s")
        loop.quit()
        return False
    return True
GLib.timeout_add(200, tick)
loop.run()
ok = bool(found)
sys.exit(0 if ok else 1)
PY
  kill "$app" "$launcher" 2>/dev/null || true
  exit $status
'
