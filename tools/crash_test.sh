#!/usr/bin/env bash
# Power cuts, as the kernel's own crash tests make them: on loop-mounted
# ext4 (with its defaults, and with noauto_da_alloc) and XFS images, the
# file system is shut down with `xfs_io -x -c "shutdown -f"`, which puts
# the journal (the names) on the disk and drops every byte not yet there,
# then mounted again. Four moments: right after a run that replaced an old
# output; right after one that made a new output; while the new file takes
# the old one's place (the rename held by strace); and in the middle of the
# writing. Each must leave the old output or the complete new one under the
# name, and nothing else in the folder.
#
# Needs root, loop devices, e2fsprogs, xfsprogs and strace; where loop
# devices cannot be had it says so and stops with status 0.
#
#   crash_test.sh MAKE_PAIR RIPPLE
set -euo pipefail
make_pair=$(realpath "$1") ripple=$(realpath "$2")
work=$(mktemp -d)
mnt=$work/mnt
mkdir "$mnt"
cleanup() {
  mountpoint -q "$mnt" && umount "$mnt"
  rm -rf "$work"
}
trap cleanup EXIT

if ! truncate -s 512M "$work/probe.img" || ! mkfs.ext4 -q "$work/probe.img" ||
   ! mount -o loop "$work/probe.img" "$mnt" 2>/dev/null; then
  echo "crash_test: no loop devices here, so no power cuts are tried"
  exit 0
fi
umount "$mnt"
rm -f "$work/probe.img"

# The pair and the picture a run must leave, made outside the images.
"$make_pair" "$work" 3000 2000 3000 2000
echo 1000 700 | "$ripple" "$work/Input_1.bmp" "$work/Input_2.bmp" "$work/want.bmp" >/dev/null
old=$work/Input_1.bmp

# fail MESSAGE
fail() {
  echo "crash_test: $fs: $moment: $1" >&2
  exit 1
}

cut() {
  xfs_io -x -c "shutdown -f" "$mnt"
}

# Mounts the image again and checks what the cut left.
# after_cut WANT...: the files the name may hold
after_cut() {
  umount "$mnt"
  mount -o "loop$options" "$image" "$mnt"
  local ok=0
  for want in "$@"; do
    cmp -s "$mnt/out/Output.bmp" "$want" && ok=1
  done
  [[ $ok == 1 ]] || fail "Output.bmp is neither the old picture nor the complete new one"
  local left
  left=$(ls -A "$mnt/out" | grep -v -x Output.bmp || true)
  [[ -z $left ]] || fail "left behind: $left"
  echo "crash_test: $fs: $moment: held"
}

# Runs ripple into out/Output.bmp, under strace with `inject` where given,
# in the background; its id is in $pid.
start() {
  local inject=$1
  if [[ -n $inject ]]; then
    echo 1000 700 | strace -f -o /dev/null -e "inject=$inject" \
      "$ripple" "$mnt/Input_1.bmp" "$mnt/Input_2.bmp" "$mnt/out/Output.bmp" >/dev/null 2>&1 &
  else
    echo 1000 700 | "$ripple" "$mnt/Input_1.bmp" "$mnt/Input_2.bmp" "$mnt/out/Output.bmp" >/dev/null 2>&1 &
  fi
  pid=$!
}

inode() { stat -c %i "$mnt/out/Output.bmp" 2>/dev/null || echo none; }

# Waits until the name holds another file than `before`, at most 30 s.
wait_for_new_inode() {
  local before=$1
  for _ in $(seq 300); do
    [[ $(inode) != "$before" ]] && return 0
    sleep 0.1
  done
  fail "the name never changed"
}

for fs in ext4 ext4-noauto_da_alloc xfs; do
  image=$work/$fs.img
  truncate -s 512M "$image"
  options=""
  case $fs in
    ext4) mkfs.ext4 -q "$image" ;;
    ext4-noauto_da_alloc) mkfs.ext4 -q "$image"; options=",noauto_da_alloc" ;;
    xfs) mkfs.xfs -q "$image" ;;
  esac
  mount -o "loop$options" "$image" "$mnt"
  mkdir "$mnt/out"
  cp "$work/Input_1.bmp" "$work/Input_2.bmp" "$mnt/"

  moment="after a run that replaced an old output"
  cp "$old" "$mnt/out/Output.bmp"
  sync
  echo 1000 700 | "$ripple" "$mnt/Input_1.bmp" "$mnt/Input_2.bmp" "$mnt/out/Output.bmp" >/dev/null
  cut
  after_cut "$work/want.bmp"

  moment="after a run that made a new output"
  rm "$mnt/out/Output.bmp"
  sync
  echo 1000 700 | "$ripple" "$mnt/Input_1.bmp" "$mnt/Input_2.bmp" "$mnt/out/Output.bmp" >/dev/null
  cut
  after_cut "$work/want.bmp"

  # The rename (or, for a new output, the link) has been made and is held
  # before it returns: the cut comes as the new file takes the name.
  for kind in an no; do
    moment="while the new file takes the name, with $kind old output"
    if [[ $kind == an ]]; then cp "$old" "$mnt/out/Output.bmp"; else rm -f "$mnt/out/Output.bmp"; fi
    sync
    before=$(inode)
    start "renameat,renameat2,linkat:delay_exit=3000000"
    wait_for_new_inode "$before"
    cut
    wait "$pid" || true
    if [[ $kind == an ]]; then after_cut "$old" "$work/want.bmp"; else after_cut "$work/want.bmp"; fi
  done

  # Every write held a tenth of a second: a second in, the picture is a
  # few strips along.
  moment="in the middle of the writing"
  cp "$old" "$mnt/out/Output.bmp"
  sync
  start "pwrite64:delay_exit=100000"
  sleep 1.5
  cut
  wait "$pid" || true
  after_cut "$old"

  umount "$mnt"
  rm -f "$image"
done
echo "crash_test: every cut left the old output or the complete new one, and nothing else"
