#!/usr/bin/env bash
# make demo: the i386 plug-in's identity table, pictures of every input in
# demo/, and with ffmpeg a few seconds of plasma as demo/plasma.mp4.
set -euo pipefail
cd "$(dirname "$0")/.."

HOST=build/i386/host/tcap-host
PLUGIN=build/i386/plugin/libtcap.so
OUT=demo

# The i386 host runs directly where the machine runs 32-bit code, through
# qemu-i386 elsewhere.
run=()
how=""
if ! "$HOST" --version >/dev/null 2>&1; then
  if ! command -v qemu-i386 >/dev/null; then
    echo "demo: this machine cannot run 32-bit x86 code and has no qemu-i386: apt-get install qemu-user" >&2
    exit 1
  fi
  run=(qemu-i386)
  how=" under qemu-i386"
fi
host() { "${run[@]}" "$HOST" "$@"; }

rm -rf "$OUT"
mkdir -p "$OUT"
# Messages of the captures below, shown only when one fails.
messages="$OUT/.messages"
failed() {
  cat "$messages" >&2
  exit 1
}

echo "tcap-host info $PLUGIN"
host info "$PLUGIN" >"$OUT/info.txt"
sed 's/^/  /' "$OUT/info.txt"

echo
echo "Pictures from the i386 plug-in$how:"
# The inputs as the table lists them, "  INDEX  NAME".
sed -n 's/^  \([0-9][0-9]*\)  *\(.*\)$/\1 \2/p' "$OUT/info.txt" | while read -r index name; do
  folder="$OUT/$(tr 'A-Z ' 'a-z_' <<<"$name")"
  if [ "$index" -eq 0 ]; then
    # The plasma's colours cycle with every frame: four pictures, 8 frames apart.
    host capture "$PLUGIN" --input "$index" --size 640x480 --frames 25 --png-every 8 --png "$folder" \
      --timestamps "$folder/timestamps.txt" 2>"$messages" || failed
  else
    host capture "$PLUGIN" --input "$index" --size 160x120 --frames 1 --png "$folder" 2>"$messages" || failed
  fi
  printf '  %-12s %-19s %s\n' "$name" "$folder/" "$(ls "$folder" | paste -sd ' ')"
done

echo
if command -v ffmpeg >/dev/null; then
  echo "Encoding 4 s of plasma (640x480, 25 frames/s) with ffmpeg:"
  host capture "$PLUGIN" --size 640x480 --frames 100 --raw - 2>"$messages" |
    ffmpeg -nostdin -v error -y -f rawvideo -pixel_format bgr24 -video_size 640x480 -framerate 25 -i - \
      -c:v libx264 -pix_fmt yuv420p "$OUT/plasma.mp4" || failed
  echo "  $OUT/plasma.mp4"
else
  echo "No $OUT/plasma.mp4: ffmpeg is not installed (apt-get install ffmpeg, or make setup, adds it)."
fi
rm -f "$messages"
echo
echo "All of it is in $OUT/; open the PNGs with any image viewer."
