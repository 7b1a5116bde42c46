#!/usr/bin/env bash
# What tcap-host writes from the real plug-in: the identity table, the exact
# bytes of the solid inputs, the timestamp list, which PNGs appear, and the
# summary line.
set -u
source "$(dirname "$0")/common.sh" "$@"

host info "$PLUGIN" >"$WORK/info.txt"
check "info: exit 0" test $? -eq 0
cat >"$WORK/info.expected" <<INFO
plug-in       $PLUGIN
vendor        Quorvane, Inc.
description   Video Test Capture Plugin
media type    2
media source  2
version       0x10001000
inputs        4
  0   Psychadelic
  1   Red
  2   Green
  3   Blue
INFO
check "info: the identity table" diff "$WORK/info.expected" "$WORK/info.txt"

# pixels N B G R: N pixels of one colour, as bgr24 bytes.
pixels() { for ((i = 0; i < $1; i++)); do printf "\\x$2\\x$3\\x$4"; done; }

# The solid inputs by name in any case and by index: the stream carries the
# plug-in's bytes unchanged, blue first, rows without gaps (5 x 3, 2 frames).
while read -r input b g r; do
  host capture "$PLUGIN" --input "$input" --size 5x3 --frames 2 --raw - 2>/dev/null >"$WORK/solid.raw"
  pixels 30 "$b" "$g" "$r" >"$WORK/solid.expected"
  check "--input $input: every byte of the raw stream" cmp -s "$WORK/solid.raw" "$WORK/solid.expected"
done <<INPUTS
red   00 00 ff
GREEN 00 ff 00
Blue  ff 00 00
3     ff 00 00
1     00 00 ff
INPUTS

# Timestamps after Set_Current_Time(5000): 5000 + elapsed + 15, one line per
# frame, never running backwards; sizes 16 x 8 x 3; the summary line says
# what was done and nothing else reaches standard error off a terminal.
host capture "$PLUGIN" --size 16x8 --frames 5 --start-time 5000 --timestamps "$WORK/ts.txt" 2>"$WORK/ts.err"
check "--timestamps: exit 0" test $? -eq 0
check "--timestamps: a header, then one line per frame" test "$(wc -l <"$WORK/ts.txt")" -eq 6
check "--timestamps: the header" test "$(head -n 1 "$WORK/ts.txt")" = "# frame timestamp_ms bytes md5"
check "--timestamps: indices, sizes and 32-digit digests" \
  test "$(grep -v '^#' "$WORK/ts.txt" | awk '$3 == 384 && length($4) == 32 && $4 ~ /^[0-9a-f]+$/ {printf "%s ", $1}')" = "0 1 2 3 4 "
check "--timestamps: from 5015 on, never backwards" \
  awk '!/^#/ { if ($2 < 5015 || $2 < last) bad = 1; last = $2 } END { exit bad }' "$WORK/ts.txt"
check "summary: one line on standard error" test "$(wc -l <"$WORK/ts.err")" -eq 1
check "summary: frames, size, input, rate, CPU time" grep -qE \
  '^tcap-host: 5 frames 16x8 of input 0 "Psychadelic" in [0-9.]+ s: [0-9.]+ frames/s, CPU [0-9.]+ ms per frame \([0-9.]+ in Read_Packet\)$' \
  "$WORK/ts.err"

# --png-every: pictures of frames 0, 3 and 6 out of 7, named by frame index,
# into a folder that is created with its parents.
host capture "$PLUGIN" --size 8x6 --frames 7 --png "$WORK/a/b/png" --png-every 3 2>/dev/null
check "--png-every 3: frames 0, 3 and 6" test "$(ls "$WORK/a/b/png" | tr '\n' ' ')" = "frame-0000.png frame-0003.png frame-0006.png "

# --fps paces the reads; nothing is asserted about time, only that it runs.
host capture "$PLUGIN" --size 8x6 --frames 3 --fps 50 --raw "$WORK/paced.raw" 2>/dev/null
check "--fps 50: 3 frames" test "$(stat -c %s "$WORK/paced.raw")" -eq $((3 * 8 * 6 * 3))

finish
