#!/usr/bin/env bash
# The raw stream and the PNGs, checked with the real tools: ffmpeg encodes the
# stream and ffprobe counts what came out; the per-frame MD5 that ffmpeg
# computes of the stream and of the decoded PNGs, and md5sum of each frame,
# all equal the digests in the timestamp list.
set -u
source "$(dirname "$0")/common.sh" "$@"
cd "$WORK" || exit 1

# 90 x 60: rows of 270 bytes, not a multiple of 4, so any row padding shows.
W=90 H=60 N=8
host capture "$PLUGIN" --size ${W}x$H --frames $N --png png --timestamps ts.txt --raw - 2>capture.err |
  tee raw.bin |
  ffmpeg -nostdin -v error -f rawvideo -pixel_format bgr24 -video_size ${W}x$H -framerate 25 -i - \
    -f framemd5 stream.md5 \
    -c:v libx264 -pix_fmt yuv420p -y out.mp4
status=("${PIPESTATUS[@]}")
check "capture | tee | ffmpeg: all exit 0" test "${status[*]}" = "0 0 0"

probe=$(ffprobe -v error -count_frames -select_streams v:0 \
  -show_entries stream=width,height,nb_read_frames -of csv=p=0 out.mp4)
check "ffprobe: $N frames of ${W}x$H in out.mp4 (got $probe)" test "$probe" = "$W,$H,$N"

grep -v '^#' ts.txt | cut -d' ' -f4 >listed.md5
check "the timestamp list has $N digests" test "$(wc -l <listed.md5)" -eq $N

# framemd5 lines: stream, dts, pts, duration, size, hash.
awk -F', *' '!/^#/ { print $6 }' stream.md5 >stream.hashes
check "ffmpeg -f framemd5 of the raw stream = the listed digests" diff listed.md5 stream.hashes

split -b $((W * H * 3)) -d -a 3 raw.bin frame.
md5sum frame.* | cut -d' ' -f1 >split.hashes
check "md5sum of each raw frame = the listed digests" diff listed.md5 split.hashes

check "ffprobe: the PNGs are 8-bit RGB of ${W}x$H" \
  test "$(ffprobe -v error -show_entries stream=codec_name,pix_fmt,width,height -of csv=p=0 png/frame-0000.png)" = "png,$W,$H,rgb24"
ffmpeg -nostdin -v error -i png/frame-%04d.png -pix_fmt bgr24 -f framemd5 png.md5
awk -F', *' '!/^#/ { print $6 }' png.md5 >png.hashes
check "ffmpeg -f framemd5 of the decoded PNGs = the listed digests" diff listed.md5 png.hashes
ffmpeg -nostdin -v error -i png/frame-0005.png -f rawvideo -pix_fmt bgr24 - >decoded.bgr
check "frame 5's PNG decodes to the plug-in's bytes" cmp -s decoded.bgr frame.005

finish
