#!/usr/bin/env bash
# Installs the Debian packages ostra needs to build, test and demo, if missing.
# Extra package names given as arguments (for the fuzz run, the benchmarks)
# are installed the same way.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libtinyxml-dev libssl-dev libsrtp2-dev libgtest-dev
  ffmpeg gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-bad gstreamer1.0-libav tshark mpv openssl glib-networking
  python3-gi gir1.2-gst-rtsp-server-1.0 gstreamer1.0-rtsp
  util-linux iproute2 procps
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
echo "setup: all packages present"
