# Sourced by run: the scenarios. Each keeps the board's verdict lines, adds its checks of the
# images read back and settles: PASS only when there were checks and none failed.

host() { # scenario, what, then the test
  local s=$1 what=$2 v=PASS
  shift 2
  "$@" || v=FAIL
  echo "BOARD-VERDICT $s $v $what" >>"$work/verdicts.$s"
}
begin() { # scenario, then the images to make afresh
  : >"$work/verdicts.$1"
  shift
  local image
  for image; do make_disk "$image"; done
}
# Checks the board ran to the end unless told it restarts itself.
boot_and_read() { # scenario, log name, kernel arguments, qemu arguments...
  local s=$1 name=$2
  shift
  host "$s" "boot $name ends within $timeout_s s" boot "$@"
  tr -d '\r' <"$work/$name.log" | grep "^BOARD-VERDICT $s " >>"$work/verdicts.$s" || true
  [ "${restarts:-}" = yes ] || host "$s" "boot $name ran to the end" console_has "$name" BOARD-END
}
console_has() { tr -d '\r' <"$work/$1.log" | grep -qF -- "$2"; }
absent() { ! card_has "$1" "$2"; }
installed_on() { # image: package removed, profile records our publication time
  absent "$1" ipcam && card_get "$1" pk2.ini "$work/pk2.ini" &&
    tr -d '\r' <"$work/pk2.ini" | grep -qE "^pubtime *= *$pubtime\$"
}
settle() {
  local s=$1
  sed 's/^BOARD-VERDICT //' "$work/verdicts.$s"
  verdict[$s]=PASS
  [ -s "$work/verdicts.$s" ] && ! grep -q "^BOARD-VERDICT $s FAIL" "$work/verdicts.$s" ||
    verdict[$s]="FAIL (consoles in $work/*.log, images in $work)"
}

scenario_1() {
  local card=$work/card1.img
  begin 1 "$card"
  card_put "$card" "$work/ipcam" ipcam
  boot_and_read 1 s1-first "board.scenario=1a" $(card_drive "$card")
  host 1 "package removed, profile records pubtime=$pubtime" installed_on "$card"
  boot_and_read 1 s1-second "board.scenario=1b" $(card_drive "$card")
  settle 1
}

scenario_2() {
  local card=$work/card2.img name dirty_at=$((1048576 + 0x41)) # FAT32's dirty flag, bit 0
  begin 2 "$card"
  head -c 64 /dev/zero | tr '\0' '\1' >"$work/recording"
  for name in .recording FSCK0000.REC FSCK0001.REC KEEP.TXT; do
    card_put "$card" "$work/recording" $name
  done
  printf '\001' | poke "$card" $dirty_at
  boot_and_read 2 s2 "board.scenario=2" $(card_drive "$card")
  host 2 "dosfsck cleared the dirty flag" [ $(od -An -tu1 -j $dirty_at -N1 "$card") = 0 ]
  host 2 "FSCK0000.REC and FSCK0001.REC removed, KEEP.TXT kept" \
    eval 'absent "$card" FSCK0000.REC && absent "$card" FSCK0001.REC && card_has "$card" KEEP.TXT'
  settle 2
}

scenario_3() {
  local card=$work/card3.img disk=$work/disk3.img
  begin 3 "$card" "$disk"
  card_put "$card" "$work/ipcam" ipcam
  card_put "$disk" "$work/ipcam" ipcam
  boot_and_read 3 s3 "board.scenario=3 board.disk=1" $(card_drive "$card") \
    -drive if=none,id=disk,format=raw,file="$disk" -device virtio-scsi-device,id=scsi \
    -device scsi-hd,drive=disk,bus=scsi.0
  host 3 "card: package removed, profile records pubtime=$pubtime" installed_on "$card"
  host 3 "disk: package removed, profile records pubtime=$pubtime" installed_on "$disk"
  settle 3
}

# The board fails the scenario itself if pk2update returns.
scenario_4() {
  local card=$work/card4.img
  begin 4 "$card"
  card_put "$card" "$work/ipcam" ipcam
  restarts=yes boot_and_read 4 s4 "board.scenario=4" $(card_drive "$card")
  host 4 "kernel restarted the board" console_has s4 "reboot: Restarting system"
  host 4 "package removed and profile written before the restart" installed_on "$card"
  settle 4
}

scenario_5() {
  local card=$work/card5.img out=$work/relay-files
  begin 5 "$card"
  boot_and_read 5 s5 "board.scenario=5" $(card_drive "$card")
  rm -rf "$out"
  mkdir -p "$out"
  card_get "$card" '*' "$out" || true
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

# When the board asks, plugs the disk into the SCSI controller that booted empty.
add_disk_when_asked() {
  timeout "$timeout_s" sh -c 'until grep -qs BOARD-ADD-DISK "$0"; do sleep 0.5; done' "$work/s7.log"
  printf 'drive_add 0 if=none,id=hot,format=raw,file=%s\n' "$1" 1<>"$work/monitor.in"
  echo 'device_add scsi-hd,drive=hot,bus=scsi.0' 1<>"$work/monitor.in"
}

scenario_7() {
  local card=$work/card7.img disk=$work/disk7.img helper
  begin 7 "$card" "$disk"
  card_put "$disk" "$work/ipcam" ipcam
  rm -f "$work"/{monitor.in,monitor.out,s7.log}
  mkfifo "$work/monitor.in" "$work/monitor.out"
  add_disk_when_asked "$disk" &
  helper=$!
  monitor="pipe:$work/monitor" \
    boot_and_read 7 s7 "board.scenario=7" $(card_drive "$card") -device virtio-scsi-device,id=scsi
  wait $helper || true
  host 7 "disk: package removed after the install" absent "$disk" ipcam
  settle 7
}
