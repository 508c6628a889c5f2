#!/usr/bin/env bash
# The end-to-end checks for the Windows build, run under wine: the same
# bytes as this build's on a fixed set of pairs; then missing and refused
# inputs and outputs, a bad reply, an output another program holds open and
# Ctrl+C, each with its exit status, its one Polish line on stderr and the
# old Output.bmp left as it was; the outputs that must work; an end at any
# moment of the writing (Ctrl+C, or the process killed) leaving nothing; no
# progress into a file; on a console, the code pages put back and no wait
# for Enter; and, where this runs as root, a folder another user cannot
# write refused before the questions. (Wine makes no symbolic links, so
# they are not tried.)
#
#   windows_checks.sh MAKE_PAIR REFERENCE RIPPLE_EXE HELPER_EXE
set -euo pipefail
make_pair=$(realpath "$1") reference=$(realpath "$2") exe=$(realpath "$3") helper=$(realpath "$4")
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

# run NAME ANSWERS [ARGS...]: the program on ANSWERS, its status as this
# function's. Wine has been seen, now and then in CI and never in hundreds
# of runs by hand, to end the program with status 1 before it said
# anything; the program itself never fails without its line. Such a run is
# tried once more, and said so.
run() {
  local name=$1 answers=$2
  shift 2
  local got=0
  printf '%s' "$answers" | "$wine" "$exe" "$@" >out.txt 2>err.txt || got=$?
  if [[ $got == 1 && ! -s err.txt && ! -s out.txt ]]; then
    echo "windows_checks: $name: wine ended the program before it said anything; once more" >&2
    got=0
    printf '%s' "$answers" | "$wine" "$exe" "$@" >out.txt 2>err.txt || got=$?
  fi
  return "$got"
}

