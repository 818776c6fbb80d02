#!/usr/bin/python3
"""Fan-out, latency and footprint benchmark of ostra beside a GStreamer RTSP server.

Run through bench/run.sh, which builds the tools and starts this script as root
in private network and mount namespaces (loopback only; the daemon's fixed
paths on tmpfs). Everything here talks to 127.0.0.1 only.

Writes every measurement as one JSON line to <out>/runs.jsonl, the tables to
<out>/results.md, and prints the tables and one summary JSON line at the end.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import analyze  # noqa: E402
from host import (mapped_files_kb, machine, proc_status, read_allocs, resource_usage_children,  # noqa: E402
                  stop, wait_port)
from report import tables  # noqa: E402

VIDEO_PORT = 13032
OURS_PORT = 8554
GST_PORT = 8555
USER, PASSWORD = "bench", "bench"


def log(msg):
    print("bench: " + msg, file=sys.stderr, flush=True)


class Bench:
    def __init__(self, a):
        self.a = a
        self.build = a.build
        self.out = a.out
        os.makedirs(self.out, exist_ok=True)
        self.tmp = tempfile.mkdtemp(prefix="ostra-bench-")
        self.client = os.path.join(self.build, "bench", "ostra-bench-client")
        self.shim = os.path.join(self.build, "bench", "alloc_count.so")
        self.producer_bin = os.path.join(self.build, "tools", "producer", "ostra-producer")
        self.ostra_bin = {"ours": a.ostra_bin or os.path.join(self.build, "src", "ostra")}
        if a.before_build:
            self.ostra_bin["before"] = os.path.join(a.before_build, "src", "ostra")
        # One ostra at a time listens on its fixed port: "ours" or "before".
        self.producer = self.ours = self.gst = None
        self.ostra_which = None
        self.alloc = {w: os.path.join(self.tmp, w + ".alloc") for w in ("ours", "before", "gst")}
        self.runs = open(os.path.join(self.out, "runs.jsonl"), "w")
        self.base_port = 30000

    # ------------------------------------------------------------ processes
    def start_producer(self, rate=None, timestamps=None):
        stop(self.producer)
        # Two video channels alike (ch01 and ch02 of the daemon); GStreamer reads the first.
        cmd = [self.producer_bin, "--channels", "2", "--codec", self.a.codec, "--bitrate", self.a.bitrate,
               "--gop", "25", "--size", "1280x720", "--report"]
        if self.a.big_unit > 0:  # H.264 only
            cmd += ["--big-unit", str(self.a.big_unit)]
        if rate:
            cmd += ["--rate-fps", rate]
        if timestamps:
            cmd += ["--timestamps", timestamps]
        logf = open(os.path.join(self.out, "producer.log"), "a")
        self.producer = subprocess.Popen(cmd, stdout=logf, stderr=logf)
        if not wait_port(VIDEO_PORT, 60, self.producer):
            raise SystemExit("bench: the producer did not start (see %s/producer.log)" % self.out)

    def env_with_shim(self, which):
        env = dict(os.environ)
        env["LD_PRELOAD"] = self.shim
        env["OSTRA_BENCH_ALLOC_FILE"] = self.alloc[which]
        return env

    def start_servers(self):
        for d in ("/var/run", "/var/etc", "/talpa/bin"):
            subprocess.run(["mount", "-t", "tmpfs", "ostra-bench", d], check=True)
        with open("/talpa/bin/ostra.xml", "w") as f:
            # Video only, like the GStreamer server; a second stream for the streams phase (idle otherwise).
            f.write("<sys>\n\t<audio>0</audio>\n\t<channels>2</channels>\n</sys>\n")
        with open("/var/etc/httppasswd", "w") as f:
            f.write("%s:%s\n" % (USER, PASSWORD))  # Digest on; it also skips the wait for credentials
        self.gst = subprocess.Popen(["/usr/bin/python3", os.path.join(HERE, "gst_server.py"), str(GST_PORT),
                                     str(VIDEO_PORT)], env=self.env_with_shim("gst"),
                                    stdout=open(os.path.join(self.out, "gst.log"), "w"), stderr=subprocess.STDOUT)
        self.start_producer()
        if not wait_port(GST_PORT, 30, self.gst):
            raise SystemExit("bench: the GStreamer server did not start (see %s/gst.log)" % self.out)
        self.ensure("ours")

    def ensure(self, which):
        """Makes 'which' ("ours" or "before") the ostra that runs on its port; gst always runs."""
        if which == "gst" or which == self.ostra_which:
            return
        stop(self.ours)
        time.sleep(1.0)  # the producer sees the old daemon's links close
        t0 = time.time()
        log_name = "ostra.log" if which == "ours" else "ostra-before.log"
        self.ours = subprocess.Popen([self.ostra_bin[which]], env=self.env_with_shim(which),
                                     stdout=open(os.path.join(self.out, log_name), "a"), stderr=subprocess.STDOUT)
        self.ostra_which = which
        log("waiting for ostra (%s, 10 s start delay)" % which)
        if not wait_port(OURS_PORT, 90, self.ours):
            raise SystemExit("bench: ostra (%s) did not start (see %s/%s)" % (which, self.out, log_name))
        log("ostra (%s) serving after %.1f s" % (which, time.time() - t0))

    def stop_all(self):
        for p in (self.ours, self.gst, self.producer):
            stop(p)

    def url(self, which, channel=0):
        if which != "gst":
            host = "[::1]" if self.a.family == 6 else "127.0.0.1"  # ostra's dual-stack sockets
            return "rtsp://%s:%s@%s:%d/ch0%d" % (USER, PASSWORD, host, OURS_PORT, channel + 1)
        return "rtsp://127.0.0.1:%d/ch01" % GST_PORT

    def pid(self, which):
        return (self.gst if which == "gst" else self.ours).pid

    # ------------------------------------------------------------ one client run
    def next_base_port(self, n):
        port = self.base_port
        self.base_port = 30000 if self.base_port >= 50000 else self.base_port + 2 * n + 2
        return port

    def run_client(self, which, n, transport, label, duration, warmup=None, units_out=None, during=None, extra=(),
                   idle=0, url=None, base_port=None):
        self.ensure(which)
        warmup = self.a.warmup if warmup is None else warmup
        base_port = self.next_base_port(n) if base_port is None else base_port
        cmd = [self.client, "--clients", str(n), "--duration", str(duration), "--warmup", str(warmup),
               "--setup-timeout", "40", "--pid", str(self.pid(which)), "--alloc-file", self.alloc[which],
               "--label", label, "--base-port", str(base_port)]
        if transport == "tcp":
            cmd.append("--tcp")
        if units_out:
            cmd += ["--units-out", units_out]
        if idle:
            cmd += ["--idle", str(idle)]
        cmd += list(extra)
        cmd.append(url or self.url(which))
        t0 = time.time()
        ru0 = resource_usage_children()
        p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if during:
            during(p)
        try:
            out, err = p.communicate(timeout=40 + warmup + duration + 30 + idle // 20)
        except subprocess.TimeoutExpired:
            p.kill()
            out, err = p.communicate()
        wall = time.time() - t0
        ru = resource_usage_children()
        res = None
        for line in out.splitlines():
            if line.startswith("{"):
                res = json.loads(line)
        if res is None:
            res = {"label": label, "error": (err or "no output").strip()[-300:]}
        res.update({"server": which, "transport": transport, "clients": n, "wall_s": round(wall, 2)})
        res["client_cpu_s"] = round(ru - ru0, 2)
        return res

    def record(self, res):
        self.runs.write(json.dumps(res) + "\n")
        self.runs.flush()
        print(json.dumps(res), flush=True)

    # ------------------------------------------------------------ phases
    def footprint_idle(self):
        fp = {}
        self.ensure("ours")
        stripped = os.path.join(self.tmp, "ostra.stripped")
        shutil.copy(self.ostra_bin["ours"], stripped)
        subprocess.run(["strip", stripped], check=True)
        fp["ours_binary_bytes"] = os.path.getsize(self.ostra_bin["ours"])
        fp["ours_stripped_bytes"] = os.path.getsize(stripped)
        for which in ("ours", "gst"):
            a0 = read_allocs(self.alloc[which])
            time.sleep(3)
            a1 = read_allocs(self.alloc[which])
            st = proc_status(self.pid(which))
            fp[which + "_idle_rss_kb"] = st.get("VmRSS")
            fp[which + "_mapped_files_kb"] = mapped_files_kb(self.pid(which))
            fp[which + "_idle_allocs_per_s"] = round((a1 - a0) / 3.0, 1) if a0 is not None and a1 is not None else None
        return fp

    def measure(self, which, n, transport, label, fields, pause, **client_options):
        """One client run, recorded with 'fields'; then 'pause' seconds for the server to drop the sessions."""
        log(label)
        res = self.run_client(which, n, transport, label, self.a.duration, **client_options)
        res.update(fields)
        self.record(res)
        time.sleep(pause)
        return res

    def measure_server(self, which, rnd):
        """The idle-connections run and the fan-out runs of one server, in round 'rnd'."""
        results = []
        if not self.a.no_idle:
            label = "idle-%s-%d-%d" % (which, self.a.idle, self.a.idle_viewers)
            # (then a pause: the idle connections close)
            results.append(self.measure(which, self.a.idle_viewers, "udp", label, {"phase": "idle", "round": rnd}, 2.0,
                                        idle=self.a.idle))
        for transport in self.a.transports:
            for n in self.a.sizes:
                label = "fanout-%s-%s-%d" % (which, transport, n)
                results.append(self.measure(which, n, transport, label, {"phase": "fanout", "round": rnd}, 1.0))
        return results

    def fanout(self):
        """Every server, round after round; the two ostra builds take turns going first."""
        results = []
        for rnd in range(self.a.rounds):
            order = list(self.a.servers)
            if rnd % 2 == 1:
                order.reverse()
            for which in order:
                results += self.measure_server(which, rnd)
        return results

    def slow_readers(self):
        """Clients that read late (all handshakes first) or never, beside the ones measured."""
        results = []
        for n in self.a.slow:
            for which in self.a.servers:
                runs = [("late", "tcp", n, ["--late"]), ("idle", "tcp", 1, ["--idle-clients", str(n)]),
                        ("idle", "udp", 1, ["--idle-clients", str(n)])]
                for mode, transport, measured, extra in runs:
                    label = "%s-%s-%s-%d" % (mode, which, transport, n)
                    fields = {"phase": "slow", "mode": mode, "slow_clients": n}
                    results.append(self.measure(which, measured, transport, label, fields, 2.0, extra=extra))
        return results

    def streams(self):
        """One client on each of two streams (two clients of the program at once, one per stream) beside one stream
        with two clients (ours; both streams carry the same 3 Mbit/s video)."""
        results = []
        for transport in self.a.transports:
            results.append(self.measure("ours", 2, transport, "streams-one-%s" % transport,
                                        {"phase": "streams", "streams": 1}, 1.0))
            log("streams-two-%s" % transport)
            pair = [None, None]
            ports = [self.next_base_port(1), self.next_base_port(1)]

            def play(k):
                pair[k] = self.run_client("ours", 1, transport, "streams-two-%s-ch0%d" % (transport, k + 1),
                                          self.a.duration, url=self.url("ours", k), base_port=ports[k])
            threads = [threading.Thread(target=play, args=(k,)) for k in (0, 1)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            for k, res in enumerate(pair):
                res.update({"phase": "streams", "streams": 2, "stream": "ch0%d" % (k + 1)})
                self.record(res)
                results.append(res)
            time.sleep(1.0)
        return results

    def latency(self):
        results = []
        for rate in self.a.rates:
            ts = os.path.join(self.tmp, "timestamps-%s.txt" % rate)
            # Only restart the producer while no server reads from it.
            time.sleep(1.5)
            self.start_producer(rate=None if rate == "25" else rate, timestamps=ts)
            time.sleep(0.5)
            for n in self.a.latency_clients:
                for which in [s for s in self.a.servers if s != "before"]:
                    label = "latency-%s-%sfps-%d" % (which, rate, n)
                    log(label)
                    units = os.path.join(self.tmp, label + ".units")
                    res = self.run_client(which, n, "udp", label, self.a.latency_duration, warmup=1.0,
                                          units_out=units)
                    try:
                        res.update(analyze.summarize(ts, units))
                    except (OSError, ValueError) as e:
                        res["latency_error"] = str(e)
                    res.update({"phase": "latency", "rate_fps": rate})
                    self.record(res)
                    results.append(res)
                    time.sleep(1.0)
        # Back to the plain 25 fps producer.
        time.sleep(1.5)
        self.start_producer()
        return results

    def profile(self):
        """perf profile of ostra at the largest fan-out, flat by symbol."""
        out = []
        n = max(self.a.sizes)
        self.ensure("ours")
        for transport in self.a.transports:
            data = os.path.join(self.tmp, "perf-%s.data" % transport)
            perf_secs = max(4, int(self.a.duration))

            def during(p, data=data):
                # Start sampling once the clients are likely playing (set-up + warm-up).
                time.sleep(3 + self.a.warmup)
                subprocess.run(["perf", "record", "-q", "-g", "-e", "cpu-clock", "-F", "2000", "-p", str(self.ours.pid),
                                "-o", data, "--", "sleep", str(perf_secs)],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

            label = "profile-ours-%s-%d" % (transport, n)
            log(label)
            res = self.run_client("ours", n, transport, label, perf_secs + 4, during=during)
            rep = subprocess.run(["perf", "report", "-i", data, "--stdio", "--no-children", "--sort", "dso,symbol",
                                  "--percent-limit", "0.7"], capture_output=True, text=True)
            dso = subprocess.run(["perf", "report", "-i", data, "--stdio", "--no-children", "--sort", "dso"],
                                 capture_output=True, text=True)
            # Inclusive time per system call (kernel call chains are complete even without frame pointers
            # in user space): how the kernel time splits between select(), sendto()/sendmsg() and reads.
            chil = subprocess.run(["perf", "report", "-i", data, "--stdio", "--children", "--sort", "symbol", "-g",
                                   "none", "--percent-limit", "0.5"], capture_output=True, text=True)
            syscalls = []
            for line in chil.stdout.splitlines():
                parts = line.split()
                if len(parts) >= 4 and parts[0].endswith("%") and parts[3].startswith("__x64_sys_"):
                    syscalls.append({"children_pct": float(parts[0].rstrip("%")), "syscall": parts[3][10:]})
            path = os.path.join(self.out, "profile-%s-%d.txt" % (transport, n))
            with open(path, "w") as f:
                f.write(dso.stdout + "\n" + rep.stdout + "\n" + chil.stdout)
            by_dso = []
            for line in dso.stdout.splitlines():
                parts = line.split()
                if len(parts) >= 2 and parts[0].endswith("%") and not line.lstrip().startswith("#"):
                    by_dso.append({"pct": float(parts[0].rstrip("%")), "dso": parts[1]})
            top = []
            for line in rep.stdout.splitlines():
                s = line.strip()
                if not s or s.startswith("#") or "%" not in s.split()[0]:
                    continue
                parts = s.split(None, 2)
                if len(parts) == 3:
                    sym = re.sub(r"(\s+-)+\s*$", "", parts[2]).strip()
                    top.append({"pct": float(parts[0].rstrip("%")), "dso": parts[1], "symbol": sym})
            res.update({"phase": "profile", "perf_top": top[:25], "perf_dso": by_dso[:8], "perf_syscalls": syscalls[:8], "perf_report": path})
            self.record(res)
            out.append(res)
            time.sleep(1.0)
        return out




def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build")
    ap.add_argument("--report-only", help="print the tables of an earlier runs.jsonl")
    ap.add_argument("--out", default=os.path.join(HERE, "results"))
    ap.add_argument("--sizes", default="1,10,50,100,200,500")
    ap.add_argument("--transports", default="udp,tcp")
    ap.add_argument("--servers", default="ours,gst",
                    help="ours, gst, and before (the build given by --before-build)")
    ap.add_argument("--before-build", help="build folder of an earlier ostra to compare with (its src/ostra)")
    ap.add_argument("--rounds", type=int, default=1, help="measure every server this many times, interleaved")
    ap.add_argument("--idle", type=int, default=2000, help="idle connections in the idle-connections run")
    ap.add_argument("--idle-viewers", type=int, default=100, help="UDP viewers beside the idle connections")
    ap.add_argument("--no-idle", action="store_true")
    ap.add_argument("--duration", type=float, default=8.0)
    ap.add_argument("--warmup", type=float, default=2.0)
    ap.add_argument("--rates", default="25,25.1,30")
    ap.add_argument("--latency-clients", default="1,100")
    ap.add_argument("--latency-duration", type=float, default=12.0)
    ap.add_argument("--bitrate", default="2000k")
    ap.add_argument("--codec", default="h264", help="the producer's codec (h265: measure an H.265 build, "
                    "--ostra-bin, --big-unit 0)")
    ap.add_argument("--big-unit", type=int, default=100000, help="key units padded to this size (H.264; 0: not)")
    ap.add_argument("--no-profile", action="store_true")
    ap.add_argument("--no-latency", action="store_true")
    ap.add_argument("--keep-tmp", action="store_true", help="keep the raw unit and timestamp files")
    ap.add_argument("--ostra-bin", help="the daemon to measure (default: <build>/src/ostra)")
    ap.add_argument("--slow", default="200", help="sizes of the slow-reader runs (late, idle)")
    ap.add_argument("--no-slow", action="store_true")
    ap.add_argument("--no-streams", action="store_true", help="skip the two-streams runs")
    ap.add_argument("--family", type=int, choices=(4, 6), default=4,
                    help="6: the load client reaches ostra over IPv6 (::1; the idle connections stay IPv4)")
    a = ap.parse_args()
    a.sizes = [int(x) for x in a.sizes.split(",") if x]
    a.transports = [x for x in a.transports.split(",") if x]
    a.servers = [x for x in a.servers.split(",") if x]
    if "before" in a.servers and not a.before_build:
        raise SystemExit("bench: --servers before needs --before-build")
    a.rates = [x for x in a.rates.split(",") if x]
    a.latency_clients = [int(x) for x in a.latency_clients.split(",") if x]
    a.slow = [] if a.no_slow else [int(x) for x in a.slow.split(",") if x]
    if a.report_only:
        rs = [json.loads(l) for l in open(a.report_only) if l.startswith("{")]
        fan = [r for r in rs if r.get("phase") in ("fanout", "idle")]
        lat = [r for r in rs if r.get("phase") == "latency"]
        prof = [r for r in rs if r.get("phase") == "profile"]
        slow = [r for r in rs if r.get("phase") == "slow"]
        streams = [r for r in rs if r.get("phase") == "streams"]
        print(tables(fan, lat, {}, prof, machine(), slow, streams))
        return
    if os.environ.get("OSTRA_BENCH_NAMESPACE") != "1":
        raise SystemExit("bench: run me through bench/run.sh (private namespaces, tmpfs over the daemon's paths)")

    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    mach = machine()
    b = Bench(a)
    t0 = time.time()
    fan, lat, prof, fp, slow, streams = [], [], [], {}, [], []
    try:
        b.start_servers()
        fp = b.footprint_idle()
        # The slow readers first: the daemon's heap has not yet held the
        # connections of the large fan-out runs (freed memory stays in RSS).
        slow = b.slow_readers()
        fan = b.fanout()
        if not a.no_streams and "ours" in a.servers:
            streams = b.streams()
        if not a.no_latency:
            lat = b.latency()
        if not a.no_profile and shutil.which("perf") and "ours" in a.servers:
            prof = b.profile()
    finally:
        b.stop_all()
    for which in ("ours", "gst"):
        for n, key in ((1, "1"), (100, "100")):
            r = next((r for r in fan if r["server"] == which and r["clients"] == n and r["transport"] == "udp"
                      and r.get("phase") == "fanout"), None)
            if r:
                fp["%s_rss%s_kb" % (which, key)] = r.get("rss_kb")
                fp["%s_allocs%s_per_s" % (which, key)] = r.get("allocs_per_s")
    text = tables(fan, lat, fp, prof, mach, slow, streams)
    with open(os.path.join(b.out, "results.md"), "w") as f:
        f.write(text + "\n")
    print(text)
    keep = ("phase", "round", "server", "transport", "clients", "measured", "cpu_pct", "cpu_us_per_pkt", "rss_kb",
            "pkts_per_s", "mbit_per_s", "loss_pct_avg", "loss_pct_max", "allocs_per_s", "idle_held", "rtt_p50_ms",
            "rtt_p99_ms", "rtt_max_ms")
    summary = {
        "bench": "ostra", "machine": mach, "elapsed_s": round(time.time() - t0, 1),
        "fanout": [{k: r.get(k) for k in keep} for r in fan],
        "latency": [{k: r.get(k) for k in ("server", "clients", "rate_fps", "first_p50_ms", "first_p99_ms",
                                           "first_max_ms", "last_p50_ms", "last_p99_ms", "last_max_ms",
                                           "growth_ms_per_s", "matched", "units", "key_spread_p50_ms",
                                           "key_spread_p99_ms", "key_spread_max_ms", "key_first_burst_p99_ms",
                                           "key_last_burst_p99_ms")} for r in lat],
        "slow": [{k: r.get(k) for k in ("server", "mode", "transport", "slow_clients", "rss_kb", "missing_total",
                                        "gaps_total", "loss_pct_avg", "mbit_per_s")} for r in slow],
        "streams": [{k: r.get(k) for k in ("transport", "streams", "stream", "clients", "cpu_pct", "rss_kb",
                                           "mbit_per_s", "loss_pct_avg")} for r in streams],
        "footprint": fp,
        "profile": [{"transport": p["transport"], "clients": p["clients"], "top": p.get("perf_top", [])[:10]}
                    for p in prof],
    }
    with open(os.path.join(b.out, "summary.json"), "w") as f:
        f.write(json.dumps(summary) + "\n")
    print(json.dumps(summary))
    if a.keep_tmp:
        log("raw files kept in " + b.tmp)
    else:
        shutil.rmtree(b.tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
