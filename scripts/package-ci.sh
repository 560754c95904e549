#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# CI for the Debian package (after scripts/test.sh has built everything), as
# root: cpack, lintian --pedantic, man -l; then in a clean Debian 12 root
# (mmdebstrap, minbase, made once and kept in the cache folder) what a new
# user does: apt-get install ./torvane_*.deb, scans with scanimage and
# torvane-scan against torvane-sim, apt-get purge; and a check that the purge
# leaves nothing behind (/etc/udev/hwdb.bin included). Only torvane is ever
# loaded: the scans use a private SANE_CONFIG_DIR whose dll.d holds the
# package's own entry alone.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$PWD/build/default
cache=${TORVANE_ROOT_CACHE:-$PWD/build/debian-root}
work=$(mktemp -d)
root=$work/root
making_root=""
trap 'if [[ -n "$making_root" ]]; then kill "$making_root" 2> /dev/null || true; wait; fi; rm -rf "$work"' EXIT
SECONDS=0

echo "-- a clean Debian 12 root (mmdebstrap, minbase), made beside the package checks"
# The packages apt fetches are kept in $cache/archives, beside the host's own
# apt cache, whose packages are hard links away: nothing is fetched twice.
mkdir -p "$cache/archives"
cp -al /var/cache/apt/archives/*.deb "$cache/archives/" 2> /dev/null || true
# The root's package sources are the host's own (its apt source files, in
# either format), so it fetches from wherever this machine does.
host_sources() {
  local file
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [[ -s "$file" ]] && echo "$file"
  done
  return 0
}
make_root() {
  [[ ! -s "$cache/bookworm-minbase.tar" ]] || return 0
  local sources
  mapfile -t sources < <(host_sources)
  ((${#sources[@]})) || { echo "no apt sources on this machine"; return 1; }
  rm -f "$cache/bookworm-minbase.tar.part"
  mmdebstrap --quiet --mode=root --format=tar --variant=minbase --include=udev --dpkgopt=force-unsafe-io \
    --skip=essential/unlink \
    --setup-hook='mkdir -p "$1/var/cache/apt/archives"' \
    --setup-hook="cp -al $cache/archives/. \"\$1/var/cache/apt/archives/\" 2> /dev/null || true" \
    --customize-hook="cp -al \"\$1\"/var/cache/apt/archives/*.deb $cache/archives/ 2> /dev/null || true" \
    bookworm "$cache/bookworm-minbase.tar.part" "${sources[@]}"
  mv "$cache/bookworm-minbase.tar.part" "$cache/bookworm-minbase.tar"
}
make_root > "$work/mmdebstrap.log" 2>&1 &
making_root=$!

echo "-- the package: lintian --pedantic, man -l"
(cd "$build" && rm -f torvane_*.deb torvane-dbgsym_*.ddeb && cpack -G DEB > "$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; exit 1; }
deb=$(echo "$build"/torvane_*_amd64.deb)
# lintian says it would rather not run as root: that line is no finding.
if ! lintian --pedantic --fail-on error,warning,pedantic "$deb" > "$work/lintian.log" 2>&1; then
  grep -v 'running with root privileges' "$work/lintian.log"; exit 1
fi
for page in man1/torvane-scan.1 man1/torvane-sim.1 man5/sane-torvane.5; do
  dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/share/man/$page.gz" | gzip -d > "$work/page"
  out=$(MANWIDTH=80 man --warnings -l "$work/page" 2>&1 > /dev/null)
  [[ -z "$out" ]] || { echo "man -l $page: $out"; exit 1; }
done
echo "lintian --pedantic and man -l: nothing to report ($SECONDS s)"

wait "$making_root" || { cat "$work/mmdebstrap.log"; exit 1; }
making_root=
mkdir "$root"
tar -C "$root" -xf "$cache/bookworm-minbase.tar"
cp /etc/resolv.conf "$root/etc/resolv.conf"
echo 'force-unsafe-io' > "$root/etc/dpkg/dpkg.cfg.d/ci-unsafe-io"
cp "$deb" "$root/tmp/torvane.deb"
echo "root ready ($SECONDS s)"

# The scripts run in the root. nothing-left: what a purge must never leave.
cat > "$root/tmp/nothing-left.sh" << 'EOF'
test ! -e /etc/udev/hwdb.bin || { echo "left behind: /etc/udev/hwdb.bin"; exit 1; }
left=$(find / -xdev \( -path /tmp -o -path /proc -o -path /var/cache/apt \) -prune -o -iname '*torvane*' -print)
test -z "$left" || { echo "left behind: $left"; exit 1; }
test -z "$(systemd-hwdb query usb:v2F1Ap0735)" || { echo "udev's database still matches 2F1A:0735"; exit 1; }
EOF
# Every path outside the state folders, and a checksum of every file of /etc
# and of udev's database: what a purge must leave as it found it.
cat > "$root/tmp/snapshot.sh" << 'EOF'
find / -xdev \( -path /proc -o -path /dev -o -path /sys -o -path /tmp -o -path /run -o -path /var/lib/dpkg \
  -o -path /var/lib/apt -o -path /var/cache -o -path /var/log \) -prune -o -print | sort
find /etc /lib/udev/hwdb.bin -xdev -type f -print0 | sort -z | xargs -0 md5sum
EOF
cat > "$root/tmp/install.sh" << 'EOF'
apt-get -q -y install /tmp/torvane.deb > /tmp/install.log 2>&1 || { cat /tmp/install.log; exit 1; }
# udev's own trigger takes the hwdb file in; the package writes no database.
systemd-hwdb query usb:v2F1Ap0918 | grep -qx 'libsane_matched=yes' || { echo "hwdb: 2F1A:0918 not matched"; exit 1; }
test ! -e /etc/udev/hwdb.bin || { echo "the install wrote /etc/udev/hwdb.bin"; exit 1; }
command -v scanimage > /dev/null || { echo "no scanimage: sane-utils (Recommends) was not installed"; exit 1; }
EOF
cat > "$root/tmp/scans.sh" << 'EOF'
mkdir -p /tmp/sane.d/dll.d /tmp/dev
: > /tmp/sane.d/dll.conf
cp /etc/sane.d/dll.d/torvane /tmp/sane.d/dll.d/
export SANE_CONFIG_DIR=/tmp/sane.d TORVANE_DEVICE_DIR=/tmp/dev
simulate() { # MODEL
  torvane-sim --dir /tmp/dev --model "$1" --full-speed --ignore-stdin > /tmp/sim.log 2>&1 &
  sim=$!
  for _ in $(seq 100); do grep -q ' ready at ' /tmp/sim.log && return 0; sleep 0.1; done
  cat /tmp/sim.log; return 1
}
expect_pnm() { # FILE WIDTH HEIGHT BYTES-PER-LINE: the size line, then exactly the image's bytes
  local at end
  at=$(grep -abo -m1 "^$2 $3\$" "$1" | head -n 1 | cut -d: -f1)
  [[ -n "$at" ]] || { echo "$1 is not $2 x $3:"; head -c 64 "$1" | od -c | head -n 4; exit 1; }
  end=$((at + ${#2} + ${#3} + 2))
  [[ $(head -c 2 "$1") != P5 ]] || end=$((end + 4)) # the maximum value, 255
  [[ $(stat -c %s "$1") -eq $((end + $4 * $3)) ]] ||
    { echo "$1: $(stat -c %s "$1") bytes, not $((end + $4 * $3))"; exit 1; }
}
simulate RM735
scanimage -L > /tmp/list.txt
grep -qx "device \`torvane:usbscan0' is a Torvane RM735 sheetfed scanner" /tmp/list.txt || { cat /tmp/list.txt; exit 1; }
scanimage -A > /tmp/options.txt
grep -q -- '-y 0..354.584mm \[297\]' /tmp/options.txt || { echo "scanimage -A: not A4 by default"; cat /tmp/options.txt; exit 1; }
scanimage --format=pnm --mode Gray --resolution 100 > /tmp/page.pgm
expect_pnm /tmp/page.pgm 826 1169 826
scanimage --format=pnm --mode Lineart --resolution 300 -x 215.9 -y 50 > /tmp/bits.pbm
expect_pnm /tmp/bits.pbm 2550 591 319
kill "$sim"; wait "$sim" || true
simulate KT918
torvane-scan -q -m lineart -y 50 -o /tmp/kt918.pbm
expect_pnm /tmp/kt918.pbm 2550 591 319
torvane-scan --list > /tmp/found.txt
grep -q '^KT918 .*/usr/lib/x86_64-linux-gnu/torvane/KT918.so$' /tmp/found.txt || { cat /tmp/found.txt; exit 1; }
kill "$sim"; wait "$sim" || true
echo "scanned: scanimage 826 x 1169 grey (A4 at 100 dpi), 2550 x 591 line art; torvane-scan on a KT918, 2550 x 591"
rm -rf /tmp/sane.d /tmp/dev
EOF
cat > "$root/tmp/update.sh" << 'EOF'
apt-get -q update > /tmp/update.log || { cat /tmp/update.log; exit 1; }
EOF
cat > "$root/tmp/purge.sh" << 'EOF'
apt-get -q -y purge torvane > /tmp/purge.log 2>&1 || { cat /tmp/purge.log; exit 1; }
EOF