# check NAME ANSWERS STATUS LINE [ARGS...]
check() {
  local name=$1 answers=$2 status=$3 line=$4
  shift 4
  echo old >Output.bmp
  local got=0
  run "$name" "$answers" "$@" || got=$?
  # Run from a script, it never waits for Enter as after a double-click.
  if [[ $got != "$status" || "$(said)" != "$line" || "$(cat Output.bmp)" != old ]] || grep -q Naciśnij out.txt; then
    echo "windows_checks: $name: status $got, stderr «$(said)», stdout «$(cat out.txt)», Output.bmp «$(head -c 20 Output.bmp)»" >&2
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
invalid="Windows nie dopuszcza takiej nazwy pliku (znaki : * ? \" < > | są w nazwach zabronione)"
check "an input name Windows forbids" "1 2" 1 "x?.bmp: nie można otworzyć pliku: $invalid" 'x?.bmp' Input_2.bmp
check "an output name Windows forbids" "1 2" 1 "a<b.bmp: nie można utworzyć pliku: $invalid" Input_1.bmp Input_2.bmp 'a<b.bmp'
if [[ -s out.txt ]]; then
  echo "windows_checks: an output name Windows forbids: asked before it was refused" >&2
  exit 1
fi
check "output is a device" "1 2" 1 "NUL: to nie jest zwykły plik; zastąpić można tylko zwykły plik" Input_1.bmp Input_2.bmp NUL
check "input is a device" "1 2" 1 "NUL: to nie jest zwykły plik" NUL Input_2.bmp
check "a name that names a folder" "1 2" 1 'out\: nazwa zakończona ukośnikiem oznacza katalog, a wynik musi być plikiem' Input_1.bmp Input_2.bmp 'out\'

# An output another program holds open, letting others read it but not
# replace it: refused at the move, with the old file as it was.
mkfifo holding
"$wine" "$helper" hold Output.bmp <holding >held.txt &
holder=$!
exec 8>holding
for _ in $(seq 100); do grep -q held held.txt 2>/dev/null && break; sleep 0.1; done
check "output held open by another program" "1 2" 1 "Output.bmp: nie można zapisać pliku: plik jest używany przez inny program"
exec 8>&-
wait "$holder"
rm -f holding held.txt
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
  run "$name" "1 2" "$@" || got=$?
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

# Ctrl+C at the prompt, and while the picture is written, and the process
# killed while it is written: wine turns SIGINT into the console's Ctrl+C
# event, and the system deletes the unfinished file when a killed process's
# handles close. Only the process this script started is signalled, by its
# id.
"$make_pair" . 1500 1000 1500 1000
mkfifo answers
# interrupt SIGNAL WHEN STATUS LINE
interrupt() {
  local sig=$1 when=$2 status=$3 line=$4
  echo old >Output.bmp
  "$wine" "$exe" <answers >out.txt 2>err.txt &
  local pid=$!
  exec 7>answers
  for _ in $(seq 100); do grep -q "Podaj" out.txt 2>/dev/null && break; sleep 0.1; done
  if [[ $when == writing ]]; then
    echo 100 200 >&7
    for _ in $(seq 1000); do compgen -G '.ripple-*' >/dev/null && break; sleep 0.005; done
    compgen -G '.ripple-*' >/dev/null || { echo "windows_checks: no temporary file to interrupt" >&2; exit 1; }
  fi
  kill "-$sig" "$pid"
  local st=0
  wait "$pid" || st=$?
  exec 7>&-
  if [[ $st != "$status" || "$(said)" != "$line" || "$(cat Output.bmp)" != old ]]; then
    echo "windows_checks: $sig while $when: status $st, stderr «$(said)»" >&2
    exit 1
  fi
  local left
  left=$(ls -A | grep -v -x -e Input_1.bmp -e Input_2.bmp -e Output.bmp -e bad.bmp -e sub -e answers -e out.txt -e err.txt || true)
  if [[ -n $left ]]; then
    echo "windows_checks: $sig while $when left behind: $left" >&2
    exit 1
  fi
  echo "windows_checks: $sig while $when: as expected"
}
# STATUS_CONTROL_C_EXIT, 0xC000013A, of which a POSIX status keeps 0x3A.
interrupt INT asking 58 "ripple: przerwano"
interrupt INT writing 58 "ripple: przerwano"
interrupt KILL writing 137 ""
rm -f answers

# How far a run is, is for a person at a console: a file gets nothing, even
# from a run held up for longer than the second the progress waits.
"$make_pair" . 4000 3000 4000 3000
echo 100 200 >replies.txt
"$wine" "$exe" <replies.txt >out.txt 2>err.txt &
pid=$!
for _ in $(seq 1000); do compgen -G '.ripple-*' >/dev/null && break; sleep 0.005; done
kill -STOP "$pid"
sleep 1.5
kill -CONT "$pid"
st=0
wait "$pid" || st=$?
if [[ $st != 0 || -s err.txt ]]; then
  echo "windows_checks: a run held up, to a file: status $st, stderr «$(said)»" >&2
  exit 1
fi
echo "windows_checks: a run held up, to a file: no progress, as expected"
rm -f replies.txt

# On a console of its own (a terminal for wine), run by another program as
# from cmd: the code pages it changed are put back, and nothing waits for
# Enter. Wine's console writes a blank as a move of the cursor, and hides
# and shows the cursor around each character: the escape sequences are
# taken out.
on_console=$(script -qc "'$wine' '$helper' codepage '$exe' --version" /dev/null </dev/null |
             sed 's/\x1b\[1C/ /g; s/\x1b\[[0-9;?]*[A-Za-z]//g' | tr -d '\r')
if [[ $on_console != *$'\n852 852 0' || $on_console == *Naciśnij* ]]; then
  echo "windows_checks: on a console: «$on_console»" >&2
  exit 1
fi
echo "windows_checks: on a console: code pages put back, no wait"

# A folder that another user cannot write is refused before the questions,
# as on POSIX systems: wine, as that user, in a prefix of its own.
if [[ $(id -u) == 0 ]] && command -v setpriv >/dev/null; then
  home=$(mktemp -d)
  mkdir "$home/locked"
  chown nobody:nogroup "$home"
  chmod 755 "$home/locked"
  cp "$exe" Input_1.bmp Input_2.bmp "$home/"
  chmod 644 "$home"/*.bmp
  got=0
  echo 1 2 | (cd "$home" && setpriv --reuid=nobody --regid=nogroup --clear-groups -- \
    env HOME="$home" WINEPREFIX="$home/.wine" WINEDEBUG=-all "$wine" "$home/$(basename "$exe")" \
    Input_1.bmp Input_2.bmp locked/out.bmp) >out.txt 2>err.txt || got=$?
  if [[ $got != 1 || -s out.txt || "$(said)" != *"locked/out.bmp: nie można utworzyć pliku: brak uprawnień" ]]; then
    echo "windows_checks: a folder that cannot be written: status $got, stdout «$(cat out.txt)», stderr «$(said)»" >&2
    exit 1
  fi
  rm -rf "$home"
  echo "windows_checks: a folder that cannot be written: refused before the questions"
fi
