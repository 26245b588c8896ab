#!/bin/sh
# The install target and the hotplug hook: the image gets every file; four events at once never
# run two scans together, none is lost; the scan's options; its trace without a relay.
# Usage: dist_test.sh BUILD_DIR
set -eu
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

DESTDIR=$work/image cmake --install "$build" --prefix / >/dev/null
for f in sbin/pk2update sbin/morv etc/default/morv etc/default/pk2update etc/init.d/S50morv \
  etc/hotplug/pk2scan etc/mdev.conf.d/pk2update.conf etc/udev/rules.d/90-pk2update.rules; do
  [ -e "$work/image/$f" ] || fail "install leaves out $f"
done
[ -x "$work/image/etc/init.d/S50morv" ] && [ -x "$work/image/etc/hotplug/pk2scan" ] ||
  fail "start script or hook not executable"

# Stand-ins: a pk2update that logs its calls, a morv that finds no relay.
mkdir -p "$work/bin"
cat >"$work/bin/pk2update" <<STUB
#!/bin/sh
echo "start \$*" >>"$work/calls"
sleep 1
echo "end" >>"$work/calls"
echo "Check partition /dev/mmcblk0p1 ...."
STUB
printf '#!/bin/sh\nexit 1\n' >"$work/bin/morv"
chmod +x "$work/bin/pk2update" "$work/bin/morv"
printf 'PK2_IDENT=0x1234\nPK2_PROFILE=%s\nPK2_MOUNT_DIR=%s\nPK2_RUN_DIR=%s\nPK2_REBOOT=yes\n' \
  "$work/pk2.ini" "$work/mnt" "$work/run" >"$work/defaults"
hook() { PATH=$work/bin:$PATH PK2SCAN_DEFAULTS=$work/defaults MDEV=$1 ACTION=add \
  sh "$work/image/etc/hotplug/pk2scan" 2>>"$work/trace"; }

hook mmcblk0p1 & hook sda1 & hook sda2 & hook mmcblk0p2
wait
awk '/^start/ { if (open) bad = 1; open = 1; n++ } /^end/ { open = 0 }
     END { exit (bad || open || n < 1 || n > 4) }' "$work/calls" ||
  fail "scans overlapped or none ran: $(cat "$work/calls")"
[ ! -e "$work/run/pk2scan.lock" ] && [ ! -e "$work/run/pk2scan.pending" ] && [ -d "$work/mnt" ] ||
  fail "lock or pending event left behind, or mount folder not made"
grep -qx "start -d 0x1234 -c $work/pk2.ini -r -m $work/mnt -b" "$work/calls" ||
  fail "scan options: $(head -n1 "$work/calls")"
grep -q "Check partition /dev/mmcblk0p1" "$work/trace" &&
  grep -q "pk2scan: pk2update exit status 0" "$work/trace" || fail "no trace without a relay"
echo "dist: every check passed"
