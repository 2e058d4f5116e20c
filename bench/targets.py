#!/usr/bin/env python3
"""The targets of the performance work, checked against one run's figures.

Reads the rows that the benchmarks wrote (BENCH_VALUES: one JSON object a
line, {"key": ..., "measure": ..., "values": {server: median}}) and prints
one line per target: the measured figure or ratio, the threshold, and
whether it holds. A target whose rows were not measured in this run says
so.

Usage: targets.py VALUES_FILE
"""
import json
import sys

# (what, row key (or the start of its measure, for a row written without
# one), ours, peer or None for our own figure, "<=" or ">=", threshold)
TARGETS = [
    ("HTTPS 256 MiB download, server CPU mirt/nginx", "https_bulk_cpu", "mirt", "nginx",
     "<=", 1.0),
    ("HTTPS 256 MiB download, MiB/s mirt/nginx", "https_bulk_speed", "mirt", "nginx",
     ">=", 1.0),
    ("FTPS 256 MiB RETR, server CPU zolf/vsftpd", "ftps_retr_cpu", "zolf", "vsftpd", "<=", 1.0),
    ("FTPS 256 MiB RETR, MiB/s zolf/vsftpd", "ftps_retr_speed", "zolf", "vsftpd", ">=", 1.0),
    ("mirt memory per idle connection, 10,000 open (KiB)", "idle_kib", "mirt", None, "<=", 1.0),
    ("mirt memory per idle connection, 100,000 open (KiB)", "idle_many_kib", "mirt", None,
     "<=", 1.0),
    ("zolf memory per idle session (KiB)", "zolf_idle_kib", "zolf", None, "<=", 1.0),
    ("mirt keep-alive c=32 with 100,000 idle open / without", "idle_many_share", "mirt", None,
     ">=", 0.9),
    ("Workers=auto closing 1 KiB c=32, req/s mirt/nginx", "workers_close_rps", "mirt", "nginx",
     ">=", 1.0),
    ("Workers=auto closing 1 KiB c=32, CPU per request mirt/nginx", "workers_close_cpu",
     "mirt", "nginx", "<=", 1.0),
    ("Workers=auto keep-alive 1 KiB c=32, req/s mirt/nginx", "workers_keep_rps", "mirt",
     "nginx", ">=", 1.0),
    ("Workers=auto keep-alive 1 KiB c=32, CPU per request mirt/nginx", "workers_keep_cpu",
     "mirt", "nginx", "<=", 1.0),
    ("keep-alive 1 KiB c=32, CPU per request mirt/floor", "keep32_cpu", "mirt", "floor",
     "<=", 1.2),
]


def figure(rows, key, ours, peer):
    values = rows.get(key)
    if values is None:
        values = next((v for name, v in rows.items() if name.startswith(key)), {})
    mine, theirs = values.get(ours), values.get(peer) if peer else 1.0
    if mine is None or not theirs:
        return None
    return mine / theirs


def lines(rows):
    out = []
    for what, key, ours, peer, sense, threshold in TARGETS:
        value = figure(rows, key, ours, peer)
        if value is None:
            out.append("%s: not measured in this run (needs %s %.2f)" % (what, sense, threshold))
            continue
        holds = value <= threshold if sense == "<=" else value >= threshold
        out.append("%s: %.2f (needs %s %.2f): %s" % (
            what, value, sense, threshold, "holds" if holds else "misses"))
    return out


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    rows = {}
    try:
        with open(sys.argv[1]) as f:
            for line in f:
                if line.strip():
                    row = json.loads(line)
                    for name in (row.get("key"), row.get("measure")):
                        if name:
                            rows[name] = row["values"]
    except OSError:
        pass
    print("Targets")
    for line in lines(rows):
        print("- " + line)


if __name__ == "__main__":
    main()
