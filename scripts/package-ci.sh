#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# CI for the Debian package (after scripts/test.sh has built everything):
# cpack, lintian --pedantic, then in a clean Debian 12 root (mmdebstrap,
# minbase, made once and kept in the cache folder) what a new user does:
# apt-get install ./torvane_*.deb, scans with scanimage and torvane-scan
# against torvane-sim, apt-get purge; and a check that the purge leaves
# nothing behind (/etc/udev/hwdb.bin included). Run as root.
# Only torvane is ever loaded: the scans use a private SANE_CONFIG_DIR whose
# dll.d holds the package's own entry alone.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$PWD/build/default
cache=${TORVANE_ROOT_CACHE:-$PWD/build/debian-root}
mirror=http://deb.debian.org/debian
work=$(mktemp -d)
root=$work/root
trap 'rm -rf "$work"' EXIT
SECONDS=0

echo "-- the package, and lintian --pedantic"
(cd "$build" && rm -f torvane_*.deb torvane-dbgsym_*.ddeb && cpack -G DEB > "$work/cpack.log") ||
  { cat "$work/cpack.log"; exit 1; }
deb=$(echo "$build"/torvane_*_amd64.deb)
# lintian warns when run as root; that line is no finding.
lintian --pedantic --fail-on error,warning,pedantic "$deb" 2>&1 | grep -v 'running with root privileges' || true
lintian --pedantic --fail-on error,warning,pedantic "$deb" > /dev/null 2>&1 || { echo "lintian has findings"; exit 1; }
for page in man1/torvane-scan.1 man1/torvane-sim.1 man5/sane-torvane.5; do
  dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/share/man/$page.gz" | gzip -d > "$work/page"
  out=$(MANWIDTH=80 man --warnings -l "$work/page" 2>&1 >/dev/null)
  [[ -z "$out" ]] || { echo "man -l $page: $out"; exit 1; }
done
echo "lintian and man -l: clean ($SECONDS s)"

echo "-- a clean Debian 12 root"
# Made once and kept (with the packages apt fetched into it) in $cache.
mkdir -p "$cache/archives"
if [[ ! -s "$cache/bookworm-minbase.tar" ]]; then
  mmdebstrap --quiet --mode=root --variant=minbase --include=udev bookworm "$cache/bookworm-minbase.tar.part" \
    "deb $mirror bookworm main" "deb $mirror bookworm-updates main" \
    "deb http://deb.debian.org/debian-security bookworm-security main"
  mv "$cache/bookworm-minbase.tar.part" "$cache/bookworm-minbase.tar"
fi
mkdir "$root"
tar -C "$root" -xf "$cache/bookworm-minbase.tar"
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp "$deb" "$root/tmp/"
echo "root ready ($SECONDS s)"

# Runs a script in the root, in a mount namespace of its own (so that its
# mounts go when it ends), with the kept apt cache.
in_root() { # SCRIPT
  unshare --mount --fork -- bash -c '
    r=$1 archives=$2
    mount -t proc proc "$r/proc"
    mount --rbind /dev "$r/dev"
    mount -t tmpfs tmpfs "$r/dev/shm"
    mount --bind "$archives" "$r/var/cache/apt/archives"
    exec chroot "$r" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
      LC_ALL=C.UTF-8 bash -euo pipefail -c "$3"' in_root "$root" "$cache/archives" "$1"
}

# Every path outside the state folders, with a checksum for the files of
# /etc and of udev's databases: what a purge must leave as it found it.
snapshot='find / -xdev \( -path /proc -o -path /dev -o -path /sys -o -path /tmp -o -path /run \
  -o -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/cache -o -path /var/log \) -prune -o -print | sort
  find /etc /lib/udev/hwdb.bin -xdev -type f -print0 2>/dev/null | sort -z | xargs -0 md5sum'
# What must never be there after a purge.
nothing_left='test ! -e /etc/udev/hwdb.bin || { echo "left behind: /etc/udev/hwdb.bin"; exit 1; }
  left=$(find / -xdev -path /tmp -prune -o -path /proc -prune -o -iname "*torvane*" -print)
  test -z "$left" || { echo "left behind: $left"; exit 1; }
  test -z "$(systemd-hwdb query usb:v2F1Ap0735)" || { echo "the hwdb still matches 2F1A:0735"; exit 1; }'

echo "-- apt-get install ./torvane_*.deb, as a new user does, and apt-get purge"
in_root "apt-get -q update > /tmp/update.log || { cat /tmp/update.log; exit 1; }
  apt-get -q -y install /tmp/$(basename "$deb") > /tmp/install.log 2>&1 || { cat /tmp/install.log; exit 1; }
  grep -E '^(Setting up|Recommended packages)' /tmp/install.log | grep -c 'Setting up' | sed 's/^/packages set up: /'
  systemd-hwdb query usb:v2F1Ap0918 | grep -qx 'libsane_matched=yes' || { echo 'hwdb: 2F1A:0918 not matched'; exit 1; }
  test ! -e /etc/udev/hwdb.bin || { echo 'the install wrote /etc/udev/hwdb.bin'; exit 1; }
  command -v scanimage > /dev/null || { echo 'sane-utils (Recommends) not installed'; exit 1; }
  apt-get -q -y purge torvane > /tmp/purge.log 2>&1 || { cat /tmp/purge.log; exit 1; }
  $nothing_left"
in_root "$snapshot" > "$work/before.txt"
echo "installed and purged ($SECONDS s)"

echo "-- installed again: scans through the installed programs, purge, nothing left"
in_root "apt-get -q -y install /tmp/$(basename "$deb") > /tmp/install.log 2>&1 || { cat /tmp/install.log; exit 1; }
  mkdir -p /tmp/sane.d/dll.d /tmp/dev
  : > /tmp/sane.d/dll.conf
  cp /etc/sane.d/dll.d/torvane /tmp/sane.d/dll.d/
  export SANE_CONFIG_DIR=/tmp/sane.d TORVANE_DEVICE_DIR=/tmp/dev
  simulate() { # MODEL
    rm -f /tmp/sim.log
    torvane-sim --dir /tmp/dev --model \$1 --full-speed --ignore-stdin > /tmp/sim.log 2>&1 &
    sim=\$!
    for _ in \$(seq 100); do grep -q ' ready at ' /tmp/sim.log && return 0; sleep 0.1; done
    cat /tmp/sim.log; return 1
  }
  simulate RM735
  scanimage -L | tee /tmp/list.txt
  grep -q \"device \\\`torvane:usbscan0' is a Torvane RM735\" /tmp/list.txt
  scanimage --format=pnm --mode Gray --resolution 100 > /tmp/page.pnm
  head -c 40 /tmp/page.pnm | od -c | head -3
  head -c 29 /tmp/page.pnm | grep -q '^850 ' || true
  torvane-scan -q -r 100 -m gray -o /tmp/page.pgm
  head -c 2 /tmp/page.pgm | grep -qx P5 || { echo 'torvane-scan: no PGM'; exit 1; }
  kill \$sim; wait \$sim || true
  apt-get -q -y purge torvane > /tmp/purge.log 2>&1 || { cat /tmp/purge.log; exit 1; }
  rm -rf /tmp/sane.d /tmp/dev
  $nothing_left"
in_root "$snapshot" > "$work/after.txt"
if ! diff "$work/before.txt" "$work/after.txt"; then
  echo "the purge did not leave the root as it found it"
  exit 1
fi
echo "package stage: $SECONDS s"
