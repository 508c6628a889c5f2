#!/usr/bin/env bash
# Inputs on a FUSE mount that cannot map files and caches what it says of
# them (bindfs -o ro,direct_io, as read-only sshfs and rclone-like mounts
# are): they are copied band by band into the same bytes; a rewrite at their
# source while the user answers is seen and refused; and, with the build
# that writes a named temporary file (the portable one), a SIGBUS sent
# while the picture is written leaves nothing behind.
#
# Needs root, /dev/fuse and bindfs; where FUSE cannot be had it says so and
# stops with status 0.
#
#   fuse_checks.sh MAKE_PAIR RIPPLE NAMED_TEMPORARY_RIPPLE
set -euo pipefail
make_pair=$(realpath "$1") ripple=$(realpath "$2") named=$(realpath "$3")
work=$(mktemp -d)
mkdir "$work/src" "$work/mnt" "$work/out"
cleanup() {
  mountpoint -q "$work/mnt" && umount "$work/mnt"
  rm -rf "$work"
}
trap cleanup EXIT
"$make_pair" "$work/src" 3000 2000 3000 2000
if ! bindfs -o ro,direct_io "$work/src" "$work/mnt" 2>/dev/null; then
  echo "fuse_checks: no FUSE here, so no unmappable inputs are tried"
  exit 0
fi
cd "$work"

fail() {
  echo "fuse_checks: $1" >&2
  exit 1
}

echo 1000 700 | "$ripple" src/Input_1.bmp src/Input_2.bmp want.bmp >/dev/null
echo 1000 700 | "$ripple" mnt/Input_1.bmp mnt/Input_2.bmp out/Output.bmp >/dev/null
cmp -s want.bmp out/Output.bmp || fail "copied band by band, the output differs"
echo "fuse_checks: copied band by band: the same bytes"

# Runs a ripple in the background, answering through the FIFO `answers`;
# its id is in $pid.
mkfifo answers
start() {
  "$@" <answers >said.txt 2>err.txt &
  pid=$!
  exec 7>answers
  for _ in $(seq 100); do grep -q "Podaj" said.txt 2>/dev/null && return 0; sleep 0.1; done
  fail "no prompt from $*"
}

rm out/Output.bmp
start "$ripple" mnt/Input_1.bmp mnt/Input_2.bmp out/Output.bmp
printf 'rewritten' | dd of=src/Input_1.bmp bs=1 seek=5000 conv=notrunc status=none
echo 1000 700 >&7
exec 7>&-
st=0
wait "$pid" || st=$?
[[ $st == 1 && "$(cat err.txt)" == "mnt/Input_1.bmp: plik zmienił się w trakcie działania programu" ]] ||
  fail "a rewrite at the source: status $st, stderr «$(cat err.txt)»"
[[ -z "$(ls -A out)" ]] || fail "a rewrite at the source left $(ls -A out)"
echo "fuse_checks: a rewrite at the source while the user answers: refused"

# SIGBUS, which no mapped input is there to explain, while the named
# temporary file holds part of the picture.
start "$named" mnt/Input_1.bmp mnt/Input_2.bmp out/Output.bmp
echo 1000 700 >&7
exec 7>&-
for _ in $(seq 200); do compgen -G 'out/.ripple-*' >/dev/null && break; sleep 0.01; done
compgen -G 'out/.ripple-*' >/dev/null || fail "the named build made no temporary file"
kill -BUS "$pid"
st=0
wait "$pid" || st=$?
[[ $st == $((128 + $(kill -l BUS))) ]] || fail "SIGBUS: status $st"
[[ -z "$(ls -A out)" ]] || fail "SIGBUS left $(ls -A out)"
echo "fuse_checks: SIGBUS while a named temporary file is written: nothing left"
