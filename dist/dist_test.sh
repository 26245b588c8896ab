#!/bin/sh
# The install target and the hotplug hook on the host: the image gets every
# file; four events at once never run two scans together, none is lost,
# the scan gets its options and its trace reaches the relay (or standard
# error without one). pk2update and morv are stand-ins that log calls.
# Usage: dist_test.sh BUILD_DIR
set -eu
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

DESTDIR=$work/image cmake --install "$build" --prefix / >/dev/null
for f in sbin/pk2update sbin/morv etc/default/morv etc/default/pk2update \
  etc/mdev.conf.d/pk2update.conf etc/udev/rules.d/90-pk2update.rules; do
  [ -e "$work/image/$f" ] || fail "install leaves out $f"
done
for f in etc/init.d/S50morv etc/hotplug/pk2scan; do
  [ -x "$work/image/$f" ] && sh -n "$work/image/$f" ||
    fail "$f missing, not executable or does not parse"
done

mkdir -p "$work/bin"
cat >"$work/bin/pk2update" <<STUB
#!/bin/sh
echo "start \$*" >>"$work/calls"
sleep 1
echo "end" >>"$work/calls"
echo "Check partition /dev/mmcblk0p1 ...."
STUB
cat >"$work/bin/morv" <<STUB
#!/bin/sh
[ -e "$work/relay-up" ] || { echo "morv: connect to /var/run/morv.sock: No such file" >&2; exit 1; }
cat >>"$work/relay"
STUB
chmod +x "$work/bin/pk2update" "$work/bin/morv"
cat >"$work/defaults" <<DEFAULTS
PK2_IDENT=0x1234
PK2_PROFILE=$work/pk2.ini
PK2_MOUNT_DIR=$work/mnt
PK2_RUN_DIR=$work/run
PK2_REBOOT=yes
DEFAULTS
hook() { PATH=$work/bin:$PATH PK2SCAN_DEFAULTS=$work/defaults MDEV=$1 ACTION=add \
  sh "$work/image/etc/hotplug/pk2scan"; }

touch "$work/relay-up"
hook mmcblk0p1 & hook sda1 & hook sda2 & hook mmcblk0p2
wait
awk '/^start/ { if (open) bad = 1; open = 1; n++ } /^end/ { open = 0 }
     END { exit (bad || open || n < 1 || n > 4) }' "$work/calls" ||
  fail "scans overlapped or none ran: $(cat "$work/calls")"
[ ! -e "$work/run/pk2scan.lock" ] && [ ! -e "$work/run/pk2scan.pending" ] && [ -d "$work/mnt" ] ||
  fail "lock or pending event left behind, or mount folder not made"
grep -qx "start -d 0x1234 -c $work/pk2.ini -r -m $work/mnt -b" "$work/calls" ||
  fail "scan options: $(head -n1 "$work/calls")"
grep -q "Check partition /dev/mmcblk0p1" "$work/relay" &&
  grep -q "pk2scan: pk2update exit status 0" "$work/relay" || fail "no trace in the relay"

rm -f "$work/relay-up"
err=$(hook mmcblk0p1 2>&1 >/dev/null)
case $err in *"pk2scan: pk2update exit status 0"*) ;; *) fail "no trace without a relay: $err" ;; esac
echo "dist: every check passed"
