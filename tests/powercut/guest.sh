#!/bin/busybox sh
# The guest side of the power-cut test, run as the machine's first process.
# It mounts each disk listed in /disks ("vda ext4 replace"), makes the old
# target on it (with a second name for the in-place path; beside the
# replaced one, the disk image /d.fd that each run puts its binary on), says
# "ready" and waits on the console for the host's orders:
#   loop        every disk runs vork again and again, all at once
#   once DISKS  vork runs once on each disk named, in that order
# After each run it prints "status DISK RUN STATUS", and after one that did
# not end with 0 what it said, on one line "said DISK RUN: ..."; run N's
# source is the tag "run N" over and over (bytes.sh). The host cuts the
# power when it likes.
/bin/busybox --install -s /bin
mkdir -p /proc /dev /mnt /tmp
mount -t proc proc /proc
mount -t devtmpfs dev /dev
for module in $(cat /modules); do insmod "/lib/modules/$module" 2>/dev/null; done
. /bytes.sh
stty -echo

# run DISK N: converts run N's source onto the target of DISK, and onto its
# disk image where it has one.
run() {
  source_of "$2" >"/tmp/$1.raw"
  onto=
  [ ! -e "/mnt/$1/d.fd" ] || onto="--onto /mnt/$1/d.fd"
  vork $onto "/tmp/$1.raw" 0100 0100 "/mnt/$1/t.bin" </dev/null >"/tmp/$1.said" 2>&1
  status=$?
  echo "status $1 $2 $status"
  [ "$status" = 0 ] || echo "said $1 $2: $(grep -v '^[*]' "/tmp/$1.said" | tr '\n' '|')"
}

while read -r disk fs path; do
  mkdir "/mnt/$disk"
  mount -t "$fs" "/dev/$disk" "/mnt/$disk" || echo "cannot mount $disk as $fs"
  bytes_of old 0 11 >"/mnt/$disk/t.bin"
  if [ "$path" = replace ]; then cp /d.fd "/mnt/$disk/"; else ln "/mnt/$disk/t.bin" "/mnt/$disk/t.link"; fi
done </disks
sync
echo ready

while read -r order disks; do
  case $order in
    loop)
      for disk in $(cut -d' ' -f1 /disks); do
        (n=1; while :; do run "$disk" "$n"; n=$((n + 1)); done) &
      done ;;
    once)
      for disk in $disks; do run "$disk" 1; done ;;
  esac
done
