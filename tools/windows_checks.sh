#!/usr/bin/env bash
# The end-to-end checks for the Windows build, run under wine: the same
# bytes as this build's on a fixed set of pairs; then missing and refused
# inputs and outputs, a bad reply and Ctrl+C, each with its exit status, its
# one Polish line on stderr and the old Output.bmp left as it was; and the
# outputs that must work.
#
#   windows_checks.sh MAKE_PAIR REFERENCE RIPPLE_EXE
set -euo pipefail
make_pair=$(realpath "$1") reference=$(realpath "$2") exe=$(realpath "$3")
wine=${WINE:-/usr/lib/wine/wine64}
export WINEDEBUG=-all
"$(dirname "$0")/same_bytes.sh" "$make_pair" "$reference" "$wine" "$exe"

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"
"$make_pair" . 64 48 64 48

# What the program wrote to stderr, without the CR that Windows puts
# before each line end.
said() { tr -d '\r' <err.txt; }

# check NAME ANSWERS STATUS LINE [ARGS...]
check() {
  local name=$1 answers=$2 status=$3 line=$4
  shift 4
  echo old >Output.bmp
  local got=0
  printf '%s' "$answers" | "$wine" "$exe" "$@" >out.txt 2>err.txt || got=$?
  if [[ $got != "$status" || "$(said)" != "$line" || "$(cat Output.bmp)" != old ]]; then
    echo "windows_checks: $name: status $got, stderr «$(said)», Output.bmp «$(head -c 20 Output.bmp)»" >&2
    exit 1
  fi
  echo "windows_checks: $name: as expected"
}
check "missing input" "1 2" 1 "brak.bmp: nie można otworzyć pliku: nie ma takiego pliku" brak.bmp Input_2.bmp
printf 'BM-not-a-picture' >bad.bmp
check "refused file" "1 2" 1 "bad.bmp: plik jest za krótki na nagłówki BMP (16 B, potrzeba co najmniej 54 B)" bad.bmp Input_2.bmp
mkdir -p sub
check "input is a folder" "1 2" 1 "sub: to jest katalog, a nie plik" sub Input_2.bmp
check "input in a missing folder" "1 2" 1 "brak/x.bmp: nie można otworzyć pliku: nie ma takiego pliku" brak/x.bmp Input_2.bmp
check "output is a folder" "1 2" 1 "sub: to jest katalog, a nie plik" Input_1.bmp Input_2.bmp sub
check "output in a missing folder" "1 2" 1 "brak/out.bmp: nie można utworzyć pliku: nie ma takiego katalogu" Input_1.bmp Input_2.bmp brak/out.bmp
check "output is a device" "1 2" 1 "NUL: to nie jest zwykły plik; zastąpić można tylko zwykły plik" Input_1.bmp Input_2.bmp NUL
check "bad reply" "x" 1 "nieprawidłowa odpowiedź „x”: potrzebna liczba całkowita z zakresu od -2147483648 do 2147483647 (np. 320, -5, 0x1F, 017)
standardowe wejście: dane skończyły się przed podaniem obu współrzędnych"

# Outputs that work: a name of 250 bytes, written and then replaced, and an
# input replaced by its own blend (Windows will not replace a file that is
# still mapped).
# works NAME ARGS...
works() {
  local name=$1
  shift
  local got=0
  echo 1 2 | "$wine" "$exe" "$@" >out.txt 2>err.txt || got=$?
  if [[ $got != 0 ]]; then
    echo "windows_checks: $name: status $got, stderr «$(said)»" >&2
    exit 1
  fi
  echo "windows_checks: $name: as expected"
}
long=$(printf 'n%.0s' $(seq 246)).bmp
works "a long output name" Input_1.bmp Input_2.bmp "$long"
works "a long output name replaced" Input_1.bmp Input_2.bmp "$long"
rm -f "$long"
cp Input_1.bmp first.bmp
works "an input as the output" first.bmp Input_2.bmp first.bmp
rm -f first.bmp

# Ctrl+C at the prompt: wine turns SIGINT into the console's Ctrl+C event.
echo old >Output.bmp
mkfifo answers
# Only the process this script started is signalled, by its id.
"$wine" "$exe" <answers >out.txt 2>err.txt &
pid=$!
exec 7>answers
for _ in $(seq 100); do grep -q "Podaj" out.txt 2>/dev/null && break; sleep 0.1; done
kill -INT "$pid"
st=0
wait "$pid" || st=$?
echo $st >status.txt
exec 7>&-
# STATUS_CONTROL_C_EXIT, 0xC000013A, of which a POSIX status keeps 0x3A.
if [[ "$(cat status.txt)" != 58 || "$(said)" != "ripple: przerwano" || "$(cat Output.bmp)" != old ]]; then
  echo "windows_checks: Ctrl+C: status $(cat status.txt), stderr «$(said)»" >&2
  exit 1
fi
leftovers=$(ls -A | grep -v -x -e Input_1.bmp -e Input_2.bmp -e Output.bmp -e bad.bmp -e sub -e answers -e out.txt -e err.txt -e status.txt || true)
if [[ -n $leftovers ]]; then
  echo "windows_checks: left behind: $leftovers" >&2
  exit 1
fi
echo "windows_checks: Ctrl+C: as expected"
