# shellcheck shell=bash disable=SC2154
# The beebjit BBC Micro emulator as the load tests use it (scripts/load-test.sh and
# scripts/protected-load-test.sh source this file): built once into the build folder from
# ../shared/emulator/beebjit, a headless Model B (OS 1.2, BASIC, no disc filing system) that
# types CHAIN"" and runs for a bounded number of cycles, as fast as it can, with a tape.
#
# Needs: root (the project's folder), build (the build folder), list (the expectations file,
# named in messages). Sets emulator_source and emulator.

emulator_source="$root/../shared/emulator/beebjit"
emulator="$root/$build/beebjit"

# Exits with a message, and status 0, where the emulator cannot run here.
emulator_available_or_skip() {
  local test_name="$1"
  if [ ! -d "$emulator_source" ]; then
    echo "$test_name skipped: no emulator source at $emulator_source"
    exit 0
  fi
  if [ "$(uname -m)" != x86_64 ]; then
    # The emulator translates 6502 code into x86-64 code.
    echo "$test_name skipped: the emulator runs only on x86-64 machines, this is $(uname -m)"
    exit 0
  fi
}

# Builds the emulator from a copy of its source (the shared folder may be read-only) where it
# is not built yet or its source has changed. It needs only gcc and the C library.
build_emulator() {
  if [ ! -x "$emulator/beebjit" ] ||
    [ -n "$(find "$emulator_source" -newer "$emulator/beebjit" -print -quit)" ]; then
    echo "Building the emulator in $emulator"
    rm -rf "$emulator"
    cp -r "$emulator_source" "$emulator"
    chmod -R u+w "$emulator"
    (cd "$emulator" && bash build_headless_opt.sh >build.log 2>&1) || {
      cat "$emulator/build.log" >&2
      echo "load test: the emulator did not build" >&2
      exit 1
    }
  fi
}

# Debugger commands that type CHAIN"" and Return on the booted machine, one key change every
# 40 ms of machine time (the keyboard is scanned every 10 ms), press the loader's keys (a
# list of SECONDS:KEY), run to the given cycle, save the memory and quit. Key codes: letters
# and digits by their character, 32 Space, 133 Shift, 50 the 2 key (Shift-2 is "), 131 Return.
key_code() {
  case "$1" in
    space) echo 32 ;;
    return) echo 131 ;;
    [A-Z0-9]) printf '%d' "'$1" ;;
    *) echo "load test: unknown key $1 in $list" >&2; return 1 ;;
  esac
}
machine_commands() {
  local end_cycle="$1" memory="$2" keys="$3"
  local at=3000000 commands="" key event code
  press() {
    commands+="breakat $at;c;"
    for key in "$@"; do commands+="keydown $key;"; done
    at=$((at + 80000))
    commands+="breakat $at;c;"
    for key in "$@"; do commands+="keyup $key;"; done
    at=$((at + 80000))
  }
  press 67
  press 72
  press 65
  press 73
  press 78
  press 133 50
  press 133 50
  press 131
  for event in $keys; do
    code=$(key_code "${event#*:}")
    at=$((${event%%:*} * 2000000))
    commands+="breakat $at;c;keydown $code;breakat $((at + 400000));c;keyup $code;"
  done
  commands+="breakat $end_cycle;c;savemem $memory 0 8000;q"
  printf '%s' "$commands"
}

# Runs the machine with a tape for the given number of cycles; the memory goes into MEMORY,
# the emulator's output (with the serial chip's state changes) into LOG.
run_machine() {
  local tape="$1" cycles="$2" memory="$3" log="$4" keys="$5" commands attempt
  commands=$(machine_commands "$cycles" "$memory" "$keys")
  # The emulator maps its machine at fixed addresses; now and then one is taken (it says
  # "mmap in wrong location" and gives up at once), and a new start finds it free.
  for attempt in 1 2 3; do
    rm -f "$memory"
    (cd "$emulator" && timeout 600 ./beebjit -headless -fast -accurate -no-dfs \
      -log serial:state -tape "$tape" -debug -run -commands "$commands" >"$log" 2>&1) || true
    grep -q "mmap in wrong location" "$log" || break
  done
  [ -s "$memory" ]
}

# The Mode 7 screen's text (the top bit of each character cleared).
screen_text() {
  dd if="$1" bs=1024 skip=31 count=1 status=none | tr '\200-\377' '\000-\177' | tr -c ' -~' ' '
}

motor_off_at_end() {
  local last
  last=$(grep 'serial ULA control' "$1" | tail -n 1)
  [ -n "$last" ] && [[ "$last" != *MOTOR* ]]
}
