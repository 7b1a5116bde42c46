#!/usr/bin/env bash
# tcap-host verify on a capture of the real plug-in, as recorded and with one
# fault planted at a time: each fault named on the frame it hit, and the exit
# status that follows; then through x264 with --lossy.
set -u
source "$(dirname "$0")/common.sh" "$@"
cd "$WORK" || exit 1

# 90 x 60: rows of 270 bytes, not a multiple of 4, so padded rows differ.
W=90 H=60 N=8
F=$((W * H * 3))
host capture "$PLUGIN" --size ${W}x$H --frames $N --raw clean.raw --timestamps ts.txt 2>capture.err
check "capture: exit 0" test $? -eq 0
verify() { host verify --size ${W}x$H "$@"; }

# The bytes of frames, by index, in the order given (repeats allowed).
frames() { perl -e 'binmode STDIN; binmode STDOUT; $F = shift; push @f, $b while read(STDIN, $b, $F) == $F; print @f[@ARGV]' $F "$@"; }
# flip_byte FRAME OFFSET: one byte of one frame changed.
flip_byte() { perl -e 'binmode STDIN; binmode STDOUT; local $/; $d = <STDIN>; $i = $ARGV[0] * $ARGV[1] + $ARGV[2];
  substr($d, $i, 1) = chr(ord(substr($d, $i, 1)) ^ 0x10); print $d' $F "$@"; }
# Every row padded to a multiple of 4 bytes, as a bitmap or GStreamer lays it out.
pad_rows() { perl -e 'binmode STDIN; binmode STDOUT; $r = shift; $p = (4 - $r % 4) % 4; print $b, "\0" x $p while read(STDIN, $b, $r)' $((W * 3)); }
# flip_frame FRAME: that frame's rows in reverse order.
flip_frame() { perl -e 'binmode STDIN; binmode STDOUT; local $/; $d = <STDIN>; ($F, $r, $k) = @ARGV;
  substr($d, $k * $F, $F) = join("", reverse unpack("(a$r)*", substr($d, $k * $F, $F))); print $d' $F $((W * 3)) "$@"; }
# splice FRAME: the top half of FRAME written over the top of the next one.
splice() { perl -e 'binmode STDIN; binmode STDOUT; local $/; $d = <STDIN>; ($F, $h, $k) = @ARGV;
  substr($d, ($k + 1) * $F, $h) = substr($d, $k * $F, $h); print $d' $F $((F / 2)) "$@"; }

# expect NAME STATUS OUTPUT PATTERN...: the exit status, and a line matching
# each extended regular expression.
expect() {
  local name=$1 want=$2 got=$3 out=$4
  shift 4
  check "$name: exit $want" test "$got" -eq "$want"
  for pattern in "$@"; do
    check "$name: $pattern" grep -qE -- "$pattern" "$out"
  done
}

verify clean.raw --timestamps ts.txt >clean.out 2>clean.err
expect "as captured" 0 $? clean.out \
  "^summary: $N frames ${W}x$H: $N exact, 0 corrupted; counters 1 to $N: 0 skipped \(dropped frames\), 0 repeated \(duplicated\), 0 out of order; PSNR infinite$"
check "as captured: one line per frame, each exact" test "$(grep -c '^frame .* exact$' clean.out)" -eq $N
check "as captured: nothing on standard error" test ! -s clean.err
# Timestamps from a capture that set the plug-in's clock, so that their time
# offset is not the one verify assumes: still every frame exact.
host capture "$PLUGIN" --size ${W}x$H --frames 3 --start-time 5000 --raw set-time.raw --timestamps set-time.txt 2>/dev/null
verify set-time.raw --timestamps set-time.txt >set-time.out 2>&1
expect "timestamps after Set_Current_Time" 0 $? set-time.out "^summary: 3 frames ${W}x$H: 3 exact, 0 corrupted"
verify <clean.raw >stdin.out 2>&1
expect "from standard input" 0 $? stdin.out "^summary: $N frames ${W}x$H: $N exact"

flip_byte 3 1000 <clean.raw >byte.raw
verify byte.raw >byte.out 2>&1
expect "one byte flipped" 1 $? byte.out \
  "^frame    3  d 4 .* 1 byte differs, first at pixel \(63, 3\) green; PSNR [0-9.]+ dB$" \
  "^summary: $N frames ${W}x$H: 7 exact, 1 corrupted;"

frames 0 1 4 5 5 6 7 <clean.raw >dropped.raw
verify dropped.raw >dropped.out 2>&1
expect "two frames dropped, one duplicated" 1 $? dropped.out \
  "^frame    2  d 5 .* exact; counters 3 to 4 skipped \(2 frames dropped\)$" \
  "^frame    4  d 6 .* exact; repeats counter 6 \(duplicated frame\)$" \
  "^summary: 7 frames ${W}x$H: 7 exact, 0 corrupted; counters 1 to 8: 2 skipped \(dropped frames\), 1 repeated \(duplicated\), 0 out of order;"

frames 0 1 3 2 4 <clean.raw >reordered.raw
verify reordered.raw >reordered.out 2>&1
expect "two frames exchanged" 1 $? reordered.out "^frame    3  d 3 .* exact; out of order: counter 3 after 4$" \
  "0 skipped \(dropped frames\), 0 repeated \(duplicated\), 1 out of order"

# The RGB/BGR mix-up as ffmpeg makes it: the stream read as rgb24.
ffmpeg -nostdin -v error -f rawvideo -pixel_format rgb24 -video_size ${W}x$H -i clean.raw -f rawvideo -pix_fmt bgr24 -y swapped.raw
verify swapped.raw >swapped.out 2>&1
expect "red and blue swapped" 1 $? swapped.out \
  "^frame    0  d 1 .* red and blue swapped; otherwise exact \(PSNR [0-9.]+ dB as recorded\)$" \
  "^faults: red and blue swapped in $N frames from frame 0$"

pad_rows <clean.raw >padded.raw
verify padded.raw >padded.out 2>&1
expect "rows padded to 4 bytes" 1 $? padded.out \
  "^frame    0  d 1 .* rows padded to 272 bytes, not 270 \(wrong stride\); otherwise exact$" \
  "^frame    7  d 8 .* rows padded to 272 bytes" "^faults: wrong stride in $N frames from frame 0$"
check "rows padded to 4 bytes: the whole stream read" test "$(grep -c '^frame' padded.out)" -eq $N

flip_frame 5 <clean.raw >flipped.raw
verify flipped.raw >flipped.out 2>&1
expect "a frame flipped" 1 $? flipped.out "^frame    5  d 6 .* vertically flipped; otherwise exact" \
  "^faults: vertically flipped in 1 frame from frame 5$"

splice 3 <clean.raw >torn.raw
verify torn.raw >torn.out 2>&1
expect "a frame torn" 1 $? torn.out \
  "^frame    4  d 4 .* torn: rows 0-29 from counter 4, rows 30 on from counter 5 \(T1 [0-9]+\); [0-9]+ bytes differ" \
  "^faults: torn in 1 frame from frame 4$" "counters 1 to 8: 0 skipped"

head -c $((2 * F + 100)) clean.raw >short.raw
verify short.raw >short.out 2>short.err
expect "a frame cut short" 1 $? short.err "^tcap-host: 100 bytes at the end are not a whole ${W}x$H frame \($F bytes\)$"

# A solid input: the colour, and a frame that is not uniform.
host capture "$PLUGIN" --input green --size ${W}x$H --frames 3 --raw green.raw 2>/dev/null
verify green.raw >green.out 2>&1
expect "solid green" 0 $? green.out "^frame    2  solid Green exact$" "^summary: 3 frames ${W}x$H: 3 exact, 0 corrupted \(3 solid\)"
flip_byte 1 30 <green.raw >green-byte.raw
verify green-byte.raw >green-byte.out 2>&1
expect "solid green, one byte off" 1 $? green-byte.out "^frame    1  solid Green not uniform: 1 byte differs, first at pixel \(10, 0\) blue"

# Through x264 at its default quality (from bgr24 ffmpeg keeps full colour,
# 4:4:4), decoded back to bgr24: every frame found, and above 35 dB.
ffmpeg -nostdin -v error -f rawvideo -pixel_format bgr24 -video_size ${W}x$H -framerate 25 -i clean.raw -c:v libx264 -y x264.mp4 &&
  ffmpeg -nostdin -v error -i x264.mp4 -f rawvideo -pix_fmt bgr24 -y x264.raw
check "x264: encoded and decoded" test -s x264.raw
verify x264.raw --lossy >lossy.out 2>&1
expect "x264 with --lossy" 0 $? lossy.out "^frame    7  d 8 .* PSNR [0-9.]+ dB$" \
  "^summary: $N frames ${W}x$H: $N above the threshold, 0 corrupted; counters 1 to $N: 0 skipped"
verify x264.raw >exact.out 2>&1
expect "x264 without --lossy" 1 $? exact.out "^summary: $N frames ${W}x$H: 0 exact, $N corrupted"
# Dropped before encoding: still found, by counter.
frames 0 1 2 5 6 7 <clean.raw | ffmpeg -nostdin -v error -f rawvideo -pixel_format bgr24 -video_size ${W}x$H -framerate 25 -i - \
  -c:v libx264 -f matroska - | ffmpeg -nostdin -v error -i - -f rawvideo -pix_fmt bgr24 - >x264-dropped.raw
verify x264-dropped.raw --lossy >lossy-dropped.out 2>&1
expect "x264, two frames dropped before, with --lossy" 1 $? lossy-dropped.out "^frame    3  d 6 .*; counters 4 to 5 skipped \(2 frames dropped\)$"

verify >/dev/null 2>usage.err </dev/null --size 90
expect "a malformed size" 2 $? usage.err "^tcap-host: --size wants WIDTHxHEIGHT in pixels, such as 640x480, not '90'$"
host verify clean.raw >/dev/null 2>usage.err
expect "no size" 2 $? usage.err "^tcap-host: verify needs the frame size: --size WxH$"
verify missing.raw >/dev/null 2>missing.err
expect "a missing file" 1 $? missing.err "^tcap-host: cannot read missing.raw: No such file or directory$"

finish
