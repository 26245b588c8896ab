# Sourced by run: the scenarios. Each boots the board, keeps the verdict lines
# the board printed and adds its own checks of the images read back.

host() { # scenario, what, then the test
  local s=$1 what=$2 v=PASS
  shift 2
  "$@" || v=FAIL
  echo "BOARD-VERDICT $s $v $what" >>"$work/verdicts.$s"
}
# Starts scenario $1 with no verdicts yet and fresh empty images $2...
begin() {
  : >"$work/verdicts.$1"
  shift
  local image
  for image; do make_disk "$image"; done
}
# Boots once and keeps the board's verdict lines; checks it ran to the end
# unless told the board restarts itself.
boot_and_read() { # scenario, log name, kernel arguments, qemu arguments...
  local s=$1 name=$2
  shift
  host "$s" "boot $name ends within $timeout_s s" boot "$@"
  tr -d '\r' <"$work/$name.log" | grep "^BOARD-VERDICT $s " >>"$work/verdicts.$s" || true
  [ "${restarts:-}" = yes ] || host "$s" "boot $name ran to the end" console_has "$name" BOARD-END
}
console_has() { tr -d '\r' <"$work/$1.log" | grep -qF -- "$2"; }
not() { ! "$@"; }
absent() { ! card_has "$1" "$2"; }
profile_records() { # image: the card's pk2.ini holds our publication time
  card_get "$1" pk2.ini "$work/pk2.ini" && tr -d '\r' <"$work/pk2.ini" >"$work/pk2.txt" &&
    grep -q '^\[updimg\]' "$work/pk2.txt" && grep -qE "^pubtime *= *$pubtime\$" "$work/pk2.txt"
}
installed_on() { # image: package removed and profile written
  absent "$1" ipcam && profile_records "$1"
}
same_profile() {
  card_get "$1" pk2.ini "$work/pk2.ini" && cmp -s "$work/pk2.ini" "$work/pk2-first.ini"
}
# FAT32 keeps the "not cleanly unmounted" flag in bit 0 of byte 0x41 of the
# partition's boot sector.
dirty_at=$((1048576 + 0x41))
dirty_flag() { od -An -tu1 -j $dirty_at -N1 "$1" | awk '{print $1 % 2}'; }

# Prints the scenario's checks and sets its verdict: PASS only when there
# were checks and none failed.
settle() {
  local s=$1
  sed 's/^BOARD-VERDICT //' "$work/verdicts.$s"
  if [ -s "$work/verdicts.$s" ] && ! grep -q "^BOARD-VERDICT $s FAIL" "$work/verdicts.$s"; then
    verdict[$s]=PASS
  else
    verdict[$s]=FAIL
    echo "board: scenario $s FAILED; console in $work/*.log, images in $work"
  fi
}

scenario_1() {
  local card=$work/card1.img
  begin 1 "$card"
  card_put "$card" "$work/ipcam" ipcam
  boot_and_read 1 s1-first "board.scenario=1a" $(card_drive "$card")
  host 1 "package removed, profile records pubtime=$pubtime" installed_on "$card"
  cp "$work/pk2.ini" "$work/pk2-first.ini" 2>/dev/null || true
  boot_and_read 1 s1-second "board.scenario=1b" $(card_drive "$card")
  host 1 "second boot installs nothing" not console_has s1-second "Update from"
  host 1 "second boot leaves the profile as it was" same_profile "$card"
  settle 1
}

scenario_2() {
  local card=$work/card2.img name
  begin 2 "$card"
  head -c 64 /dev/zero | tr '\0' '\1' >"$work/recording"
  echo "check leftover" >"$work/leftover"
  card_put "$card" "$work/recording" .recording
  for name in FSCK0000.REC FSCK0001.REC KEEP.TXT; do card_put "$card" "$work/leftover" $name; done
  printf '\001' | dd of="$card" bs=1 seek=$dirty_at conv=notrunc status=none
  boot_and_read 2 s2 "board.scenario=2" $(card_drive "$card")
  host 2 "dosfsck ran and repaired the card" console_has s2 "Automatically removing dirty bit"
  host 2 "dosfsck cleared the dirty flag" [ "$(dirty_flag "$card")" = 0 ]
  host 2 "FSCK0000.REC and FSCK0001.REC removed, KEEP.TXT kept" \
    eval 'absent "$card" FSCK0000.REC && absent "$card" FSCK0001.REC && card_has "$card" KEEP.TXT'
  settle 2
}

