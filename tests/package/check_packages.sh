#!/usr/bin/env bash
# The Debian packages as a user gets them, built by CPack from a build tree:
#   check_packages.sh build BUILD_DIR OUT [CPACK]  build both packages into OUT
#   check_packages.sh run OUT              unpack each package alone into a scratch root and run
#                                          its programs from there, through their run paths; run
#                                          the updater's postinst on a private copy of /etc
#   check_packages.sh lint OUT             lintian, desktop-file-validate, appstreamcli validate,
#                                          man --warnings, and the packages' own fields
set -euo pipefail

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Lintian warnings that are explained in the README; any other warning, and any error, fails.
allowed_warnings=(initial-upload-closes-no-bugs)

step=$1
case "$step" in
build)
    build_dir=$2 out=$3 cpack=${4:-cpack}
    rm -rf "$out"
    mkdir -p "$out"
    "$cpack" -G DEB --config "$build_dir/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 ||
        { cat "$out/cpack.log"; fail "cpack"; }
    ls "$out"/velto-update_*.deb "$out"/velto-update-sim_*.deb
    exit 0
    ;;
run | lint) out=$(realpath "$2") ;;
*) fail "unknown step $step" ;;
esac

updater_deb=$(echo "$out"/velto-update_*.deb)
sim_deb=$(echo "$out"/velto-update-sim_*.deb)
[ -f "$updater_deb" ] && [ -f "$sim_deb" ] || fail "packages missing in $out (build step)"

# Each package alone, so that a file in the wrong package shows.
unpack() {
    local root=$1 deb=$2
    rm -rf "$root"
    mkdir -p "$root"
    dpkg -x "$deb" "$root"
}

# Runs a program with the dynamic loader's log, and checks that it loaded the module from the
# scratch root (its run path), not from the build tree or the system.
loaded_from_root() {
    local root=$1 module=$2
    grep -q "calling init: $root/.*/$module\$" "$root.ld.log".* ||
        fail "$module was not loaded from $root: $(grep -h "calling init: .*$module" "$root.ld.log".* || true)"
}

if [ "$step" = run ]; then
    unset LD_LIBRARY_PATH
    export QT_QPA_PLATFORM=offscreen

    root=$out/sim-root
    unpack "$root" "$sim_deb"
    rm -f "$root.ld.log".*
    status=0
    LD_DEBUG=libs LD_DEBUG_OUTPUT=$root.ld.log "$root/usr/bin/velto-update-sim" --auto \
        -platform offscreen --timeout 240 >"$root.out" 2>&1 || status=$?
    cat "$root.out"
    [ "$status" -eq 0 ] || fail "installed velto-update-sim --auto exited $status"
    grep -q '" Program OK !! "' "$root.out" || fail "no \" Program OK !! \" in the output"
    loaded_from_root "$root" libvelto-hid-sim.so

    # The lister loads the hidraw backend through its run path: 0 a Velto device is present,
    # 1 none; anything else means it could not see the HID devices.
    root=$out/updater-root
    unpack "$root" "$updater_deb"
    rm -f "$root.ld.log".*
    status=0
    LD_DEBUG=libs LD_DEBUG_OUTPUT=$root.ld.log timeout 60 "$root/usr/bin/velto-hid-list" \
        >"$root.out" 2>&1 || status=$?
    cat "$root.out"
    [ "$status" -le 1 ] || fail "installed velto-hid-list exited $status"
    loaded_from_root "$root" libvelto-hid-hidraw.so

    # The postinst creates the system group velto once, in a copy of /etc seen only by it
    # (a mount namespace of its own: root only).
    control=$out/updater-control
    rm -rf "$control" "$out/etc"
    dpkg-deb -e "$updater_deb" "$control"
    if [ "$(id -u)" -eq 0 ] && unshare -m true 2>/dev/null; then
        cp -a /etc "$out/etc"
        group=$(unshare -m sh -c 'mount --bind "$1" /etc && sh "$2" configure && sh "$2" configure &&
            getent group velto && grep -c "^velto:" /etc/group' _ "$out/etc" "$control/postinst") ||
            fail "the postinst failed"
        echo "postinst: $group" | tr '\n' ' '
        echo
        gid=$(echo "$group" | head -n 1 | cut -d: -f3)
        [ -n "$gid" ] && [ "$gid" -lt 1000 ] || fail "no system group velto after the postinst"
        [ "$(echo "$group" | tail -n 1)" = 1 ] || fail "the group velto twice after two postinsts"
        rm -rf "$out/etc"
    else
        echo "postinst: not run (needs root and a mount namespace)"
        grep -q 'addgroup --system --quiet velto' "$control/postinst" ||
            fail "the postinst does not create the group velto"
    fi
    exit 0
fi

# lint
status=0
lintian --tag-display-limit 0 "$updater_deb" "$sim_deb" >"$out/lintian.txt" 2>&1 || status=$?
cat "$out/lintian.txt"
grep -q '^E: ' "$out/lintian.txt" && fail "lintian reports errors"
while read -r tag; do
    printf '%s\n' "${allowed_warnings[@]}" | grep -qx "$tag" ||
        fail "lintian warning $tag is neither fixed nor explained in the README"
done < <(sed -n 's/^W: [^ ]* \([^ ]*\).*/\1/p' "$out/lintian.txt")
[ "$status" -eq 0 ] || fail "lintian exited $status"

root=$out/lint-root
rm -rf "$root"
mkdir -p "$root"
dpkg -x "$updater_deb" "$root"
dpkg -x "$sim_deb" "$root"

desktop=$(echo "$root"/usr/share/applications/*.desktop)
metainfo=$(echo "$root"/usr/share/metainfo/*.metainfo.xml)
desktop-file-validate "$desktop" || fail "desktop-file-validate $desktop"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate $metainfo"

# The desktop entry, its icon and the metadata name each other.
app_id=$(basename "$desktop" .desktop)
grep -qx "Icon=$app_id" "$desktop" || fail "the desktop entry's icon is not $app_id"
[ -f "$root/usr/share/icons/hicolor/scalable/apps/$app_id.svg" ] || fail "no icon $app_id.svg"
grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" ||
    fail "the metadata does not launch $app_id.desktop"

for page in velto-update velto-hid-list velto-update-sim; do
    file=$root/usr/share/man/man1/$page.1.gz
    [ -f "$file" ] || fail "no manual page $page"
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$file" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man --warnings $page: $warnings"
done

# Versions: the changelog's newest entry is the package, the metadata's newest release the
# program.
version=$(dpkg-deb -f "$updater_deb" Version)
changelog=$(zcat "$root/usr/share/doc/velto-update/changelog.Debian.gz" | head -1)
[[ "$changelog" == "velto-update ($version) "* ]] ||
    fail "changelog starts \"$changelog\", the package is $version"
grep -q "<release version=\"${version%-*}\"" "$metainfo" ||
    fail "the metadata has no release ${version%-*}"

# Dependencies found by dpkg-shlibdeps, plus the font the log and the dump need.
for deb in "$updater_deb" "$sim_deb"; do
    depends=$(dpkg-deb -f "$deb" Depends)
    for need in libqt6widgets6 fonts-dejavu-core; do
        [[ "$depends" == *"$need"* ]] || fail "$(basename "$deb") does not depend on $need"
    done
done
echo "packages: clean"
