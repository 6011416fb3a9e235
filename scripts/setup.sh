#!/usr/bin/env bash
# Installs, with apt-get, whatever the build, the tests and the demo need and this Debian
# machine lacks. Run as root. Safe to run again: it installs only what is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ googletest              # host build and unit tests
  g++-powerpc-linux-gnu qemu-user               # appliance build, tests under qemu-ppc
  util-linux iproute2 procps sysvinit-utils     # sandbox: unshare, ip, ps, pidof
  python3                                       # end-to-end scenes and their driver
  net-tools passwd                              # utility library tests: /sbin/route, passwd, useradd
  clang libclang-rt-14-dev clang-format         # fuzzers, format check
  ffmpeg tshark                                 # interoperability checks and the demo
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  pkg-config libgstreamer-plugins-base1.0-dev   # the RTSP server stand-in: RTSP and SDP libraries
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  if [ "$(id -u)" != 0 ]; then
    echo "setup: these packages are missing and installing them needs root" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
