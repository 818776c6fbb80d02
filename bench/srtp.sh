#!/usr/bin/env bash
# SRTP over UDP against plain RTP over UDP: the daemon's CPU per delivered
# packet with 1, 10 and 100 clients of each kind, in one run (goal: 100 SRTP
# clients at most 1.3 times the CPU per packet of 100 plain ones: each packet
# is protected once, not once per client). The clients (bench/srtp_clients.py)
# count the datagrams they receive in the measurement window.
#
#   sudo bash bench/srtp.sh [seconds per run, default 10] [client counts, default "1 10 100"]
#
# Runs the daemon of build-bench/ (Release, 1024 sessions; made when absent)
# beside the simulated producer (video only) in private network and mount
# namespaces. Prints one "srtp-bench:" line per run and the ratios.
set -euo pipefail
self=$(realpath "$0")
cd "$(dirname "$0")/.."
seconds=${1:-10}
counts=${2:-1 10 100}
build=${OSTRA_BENCH_BUILD:-build-bench}

if [ "${BENCH_INSIDE:-}" = 1 ]; then
  ip link set lo up
  mount -t tmpfs ostra-run /var/run
  mount -t tmpfs ostra-etc /var/etc
  mount -t tmpfs ostra-cfg /talpa/bin
  printf '<sys>\n\t<audio>0</audio>\n</sys>\n' >/talpa/bin/ostra.xml
  echo "bench:srtp" >/var/etc/httppasswd
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=bench \
    -keyout /var/etc/key.pem -out /var/etc/cert.pem 2>/dev/null
  cat /var/etc/cert.pem /var/etc/key.pem >/var/etc/ostra.pem
  "$build"/tools/producer/ostra-producer --bitrate 2000k --size 1280x720 >/dev/null 2>&1 &
  producer=$!
  "$build"/src/ostra >/dev/null 2>/var/run/ostra.err &
  daemon=$!
  trap 'kill $daemon $producer 2>/dev/null; wait 2>/dev/null' EXIT
  for _ in $(seq 60); do grep -q ':8322/ch01' /var/run/ostra.err && break; sleep 1; done
  ticks() { awk '{print $14 + $15}' "/proc/$daemon/stat"; }
  hz=$(getconf CLK_TCK)
  declare -A per_packet
  for n in $counts; do
    for kind in udp srtp; do
      out=/var/run/clients.out
      python3 bench/srtp_clients.py "$kind" "$n" "$seconds" 4 >"$out" 2>&1 &
      clients=$!
      until grep -q window-start "$out" || ! kill -0 $clients 2>/dev/null; do sleep 0.05; done
      t0=$(ticks)
      until grep -q packets= "$out" || ! kill -0 $clients 2>/dev/null; do sleep 0.05; done
      t1=$(ticks)
      wait $clients || { cat "$out" >&2; exit 1; }
      packets=$(sed -n 's/^packets=//p' "$out")
      us=$(awk -v d=$((t1 - t0)) -v hz="$hz" -v p="$packets" 'BEGIN {printf "%.3f", (p > 0 ? 1e6 * d / hz / p : 0)}')
      per_packet[$kind$n]=$us
      echo "srtp-bench: $kind clients=$n packets=$packets cpu=$(awk -v d=$((t1 - t0)) -v hz="$hz" -v s="$seconds" \
        'BEGIN {printf "%.1f", 100 * d / hz / s}')% cpu_us_per_packet=$us"
      sleep 2
    done
  done
  for n in $counts; do
    echo "srtp-bench: clients=$n srtp/udp cpu per packet ratio" \
      "$(awk -v a="${per_packet[srtp$n]}" -v b="${per_packet[udp$n]}" 'BEGIN {printf "%.2f", (b > 0 ? a / b : 0)}')"
  done
  exit 0
fi

[ "$(id -u)" -eq 0 ] || { echo "srtp-bench: needs root (private namespaces)" >&2; exit 1; }
if [ ! -x "$build/src/ostra" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTRA_BUILD_TESTS=OFF -DOSTRA_MAX_SESSIONS=1024 >/dev/null
  cmake --build "$build" -j2 --target ostra ostra-producer
fi
source scripts/mount-points.sh 2>/dev/null || true
BENCH_INSIDE=1 unshare -n -m bash "$self" "$seconds" "$counts"
