# Sourced by run: the scenarios. Each boots the board, takes the verdict lines
# the board printed and adds its own checks of the images read back.

# Records a check made on the host: scenario, what, then the test.
host() {
  local s=$1 what=$2
  shift 2
  if "$@"; then
    echo "BOARD-VERDICT $s PASS $what" >>"$work/verdicts.$s"
  else
    echo "BOARD-VERDICT $s FAIL $what" >>"$work/verdicts.$s"
  fi
}

begin() { : >"$work/verdicts.$1"; }

# Boots and takes the board's own verdict lines from the console.
boot_and_read() {
  local s=$1 name=$2
  shift
  host "$s" "boot $name ends within $timeout_s s" boot "$@"
  tr -d '\r' <"$work/$name.log" | grep "^BOARD-VERDICT $s " >>"$work/verdicts.$s" || true
}

console_has() { tr -d '\r' <"$work/$1.log" | grep -qF -- "$2"; }
ran_to_end() { console_has "$1" "BOARD-END"; }

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

absent() { ! card_has "$1" "$2"; }
present() { card_has "$1" "$2"; }
profile_records() { # image: the card's pk2.ini holds our publication time
  card_get "$1" pk2.ini "$work/pk2.ini" &&
    tr -d '\r' <"$work/pk2.ini" | grep -q '^\[updimg\]' &&
    tr -d '\r' <"$work/pk2.ini" | grep -qE "^pubtime *= *$pubtime\$"
}
# FAT32 keeps the "not cleanly unmounted" flag in bit 0 of byte 0x41 of the
# partition's boot sector.
dirty_flag() { od -An -tu1 -j $((1048576 + 0x41)) -N1 "$1" | awk '{print $1 % 2}'; }
set_dirty_flag() { printf '\001' | dd of="$1" bs=1 seek=$((1048576 + 0x41)) conv=notrunc status=none; }

scenario_1() {
  local card=$work/card1.img
  begin 1
  make_disk "$card"
  card_put "$card" "$work/ipcam" ipcam
  boot_and_read 1 s1-first "board.scenario=1a" $(card_drive "$card")
  host 1 "board ran to the end" ran_to_end s1-first
  host 1 "package removed from the card" absent "$card" ipcam
  host 1 "profile on the card records pubtime=$pubtime" profile_records "$card"
  cp "$work/pk2.ini" "$work/pk2-first.ini" 2>/dev/null || true
  boot_and_read 1 s1-second "board.scenario=1b" $(card_drive "$card")
  host 1 "second boot ran to the end" ran_to_end s1-second
  host 1 "second boot installs nothing" not console_has s1-second "Update from"
  host 1 "second boot leaves the profile as it was" same_profile "$card"
  settle 1
}
not() { ! "$@"; }
same_profile() { card_get "$1" pk2.ini "$work/pk2.ini" && cmp -s "$work/pk2.ini" "$work/pk2-first.ini"; }

scenario_2() {
  local card=$work/card2.img
  begin 2
  make_disk "$card"
  head -c 64 /dev/zero | tr '\0' '\1' >"$work/recording"
  echo "check leftover" >"$work/leftover"
  echo "kept" >"$work/keep"
  card_put "$card" "$work/recording" .recording
  card_put "$card" "$work/leftover" FSCK0000.REC
  card_put "$card" "$work/leftover" FSCK0001.REC
  card_put "$card" "$work/keep" KEEP.TXT
  set_dirty_flag "$card"
  boot_and_read 2 s2 "board.scenario=2" $(card_drive "$card")
  host 2 "board ran to the end" ran_to_end s2
  host 2 "dosfsck ran and repaired the card" console_has s2 "Automatically removing dirty bit"
  host 2 "dosfsck cleared the dirty flag" [ "$(dirty_flag "$card")" = 0 ]
  host 2 "FSCK0000.REC removed" absent "$card" FSCK0000.REC
  host 2 "FSCK0001.REC removed" absent "$card" FSCK0001.REC
  host 2 "other files kept" present "$card" KEEP.TXT
  settle 2
}

scenario_3() {
  local card=$work/card3.img disk=$work/disk3.img
  begin 3
  make_disk "$card"
  make_disk "$disk"
  card_put "$card" "$work/ipcam" ipcam
  card_put "$disk" "$work/ipcam" ipcam
  boot_and_read 3 s3 "board.scenario=3 board.disk=1" $(card_drive "$card") $(disk_drives "$disk")
  host 3 "board ran to the end" ran_to_end s3
  host 3 "card: package removed" absent "$card" ipcam
  host 3 "card: profile records pubtime=$pubtime" profile_records "$card"
  host 3 "disk: package removed" absent "$disk" ipcam
  host 3 "disk: profile records pubtime=$pubtime" profile_records "$disk"
  settle 3
}

scenario_4() {
  local card=$work/card4.img
  begin 4
  make_disk "$card"
  card_put "$card" "$work/ipcam" ipcam
  boot_and_read 4 s4 "board.scenario=4" $(card_drive "$card")
  host 4 "package installed before the restart" console_has s4 "Update from"
  host 4 "kernel restarted the board" console_has s4 "reboot: Restarting system"
  host 4 "the restart came from pk2update, not the end of the script" not ran_to_end s4
  host 4 "package removed before the restart" absent "$card" ipcam
  host 4 "profile written before the restart" profile_records "$card"
  settle 4
}

scenario_5() {
  local card=$work/card5.img out=$work/relay-files name
  begin 5
  make_disk "$card"
  boot_and_read 5 s5 "board.scenario=5" $(card_drive "$card")
  host 5 "board ran to the end" ran_to_end s5
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
  begin 6
  make_disk "$card"
  boot_and_read 6 s6 "board.scenario=6" $(card_drive "$card")
  host 6 "board ran to the end" ran_to_end s6
  card_get "$card" boot.0 "$work/boot.0" || true
  host 6 "snapshot left on the card" [ -s "$work/boot.0" ]
  settle 6
}

# Waits for the board to ask, then adds a disk with the package through
# qemu's monitor: the drive, then a SCSI disk on the controller that booted
# empty, as a USB disk that is plugged in.
add_disk_when_asked() {
  local disk=$1 n=0
  until [ -f "$work/s7.log" ] && console_has s7 BOARD-ADD-DISK; do
    n=$((n + 1))
    [ $n -lt $((timeout_s * 2)) ] || return 1
    sleep 0.5
  done
  python3 - "$work/monitor.sock" "$disk" <<'PY'
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
  begin 7
  make_disk "$card"
  make_disk "$disk"
  card_put "$disk" "$work/ipcam" ipcam
  rm -f "$work/monitor.sock" "$work/s7.log"
  add_disk_when_asked "$disk" >"$work/s7-monitor.log" 2>&1 &
  helper=$!
  monitor="unix:$work/monitor.sock,server=on,wait=off" \
    boot_and_read 7 s7 "board.scenario=7" $(card_drive "$card") \
    -device virtio-scsi-device,id=scsi
  wait $helper || true
  host 7 "board ran to the end" ran_to_end s7
  host 7 "disk: package removed after the install" absent "$disk" ipcam
  settle 7
}
