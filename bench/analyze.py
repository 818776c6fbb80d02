#!/usr/bin/python3
"""Latency analysis for the benchmark.

Matches the access units a client received (ostra-bench-client --units-out)
with the units the producer wrote (ostra-producer --timestamps) and prints the
delays from the producer's write to the first and to the last RTP packet of
each unit as JSON.

Matching: a unit's bytes on the producer side are its NAL units plus one start
code (3 or 4 bytes) each, so producer_bytes - nal_bytes must lie in
[3 * nals, 4 * nals]. The alignment of the two sequences is the offset that
satisfies this for most of the first units received; afterwards units advance
in order, skipping producer units the client never saw (a slack of 64 bytes
allows for parameter sets a server adds in front of key frames). The generated
clip loops, so the size pattern repeats; the latest offset that fits is taken.
"""
import json
import sys


def load_producer(path):
    by_index = {}
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) != 3:
                continue
            by_index[int(parts[0])] = (int(parts[1]), int(parts[2]))  # a later line (connection) wins
    idx = sorted(by_index)
    return [(i, by_index[i][0], by_index[i][1]) for i in idx]


def load_units(path):
    out = []
    with open(path) as f:
        for line in f:
            if line.startswith("#"):
                continue
            p = line.split()
            if len(p) < 8:
                continue
            u = {"ts": int(p[0]), "first": int(p[1]), "last": int(p[2]), "marker": int(p[3]),
                 "nals": int(p[4]), "bytes": int(p[5]), "pkts0": int(p[6])}
            if len(p) >= 11:
                u.update({"first_at_last": int(p[8]), "marker_first": int(p[9]), "marker_last": int(p[10])})
            out.append(u)
    return out


def fits(pbytes, u, slack):
    d = pbytes - u["bytes"]
    k = u["nals"]
    return 3 * k - slack <= d <= 4 * k + slack


def percentile(vals, q):
    if not vals:
        return None
    s = sorted(vals)
    i = min(len(s) - 1, max(0, int(round(q / 100.0 * (len(s) - 1)))))
    return s[i]


def match(prod, units, slack=64):
    """Returns a list of (producer_ns, unit) pairs."""
    # Only complete units as seen by the first client (marker seen, some NALs).
    units = [u for u in units if u["nals"] > 0]
    if not units or not prod:
        return []
    window = units[:min(60, len(units))]
    best, best_j = -1, None
    for j in range(len(prod)):
        if prod[j][1] > window[0]["first"]:
            break  # a unit cannot arrive before it was written
        score = 0
        for i, u in enumerate(window):
            if j + i >= len(prod):
                break
            if fits(prod[j + i][2], u, 0):
                score += 1
        # The clip loops, so the size pattern repeats: of equal scores take the latest
        # candidate, the only one consistent with the unit being written just before it arrived.
        if score >= best:
            best, best_j = score, j
    if best_j is None or best < len(window) // 2:
        return []
    pairs = []
    j = best_j
    for u in units:
        # The expected unit is prod[j]; skip at most 5 producer units the client lost.
        for step in range(6):
            if j + step < len(prod) and fits(prod[j + step][2], u, slack):
                j += step
                break
        else:
            j += 1  # keep order; count as matched by position
            if j - 1 >= len(prod):
                break
            pairs.append((prod[j - 1][1], u, False))
            continue
        pairs.append((prod[j][1], u, True))
        j += 1
    return pairs


def summarize(prod_path, units_path):
    prod = load_producer(prod_path)
    units = load_units(units_path)
    pairs = match(prod, units)
    first = [(u["first"] - pns) / 1e6 for pns, u, _ in pairs]
    last = [(u["last"] - pns) / 1e6 for pns, u, _ in pairs]
    exact = sum(1 for p in pairs if p[2])
    res = {"units": len(units), "matched": len(pairs), "matched_by_size": exact}
    for name, vals in (("first", first), ("last", last)):
        res[name + "_p50_ms"] = percentile(vals, 50)
        res[name + "_p99_ms"] = percentile(vals, 99)
        res[name + "_max_ms"] = max(vals) if vals else None
    if len(last) >= 20:
        n = max(1, len(last) // 10)
        res["last_first10pct_ms"] = sum(last[:n]) / n
        res["last_last10pct_ms"] = sum(last[-n:]) / n
        span_s = (pairs[-1][0] - pairs[0][0]) / 1e9
        res["growth_ms_per_s"] = (res["last_last10pct_ms"] - res["last_first10pct_ms"]) / span_s if span_s > 0 else None
    # Fan-out time of the key frames (the units of 90 kB and more): from the
    # first packet at any client to the last packet at the last client.
    spread = [(u["last"] - u["first"]) / 1e6 for u in units if u["bytes"] >= 90000 and u["marker"]]
    res["key_units"] = len(spread)
    res["key_spread_p50_ms"] = percentile(spread, 50)
    res["key_spread_p99_ms"] = percentile(spread, 99)
    res["key_spread_max_ms"] = max(spread) if spread else None
    # The same split by burst: the unit's first packet reaching every client,
    # and its last packet (the marker) reaching every client. What lies between
    # is the framer: it hands over a unit's last NAL unit only when the next
    # unit begins.
    keys = [u for u in units if u["bytes"] >= 90000 and u["marker"] and u.get("marker_first")]
    first_burst = [(u["first_at_last"] - u["first"]) / 1e6 for u in keys]
    last_burst = [(u["marker_last"] - u["marker_first"]) / 1e6 for u in keys]
    res["key_first_burst_p99_ms"] = percentile(first_burst, 99)
    res["key_last_burst_p99_ms"] = percentile(last_burst, 99)
    for k, v in list(res.items()):
        if isinstance(v, float):
            res[k] = round(v, 3)
    return res


if __name__ == "__main__":
    if len(sys.argv) != 3:
        print("usage: analyze.py PRODUCER_TIMESTAMPS UNITS", file=sys.stderr)
        sys.exit(2)
    print(json.dumps(summarize(sys.argv[1], sys.argv[2])))
