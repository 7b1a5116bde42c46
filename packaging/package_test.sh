#!/usr/bin/env bash
# The Debian package of one build: made with cpack, its control fields and
# contents checked, unpacked into a scratch root (dpkg-deb -x), and the
# installed tcap-host run on the installed plug-in: info, then check.
# Arguments: emulator (empty, or qemu-i386), Debian architecture, multiarch
# triplet, the build's CPackConfig.cmake, a scratch folder.
set -u
read -r -a EMU <<<"$1"
ARCH=$2
TRIPLET=$3
CONFIG=$4
WORK=$5
rm -rf "$WORK" && mkdir -p "$WORK" || exit 1
FAILURES=0
check() {
  local what=$1
  shift
  if "$@"; then echo "ok    $what"; else echo "FAIL  $what"; FAILURES=$((FAILURES + 1)); fi
}

cpack --config "$CONFIG" -B "$WORK/out" >"$WORK/cpack.log" 2>&1
check "cpack: exit 0" test $? -eq 0
deb=$(ls "$WORK"/out/tcap_*_"$ARCH".deb 2>/dev/null)
check "cpack: one package, tcap_VERSION_$ARCH.deb" test "$(wc -w <<<"$deb")" -eq 1
[ "$FAILURES" -eq 0 ] || { cat "$WORK/cpack.log"; exit 1; }

field() { dpkg-deb -f "$deb" "$1"; }
check "Package: tcap" test "$(field Package)" = tcap
check "Architecture: $ARCH" test "$(field Architecture)" = "$ARCH"
check "Multi-Arch: same" test "$(field Multi-Arch)" = same
check "Depends: libc6 (>= 2.x), libgcc-s1, libstdc++6 (got: $(field Depends))" \
  grep -qxE 'libc6 \(>= 2\.[0-9]+\), libgcc-s1 \(>= 3\.0\), libstdc\+\+6 \(>= [0-9]+\)' <<<"$(field Depends)"
check "a description with a summary and a long text" test "$(dpkg-deb -f "$deb" Description | wc -l)" -gt 5

cat >"$WORK/contents.expected" <<LIST
./usr/bin/tcap-host
./usr/include/tcap/entry_points.def
./usr/include/tcap/gettickcount.h
./usr/include/tcap/lin_tcap.h
./usr/lib/$TRIPLET/tcap/libtcap.so
./usr/lib/$TRIPLET/tcap/tcap-host
LIST
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort >"$WORK/contents"
check "contents: the plug-in and host in lib/$TRIPLET/tcap, the headers, the script" diff "$WORK/contents.expected" "$WORK/contents"
check "everything owned by root" test -z "$(dpkg-deb -c "$deb" | awk '$2 != "root/root"')"

ROOT=$WORK/root
dpkg-deb -x "$deb" "$ROOT"
PLUGIN=$ROOT/usr/lib/$TRIPLET/tcap/libtcap.so
HOST=$ROOT/usr/lib/$TRIPLET/tcap/tcap-host
"${EMU[@]}" "$HOST" info "$PLUGIN" >"$WORK/info.txt"
check "installed tcap-host info: exit 0" test $? -eq 0
check "installed tcap-host info: the vendor and 4 inputs" \
  test "$(grep -cE '^(vendor +Quorvane, Inc\.|inputs +4)$' "$WORK/info.txt")" -eq 2
"${EMU[@]}" "$HOST" check "$PLUGIN" --skip speed >"$WORK/check.txt"
check "installed tcap-host check: exit 0" test $? -eq 0
check "installed tcap-host check: every check passes" grep -qx "25 passed, 0 warnings, 0 failed" "$WORK/check.txt"

# The script in bin runs the host that matches the plug-in's architecture;
# here only where this machine runs the package's programs without help.
if [ ${#EMU[@]} -eq 0 ]; then
  "$ROOT/usr/bin/tcap-host" info "$PLUGIN" >"$WORK/script.txt"
  check "bin/tcap-host: the same table" diff "$WORK/info.txt" "$WORK/script.txt"
fi

# The installed headers and the list of exports, as a host's build uses them.
bits=$([ "$ARCH" = i386 ] && echo -m32 || echo -m64)
cat >"$WORK/host.c" <<'C'
#include <tcap/gettickcount.h>
#include <tcap/lin_tcap.h>
#define TCAP_ENTRY_POINT(name) #name,
#define TCAP_CLOCK_EXPORT(name) #name,
static const char* const kNames[] = {
#include <tcap/entry_points.def>
};
int main(void) { return (int)(sizeof kNames / sizeof kNames[0]) == 22 && sizeof(VideoFormatInfo) == 16 ? 0 : 1; }
C
cc $bits -std=c99 -Wall -Werror -I"$ROOT/usr/include" "$WORK/host.c" -o "$WORK/host" && "${EMU[@]}" "$WORK/host"
check "the installed headers compile as C99 ($bits); entry_points.def lists 22 exports" test $? -eq 0

if [ "$FAILURES" -ne 0 ]; then
  echo "$FAILURES check(s) failed; files in $WORK"
  exit 1
fi
