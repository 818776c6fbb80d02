"""The tables of a bench.py run (Markdown): idle connections, ostra before and after, fan-out per transport,
slow readers, latency, footprint and where ostra's time goes; bench.py prints them and writes results.md."""


def ratio(a, b):
    if a is None or b is None or b == 0:
        return None
    return a / b


def fmt(v, nd=1):
    if v is None:
        return "-"
    if isinstance(v, float):
        return ("%." + str(nd) + "f") % v
    return str(v)


def slow_table(slow):
    lines = ["Slow readers (3 Mbit/s H.264; late: N TCP clients that finish every handshake before they read,"
             " all measured; idle: N TCP clients that play and never read, beside 1 measured client)", "",
             "| scenario | N | measured | server | RSS MB | packets lost (whole run) | gaps (whole run) | loss % in window"
             " | Mbit/s |", "|" + "---|" * 9]
    for r in slow:
        lines.append("| %s | %d | %s x%d | %s | %s | %s | %s | %s | %s |" % (
            r.get("mode"), r.get("slow_clients", 0), r.get("transport"), r.get("clients", 0), r.get("server"),
            fmt(r.get("rss_kb", 0) / 1024.0 if r.get("rss_kb") else None), r.get("missing_total", "-"),
            r.get("gaps_total", "-"), fmt(r.get("loss_pct_avg"), 2), fmt(r.get("mbit_per_s"))))
    lines.append("")
    return lines


def streams_table(streams):
    """One client on each of two streams beside one stream with two clients (ours)."""
    lines = ["Two streams (ours; ch01 and ch02 each 3 Mbit/s H.264): one client on each of two streams beside one"
             " stream with two clients; CPU = daemon user+sys over the window, as each client program measured it", "",
             "| transport | streams | client program | clients | CPU % | RSS MB | Mbit/s | loss % avg |",
             "|" + "---|" * 8]
    for r in streams:
        lines.append("| %s | %d | %s | %d | %s | %s | %s | %s |" % (
            r.get("transport"), r.get("streams", 0), r.get("stream", "ch01"), r.get("clients", 0),
            fmt(r.get("cpu_pct")), fmt(r.get("rss_kb", 0) / 1024.0 if r.get("rss_kb") else None),
            fmt(r.get("mbit_per_s")), fmt(r.get("loss_pct_avg"), 2)))
    lines.append("")
    return lines


def spread(values, nd=1):
    """Mean of a figure over the rounds, with (min-max) when there were several."""
    values = [v for v in values if v is not None]
    if not values:
        return "-"
    mean = sum(values) / len(values)
    if len(values) == 1:
        return fmt(mean, nd)
    return "%s (%s-%s)" % (fmt(mean, nd), fmt(min(values), nd), fmt(max(values), nd))


def mean(values):
    values = [v for v in values if v is not None]
    return sum(values) / len(values) if values else None


def before_after_tables(fan):
    """ostra before and after, per transport and N: means over the rounds."""
    lines = []
    runs = {}
    for r in fan:
        runs.setdefault((r["server"], r["transport"], r["clients"]), []).append(r)
    for transport in sorted({r["transport"] for r in fan}, key=lambda t: t != "udp"):
        lines.append("ostra before and after, fan-out over %s (mean (min-max) over %d round(s); ratio = after/before)"
                     % (transport.upper(), max(len(v) for v in runs.values())))
        lines.append("")
        lines.append("| N | CPU % before | CPU % after | ratio | us/pkt before | us/pkt after | ratio | pkt/s before"
                     " | pkt/s after | loss % max before | loss % max after | RSS MB before | RSS MB after |")
        lines.append("|" + "---|" * 13)
        for n in sorted({r["clients"] for r in fan if r["transport"] == transport}):
            b, o = runs.get(("before", transport, n), []), runs.get(("ours", transport, n), [])
            if not b or not o:
                continue

            def col(rs, key, scale=1.0):
                return [r[key] * scale if r.get(key) is not None else None for r in rs]
            lines.append("| %d | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
                n, spread(col(b, "cpu_pct")), spread(col(o, "cpu_pct")),
                fmt(ratio(mean(col(o, "cpu_pct")), mean(col(b, "cpu_pct"))), 2),
                spread(col(b, "cpu_us_per_pkt"), 2), spread(col(o, "cpu_us_per_pkt"), 2),
                fmt(ratio(mean(col(o, "cpu_us_per_pkt")), mean(col(b, "cpu_us_per_pkt"))), 2),
                spread(col(b, "pkts_per_s"), 0), spread(col(o, "pkts_per_s"), 0),
                spread(col(b, "loss_pct_max"), 2), spread(col(o, "loss_pct_max"), 2),
                spread(col(b, "rss_kb", 1 / 1024.0)), spread(col(o, "rss_kb", 1 / 1024.0))))
        lines.append("")
    return lines