# Runs one of those scripts in the root, in a mount namespace of its own (so
# that its mounts go when it ends), with the kept apt cache.
in_root() { # SCRIPT...
  unshare --mount --fork -- bash -c '
    r=$1 archives=$2
    shift 2
    mount -t proc proc "$r/proc"
    mount --rbind /dev "$r/dev"
    mount -t tmpfs tmpfs "$r/dev/shm"
    mount --bind "$archives" "$r/var/cache/apt/archives"
    for script; do
      chroot "$r" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8 \
        bash -euo pipefail "/tmp/$script.sh" || exit 1
    done' in_root "$root" "$cache/archives" "$@"
}

echo "-- apt-get install ./torvane_*.deb on the clean root, as a new user does, and purge"
in_root update install purge nothing-left
grep -c '^Setting up' "$root/tmp/install.log" | sed 's/^/packages set up with it: /'
in_root snapshot > "$work/before.txt"
echo "installed with its dependencies and purged ($SECONDS s)"

echo "-- installed again: scans through the installed programs, purge, nothing left"
in_root install scans purge nothing-left
in_root snapshot > "$work/after.txt"
diff "$work/before.txt" "$work/after.txt" || { echo "the purge did not leave the root as it found it"; exit 1; }
echo "package stage: $SECONDS s"
