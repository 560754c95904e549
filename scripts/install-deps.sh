#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages the build, the tests and the tools need.
# --windows also installs the cross compiler and Wine for the Windows DLL.
set -euo pipefail

packages=(build-essential cmake ninja-build pkg-config
          libgtest-dev libgmock-dev libbenchmark-dev
          libpng-dev libtiff-dev libusb-1.0-0-dev)
# torvane-scan's stacks: PDF (libharu) with JPEG pages (libjpeg-turbo); the
# tests read the PDFs back with qpdf and poppler-utils (pdfinfo, pdfimages).
packages+=(libhpdf-dev libjpeg62-turbo-dev qpdf poppler-utils)
# The SANE backend: SANE's headers, scanimage and saned (tests), dpkg-dev
# (apt-get source, the package's dependencies), unshare and ip (network test).
packages+=(libsane-dev sane-utils dpkg-dev util-linux iproute2)
# scripts/package-ci.sh: Debian's package checks, man -l for the manual pages,
# and a clean Debian 12 root to install the package in.
packages+=(lintian man-db mmdebstrap)
# umockdev: the USB tests emulate scanners on a USB bus for the real libusb.
packages+=(umockdev libumockdev-dev)
# bench/pillow_compare.py: the image routines beside Pillow.
packages+=(python3-pil)
if [[ "${1:-}" == "--windows" ]]; then
  # googletest: the GoogleTest sources, built with mingw-w64 for the Windows tests.
  packages+=(g++-mingw-w64-x86-64-posix wine64 googletest)
  # zlib for mingw-w64: the TWAIN source's PNG files, linked statically.
  packages+=(libz-mingw-w64-dev)
  # nsis: the installer of the TWAIN data source (TorvaneScanner-setup.exe);
  # xvfb: a display for the data source's dialog under Wine.
  packages+=(nsis xvfb)
  # The 32-bit data source and DLLs for 32-bit applications (preset windows32).
  packages+=(g++-mingw-w64-i686-posix)
fi
# The fuzz targets (preset fuzz): clang with libFuzzer.
packages+=(clang-14 libfuzzer-14-dev)
# scripts/check-format.sh: the source layout of .clang-format.
packages+=(clang-format-14)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [[ $(id -u) -eq 0 ]] || sudo="sudo"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
