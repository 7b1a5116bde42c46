#!/usr/bin/env bash
# tcap-host check: tcap passes every check; each stand-in plug-in that
# misbehaves on purpose fails exactly the checks that are there to catch its
# fault, and the checker still ends with its report and its exit status.
set -u
source "$(dirname "$0")/common.sh" "$@"

# statuses FILE STATUS: the names of the checks reported with STATUS, sorted.
statuses() { awk -v s="$2" '$1 == s { print $2 }' "$1" | sort -u | tr '\n' ' ' | sed 's/ $//'; }

# tcap itself, speed figures included: every check passes, none is skipped.
host check "$PLUGIN" >"$WORK/tcap.txt" 2>&1
check "tcap: exit 0" test $? -eq 0
check "tcap: no FAIL, WARN or SKIP line" test -z "$(statuses "$WORK/tcap.txt" FAIL)$(statuses "$WORK/tcap.txt" WARN)$(statuses "$WORK/tcap.txt" SKIP)"
check "tcap: a PASS line for each of the 25 checks" test "$(grep -c '^PASS ' "$WORK/tcap.txt")" -eq 25
check "tcap: speed of 4 inputs at 2 sizes, with the CPU named" \
  test "$(grep -cE '^INFO  speed +input [0-3] .*(640x480|1920x1080) .* frames/s .* ns/px \(.+\)$' "$WORK/tcap.txt")" -eq 8
check "tcap: the count" grep -qx "25 passed, 0 warnings, 0 failed" "$WORK/tcap.txt"

# One stand-in a line: its name | the checks it fails | the checks it warns
# about | an extended regular expression one of its report lines must match.
cases=$(cat <<'CASES'
missing|load.entry-points||^FAIL  load.entry-points .*missing entry points Stop_Source, Read_Packet$
lazy_symbol|load.now||it loads lazily only, .*tcap_fake_symbol_nothing_defines
no_clock||load.clock|GetTickCount is found by name: not exported
strings_change|identity.open-closed identity.strings lifecycle.cycles||Get_Vendor answers "Test Fakes 1", then "Test Fakes 2"
count_too_high|identity.inputs||Query_Num_Inputs answers 3, but Input_Description\(2\) is null
open_answers_differ|identity.open-closed||Get_Version answers 0x00000001 closed, 0x00000002 open
accepts_negative|format.negative||Set_Video_Format\(-1x480\) answers 1
accepts_overflow|format.overflow||Set_Video_Format\(715827883x1\) answers 1 \(a frame of 2147483649 bytes\)
refusal_changes_size|format.refused||after refusing -1x480 Get_Video_Format reads -1x480, not 320x240
open_fails|format.readback frames.read frames.timestamps identity.open-closed lifecycle.cycles lifecycle.reload misuse.closed misuse.null-data misuse.null-format misuse.null-packet misuse.read-before-format||^FAIL  misuse.closed .*: a session before the closed calls: Open_Plugin answers 2$
other_size|format.readback misuse.null-format|lifecycle.cycles|Get_Video_Format reads 321x240 after 320x240 was set
past_end|frames.bounds||Read_Packet, input 0 "Counting" 1001x3, frame 1 died of SIGSEGV at 0x[0-9a-f]+, in the inaccessible page after the buffer: past the frame's end
before_start|frames.bounds||changes 1 byte before the buffer, the nearest 1 before its start
host_word|frames.host-words||ulHostWord5 changed to 0x00000000
no_header|frames.header||the header words are not set and not set
short|frames.size lifecycle.cycles||ulDataSize 9006 at frame 2, the frame has 9009 bytes
read_fails|frames.read frames.timestamps lifecycle.cycles||Read_Packet answers 7 at frame 3
not_uniform|frames.solid||pixel \(0, 0\) of frame 1 is 0,0,0 \(blue, green, red\), not 0,0,255
clock_back|frames.timestamps||frame 4 is stamped [0-9]+ ms before frame 3
slow_clock|frames.timestamps||the timestamp rises 1?[0-9] ms, the wall clock
null_packet_crashes|misuse.null-packet||^FAIL  misuse.null-packet .*Read_Packet\(null\) died of SIGSEGV
closed_crashes|misuse.closed||Get_Video_Format before the first Open_Plugin died of SIGSEGV
stays_mapped||lifecycle.reload|the library stays mapped after dlclose
loses_inputs|lifecycle.cycles||Query_Num_Inputs answers 2 at first, 1 after 50 cycles
CASES
)

