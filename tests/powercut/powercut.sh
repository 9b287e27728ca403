#!/usr/bin/env bash
# Power cuts during and after runs of vork, on ext4, xfs and btrfs. A QEMU
# machine boots Debian's kernel with guest.sh as its first process, one
# virtio disk per file system and path; once every disk holds its old
# target, its state is saved with copies of the disks, and each cut restores
# both, orders a loop of runs (cut at a seeded random moment) or one run per
# disk (cut at a seeded delay of 0 to 3 s once all said status 0), and kills
# QEMU. The disks are then mounted here (which replays their journals),
# their targets classified, and checked by each file system's fsck. On the
# disks of the replacing path each run also puts its binary on a Thomson disk
# image holding other files (--onto), and that image is classified too.
# Usage: powercut.sh VORK
# VORK_POWERCUT_SEED, _RANDOM and _AFTER change the seed and the number of
# cuts of each kind; VORK_POWERCUT_ACCEL=kvm where KVM boots the machine.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
vork=$1
seed=${VORK_POWERCUT_SEED:-29} randoms=${VORK_POWERCUT_RANDOM:-60} afters=${VORK_POWERCUT_AFTER:-30}
RANDOM=$seed

skip() {
  echo "skipped: $1"
  [[ -z ${VORK_SKIP_LOG:-} ]] || echo "powercut: $1" >>"$VORK_SKIP_LOG"
  exit 77
}
[[ $(id -u) -eq 0 ]] || skip "mounting the disks it cut needs root"
[[ -e /dev/loop-control ]] || skip "this machine has no loop devices"
kernel=$( (ls /boot/vmlinuz-*-amd64 2>/dev/null || true) | sort -V | tail -n 1)
[[ -n $kernel ]] || skip "no Debian kernel in /boot (package linux-image-amd64)"
modules=/lib/modules/${kernel#/boot/vmlinuz-}
for tool in qemu-system-x86_64:qemu-system-x86 busybox:busybox-static mkfs.xfs:xfsprogs \
            mkfs.btrfs:btrfs-progs imgtool:mame-tools; do
  command -v "${tool%:*}" >/dev/null || skip "${tool%:*} is missing (Debian package ${tool#*:})"
done
# The guest has no C library: a vork that needs one cannot run there.
if readelf -d "$vork" | grep -q NEEDED; then echo "$vork is not linked statically"; exit 1; fi
. "$here/bytes.sh"

# The table of disks: name, file system, path (the in-place one has a second name).
disks=(vda:ext4:replace vdb:ext4:inplace vdc:xfs:replace vdd:xfs:inplace vde:btrfs:replace vdf:btrfs:inplace)
declare -A size=([ext4]=32M [xfs]=300M [btrfs]=128M)
declare -A mkfs=([ext4]="mkfs.ext4 -q -E lazy_itable_init=0,lazy_journal_init=0" [xfs]="mkfs.xfs -q"
                 [btrfs]="mkfs.btrfs -q")
declare -A fsck=([ext4]="e2fsck -fn" [xfs]="xfs_repair -n -f" [btrfs]="btrfs check")

work=$(mktemp -d)
qpid=0 checking=0
cleanup() {
  local pid
  for pid in "$qpid" "$checking"; do
    if ((pid > 0)); then kill -KILL "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  done
  grep -o " $work/[^ ]*" /proc/mounts | xargs -r umount || true
  for image in "$work"/*/*.img; do
    losetup -j "$image" 2>/dev/null | cut -d: -f1 | xargs -r losetup -d || true
  done
  [[ -n ${VORK_POWERCUT_KEEP:-} ]] || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# The initramfs: busybox, vork, the driver, its disks and the modules the
# guest needs, in the order they load.
mkdir -p "$work/root/bin" "$work/root/lib/modules" "$work/base"
cp "$(command -v busybox)" "$work/root/bin/"
cp "$vork" "$work/root/bin/vork"
cp "$here/guest.sh" "$work/root/init"
cp "$here/bytes.sh" "$work/root/"
for module in virtio_pci virtio_blk ext4 xfs btrfs; do
  modprobe -S "${modules#/lib/modules/}" --show-depends "$module"
done | awk '$1 == "insmod" && !seen[$2]++ { print $2 }' | while read -r module; do
  cp "$module" "$work/root/lib/modules/"
  basename "$module"
done >"$work/root/modules"
for disk in "${disks[@]}"; do
  IFS=: read -r name fs path <<<"$disk"
  echo "$name $fs $path" >>"$work/root/disks"
  truncate -s "${size[$fs]}" "$work/base/$name.img"
  ${mkfs[$fs]} "$work/base/$name.img" >/dev/null
done
# The disk image: other files of each type, and an old T.BIN to replace.
mkdir "$work/others"
bytes_of prog 1 8 >"$work/others/PROG.BAS"
bytes_of notes 2 0 >"$work/others/NOTES.TXT"
bytes_of game 3 11 >"$work/others/GAME.BIN"
bytes_of old 0 11 >"$work/T.BIN"
imgtool create thom_fd "$work/root/d.fd" >/dev/null
for file in PROG.BAS:B:B NOTES.TXT:D:A T.BIN:M:B GAME.BIN:M:B; do
  IFS=: read -r name type format <<<"$file"
  from=$work/others/$name
  [[ $name != T.BIN ]] || from=$work/T.BIN
  imgtool put thom_fd "$work/root/d.fd" "$from" "$name" --ftype="$type" --format="$format" >/dev/null
done
(cd "$work/root" && find . | busybox cpio -o -H newc >"$work/initrd" 2>/dev/null)

# start_qemu DIR [OPTION...]: starts the machine on DIR's disks, its console
# read from the fifo on fd 3 and written to DIR/log, the monitor behind ^A c.
start_qemu() {
  local dir=$1 drives=() disk
  shift
  for disk in "${disks[@]}"; do
    drives+=(-drive "file=$dir/${disk%%:*}.img,format=raw,if=virtio,cache=writeback")
  done
  rm -f "$work/console"
  mkfifo "$work/console"
  exec 3<>"$work/console"
  : >"$dir/log"
  qemu-system-x86_64 -accel "${VORK_POWERCUT_ACCEL:-tcg}" -m 256 -nodefaults -no-user-config \
    -display none -no-reboot -kernel "$kernel" -initrd "$work/initrd" \
    -append "console=ttyS0 quiet panic=-1" -chardev stdio,id=con,mux=on,signal=off \
    -serial chardev:con -mon chardev=con "${drives[@]}" "$@" <&3 >"$dir/log" 2>&1 &
  qpid=$!
}

# wait_for FILE PATTERN COUNT SECONDS [POKE]: waits until COUNT lines of
# FILE have PATTERN, running POKE between looks.
wait_for() {
  local tries=$(($4 * 20))
  until (($(grep -c "$2" "$1") >= $3)); do
    ((--tries > 0)) || { echo "no \"$2\" in $4 s:"; cat "$1"; exit 1; }
    ${5:-:}
    sleep 0.05
  done
}

ask_status() { printf '\001cinfo status\n\001c' >&3; }

# stop_qemu: the power cut itself.
stop_qemu() {
  if ((qpid > 0)); then kill -KILL "$qpid" || true; fi
  wait "$qpid" 2>/dev/null || true
  qpid=0
  exec 3>&-
}

started=$SECONDS
start_qemu "$work/base"
wait_for "$work/base/log" '^ready' 1 300
# Saved running, so that each restored machine runs on at once.
printf '\001cmigrate "exec:cat >%s"\nquit\n' "$work/state" >&3
wait "$qpid" || { echo "the machine's state was not saved:"; cat "$work/base/log"; exit 1; }
qpid=0
exec 3>&-
echo "machine ready and saved in $((SECONDS - started)) s; seed $seed"
bytes_of old 0 11 >"$work/old"

# classify FILE [OLD]: old (OLD, by default the old target), run N (the
# binary run N makes, whole), empty, missing or torn.
classify() {
  local tag n
  [[ -e $1 ]] || { echo missing; return; }
  [[ -s $1 ]] || { echo empty; return; }
  cmp -s "$1" "${2:-$work/old}" && { echo old; return; }
  tag=$(tail -c +6 "$1" | head -c 15 | tr -d '\0')
  if [[ $tag =~ ^run\ ([0-9]{10})\ $ ]]; then
    n=$((10#${BASH_REMATCH[1]}))
    if [[ ! -e $work/run$n ]]; then
      source_of "$n" >"$work/source"
      "$vork" "$work/source" 0100 0100 "$work/run$n" </dev/null >/dev/null
    fi
    cmp -s "$1" "$work/run$n" && { echo "run $n"; return; }
  fi
  echo torn
}

# classify_image DIR: the disk image DIR/d.fd as imgtool reads it: old, run N
# (its T.BIN what run N made, the other files as they were, nothing more),
# missing or torn.
classify_image() {
  [[ -e $1/d.fd ]] || { echo missing; return; }
  cmp -s "$1/d.fd" "$work/root/d.fd" && { echo old; return; }
  mkdir "$1/got"
  if ! (cd "$1/got" && timeout 60 imgtool getall thom_fd "$1/d.fd" >/dev/null 2>&1) ||
     ! diff -rq -x T.BIN "$1/got" "$work/others" >/dev/null; then
    echo torn
    return
  fi
  classify "$1/got/T.BIN" /dev/null | sed 's/^missing$\|^empty$/torn/'
}

# check CUT KIND: one line per disk of the cut:
# KIND FS PATH CLASS LAST0 FAILS FSCK STRAYS IMAGE, LAST0 the last run that
# said status 0, FAILS how many said another, IMAGE the disk image's class
# (- on the in-place path, which has none).
check() {
  local dir=$work/cut$1 disk name fs path last0 fails class health strays image
  mkdir "$dir/mnt"
  for disk in "${disks[@]}"; do
    IFS=: read -r name fs path <<<"$disk"
    # Whole lines only: the console carries the monitor's words too. A run
    # the guest's kernel killed (status 128 and up: nothing else there sends
    # a signal) is told but not counted as vork's failure.
    read -r last0 fails < <(tr -d '\r' <"$dir/log" | awk -v d="$name" '
      $1 == "status" && $2 == d && NF == 4 && $3 ~ /^[0-9]+$/ && $4 ~ /^[0-9]+$/ {
      if ($4 == 0) n = $3; else if ($4 < 128) fails++ } END { print n + 0, fails + 0 }')
    tr -d '\r' <"$dir/log" | grep -E "^said $name |^status $name [0-9]+ (1[2-9][0-9]|2[0-9][0-9])$" \
      | sed "s/^/cut $1 $2 $fs $path: /" >>"$dir/said" || true
    # A cut undone by the mount would make fsck of the raw disk misleading:
    # the journal is replayed first, as at the next boot.
    if ! mount -o loop -t "$fs" "$dir/$name.img" "$dir/mnt" 2>"$dir/mount.err"; then
      echo "$2 $fs $path unmountable $last0 $fails - -"
      continue
    fi
    class=$(classify "$dir/mnt/t.bin")
    strays=$(ls -A "$dir/mnt" | grep -vxE 't\.bin|t\.link|d\.fd|lost\+found' | tr '\n' , || true)
    rm -rf "$dir/image"
    mkdir "$dir/image"
    [[ ! -e $dir/mnt/d.fd ]] || cp "$dir/mnt/d.fd" "$dir/image/"
    umount "$dir/mnt"
    image=-
    [[ $path != replace ]] || image=$(classify_image "$dir/image")
    health=clean
    ${fsck[$fs]} "$dir/$name.img" >"$dir/fsck.log" 2>&1 || health=damaged
    echo "$2 $fs $path ${class// /:} $last0 $fails $health ${strays:--} ${image// /:}"
  done >"$dir/results"
  rm -f "$dir"/*.img
}

# The cuts: the random ones first, then those after status 0, each checked
# while the next one runs.
for ((cut = 1; cut <= randoms + afters; cut++)); do
  # Ahead of ctest's deadline, which would leave the disks mounted.
  ((SECONDS - started < 780)) || { echo "out of time after $((cut - 1)) cuts"; exit 1; }
  dir=$work/cut$cut
  mkdir "$dir"
  for disk in "${disks[@]}"; do cp --sparse=always "$work/base/${disk%%:*}.img" "$dir/"; done
  start_qemu "$dir" -incoming "exec:cat $work/state"
  # Orders sent while the state loads would be lost.
  wait_for "$dir/log" 'VM status: running' 1 60 ask_status
  if ((cut <= randoms)); then
    kind=random
    echo loop >&3
    sleep "$(printf %d.%03d $((RANDOM % 3)) $((RANDOM % 1000)))"
  else
    kind=after
    order=$(printf '%s\n' "${disks[@]%%:*}" | shuf --random-source=<(yes "$seed$cut") | tr '\n' ' ')
    echo "once $order" >&3
    wait_for "$dir/log" '^status' ${#disks[@]} 120
    sleep "$(printf %d.%03d $((RANDOM % 3)) $((RANDOM % 1000)))"
  fi
  stop_qemu
  ((checking == 0)) || wait "$checking"
  check "$cut" "$kind" &
  checking=$!
done
wait "$checking"
checking=0
echo "$((randoms + afters)) cuts in $((SECONDS - started)) s"

# The figures per file system, path and kind of cut. A replacement leaves
# the old file or an image whole, and the old disk image or a new one whole
# (image old, image new); every cut leaves nothing beside the target and image,
# fsck clean and no run that said status 0 undone (an older file instead);
# the in-place path's other outcomes are counted, as it cannot avoid them.
# What runs that did not end with 0 said, and runs the guest's kernel killed.
cat "$work"/cut*/said 2>/dev/null || true
cat "$work"/cut*/results | awk '
  { key = $2 " " $3 " " $1; cuts[key]++
    split($4, class, ":")
    undone = $5 > 0 && ($4 == "old" || (class[1] == "run" && class[2] < $5))
    whole = $4 == "old" || class[1] == "run"
    split($9, image, ":")
    undone = undone || ($5 > 0 && ($9 == "old" || (image[1] == "run" && image[2] < $5)))
    if ($9 == "old") image_old[key]++; else if (image[1] == "run") image_new[key]++
    if (whole) good[key]++; else neither[key]++
    bad = $6 != 0 || $7 != "clean" || $8 != "-" || undone || $4 == "missing" || $4 == "unmountable" ||
          ($3 == "replace" && (!whole || ($9 != "old" && image[1] != "run"))) || ($1 == "after" && $5 != 1)
    if (bad) { failed[key]++; nfailed++; print "FAILED: " $0 }
    else if (!whole) print "neither old nor new: " $0
    if ($4 == "old") old[key]++ }
  END {
    printf "%-6s %-8s %-7s %5s %5s %5s %13s %7s %10s %10s\n", "fs", "path", "cut", "cuts", "old", "new", "neither",
      "failed", "image old", "image new"
    n = split("ext4 xfs btrfs", fs, " ")
    for (f = 1; f <= n; f++) for (p = 0; p < 2; p++) for (c = 0; c < 2; c++) {
      key = fs[f] " " (p ? "inplace" : "replace") " " (c ? "after" : "random")
      if (cuts[key]) printf "%-6s %-8s %-7s %5d %5d %5d %5d (%4.1f%%) %7d %10s %10s\n", fs[f], (p ? "in-place" : "replace"),
        (c ? "after-0" : "random"), cuts[key], old[key], good[key] - old[key], neither[key],
        100 * neither[key] / cuts[key], failed[key], p ? "-" : image_old[key] + 0, p ? "-" : image_new[key] + 0
    }
    exit nfailed > 0 }'
