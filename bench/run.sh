#!/usr/bin/env bash
# Fan-out, latency and footprint benchmark of ostra beside a GStreamer RTSP
# server. One command, as root, about 10 minutes at the default sizes:
#
#   bash bench/run.sh                       # everything (see bench/README.md)
#   bash bench/run.sh --sizes 1,10 --no-latency --no-profile   # quick look
#
# Installs what is missing (Debian packages), builds the release tools in
# build-bench/, then runs bench/bench.py in private network and mount
# namespaces: only a private loopback interface exists there, and the daemon's
# fixed paths (/var/run, /var/etc, /talpa/bin) are tmpfs mounts that vanish
# with the namespace. Mount points that did not exist are removed afterwards.
# Results: bench/results/ (runs.jsonl, results.md, summary.json, profiles).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [ "$(id -u)" -ne 0 ]; then
  echo "bench: needs root (private namespaces and tmpfs mounts); try: sudo bash bench/run.sh" >&2
  exit 1
fi

# Packages: the project's own set-up, then the GStreamer RTSP server, Python
# bindings, perf and matplotlib (bench/plot.py), each only when absent.
extra=()
/usr/bin/python3 -c 'import gi; gi.require_version("GstRtspServer", "1.0"); from gi.repository import GstRtspServer' \
  2>/dev/null || extra+=(python3-gi gir1.2-gst-rtsp-server-1.0 gir1.2-gstreamer-1.0 gir1.2-gst-plugins-base-1.0)
command -v perf >/dev/null || extra+=(linux-perf)
/usr/bin/python3 -c 'import matplotlib' 2>/dev/null || extra+=(python3-matplotlib)
bash scripts/setup.sh "${extra[@]}"

build=${OSTRA_BENCH_BUILD:-build-bench}
# The fan-out runs go up to 500 clients: more sessions than the daemon's built-in bound of 64.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTRA_BUILD_TESTS=OFF -DOSTRA_MAX_SESSIONS=1024 >/dev/null
cmake --build "$build" -j2 --target ostra ostra-producer ostra-bench-client ostra-bench-alloccount

source scripts/mount-points.sh

out=${OSTRA_BENCH_OUT:-$root/bench/results}
mkdir -p "$out"
OSTRA_BENCH_NAMESPACE=1 timeout 1500 unshare --net --mount --propagation private \
  /usr/bin/python3 "$root/bench/bench.py" --build "$root/$build" --out "$out" "$@"
# The fan-out figures of this run (bench/plot.py --before adds an earlier run).
/usr/bin/python3 "$root/bench/plot.py" --run "$out/runs.jsonl" --out "$out/fanout.png" || true
