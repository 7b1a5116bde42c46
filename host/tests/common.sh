# Shared by tcap-host's shell tests. Arguments, in this order:
#   emulator (empty on x86-64; qemu-i386 for the i386 build), tcap-host,
#   the plug-in, the folder of the test plug-ins, a scratch folder.
# Sets EMU (an array), HOST, PLUGIN, FAKES and WORK, and gives check/finish.
read -r -a EMU <<<"$1"
HOST=$2
PLUGIN=$3
FAKES=$4
WORK=$5
rm -rf "$WORK" && mkdir -p "$WORK" || exit 1

# The host as the build made it, under the emulator where there is one.
host() { "${EMU[@]}" "$HOST" "$@"; }

FAILURES=0
# check DESCRIPTION COMMAND...: runs the command quietly, reports the outcome.
check() {
  local what=$1
  shift
  if "$@"; then
    echo "ok    $what"
  else
    echo "FAIL  $what"
    FAILURES=$((FAILURES + 1))
  fi
}

finish() {
  if [ "$FAILURES" -ne 0 ]; then
    echo "$FAILURES check(s) failed; files in $WORK"
    exit 1
  fi
  exit 0
}
