#!/usr/bin/python3
"""Draws the fan-out figures of bench.py runs: CPU per delivered packet and RSS
against the number of clients, ours beside GStreamer's, over UDP and TCP.

  python3 bench/plot.py --run results/runs.jsonl [--before before/runs.jsonl] --out bench/fanout.png

--run is the run of the current code (both servers); --before, when given, a
run of the code before the change (its two servers are drawn dashed).
"""
import argparse
import json

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def load(path):
    rows = [json.loads(line) for line in open(path) if line.startswith("{")]
    return [r for r in rows if r.get("phase") == "fanout" and r.get("cpu_us_per_pkt", -1) > 0]


def series(rows, server, transport, key, scale=1.0):
    pts = sorted((r["clients"], r[key] * scale) for r in rows
                 if r["server"] == server and r["transport"] == transport and r.get(key))
    return [p[0] for p in pts], [p[1] for p in pts]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--run", required=True)
    ap.add_argument("--before")
    ap.add_argument("--out", required=True)
    ap.add_argument("--title", default="")
    a = ap.parse_args()
    runs = [("", load(a.run), "-")]
    if a.before:
        runs.append((" (before)", load(a.before), "--"))
    fig, axes = plt.subplots(2, 2, figsize=(11, 8), sharex=True)
    panels = [("cpu_us_per_pkt", 1.0, "CPU per delivered packet (us)"), ("rss_kb", 1 / 1024.0, "RSS (MB)")]
    colours = {"ours": "tab:blue", "gst": "tab:orange"}
    names = {"ours": "ostra", "gst": "GStreamer RTSP server"}
    for row, (key, scale, label) in enumerate(panels):
        for col, transport in enumerate(("udp", "tcp")):
            ax = axes[row][col]
            for suffix, rows, style in runs:
                for server in ("ours", "gst"):
                    x, y = series(rows, server, transport, key, scale)
                    if x:
                        ax.plot(x, y, style, marker="o", color=colours[server], label=names[server] + suffix)
            ax.set_xscale("log")
            if key == "cpu_us_per_pkt":
                ax.set_yscale("log")  # 1 client costs tens of us per packet, 500 about one
            ax.set_title("%s over %s" % (label.split(" (")[0], transport.upper()))
            ax.set_ylabel(label)
            ax.grid(True, which="both", alpha=0.3)
            if key != "cpu_us_per_pkt":
                ax.set_ylim(bottom=0)
            if row == 1:
                ax.set_xlabel("clients")
    axes[0][0].legend(fontsize=8)
    fig.suptitle(a.title or "Fan-out of one 3 Mbit/s H.264 stream (same run, same machine)")
    fig.tight_layout()
    fig.savefig(a.out, dpi=90)


if __name__ == "__main__":
    main()
