#!/usr/bin/env bash
# Installs the i386 and amd64 packages in FOLDER together into a scratch dpkg
# root, as dpkg installs them on a machine with both architectures, and runs
# bin/tcap-host on each plug-in: it picks the host of the plug-in's own
# architecture (the i386 one under qemu-i386 where the machine cannot run it).
set -euo pipefail
folder=$1
root=$folder/side-by-side
rm -rf "$root" && mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
dpkg --root="$root" --add-architecture i386
# The C and C++ runtimes are not in the scratch root: only tcap is installed.
dpkg --root="$root" --log=/dev/null --force-depends --force-not-root -i "$folder"/tcap_*_amd64.deb "$folder"/tcap_*_i386.deb \
  >"$folder/side-by-side.log" 2>&1 || { cat "$folder/side-by-side.log"; exit 1; }
dpkg --root="$root" -l tcap | grep -c '^ii' | grep -qx 2
for triplet in x86_64-linux-gnu i386-linux-gnu; do
  plugin=$root/usr/lib/$triplet/tcap/libtcap.so
  if [ $triplet = i386-linux-gnu ] && ! "$root/usr/lib/$triplet/tcap/tcap-host" --version >/dev/null 2>&1; then
    qemu-i386 "$root/usr/lib/$triplet/tcap/tcap-host" info "$plugin" | grep -q '^inputs  *4$'
  else
    "$root/usr/bin/tcap-host" info "$plugin" | grep -q '^inputs  *4$'
  fi
done
rm -rf "$root" "$folder/side-by-side.log"
echo "package: both install side by side (dpkg, Multi-Arch: same); bin/tcap-host runs the host of each plug-in's architecture"
