#!/usr/bin/env bash
# Loads protected-style tapes in the beebjit BBC Micro emulator, and the images varnstow-tool
# recovers from their recordings, and checks that each image loads as its tape does.
#
# The tapes are written by tests/emulator/Protected_tapes.cpp (built with the tests): a BASIC
# program that CHAIN"" runs, a loader (tests/emulator/loader.s) in standard blocks, and what
# the loader reads itself with interrupts off and the 6850 polled: blocks of its own format,
# standard blocks read byte by byte (one with a bad header CRC), bytes framed 8N2, 8O1, 8E1
# and 7E2, 300 baud stretches, tones running straight into bytes and bytes into tone, single
# bytes after blocks, an 8000-byte stream without blocks, waits for carrier and gaps the
# loader times. The loader checks every checksum and prints LOADED or the step that failed.
#
# For each tape:
#   - the original image must show LOADED; a copy with one bit turned over must show a bad
#     sum, and one whose bytes with parity have the other parity a framing error (which shows
#     that the loader's checks fail where the bytes or their framing differ);
#   - it is rendered by `varnstow-tool render` as a CSW file, an 8-bit WAV file and a WAV file
#     with faults (noise 14 dB below the signal, 3% slow), each recording is recovered by
#     `varnstow-tool recover --whole-tape`, and each image must show LOADED and leave memory
#     from &0E00 to &7FFF (the program, the loader, everything it loaded and the screen)
#     exactly as the original leaves it.
# tests/emulator/protected.txt says which images are expected to load; the run fails when any
# does otherwise (so the expectations only tighten).
#
# Usage: scripts/protected-load-test.sh [BUILD_FOLDER]
#   BUILD_FOLDER  holds src/tool/varnstow-tool and tests/emulator/protected_tapes (default:
#                 build); the emulator is built in it
# Environment: LOAD_TEST_KEEP=1 keeps the work folder.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

build="${1:-build}"
list="$root/tests/emulator/protected.txt"
# shellcheck source=scripts/emulator.sh
. "$root/scripts/emulator.sh"
emulator_available_or_skip "protected load test"
tool="$root/$build/src/tool/varnstow-tool"
generator="$root/$build/tests/emulator/protected_tapes"
loader="$root/$build/tests/emulator/loader.bin"
for needed in "$tool" "$generator" "$loader"; do
  if [ ! -e "$needed" ]; then
    echo "protected load test: $needed is not built (run scripts/setup.sh $build first;" \
      "the loader needs xa, from Debian's xa65)" >&2
    exit 1
  fi
done
build_emulator

work=$(mktemp -d "${TMPDIR:-/tmp}/varnstow-protected.XXXXXX")
if [ "${LOAD_TEST_KEEP:-0}" != 1 ]; then
  trap 'rm -rf "$work"' EXIT
else
  echo "Work folder: $work"
fi

# The expectations: for each tape, whether the CSW, WAV and faulty WAV images load.
declare -A expected
while read -r name csw wav faulty; do
  [ -z "$name" ] || [ "${name:0:1}" = "#" ] && continue
  expected[$name.csw]="$csw"
  expected[$name.wav]="$wav"
  expected[$name.faulty]="$faulty"
done <"$list"

# The loader's verdict on the screen: "LOADED", "FAILED AT STEP nn: WHY", or nothing.
verdict_of() {
  screen_text "$1" | grep -o -E 'LOADED|FAILED AT STEP [0-9A-F]+: [A-Z ]*[A-Z]' | head -n 1 || true
}

# Memory from &0E00 to &7FFF: the BASIC program, the loader, what it loaded, the screen.
loaded_memory() {
  dd if="$1" bs=512 skip=7 status=none
}

failures=0
started=$(date +%s)
"$generator" "$loader" "$work" >"$work/tapes.txt"
mkdir "$work/damaged" "$work/parity"
"$generator" "$loader" "$work/damaged" --damaged >/dev/null
"$generator" "$loader" "$work/parity" --wrong-parity >/dev/null
printf '%-8s %-10s %-20s %-20s %-20s %s\n' "tape" "original" "CSW" "WAV" "faulty WAV" "details"
while read -r name seconds; do
  one_started=$(date +%s)
  # The tape's length, then the loader's time-out of 30 s where something is missing.
  cycles=$(((seconds + 45) * 2000000))
  run_machine "$work/$name.uef" "$cycles" "$work/$name.mem" "$work/$name.log" "" || true
  original=$(verdict_of "$work/$name.mem" 2>/dev/null)
  run_machine "$work/damaged/$name.uef" "$cycles" "$work/$name.damaged.mem" \
    "$work/$name.damaged.log" "" || true
  damaged=$(verdict_of "$work/$name.damaged.mem" 2>/dev/null)
  run_machine "$work/parity/$name.uef" "$cycles" "$work/$name.parity.mem" \
    "$work/$name.parity.log" "" || true
  parity=$(verdict_of "$work/$name.parity.mem" 2>/dev/null)
  if [ "$original" != LOADED ] || [[ "$damaged" != *": BAD SUM" ]] ||
    [[ "$parity" != *": FRAMING ERROR" ]]; then
    failures=$((failures + 1))
    printf '%-8s %s  <-- FAIL\n' "$name" "the original shows \"$original\", the damaged copy\
 \"$damaged\", the copy with the other parity \"$parity\""
    continue
  fi
  "$tool" render "$work/$name.uef" -o "$work/$name.csw" >/dev/null
  "$tool" render "$work/$name.uef" -o "$work/$name.wav" >/dev/null
  "$tool" render "$work/$name.uef" -o "$work/$name.faulty.wav" --noise-db 14 --speed -3 \
    --seed 7 >/dev/null
  line=""
  details=""
  for kind in csw wav faulty; do
    case "$kind" in
      csw) recording="$work/$name.csw" ;;
      wav) recording="$work/$name.wav" ;;
      faulty) recording="$work/$name.faulty.wav" ;;
    esac
    image="$work/$name.$kind.uef"
    "$tool" recover "$recording" -o "$image" --whole-tape --quiet
    loaded=no
    if run_machine "$image" "$cycles" "$work/$name.$kind.mem" "$work/$name.$kind.log" ""; then
      verdict=$(verdict_of "$work/$name.$kind.mem")
      if [ "$verdict" = LOADED ]; then
        if cmp -s <(loaded_memory "$work/$name.mem") <(loaded_memory "$work/$name.$kind.mem"); then
          loaded=yes
        else
          verdict="LOADED, but memory differs"
        fi
      fi
    else
      verdict="the emulator did not run the image"
    fi
    wanted="${expected[$name.$kind]:-no}"
    mark=""
    if [ "$loaded" != "$wanted" ]; then
      failures=$((failures + 1))
      mark="!"
    fi
    line+=$(printf '%-20s ' "$loaded$mark ($wanted)")
    [ "$loaded" = yes ] || details+="$kind: ${verdict:-no verdict}; "
  done
  printf '%-8s %-10s %s%s%s s\n' "$name" "loads" "$line" "$details" "$(($(date +%s) - one_started))"
done <"$work/tapes.txt"
echo "Protected load test: $(wc -l <"$work/tapes.txt") tapes in $(($(date +%s) - started)) s," \
  "$failures results not as expected (marked !)"
[ "$failures" -eq 0 ]
