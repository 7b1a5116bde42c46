#!/usr/bin/env bash
# The README's GStreamer recipe with real GStreamer, at a width that is not a
# multiple of 4 (90: rows of 270 bytes): with the stride given, GStreamer
# reads the raw stream exactly as ffmpeg does, byte for byte; without it,
# its rows are 272 bytes apart and frames and count come out wrong.
set -u
source "$(dirname "$0")/common.sh" "$@"
cd "$WORK" || exit 1

W=90 H=60 N=8
frame=$((W * H * 3))
# GStreamer's own output pads rows as well, so both sides write 4-byte BGRA
# pixels (alpha 255), whose rows have no padding.
parse() { echo "rawvideoparse width=$W height=$H format=bgr framerate=25/1 $1"; }
host capture "$PLUGIN" --size ${W}x$H --frames $N --raw - 2>capture.err |
  tee raw.bin |
  gst-launch-1.0 -q fdsrc ! $(parse "plane-strides=<$((W * 3))>") ! videoconvert ! video/x-raw,format=BGRA ! \
    filesink location=gst.bgra
status=("${PIPESTATUS[@]}")
check "capture | tee | gst-launch-1.0: all exit 0" test "${status[*]}" = "0 0 0"
check "the raw stream holds $N frames" test "$(stat -c %s raw.bin)" -eq $((N * frame))

ffmpeg -nostdin -v error -f rawvideo -pixel_format bgr24 -video_size ${W}x$H -i raw.bin -f rawvideo -pix_fmt bgra ffmpeg.bgra
check "ffmpeg decodes $N frames" test "$(stat -c %s ffmpeg.bgra)" -eq $((N * W * H * 4))
check "GStreamer's frames = ffmpeg's, byte for byte" cmp -s gst.bgra ffmpeg.bgra

# Without the stride GStreamer expects rows of 272 bytes: fewer, skewed frames.
gst-launch-1.0 -q filesrc location=raw.bin ! $(parse "") ! videoconvert ! video/x-raw,format=BGRA ! \
  filesink location=padded.bgra
check "without plane-strides: fewer frames ($(stat -c %s padded.bgra) bytes)" \
  test "$(stat -c %s padded.bgra)" -eq $((N * frame / (H * 272) * W * H * 4))
check "without plane-strides: the first frame differs" \
  test "$(head -c $((W * H * 4)) padded.bgra | md5sum)" != "$(head -c $((W * H * 4)) ffmpeg.bgra | md5sum)"

finish
