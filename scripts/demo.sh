#!/usr/bin/env bash
# Sets up, builds and runs ostra against the simulated producer (H.264 video
# and a 440 Hz tone), so you can watch a live stream at once.
#
#   bash scripts/demo.sh               # Digest credentials demo:ostra, ready after ~10 s
#   bash scripts/demo.sh --no-auth     # no credentials file: ready after ~50 s
#   bash scripts/demo.sh --channels 2  # main and sub stream: ch01 at 1280x720, ch02 at 640x360
#
# The daemon's fixed paths (/var/run/ostra, /var/etc/httppasswd,
# /talpa/bin/ostra.xml) live on tmpfs mounts in a private mount namespace, so
# nothing is written outside the build tree; mount points that did not exist
# are removed again on exit. Needs root (for the namespace and the mounts).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

auth=1
channels=1
while [ $# -gt 0 ]; do
  case "$1" in
    --no-auth) auth=0 ;;
    --channels)
      channels=${2:-}
      shift
      case "$channels" in
        [1-4]) ;;
        *) echo "demo: --channels takes 1 to 4" >&2; exit 2 ;;
      esac
      ;;
    *) echo "demo: unknown option $1 (--no-auth, --channels N)" >&2; exit 2 ;;
  esac
  shift
done
# Each channel's clip: the main stream large, the others smaller.
sizes=(640x360 1280x720,640x360 1280x720,640x360,480x270 1280x720,640x360,480x270,320x180)

if [ "$(id -u)" -ne 0 ]; then
  echo "demo: needs root (private mount namespace for the daemon's fixed paths); try: sudo bash scripts/demo.sh" >&2
  exit 1
fi

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target ostra ostra-producer

source scripts/mount-points.sh

export OSTRA_DEMO_AUTH=$auth OSTRA_ROOT=$root OSTRA_DEMO_CHANNELS=$channels OSTRA_DEMO_SIZES=${sizes[$((channels - 1))]}
unshare --mount --propagation private bash -c '
  set -euo pipefail
  mount -t tmpfs ostra-run /var/run
  mount -t tmpfs ostra-etc /var/etc
  mount -t tmpfs ostra-cfg /talpa/bin
  printf "<sys>\n\t<audio>1</audio>\n\t<channels>%s</channels>\n</sys>\n" "$OSTRA_DEMO_CHANNELS" > /talpa/bin/ostra.xml
  if [ "$OSTRA_DEMO_AUTH" = 1 ]; then echo "demo:ostra" > /var/etc/httppasswd; fi

  "$OSTRA_ROOT/build/tools/producer/ostra-producer" --channels "$OSTRA_DEMO_CHANNELS" --size "$OSTRA_DEMO_SIZES" &
  producer=$!
  "$OSTRA_ROOT/build/src/ostra" &
  daemon=$!
  trap "kill $daemon $producer 2>/dev/null; wait 2>/dev/null" EXIT INT TERM

  start=$(date +%s)
  while ! (exec 3<>/dev/tcp/127.0.0.1/8554) 2>/dev/null; do
    kill -0 $daemon 2>/dev/null || { echo "demo: ostra exited" >&2; exit 1; }
    printf "\rdemo: ostra is starting (waits 10 s, then up to 40 s for credentials)... %ds " $(( $(date +%s) - start ))
    sleep 1
  done
  echo
  cred=""
  [ "$OSTRA_DEMO_AUTH" = 1 ] && cred="demo:ostra@"
  host=127.0.0.1
  echo "demo: streaming. Try one of:"
  for k in $(seq 1 "$OSTRA_DEMO_CHANNELS"); do
    echo "  ffplay rtsp://${cred}${host}:8554/ch0$k"
  done
  echo "  ffprobe -rtsp_transport tcp rtsp://${cred}${host}:8554/ch01"
  echo "  gst-launch-1.0 playbin uri=rtsp://${cred}${host}:8554/ch01"
  echo "demo: Ctrl-C stops the daemon and the producer."
  wait $daemon
'
