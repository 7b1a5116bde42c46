#!/usr/bin/env bash
# Checks what a host's loader sees in the built plug-in: exports, dependencies,
# hardening, symbol versions and load-time code.
# Usage: check_library.sh LIB ARCH PLUGIN_DIR
# PLUGIN_DIR holds entry_points.def, the list of exports, and the public headers.
set -uo pipefail
lib=$1
arch=$2
plugin_dir=$3
fail=0
bad() { echo "FAIL: $*"; fail=1; }

expected=$(sed -n 's/^TCAP_[A-Z_]*(\([A-Za-z_]*\))$/\1/p' "$plugin_dir/entry_points.def" | sort | tr '\n' ' ')
[ "$(wc -w <<<"$expected")" -eq 22 ] || bad "entry_points.def lists $(wc -w <<<"$expected") exports, not 21 and GetTickCount"
# The public headers declare exactly the listed functions as exports.
declared=$(cat "$plugin_dir/lin_tcap.h" "$plugin_dir/gettickcount.h" |
  sed -n 's/^TCAP_EXPORT [^(]*[ *]\([A-Za-z_]*\)(.*/\1/p' | sort | tr '\n' ' ')
[ "$declared" = "$expected" ] || bad "the headers declare [$declared], entry_points.def lists [$expected]"

header=$(readelf -h "$lib")
case $arch in
  i386)   grep -q 'ELF32' <<<"$header" && grep -q 'Intel 80386' <<<"$header" || bad "not a 32-bit x86 object" ;;
  x86_64) grep -q 'ELF64' <<<"$header" && grep -q 'X86-64' <<<"$header" || bad "not an x86-64 object" ;;
  *) bad "unknown architecture $arch" ;;
esac
grep -q 'DYN (Shared object file)' <<<"$header" || bad "not a shared object"

dynsyms=$(readelf -W --dyn-syms "$lib" | awk 'NR > 3 && NF >= 8')
# Defined dynamic symbols: exactly the entry points, all functions, global.
defined=$(awk '$7 != "UND" {print $8}' <<<"$dynsyms" | sed 's/@.*//' | sort)
[ "$defined" = "$(tr ' ' '\n' <<<"$expected" | tr -s '\n' | sort)" ] ||
  bad "exported symbols differ: $(diff <(tr ' ' '\n' <<<"$expected" | tr -s '\n' | sort) <(echo "$defined") | grep '^[<>]' | tr '\n' ' ')"
awk '$7 != "UND" && ($4 != "FUNC" || $5 != "GLOBAL" || $6 != "DEFAULT") {print}' <<<"$dynsyms" | grep -q . &&
  bad "an export is not a global function"
grep -q 'UNIQUE' <(readelf -W -s "$lib") && bad "UNIQUE symbols pin the library after dlclose"

# Undefined symbols: only versioned ones from the C and maths libraries, none
# newer than GLIBC_2.17, apart from the toolchain's weak hooks.
while read -r bind name; do
  case $name in
    *@GLIBC_*) ver=${name##*@GLIBC_}
               [ "$(printf '%s\n2.17\n' "$ver" | sort -V | tail -n1)" = 2.17 ] || bad "$name is newer than GLIBC_2.17" ;;
    *) [ "$bind" = WEAK ] || bad "needs $name, which the C library does not provide" ;;
  esac
done < <(awk '$7 == "UND" && $8 != "" {print $5, $8}' <<<"$dynsyms")

dynamic=$(readelf -W -d "$lib")
needed=$(grep NEEDED <<<"$dynamic" | sed 's/.*\[\(.*\)\]/\1/' | sort | tr '\n' ' ')
[ "$needed" = "libc.so.6 libm.so.6 " ] || bad "depends on: $needed"
grep -Eq 'RPATH|RUNPATH' <<<"$dynamic" && bad "has an RPATH or RUNPATH"
grep -q 'TEXTREL' <<<"$dynamic" && bad "has text relocations"
grep -Eq 'BIND_NOW|FLAGS_1.*NOW' <<<"$dynamic" || bad "not linked with -z now"

segments=$(readelf -W -l "$lib")
grep -q 'GNU_RELRO' <<<"$segments" || bad "no RELRO segment"
grep 'GNU_STACK' <<<"$segments" | grep -q 'RWE' && bad "executable stack"
grep -q 'GNU_STACK' <<<"$segments" || bad "no GNU_STACK note: the stack would be executable"

# Loading runs none of the plug-in's code: at most the toolchain's one
# .init_array entry, no .ctors, no DT_INIT_ARRAY beyond it.
ptr=$([ "$arch" = i386 ] && echo 4 || echo 8)
sections=$(readelf -W -S "$lib")
init=$(awk '$2 == ".init_array" {print $6}' <<<"$sections")
[ -z "$init" ] || [ $((16#$init)) -le "$ptr" ] || bad ".init_array holds $((16#$init / ptr)) entries"
grep -q '\.ctors' <<<"$sections" && bad "has .ctors"

# The plug-in's own calls bind inside it: no relocation against its exports.
relocs=$(readelf -W -r "$lib")
for sym in $expected; do
  grep -Eq "[[:space:]]$sym([@[:space:]]|$)" <<<"$relocs" && bad "relocation against $sym: a host could interpose it"
done

[ $fail -eq 0 ] && echo "library checks passed: $lib"
exit $fail