def idle_table(idle):
    lines = ["Idle connections beside UDP viewers (each idle connection sent one OPTIONS, then nothing; a probe"
             " sends an OPTIONS every 100 ms in the window; mean (min-max) over the rounds)", "",
             "| server | idle held / asked | viewers playing | CPU % | RSS MB | OPTIONS p50 ms | OPTIONS p99 ms"
             " | OPTIONS max ms | probe failures | pkt/s | loss % max |",
             "|" + "---|" * 11]
    for server in ("before", "ours", "gst"):
        rs = [r for r in idle if r["server"] == server]
        if not rs:
            continue

        def col(key, scale=1.0):
            return [r[key] * scale if r.get(key) is not None else None for r in rs]
        lines.append("| %s | %s / %d | %s / %d | %s | %s | %s | %s | %s | %s | %s | %s |" % (
            server, spread(col("idle_held"), 0), rs[0].get("idle_requested", 0), spread(col("playing"), 0),
            rs[0]["clients"], spread(col("cpu_pct")), spread(col("rss_kb", 1 / 1024.0)),
            spread(col("rtt_p50_ms"), 3), spread(col("rtt_p99_ms"), 3), spread(col("rtt_max_ms"), 2),
            spread(col("rtt_failed"), 0), spread(col("pkts_per_s"), 0), spread(col("loss_pct_max"), 2)))
    lines.append("")
    return lines


