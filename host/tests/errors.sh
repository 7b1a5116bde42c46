#!/usr/bin/env bash
# Everything tcap-host is asked and cannot do: each gives its message on
# standard error and its exit status (1 for the plug-in, files and frames,
# 2 for the command line), never a crash.
set -u
source "$(dirname "$0")/common.sh" "$@"

# Long enough for the loader to read a whole ELF header and find none.
printf 'not a shared library, only a few lines of text\n%.0s' 1 2 3 >"$WORK/notes.txt"
mkdir -p "$WORK/folder"

# One case a line: exit status | the first line of standard error, an extended
# regular expression after "tcap-host: " | the arguments.
cases=$(cat <<CASES
1|$WORK/none.so: cannot load the plug-in: .*No such file or directory|info $WORK/none.so
1|$WORK/notes.txt: cannot load the plug-in: invalid ELF header|info $WORK/notes.txt
1|$FAKES/libtcap_fake_missing.so: not a complete tcap plug-in: missing entry points Stop_Source, Read_Packet|info $FAKES/libtcap_fake_missing.so
1|$FAKES/libtcap_fake_missing.so: not a complete tcap plug-in: missing entry points Stop_Source, Read_Packet|capture $FAKES/libtcap_fake_missing.so
2|unknown input 'Purple'; the plug-in's inputs are 0 Psychadelic, 1 Red, 2 Green, 3 Blue|capture $PLUGIN --input Purple
2|unknown input '4'; the plug-in's inputs are 0 Psychadelic, 1 Red, 2 Green, 3 Blue|capture $PLUGIN --input 4
1|the plug-in refuses the size 40000x20000 \(Set_Video_Format answered 0\)|capture $PLUGIN --size 40000x20000
2|--size wants WIDTHxHEIGHT in pixels, such as 640x480, not '640'|capture $PLUGIN --size 640
2|--size wants WIDTHxHEIGHT in pixels, such as 640x480, not '-4x3'|capture $PLUGIN --size=-4x3
2|--size wants WIDTHxHEIGHT in pixels, such as 640x480, not '0x480'|capture $PLUGIN --size 0x480
2|--frames wants a whole number of at least 1, not '0'|capture $PLUGIN --frames 0
2|--fps wants frames per second above 0, such as 25 or 29.97, not 'fast'|capture $PLUGIN --fps fast
2|--start-time wants milliseconds as a 32-bit whole number, not '3000000000'|capture $PLUGIN --start-time 3000000000
2|unknown option --colour|capture $PLUGIN --colour red
2|capture needs the plug-in's file name|capture --frames 3
2|info takes the plug-in's file name and nothing else|info
2|unknown command 'play'|play $PLUGIN
2|which command\?|
1|$WORK/notes.txt is not a folder|capture $PLUGIN --frames 1 --png $WORK/notes.txt
1|cannot create the folder $WORK/notes.txt/png: Not a directory|capture $PLUGIN --frames 1 --png $WORK/notes.txt/png
1|cannot write $WORK/none/frames.raw: No such file or directory|capture $PLUGIN --frames 1 --raw $WORK/none/frames.raw
1|cannot write $WORK/folder: Is a directory|capture $PLUGIN --frames 1 --timestamps $WORK/folder
1|the plug-in does not open \(Open_Plugin answered 2\)|capture $FAKES/libtcap_fake_open_fails.so
1|frame 2: Read_Packet answered 7|capture $FAKES/libtcap_fake_read_fails.so --size 8x2 --frames 5
1|the plug-in reports the size 9x2 after being given 8x2|capture $FAKES/libtcap_fake_other_size.so --size 8x2
CASES
)

while IFS='|' read -r status pattern argline; do
  read -r -a args <<<"$argline"
  host "${args[@]}" >"$WORK/stdout" 2>"$WORK/stderr" </dev/null
  got=$?
  first=$(head -n 1 "$WORK/stderr")
  if [ "$got" -eq "$status" ] && grep -qE "^tcap-host: $pattern\$" <<<"$first"; then
    check "exit $status: tcap-host $argline" true
  else
    check "exit $status, '$pattern': tcap-host $argline" false
    echo "      exit status $got, said: $first"
  fi
done <<<"$cases"

# A packet whose data size is not width x height x 3 is reported and left
# out of every output; the frames around it are written as usual.
host capture "$FAKES/libtcap_fake_short.so" --size 4x2 --frames 4 --raw "$WORK/short.raw" \
  --timestamps "$WORK/short.txt" --png "$WORK/short" 2>"$WORK/short.err"
check "frames with a wrong data size: exit 1" test $? -eq 1
check "each is reported" grep -qx "tcap-host: frame 1: the packet says 21 bytes, a 4x2 frame has 24; not written" "$WORK/short.err"
check "the summary counts them" grep -qE "^tcap-host: 4 frames 4x2 .*; 2 with a wrong data size, not written$" "$WORK/short.err"
# The fake paints byte i of frame n as (i + n) mod 256: frames 0 and 2 remain.
for n in 0 2; do for ((i = 0; i < 24; i++)); do printf "\\x$(printf %02x $(((i + n) % 256)))"; done; done >"$WORK/short.expected"
check "the raw stream holds frames 0 and 2 only" cmp -s "$WORK/short.raw" "$WORK/short.expected"
check "so does the timestamp list" test "$(grep -v '^#' "$WORK/short.txt" | cut -d' ' -f1 | tr '\n' ' ')" = "0 2 "
check "and the PNG folder" test "$(ls "$WORK/short" | tr '\n' ' ')" = "frame-0000.png frame-0002.png "

# A reader that stops early: a write error with a message, not a death by SIGPIPE.
host capture "$PLUGIN" --size 64x48 --frames 100 --raw - 2>"$WORK/pipe.err" | head -c 100 >/dev/null
status=${PIPESTATUS[0]}
check "a closed pipe: exit 1" test "$status" -eq 1
check "a closed pipe: says so" grep -qx "tcap-host: writing the raw stream to standard output: Broken pipe" "$WORK/pipe.err"

finish
