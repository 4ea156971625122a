#!/usr/bin/env bash
# Runs a command where 32-bit x86 programs can execute, such as wine's
# 32-bit loader for the 32-bit quorvel.exe, and says which way it went:
#   - here, when this machine's kernel runs 32-bit programs;
#   - otherwise inside a small virtual machine under qemu's software
#     emulation, whose kernel does. The guest sees this machine's files
#     read-only, with a fresh /tmp; each folder named by --copy is copied
#     into the guest's memory first and stands writable at its own path
#     there (what is written to it stays in the guest). The command runs in
#     the current folder, with the same PATH, HOME in /tmp. The console's
#     output is the guest's, escape codes and all.
#
#     cmake/run32.sh [--copy DIR]... COMMAND [ARGUMENT...]
#
# QUORVEL_RUN32_VM=1 takes the virtual machine even where this kernel
# could run the command, to time it as a machine without 32-bit support would.
# The exit status is the command's. Needs wine32:i386 (and wine), and for
# the virtual machine qemu-system-x86, busybox-static and a Debian kernel
# package, fetched once into QUORVEL_VM_CACHE (default: build-vm/ beside
# this script's folder).
set -euo pipefail

copies=()
while [ "${1:-}" = "--copy" ]; do
  copies+=("$(cd "$2" && pwd)")
  shift 2
done
[ $# -gt 0 ] || { echo "usage: $0 [--copy DIR]... COMMAND [ARGUMENT...]" >&2; exit 2; }

if [ -z "${QUORVEL_RUN32_VM:-}" ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "run32: this kernel runs 32-bit programs: running here"
  exec "$@"
fi

here=$(cd "$(dirname "$0")/.." && pwd)
cache=${QUORVEL_VM_CACHE:-$here/build-vm}
mkdir -p "$cache"
modules="virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci netfs fscache 9pnet 9pnet_virtio 9p"

# The kernel of Debian's current linux-image-amd64, unpacked once.
kernel_ready() { ls "$cache"/kernel/boot/vmlinuz-* >/dev/null 2>&1; }
if ! kernel_ready; then
  current_kernel() {
    apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -n 1
  }
  package=$(current_kernel)
  [ -n "$package" ] || { apt-get update -qq && package=$(current_kernel); }
  [ -n "$package" ] || { echo "run32: no kernel package found" >&2; exit 1; }
  (cd "$cache" && rm -f linux-image-*.deb && apt-get download "$package" >/dev/null 2>&1)
  rm -rf "$cache/kernel"
  dpkg-deb -x "$cache"/linux-image-*.deb "$cache/kernel"
  rm -f "$cache"/linux-image-*.deb
fi
vmlinuz=$(ls "$cache"/kernel/boot/vmlinuz-* | head -n 1)
release=${vmlinuz##*/vmlinuz-}

# The initramfs, made anew each time (it takes a moment): busybox, the
# modules that reach the host's files over 9p, and an init that mounts
# them, runs the job in a chroot and powers off.
initrd=$cache/initrd.cpio.gz
root=$cache/initramfs
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,sys,host,modules}
cp /bin/busybox "$root/bin/busybox"
for module in $modules; do
  find "$cache/kernel/lib/modules/$release" -name "$module.ko" -exec cp {} "$root/modules/" \;
done
cat > "$root/init" <<EOF
#!/bin/busybox sh
# quorvel_job and quorvel_project come from the kernel command line. Reads over 9p stop short
# at its message size, which wine's loader does not expect of a file, so
# the job copies the programs it runs into memory first.
B=/bin/busybox
\$B mount -t proc proc /proc
\$B mount -t devtmpfs dev /dev
for module in $modules; do \$B insmod /modules/\$module.ko; done
\$B mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,ro host /host
\$B mount -t proc proc /host/proc
\$B mount -t sysfs sys /host/sys
\$B mount -t devtmpfs dev /host/dev
# A fresh /tmp (wine keeps its server's socket there); the project's folder
# stays visible through it when it lies below /tmp.
\$B mkdir -p /hosttmp && \$B mount --bind /host/tmp /hosttmp
\$B mount -t tmpfs tmp /host/tmp
case "\$quorvel_project" in /tmp/*)
  \$B mkdir -p "/host\$quorvel_project" && \$B mount --bind "/hosttmp\${quorvel_project#/tmp}" "/host\$quorvel_project";;
esac
\$B mkdir -p /host/dev/shm && \$B mount -t tmpfs shm /host/dev/shm
\$B chroot /host /bin/sh "\$quorvel_job"
echo "run32-status: \$?"
\$B sync
\$B poweroff -f
EOF
chmod +x "$root/init"
(cd "$root" && find . | /bin/busybox cpio -o -H newc 2>/dev/null | gzip -1) > "$initrd"

# The job: the copies, then the command, run in this folder with this PATH.
job=$cache/job.sh
{
  echo "export PATH=$(printf %q "$PATH") HOME=/tmp/home WINEDEBUG=-all TMPDIR=/tmp"
  echo "mkdir -p /tmp/home || exit 125"
  for folder in "${copies[@]}"; do
    copy=$(printf %q "/tmp/run32-copies$folder") original=$(printf %q "$folder")
    echo "mkdir -p $copy && cp -a $original/. $copy && mount --bind $copy $original || exit 125"
  done
  echo "cd $(printf %q "$PWD") || exit 125"
  printf '%q ' "$@"
  echo
} > "$job"

echo "run32: this kernel does not run 32-bit programs: running in a virtual machine"
log=$(mktemp)
# Software emulation: KVM is not on every machine of this kind, and has hung
# while booting this guest where it was; wine in the guest needs the
# emulated processor without SMAP and PKU.
status=0
timeout "${QUORVEL_VM_SECONDS:-3600}" qemu-system-x86_64 \
  -accel tcg,thread=multi -cpu max,-smap,-pku -m 4096 -smp 2 -nographic -no-reboot -nic none \
  -kernel "$vmlinuz" -initrd "$initrd" \
  -append "console=ttyS0 quiet loglevel=1 panic=-1 quorvel_job=$job quorvel_project=$here" \
  -fsdev local,id=h,path=/,security_model=none,readonly=on,multidevs=remap \
  -device virtio-9p-pci,fsdev=h,mount_tag=host \
  < /dev/null | tee "$log" || status=$?
rm -f "$job"
result=$(sed -n 's/^run32-status: \([0-9]*\).*$/\1/p' "$log" | tail -n 1)
rm -f "$log"
if [ -z "$result" ]; then
  echo "run32: the virtual machine ended without the command's status (qemu status $status)" >&2
  exit 1
fi
exit "$result"
