#!/usr/bin/env bash
# Runs two builds of ripple on a fixed set of pairs and centres, and fails
# unless every output is the same, byte for byte. OTHER is a command line,
# so that it can start the program under an emulator (qemu, wine).
#
#   same_bytes.sh MAKE_PAIR REFERENCE OTHER...
set -euo pipefail
make_pair=$1 reference=$2
shift 2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
runs=0
while read -r w1 h1 w2 h2 centres; do
  "$make_pair" "$dir" "$w1" "$h1" "$w2" "$h2"
  for c in $centres; do
    answer=${c/,/ }
    echo "$answer" | "$reference" "$dir/Input_1.bmp" "$dir/Input_2.bmp" "$dir/want.bmp" >/dev/null
    echo "$answer" | "$@" "$dir/Input_1.bmp" "$dir/Input_2.bmp" "$dir/got.bmp" >/dev/null
    if ! cmp -s "$dir/want.bmp" "$dir/got.bmp"; then
      echo "same_bytes: $w1×$h1 with $w2×$h2 at ($answer) differs" >&2
      exit 1
    fi
    runs=$((runs + 1))
  done
done <<'PAIRS'
5 3 5 3 2,1 0,0 -400,300 46341,46341
7 9 9 -11 3,4 -1,9 40000,40000 -2147483648,2147483647
31 50 31 50 15,25 31,-1 5,-70000
641 479 700 -500 320,240 0,0 -90,500 2147483647,-2147483648
4097 3 4097 3 2048,1 0,0 100000,1
1 3000 1 3000 0,1500 -5,-5 3,40000
3000 1 3000 2 1500,0 -1,0 0,90000
PAIRS
echo "same_bytes: $runs outputs identical"
