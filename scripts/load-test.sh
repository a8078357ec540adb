#!/usr/bin/env bash
# Loads tape images in the beebjit BBC Micro emulator and checks that each loads as its
# original recording does. For every recording, `varnstow-tool recover --blocks-only` makes the
# image of its blocks and `recover` (whose image holds the whole tape) that of the whole tape,
# which is also played back by `varnstow-tool render` and recovered again ("replayed"). A booted Model B
# (OS 1.2, BASIC, no disc filing system) types CHAIN"" and runs, as fast as it can, for a
# bounded number of cycles: once with the recording itself (beebjit plays CSW files) and once
# with each image; then the machines' memory is compared.
#
# An image loads when, at the end of its run:
#   - the Mode 7 screen shows no cassette filing system error ("Data?", "Block?", "Header?",
#     "Rewind tape", "Bad program");
#   - the tape motor is off, as the loader leaves it when it has read its last byte;
#   - at least LOAD_MATCH percent of the 32 KB of memory equals the memory reached from the
#     recording (the program and its data loaded; timers and animation differ a little).
#
# tests/emulator/loads.txt says for each recording whether each image is expected to load
# and which keys its loader asks for; the run fails when any image does otherwise than
# expected (one that starts to load must be marked there, so the expectations only tighten).
#
# Usage: scripts/load-test.sh [BUILD_FOLDER [RECORDING.csw...]]
#   BUILD_FOLDER  holds src/tool/varnstow-tool (default: build); the emulator is built in it
#   RECORDINGs    default: the seven real recordings in ../shared/corpus/real
# Environment: LOAD_MATCH (default 90), LOAD_TEST_KEEP=1 keeps the work folder.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

build="${1:-build}"
shift || true
list="$root/tests/emulator/loads.txt"
# shellcheck source=scripts/emulator.sh
. "$root/scripts/emulator.sh"
emulator_available_or_skip "load test"
shared="$root/../shared"
tool="$root/$build/src/tool/varnstow-tool"
if [ ! -x "$tool" ]; then
  echo "load test: $tool is not built (run scripts/setup.sh $build first)" >&2
  exit 1
fi
recordings=("$@")
if [ "${#recordings[@]}" -eq 0 ]; then
  shopt -s nullglob
  recordings=("$shared"/corpus/real/*.csw)
  shopt -u nullglob
  if [ "${#recordings[@]}" -eq 0 ]; then
    echo "load test skipped: no recordings in $shared/corpus/real"
    exit 0
  fi
fi
match_percent="${LOAD_MATCH:-90}"
build_emulator

work=$(mktemp -d "${TMPDIR:-/tmp}/varnstow-load.XXXXXX")
if [ "${LOAD_TEST_KEEP:-0}" != 1 ]; then
  trap 'rm -rf "$work"' EXIT
else
  echo "Work folder: $work"
fi

# Whether an image loads as the recording: its memory against the recording's, its screen
# and its tape motor. Sets "loaded" (yes or no) and "verdict".
judge_image() {
  local reference="$1" memory="$2" log="$3" differing same text message error=""
  differing=$(cmp -l "$reference" "$memory" | wc -l || true)
  same=$(((32768 - differing) * 100 / 32768))
  text=$(screen_text "$memory")
  for message in "Data?" "Block?" "Header?" "Rewind tape" "Bad program"; do
    if [[ "$text" == *"$message"* ]]; then
      error="$message"
      break
    fi
  done
  loaded=no
  verdict="memory ${same}%"
  if [ -n "$error" ]; then
    verdict+=", screen shows \"$error\""
  elif ! motor_off_at_end "$log"; then
    verdict+=", motor on"
  elif [ "$same" -lt "$match_percent" ]; then
    verdict+=" (below $match_percent%)"
  else
    loaded=yes
  fi
}

# The table: expected results and keys by recording name.
declare -A expected_blocks expected_whole expected_replayed loader_keys
while read -r name blocks whole replayed keys; do
  [ -z "$name" ] || [ "${name:0:1}" = "#" ] && continue
  expected_blocks[$name]="$blocks"
  expected_whole[$name]="$whole"
  expected_replayed[$name]="$replayed"
  loader_keys[$name]="$keys"
done <"$list"

failures=0
started=$(date +%s)
printf '%-48s %-13s %-13s %-13s %s\n' "recording" "blocks" "whole tape" "replayed" "details"
for recording in "${recordings[@]}"; do
  name=$(basename "$recording" .csw)
  one_started=$(date +%s)
  "$tool" recover "$recording" -o "$work/$name.blocks.uef" --blocks-only >"$work/$name.recover.txt"
  # recover's own image, as a user gets it: the whole tape.
  "$tool" recover "$recording" -o "$work/$name.whole.uef" >/dev/null
  # The whole tape's image played back as a recording and recovered again: the renderer's
  # tape of custom framings, 300 baud and measured tones, read back.
  "$tool" render "$work/$name.whole.uef" -o "$work/$name.replayed.csw" >/dev/null
  "$tool" recover "$work/$name.replayed.csw" -o "$work/$name.replayed.uef" --whole-tape >/dev/null
  seconds=$(sed -n 's/^Recording .* \([0-9]*\):\([0-9.]*\) long$/\1 \2/p' "$work/$name.recover.txt" |
    awk '{ printf "%d\n", $1 * 60 + $2 + 0.999 }')
  keys="${loader_keys[$name]:-}"
  # The whole recording plus 40 s for the program to start, and 60 s more when the loader
  # waits for keys (the tape stops meanwhile), at 2 MHz.
  run_seconds=$((seconds + 40))
  [ -n "$keys" ] && run_seconds=$((run_seconds + 60))
  cycles=$((run_seconds * 2000000))
  if ! run_machine "$recording" "$cycles" "$work/$name.reference.mem" "$work/$name.reference.log" "$keys" ||
    ! motor_off_at_end "$work/$name.reference.log"; then
    failures=$((failures + 1))
    printf '%-48s %s\n' "$name" "the recording itself did not load to its end  <-- FAIL"
    continue
  fi
  line=""
  summary=""
  for kind in blocks whole replayed; do
    case "$kind" in
      blocks) wanted="${expected_blocks[$name]:-no}" ;;
      whole) wanted="${expected_whole[$name]:-no}" ;;
      replayed) wanted="${expected_replayed[$name]:-no}" ;;
    esac
    loaded=no
    if run_machine "$work/$name.$kind.uef" "$cycles" "$work/$name.$kind.mem" "$work/$name.$kind.log" "$keys"; then
      judge_image "$work/$name.reference.mem" "$work/$name.$kind.mem" "$work/$name.$kind.log"
    else
      verdict="the emulator did not run the image"
    fi
    mark=""
    if [ "$loaded" != "$wanted" ]; then
      failures=$((failures + 1))
      mark="!"
    fi
    line+=$(printf '%-13s ' "$loaded$mark ($wanted)")
    summary+="$kind: $verdict; "
  done
  printf '%-48s %s%s%s s\n' "$name" "$line" "$summary" "$(($(date +%s) - one_started))"
done
echo "Load test: ${#recordings[@]} recordings in $(($(date +%s) - started)) s, $failures results not as expected (marked !)"
[ "$failures" -eq 0 ]
