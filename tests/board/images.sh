# Sourced by run: the initramfs, the disk images and one boot of the board.

root=$work/cache/root
kernel_modules=(armmmci virtio_mmio virtio_scsi sd_mod fat vfat nls_cp437 nls_ascii)

# Prints the modules that $1 needs, then $1, each once, read from the
# "depends=" entry of each module's info section.
module_order() {
  local name=$1 file deps dep
  case " $ordered " in *" $name "*) return ;; esac
  file=$(find "$root/lib/modules" -name "$name.ko" | head -n1)
  [ -n "$file" ] || { echo "board: module $name not in the kernel package" >&2; exit 1; }
  deps=$(tr '\0' '\n' <"$file" | sed -n 's/^depends=//p' | tr ',' ' ')
  for dep in $deps; do module_order "$dep"; done
  cp "$file" "$initramfs/lib/modules/"
  ordered="$ordered $name"
}

# The C library pieces that a dynamically linked armhf program loads.
copy_with_libraries() {
  local program=$1 target=$2 lib
  cp "$program" "$initramfs/$target"
  for lib in $(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p') ld-linux-armhf.so.3; do
    cp -L "$root/lib/arm-linux-gnueabihf/$lib" "$initramfs/lib/"
  done
}

build_initramfs() {
  initramfs=$work/initramfs
  rm -rf "$initramfs"
  mkdir -p "$initramfs"/{bin,sbin,lib/modules,etc/board,proc,sys,dev,tmp}
  cp "$root/bin/busybox" "$initramfs/bin/"
  cp "$here/init" "$initramfs/init"
  cp "$here/relay-scenario" "$initramfs/etc/board/"
  # Not in /etc/board, whose listing scenario 5 compares.
  install -D "$here/dist-scenarios" "$initramfs/etc/board.d/dist-scenarios"
  install_dist
  local p
  for p in pk2update morv systemcall_service morv_example; do
    [ -x "$programs/$p" ] && cp "$programs/$p" "$initramfs/bin/"
  done
  for p in ${BOARD_EXTRA:-}; do cp "$p" "$initramfs/bin/"; done
  copy_with_libraries "$root/sbin/fsck.fat" sbin/dosfsck
  ordered=""
  for p in "${kernel_modules[@]}"; do module_order "$p"; done
  echo $ordered >"$initramfs/lib/modules/order"

  printf 'installed from the card\n' >"$initramfs/etc/board/package-file"
  "$pk2pack" create -o "$work/ipcam" -d $ident -t $pubtime \
    -f "$initramfs/etc/board/package-file:/etc/board/installed.txt" \
    -x "grep ' /tmp/mnt ' /proc/mounts | cut -d' ' -f1 >>/tmp/board-order" >/dev/null
  (cd "$initramfs" && find . | cpio -o -H newc --quiet) | gzip -1 >"$work/initrd.gz"
  # The SIGRTMIN the relay's own C library reports: glibc keeps two
  # real-time signals for itself, musl three.
  if readelf -n "$programs/morv" | grep -q NT_GNU_ABI_TAG; then rtmin=34; else rtmin=35; fi
}

# The device scripts where the install target puts them in an image.
install_dist() {
  local pair
  for pair in S50morv:init.d/S50morv pk2scan:hotplug/pk2scan morv.default:default/morv \
    pk2update.default:default/pk2update mdev.conf:mdev.conf.d/pk2update.conf; do
    install -D "$top/dist/${pair%%:*}" "$initramfs/etc/${pair#*:}"
  done
}

# A 64 MiB image (the emulated SD card wants a power of two) with an MBR and
# one FAT32 partition from 1 MiB on; files go in with mtools, never a mount.
make_disk() {
  local image=$1
  rm -f "$image"
  truncate -s 64M "$image"
  python3 - "$image" <<'EOF'
import struct, sys
sectors = 64 * 2048
entry = struct.pack('<B3sB3sII', 0, b'\xfe\xff\xff', 0x0c, b'\xfe\xff\xff', 2048, sectors - 2048)
with open(sys.argv[1], 'r+b') as f:
    f.seek(0x1BE); f.write(entry); f.seek(510); f.write(b'\x55\xaa')
EOF
  mkfs.fat -F 32 -s 1 -S 512 --offset 2048 -h 2048 -n BOARD "$image" 64512 >/dev/null
}

card_put() { mcopy -o -i "$1@@1M" "$2" "::/$3"; }
card_get() { mcopy -n -o -i "$1@@1M" "::/$2" "$3" 2>/dev/null; }
card_has() { mdir -b -i "$1@@1M" "::/$2" >/dev/null 2>&1; }

# Boots the board once for a scenario; the console lands in $work/$1.log.
# Returns 0 when the board ended by itself within the time limit.
boot() {
  local name=$1 extra=$2 start end rc=0
  shift 2
  start=$(date +%s%N)
  timeout --kill-after=10 "$timeout_s" qemu-system-arm -M vexpress-a9 -m 256 \
    -kernel "$(ls "$root"/boot/vmlinuz-*-armmp | head -n1)" \
    -dtb "$(ls "$root"/usr/lib/linux-image-*-armmp/vexpress-v2p-ca9.dtb | head -n1)" \
    -initrd "$work/initrd.gz" \
    -append "console=ttyAMA0 rdinit=/init panic=-1 quiet board.ident=$ident board.rtmin=$rtmin $extra" \
    -display none -monitor "${monitor:-none}" -serial stdio -no-reboot -nic none \
    -audiodev none,id=snd0 -global pl041.audiodev=snd0 \
    "$@" </dev/null >"$work/$name.log" 2>&1 || rc=$?
  end=$(date +%s%N)
  local ms=$(((end - start) / 1000000))
  printf 'board: boot %s took %d.%d s\n' "$name" $((ms / 1000)) $((ms % 1000 / 100))
  if [ $rc = 124 ] || [ $rc = 137 ]; then
    echo "board: boot $name hung: stopped after $timeout_s s"
    return 1
  fi
  return 0
}

card_drive() { echo "-drive if=sd,format=raw,file=$1"; }
disk_drives() {
  echo "-drive if=none,id=disk,format=raw,file=$1 -device virtio-scsi-device,id=scsi -device scsi-hd,drive=disk,bus=scsi.0"
}