def tables(fan, lat, fp, prof, mach, slow=(), streams=()):
    lines = []
    lines.append("Machine: %d CPUs, %s, Linux %s (load average %.2f at start)" %
                 (mach["nproc"], mach["cpu"], mach["kernel"], mach["loadavg_start"]))
    lines.append("")
    idle = [r for r in fan if r.get("phase") == "idle"]
    fan = [r for r in fan if r.get("phase", "fanout") == "fanout"]
    if idle:
        lines += idle_table(idle)
    if any(r["server"] == "before" for r in fan):
        lines += before_after_tables(fan)
    by = {(r["server"], r["transport"], r["clients"]): r for r in fan if r["server"] != "before"}
    for transport in sorted({r["transport"] for r in fan}, key=lambda t: t != "udp"):
        lines.append("Fan-out over %s (3 Mbit/s H.264, 25 fps; CPU = daemon user+sys over the window)" %
                     transport.upper())
        lines.append("")
        lines.append("| N | CPU % ours | CPU % gst | ratio | us/pkt ours | us/pkt gst | ratio | RSS MB ours | RSS MB gst"
                     " | ratio | pkt/s ours | pkt/s gst | Mbit/s ours | Mbit/s gst | delivered % ours | delivered % gst"
                     " | loss % avg/max ours | loss % avg/max gst | allocs/s ours | allocs/s gst |")
        lines.append("|" + "---|" * 20)
        one = {s: by.get((s, transport, 1), {}).get("mbit_per_s") for s in ("ours", "gst")}

        def delivered(r, s, n):
            # Share of the stream's rate (as one client receives it) that reached the N clients.
            if not r.get("mbit_per_s") or not one.get(s):
                return None
            return 100.0 * r["mbit_per_s"] / (one[s] * n)
        for n in sorted({r["clients"] for r in fan}):
            o = by.get(("ours", transport, n), {})
            g = by.get(("gst", transport, n), {})

            def rss(r):
                return r.get("rss_kb", 0) / 1024.0 if r.get("rss_kb") else None

            def loss(r):
                if "loss_pct_avg" not in r:
                    return "-"
                s = "%.2f/%.2f" % (r["loss_pct_avg"], r["loss_pct_max"])
                if r.get("playing", n) < n or r.get("starved"):
                    s += " (%d of %d playing)" % (r.get("measured", 0), n)
                return s
            lines.append("| %d | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s"
                         " | %s |" % (
                n, fmt(o.get("cpu_pct")), fmt(g.get("cpu_pct")), fmt(ratio(o.get("cpu_pct"), g.get("cpu_pct")), 2),
                fmt(o.get("cpu_us_per_pkt"), 2), fmt(g.get("cpu_us_per_pkt"), 2),
                fmt(ratio(o.get("cpu_us_per_pkt"), g.get("cpu_us_per_pkt")), 2),
                fmt(rss(o)), fmt(rss(g)), fmt(ratio(rss(o), rss(g)), 2),
                fmt(o.get("pkts_per_s"), 0), fmt(g.get("pkts_per_s"), 0), fmt(o.get("mbit_per_s")),
                fmt(g.get("mbit_per_s")), fmt(delivered(o, "ours", n), 0), fmt(delivered(g, "gst", n), 0),
                loss(o), loss(g), fmt(o.get("allocs_per_s")), fmt(g.get("allocs_per_s"))))
        lines.append("")
    if slow:
        lines += slow_table(slow)
    if streams:
        lines += streams_table(streams)
    if lat:
        lines.append("Latency, producer write -> RTP packet at a UDP client on loopback (ms; first packet / last"
                     " packet of the unit, last over all clients)")
        lines.append("")
        lines.append("| producer fps | N | server | first p50 | first p99 | first max | last p50 | last p99 | last max"
                     " | growth ms/s | units matched | key frame first-to-last p50/p99/max"
                     " | key frame: first packet to all clients, last packet to all clients (p99) |")
        lines.append("|" + "---|" * 13)
        lb = {}
        for r in lat:
            lb[(r["rate_fps"], r["clients"], r["server"])] = r
            lines.append("| %s | %d | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
                r["rate_fps"], r["clients"], r["server"], fmt(r.get("first_p50_ms")), fmt(r.get("first_p99_ms")),
                fmt(r.get("first_max_ms")), fmt(r.get("last_p50_ms")), fmt(r.get("last_p99_ms")),
                fmt(r.get("last_max_ms")), fmt(r.get("growth_ms_per_s"), 2),
                "%s/%s" % (r.get("matched"), r.get("units")),
                "%s/%s/%s" % (fmt(r.get("key_spread_p50_ms")), fmt(r.get("key_spread_p99_ms")),
                              fmt(r.get("key_spread_max_ms"))),
                "%s, %s" % (fmt(r.get("key_first_burst_p99_ms")), fmt(r.get("key_last_burst_p99_ms")))))
        lines.append("")
        lines.append("Latency ratio ours/gst (last packet)")
        lines.append("")
        lines.append("| producer fps | N | p50 | p99 | max |")
        lines.append("|---|---|---|---|---|")
        for (rate, n, s), r in sorted(lb.items()):
            if s != "ours" or (rate, n, "gst") not in lb:
                continue
            g = lb[(rate, n, "gst")]
            lines.append("| %s | %d | %s | %s | %s |" % (
                rate, n, fmt(ratio(r.get("last_p50_ms"), g.get("last_p50_ms")), 2),
                fmt(ratio(r.get("last_p99_ms"), g.get("last_p99_ms")), 2),
                fmt(ratio(r.get("last_max_ms"), g.get("last_max_ms")), 2)))
        lines.append("")
    if fp:
        lines.append("Footprint")
        lines.append("")
        lines.append("| figure | ours | gst | ratio |")
        lines.append("|---|---|---|---|")
        lines.append("| stripped binary (kB) | %s | - | - |" % fmt(fp.get("ours_stripped_bytes", 0) / 1024.0))
        lines.append("| binary + shared libraries mapped (kB) | %s | %s | %s |" % (
            fp.get("ours_mapped_files_kb"), fp.get("gst_mapped_files_kb"),
            fmt(ratio(fp.get("ours_mapped_files_kb"), fp.get("gst_mapped_files_kb")), 3)))
        for key, name in (("idle_rss_kb", "RSS idle (kB)"), ("rss1_kb", "RSS, 1 client (kB)"),
                          ("rss100_kb", "RSS, 100 clients (kB)"), ("idle_allocs_per_s", "heap allocations/s idle"),
                          ("allocs1_per_s", "heap allocations/s, 1 client"),
                          ("allocs100_per_s", "heap allocations/s, 100 clients")):
            o, g = fp.get("ours_" + key), fp.get("gst_" + key)
            lines.append("| %s | %s | %s | %s |" % (name, fmt(o), fmt(g), fmt(ratio(o, g), 3)))
        lines.append("")
    for p in prof or []:
        lines.append("Where ostra's time goes at N = %d over %s (perf, cpu-clock samples, self time)" %
                     (p["clients"], p["transport"].upper()))
        lines.append("")
        lines.append("By object: " + ", ".join("%s %.1f%%" % (d["dso"], d["pct"]) for d in p.get("perf_dso", [])))
        lines.append("")
        lines.append("Inclusive, by system call: " + ", ".join("%s %.1f%%" % (d["syscall"], d["children_pct"])
                                                            for d in p.get("perf_syscalls", [])))
        lines.append("")
        lines.append("| % | object | symbol |")
        lines.append("|---|---|---|")
        for t in p.get("perf_top", [])[:15]:
            lines.append("| %.1f | %s | %s |" % (t["pct"], t["dso"], t["symbol"]))
        lines.append("")
    return "\n".join(lines)