while IFS='|' read -r name fails warns pattern; do
  report="$WORK/$name.txt"
  host check "$FAKES/libtcap_fake_$name.so" --skip speed --quiet >"$report" 2>&1
  status=$?
  expected=$([ -n "$fails" ] && echo 1 || echo 0)
  got_fails=$(statuses "$report" FAIL)
  got_warns=$(statuses "$report" WARN)
  if [ "$status" -eq "$expected" ] && [ "$got_fails" = "$fails" ] && [ "$got_warns" = "$warns" ] &&
     grep -qE -- "$pattern" "$report"; then
    check "$name: exit $expected, fails [$fails], warns [$warns]" true
  else
    check "$name: exit $expected, fails [$fails], warns [$warns], a line like: $pattern" false
    echo "      exit $status, fails [$got_fails], warns [$got_warns]; the report:"
    sed 's/^/      | /' "$report"
  fi
done <<<"$cases"

# Choosing checks: --only runs the named ones and groups, --skip leaves them
# out; --quiet hides the passes but keeps the count.
host check "$PLUGIN" --only format,misuse.null-packet --skip format.overflow >"$WORK/only.txt" 2>&1
check "--only/--skip: exactly the chosen checks" \
  test "$(awk '$1 ~ /^(PASS|FAIL|WARN|SKIP|INFO)$/ { print $2 }' "$WORK/only.txt" | tr '\n' ' ')" = \
       "format.readback format.refused format.negative misuse.null-packet "
host check "$PLUGIN" --only frames --size 7x5 --quiet >"$WORK/quiet.txt" 2>&1
check "--quiet: only the header and the count" test "$(sed -n '3,$p' "$WORK/quiet.txt")" = "8 passed, 0 warnings, 0 failed"
check "--size: the frame sizes named" grep -qx "frame sizes 7x5; each piece of work in a child process" "$WORK/quiet.txt"
host check "$FAKES/libtcap_fake_before_start.so" --only frames.bounds --in-process >"$WORK/inprocess.txt" 2>&1
check "--in-process: the same verdict without child processes" \
  test "$(grep -c -e '; all in this process$' -e '^FAIL  frames.bounds .* changes 1 byte before the buffer' "$WORK/inprocess.txt")" -eq 2
host check "$FAKES/libtcap_fake_null_packet_hangs.so" --only misuse --timeout 2 >"$WORK/hangs.txt" 2>&1
check "--timeout: a call that never returns fails its check, the others go on" \
  test "$(grep -cE '^FAIL  misuse.null-packet .*: Read_Packet\(null\) did not return within 2 s$|^4 passed, 0 warnings, 1 failed$' "$WORK/hangs.txt")" -eq 2
check "--list: every check by name" test "$(host check --list | awk '{ print $1 }' | wc -l)" -eq 26

# The command line: status 2 and one message.
while IFS='|' read -r message argline; do
  read -r -a args <<<"$argline"
  host "${args[@]}" >"$WORK/stdout" 2>"$WORK/stderr"
  got=$?
  check "exit 2, '$message': tcap-host $argline" test "$got" -eq 2 -a "$(head -n 1 "$WORK/stderr")" = "tcap-host: $message"
done <<CASES
check needs the plug-in's file name|check --size 4x4
unknown check 'frame' (tcap-host check --list names them)|check $PLUGIN --only frame
--size wants WIDTHxHEIGHT in pixels, such as 640x480, not '0x3'|check $PLUGIN --size 0x3
unknown option --frames|check $PLUGIN --frames 3
--timeout wants seconds from 1 to 86400, not '0'|check $PLUGIN --timeout 0
CASES

finish