scenario_3() {
  local card=$work/card3.img disk=$work/disk3.img
  begin 3 "$card" "$disk"
  card_put "$card" "$work/ipcam" ipcam
  card_put "$disk" "$work/ipcam" ipcam
  boot_and_read 3 s3 "board.scenario=3 board.disk=1" $(card_drive "$card") $(disk_drives "$disk")
  host 3 "card: package removed, profile records pubtime=$pubtime" installed_on "$card"
  host 3 "disk: package removed, profile records pubtime=$pubtime" installed_on "$disk"
  settle 3
}

scenario_4() {
  local card=$work/card4.img
  begin 4 "$card"
  card_put "$card" "$work/ipcam" ipcam
  restarts=yes boot_and_read 4 s4 "board.scenario=4" $(card_drive "$card")
  host 4 "package installed before the restart" console_has s4 "Update from"
  host 4 "kernel restarted the board" console_has s4 "reboot: Restarting system"
  host 4 "the restart came from pk2update, not the end of the script" not console_has s4 BOARD-END
  host 4 "package removed and profile written before the restart" installed_on "$card"
  settle 4
}

scenario_5() {
  local card=$work/card5.img out=$work/relay-files name
  begin 5 "$card"
  boot_and_read 5 s5 "board.scenario=5" $(card_drive "$card")
  rm -rf "$out"
  mkdir -p "$out"
  for name in example.out log.0 log.cont.0 live.out ls.out fetch.tgz; do
    card_get "$card" "$name" "$out/$name" || true
  done
  python3 "$here/relay_check.py" "$out" | sed 's/^/BOARD-VERDICT 5 /' >>"$work/verdicts.5"
  settle 5
}

scenario_6() {
  local card=$work/card6.img
  begin 6 "$card"
  boot_and_read 6 s6 "board.scenario=6" $(card_drive "$card")
  host 6 "snapshot left on the card" \
    eval 'card_get "$card" boot.0 "$work/boot.0" && [ -s "$work/boot.0" ]'
  settle 6
}

# Waits for the board to ask, then adds a disk with the package through
# qemu's monitor: the drive, then a SCSI disk on the controller that booted
# empty, as a USB disk that is plugged in.
add_disk_when_asked() {
  local n=0
  until [ -f "$work/s7.log" ] && console_has s7 BOARD-ADD-DISK; do
    n=$((n + 1))
    [ $n -lt $((timeout_s * 2)) ] || return 1
    sleep 0.5
  done
  python3 - "$work/monitor.sock" "$1" <<'PY'
import socket, sys, time
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1])
for cmd in ("drive_add 0 if=none,id=hot,format=raw,file=" + sys.argv[2],
            "device_add scsi-hd,drive=hot,bus=scsi.0"):
    s.sendall((cmd + "\n").encode())
    time.sleep(1)
PY
}

scenario_7() {
  local card=$work/card7.img disk=$work/disk7.img helper
  begin 7 "$card" "$disk"
  card_put "$disk" "$work/ipcam" ipcam
  rm -f "$work/monitor.sock" "$work/s7.log"
  add_disk_when_asked "$disk" >"$work/s7-monitor.log" 2>&1 &
  helper=$!
  monitor="unix:$work/monitor.sock,server=on,wait=off" \
    boot_and_read 7 s7 "board.scenario=7" $(card_drive "$card") -device virtio-scsi-device,id=scsi
  wait $helper || true
  host 7 "disk: package removed after the install" absent "$disk" ipcam
  settle 7
}
