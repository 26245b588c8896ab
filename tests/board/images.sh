# Sourced by run: the initramfs, the disk images and one boot of the board.

root=$work/cache/root
kernel_modules=(armmmci virtio_mmio virtio_scsi sd_mod fat vfat nls_cp437 nls_ascii)

# Copies $1 after the modules its info section's "depends=" names, each once.
module_order() {
  local name=$1 file deps dep
  case " $ordered " in *" $name "*) return ;; esac
  file=$(find "$root/lib/modules" -name "$name.ko" | head -n1)
  deps=$(tr '\0' '\n' <"$file" | sed -n 's/^depends=//p' | tr ',' ' ')
  for dep in $deps; do module_order "$dep"; done
  cp "$file" "$initramfs/lib/modules/"
  ordered="$ordered $name"
}

build_initramfs() {
  initramfs=$work/initramfs
  rm -rf "$initramfs"
  mkdir -p "$initramfs"/{bin,sbin,lib/modules,etc/board,proc,sys,dev,tmp}
  cp "$root/bin/busybox" "$initramfs/bin/"
  cp "$here/init" "$initramfs/init"
  cp "$here/relay-scenario" "$initramfs/etc/board/"
  install -D "$here/dist-scenarios" "$initramfs/etc/board.d/dist-scenarios"
  local p
  # The device scripts where the install target puts them in an image.
  for p in S50morv:init.d/S50morv pk2scan:hotplug/pk2scan morv.default:default/morv \
    pk2update.default:default/pk2update mdev.conf:mdev.conf.d/pk2update.conf; do
    install -D "$top/dist/${p%%:*}" "$initramfs/etc/${p#*:}"
  done
  cp "$programs"/{pk2update,morv,systemcall_service,morv_example} "$initramfs/bin/" || true
  for p in ${BOARD_EXTRA:-}; do cp "$p" "$initramfs/bin/"; done
  cp "$root/sbin/fsck.fat" "$initramfs/sbin/dosfsck"
  cp -L "$root"/lib/arm-linux-gnueabihf/{libc.so.6,ld-linux-armhf.so.3} "$initramfs/lib/"
  ordered=""
  for p in "${kernel_modules[@]}"; do module_order "$p"; done
  echo $ordered >"$initramfs/lib/modules/order"

  printf 'installed from the card\n' >"$initramfs/etc/board/package-file"
  "$pk2pack" create -o "$work/ipcam" -d $ident -t $pubtime \
    -f "$initramfs/etc/board/package-file:/etc/board/installed.txt" \
    -x "grep ' /tmp/mnt ' /proc/mounts | cut -d' ' -f1 >>/tmp/board-order" >/dev/null
  (cd "$initramfs" && find . | cpio -o -H newc --quiet) | gzip -1 >"$work/initrd.gz"
  # The relay's SIGRTMIN: glibc keeps two real-time signals for itself, musl three.
  if readelf -n "$programs/morv" | grep -q NT_GNU_ABI_TAG; then rtmin=34; else rtmin=35; fi
}

poke() { dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }
# A 64 MiB image (the emulated SD card wants a power of two) with an MBR and
# one FAT32 partition from 1 MiB on; files go in with mtools, never a mount.
make_disk() {
  local image=$1
  rm -f "$image"
  truncate -s 64M "$image"
  printf '\0\xfe\xff\xff\x0c\xfe\xff\xff\0\x08\0\0\0\xf8\x01\0' | poke "$image" 446
  printf '\x55\xaa' | poke "$image" 510
  mkfs.fat -F 32 -s 1 -S 512 --offset 2048 -h 2048 -n BOARD "$image" 64512 >/dev/null
}

card_put() { mcopy -o -i "$1@@1M" "$2" "::/$3"; }
card_get() { mcopy -n -o -i "$1@@1M" "::/$2" "$3" 2>/dev/null; }
card_has() { mdir -b -i "$1@@1M" "::/$2" >/dev/null 2>&1; }

# Boots the board once; the console lands in $work/$1.log. Fails on a timeout.
boot() {
  local name=$1 extra=$2 rc=0
  shift 2
  timeout --kill-after=10 "$timeout_s" qemu-system-arm -M vexpress-a9 -m 256 \
    -kernel "$(ls "$root"/boot/vmlinuz-*-armmp | head -n1)" \
    -dtb "$(ls "$root"/usr/lib/linux-image-*-armmp/vexpress-v2p-ca9.dtb | head -n1)" \
    -initrd "$work/initrd.gz" \
    -append "console=ttyAMA0 rdinit=/init panic=-1 quiet board.ident=$ident board.rtmin=$rtmin \
$extra" \
    -display none -monitor "${monitor:-none}" -serial stdio -no-reboot -nic none \
    -audiodev none,id=snd0 -global pl041.audiodev=snd0 \
    "$@" </dev/null >"$work/$name.log" 2>&1 || rc=$?
  [ $rc != 124 ] && [ $rc != 137 ]
}

card_drive() { echo "-drive if=sd,format=raw,file=$1"; }
