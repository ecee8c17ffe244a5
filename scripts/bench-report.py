#!/usr/bin/env python3
"""Prints brimsub-bench's figures side by side with its peers'.

Runs brimsub-bench once with JSON output (or reads a JSON file it wrote) and
prints, group by group, each of our figures, each peer's and floor's figure
for the same row, and the ratio ours / theirs, then the performance targets
marked met or not met. Every figure comes from that one run.

Usage:
  scripts/bench-report.py [--bench PATH] [--save FILE] [benchmark-args...]
  scripts/bench-report.py --json FILE

The run interleaves the repetitions of all benchmarks at random (pass
--benchmark_enable_random_interleaving=false to keep them in order).

Benchmarks are named "<Group>/<Row>/<Implementation>"; implementations named
"Ours..." are ours, "Floor..." are lower bounds built from plain primitives,
and the rest are peer libraries.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_BENCH = os.path.join(ROOT, "build", "bench", "bench", "brimsub-bench")

# A post of ours allocates nothing itself. What a posting run allocates at all
# is its queues' ring buffers growing to the deepest backlog so far, which ends
# at the 10,000-message bound: four buffers (the dispatcher's pair and the
# thread queue's pair, which trade places at every batch), each allocated once
# and doubled at most eight times, from 64 places to 16,384. A run whose
# allocations stay within that, however many it posts, allocates nothing per
# post; the rare ones after the warm-up are the last of that growth.
QUEUE_GROWTH_BOUND = 4 * 9
# Each of the 10 iterations posts two batches of 8,000 (a free-running one and
# a gated one); the first two iterations are the warm-up.
POSTS_IN_RUN = 10 * 2 * 8000
POSTS_AFTER_WARM_UP = 8 * 2 * 8000
NS_PER_UNIT = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}

# The kinds of save the file-change rows measure, with their labels.
LATENCY_SAVES = (("WriteClose", "write+close"), ("Rename", "rename onto the name"),
                 ("TruncWriteWrite", "truncate, write, write, close"),
                 ("Symlink", "write+close through a symbolic link"),
                 ("ParentSwap", "write+close into a parent swapped 10 ms before"))

# group -> (title, rows in order with their labels, column order, figure kind)
GROUPS = {
    "Sync": (
        "Synchronous delivery: ns per publish (CPU time, median of 3 runs); lower is better",
        [
            ("OneKey0", "1 key, 0 receivers"),
            ("OneKey1", "1 key, 1 receiver"),
            ("OneKey10", "1 key, 10 receivers"),
            ("OneKey100", "1 key, 100 receivers"),
            ("ThousandKeysHit10", "1,000 keys over 17 types, hit (10 receivers)"),
            ("ThousandKeysMiss", "1,000 keys over 17 types, miss"),
            ("Reentrant", "re-entrant (unsubscribe self, subscribe other, publish again)"),
        ],
        ["Qt", "Signals2", "Sigc", "FloorLoop", "FloorLookup"],
        "ns",
    ),
    "Post": (
        "Posting to the UI thread: posts per second until the last has run (median of 3); higher is better",
        [
            ("Workers1", "from 1 worker"),
            ("Workers4", "from 4 workers"),
            ("Lambda48Workers1", "a lambda of 48 bytes of captures, from 1 worker"),
            ("Lambda48Workers4", "a lambda of 48 bytes of captures, from 4 workers"),
            ("PayloadWorkers1", "a shared_ptr payload made per post, from 1 worker"),
            ("PayloadWorkers4", "a shared_ptr payload made per post, from 4 workers"),
            ("GlibWorkers1", "GLib loop (GlibLoop attached), from 1 worker"),
            ("GlibWorkers4", "GLib loop (GlibLoop attached), from 4 workers"),
            ("QtWorkers1", "Qt loop (QtLoop attached), from 1 worker"),
            ("QtWorkers4", "Qt loop (QtLoop attached), from 4 workers"),
        ],
        ["Qt", "GLib", "Asio"],
        "rate",
    ),
    "Send": (
        "Sending from a worker: round trip over 20,000 in sequence (median of 5 runs); lower is better",
        [
            ("RoundTrip:median", "round trip, median"),
            ("RoundTrip:p99", "round trip, 99th percentile"),
            ("GlibRoundTrip:median", "GLib loop (GlibLoop attached), round trip, median"),
            ("GlibRoundTrip:p99", "GLib loop (GlibLoop attached), round trip, 99th percentile"),
            ("QtRoundTrip:median", "Qt loop (QtLoop attached), round trip, median"),
            ("QtRoundTrip:p99", "Qt loop (QtLoop attached), round trip, 99th percentile"),
        ],
        ["Qt", "GLib", "Asio", "FloorEventfd"],
        "ns",
    ),
    "Watch": (
        "File watching: one polling pass (CPU time, median of 3; libuv: whole process) and CPU share at the 2,000 ms period; lower is better",
        [
            ("Pass100", "one pass, 100 files"),
            ("Pass1000", "one pass, 1,000 files"),
            ("Pass10000", "one pass, 10,000 files"),
            ("CpuShare100", "CPU % of a core, 100 files"),
            ("CpuShare1000", "CPU % of a core, 1,000 files"),
            ("CpuShare10000", "CPU % of a core, 10,000 files"),
            ("IdleCpu10000", "CPU % of a core, 10,000 idle files, over 3 periods (median of 5)"),
        ],
        ["FloorStat", "UvFsPoll"],
        "mixed",
    ),
    "Latency": (
        "File changes: from the end of a save to the last callback it caused, 200 saves of each kind; "
        "lower is better for times (ratios only for times)",
        [row for save, label in LATENCY_SAVES
         for row in (
             (save + ":median", label + ", median"),
             (save + ":p99", label + ", 99th percentile"),
             (save + ":callbacks", label + ", callbacks per save (mean)"),
             (save + ":one", label + ", saves with exactly one callback"),
             (save + ":missed", label + ", missed saves (no callback)"),
             (save + ":early", label + ", early callbacks (before the save ended)"),
             (save + ":beforelast", label + ", of those, before the closing call (close/rename) began"),
         ) + (((save + ":readds", label + ", path added again after the watch was dropped"),)
              if save == "Rename" else ())],
        ["QtFsWatcher", "GioMonitor", "UvFsEvent"],
        "mixed",
    ),
    "BusyLog": (
        "A busy log: lines appended by open-append-close for 3 s, a receiver taking 2 ms per callback; "
        "lower is better",
        [row for rate, label in (("Lines900", "900 lines/s"), ("Lines3300", "3,300 lines/s"))
         for row in (
             (rate + ":reports", label + ", callbacks"),
             (rate + ":busy", label + ", callbacks' thread busy after the writer stopped"),
             (rate + ":refused", label + ", ours: another module's posts refused (of one a millisecond)"),
         )],
        ["QtFsWatcher", "GioMonitor", "UvFsEvent"],
        "mixed",
    ),
    "Memory": (
        "Memory: heap bytes per entry (10,000 entries); lower is better",
        [
            ("EntryDistinctKeys", "subscription entry, distinct keys of 20 units"),
            ("EntrySameKey", "subscription entry, one key"),
            ("WatchedFile", "watched file"),
        ],
        ["Qt", "Signals2", "Sigc", "FloorLoop", "UvFsPoll"],
        "bytes",
    ),
}

PEER_NAMES = {
    "Qt": "Qt 6",
    "Signals2": "Boost.Signals2",
    "Sigc": "libsigc++ 3",
    "FloorLoop": "floor: lock+loop",
    "FloorLookup": "floor: lock+lookup+loop",
    "GLib": "GLib invoke",
    "Asio": "Asio post",
    "FloorEventfd": "floor: eventfd",
    "FloorStat": "floor: stat loop",
    "UvFsPoll": "libuv fs_poll",
    "QtFsWatcher": "Qt QFileSystemWatcher",
    "GioMonitor": "GIO GFileMonitor",
    "UvFsEvent": "libuv fs_event",
}

# Busy-log rows: row suffix -> (counter, kind of figure).
BUSY_FIGURES = {
    "reports": ("reports", "count"),
    "busy": ("busy_after_ms", "ms"),
    "refused": ("refused_elsewhere", "count"),
}

# Latency rows: row suffix -> (counter, kind of figure). Only times get ratios.
LATENCY_FIGURES = {
    "median": ("median_ns", "ns"),
    "p99": ("p99_ns", "ns"),
    "callbacks": ("callbacks_per_save", "mean"),
    "one": ("exactly_one_percent", "share"),
    "missed": ("missed", "count"),
    "early": ("early", "count"),
    "beforelast": ("early_before_last_call", "count"),
    "readds": ("readds", "count"),
}


def run_bench(bench, extra, save):
    out = save or tempfile.NamedTemporaryFile(prefix="brimsub-bench-", suffix=".json", delete=False).name
    # Repetitions of different benchmarks are interleaved at random, so that a
    # change in the machine's load during the run does not fall on one
    # implementation of a row more than on another.
    cmd = [bench, "--benchmark_out=" + out, "--benchmark_out_format=json",
           "--benchmark_enable_random_interleaving=true"] + extra
    print("Running: " + " ".join(cmd), file=sys.stderr)
    # The console output goes to stderr, so that stdout holds only the report.
    subprocess.run(cmd, check=True, stdout=sys.stderr)
    with open(out) as f:
        data = json.load(f)
    if not save:
        os.unlink(out)
    return data


def key_of(run_name):
    """(group, row, impl) of a benchmark's run name, or None."""
    parts = run_name.split("/")
    if parts[0] in GROUPS and len(parts) >= 3:
        return (parts[0], parts[1], parts[2])
    return None


def collect(data):
    """{(group,row,impl): benchmark entry}; the median aggregate when there is one."""
    iterations = {}
    medians = {}
    spreads = {}
    for b in data.get("benchmarks", []):
        k = key_of(b.get("run_name", b["name"]))
        if k is None:
            continue
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median":
                medians[k] = b
            elif b.get("aggregate_name") == "cv":
                spreads[k] = b
        else:
            iterations.setdefault(k, []).append(b)
    result = {}
    for k, runs in iterations.items():
        errors = [r for r in runs if r.get("error_occurred")]
        if errors:
            result[k] = errors[0]
            continue
        if len(runs) == 1:
            result[k] = runs[0]
    for k, b in medians.items():
        if k not in result:
            result[k] = dict(b, spread=spreads.get(k, {}))
    # Repetitions reported without aggregates: the run with the median real time.
    for k, runs in iterations.items():
        if k not in result:
            runs = sorted(runs, key=lambda r: r["real_time"])
            result[k] = runs[len(runs) // 2]
    return result


def figure(group, row, b):
    """The figure of one benchmark entry as (value, unit kind), or None."""
    if b is None or b.get("error_occurred"):
        return None
    unit = NS_PER_UNIT[b.get("time_unit", "ns")]
    if group == "Sync":
        return (b["cpu_time"] * unit, "ns")
    if group == "Post":
        return (b["items_per_second"], "rate")
    if group == "Send":
        counter = "median_ns" if row.endswith(":median") else "p99_ns"
        return (b[counter], "ns")
    if group == "Latency":
        counter, kind = LATENCY_FIGURES[row.split(":")[1]]
        return (b[counter], kind) if counter in b else None
    if group == "BusyLog":
        counter, kind = BUSY_FIGURES[row.split(":")[1]]
        if kind == "ms":
            return (b[counter] * 1e6, "ns") if counter in b else None
        return (b[counter], kind) if counter in b else None
    if group == "Watch":
        if row.startswith("CpuShare") or row.startswith("IdleCpu"):
            return (b["cpu_percent"], "percent")
        return (b["cpu_time"] * unit, "ns")
    if group == "Memory":
        return (b["bytes_per_entry"], "bytes")
    return None


def fmt(value, kind):
    if value is None:
        return "n/a"
    if kind == "ns":
        if value < 0:
            return "-" + fmt(-value, kind)
        if value >= 1e6:
            return "%.2f ms" % (value / 1e6)
        if value >= 1e4:
            return "%.1f us" % (value / 1e3)
        if value >= 100:
            return "%.0f ns" % value
        return "%.1f ns" % value
    if kind == "mean":
        return "%.2f" % value
    if kind == "share":
        return "%.1f %%" % value
    if kind == "count":
        return "%d" % round(value)
    if kind == "rate":
        return "%.2f M/s" % (value / 1e6) if value >= 1e6 else "%.0f k/s" % (value / 1e3)
    if kind == "percent":
        return "%.3f %%" % value
    if kind == "bytes":
        return "%.0f B" % value
    return "%g" % value


def entry(results, group, row, impl):
    base = row.split(":")[0]
    b = results.get((group, base, impl))
    f = figure(group, row, b)
    if b is not None and b.get("error_occurred"):
        return ("error: " + b.get("error_message", "?"), None)
    return f


def ours_impls(results, group, base):
    found = sorted({k[2] for k in results if k[0] == group and k[1] == base and k[2].startswith("Ours")})
    return found


def print_markdown(title, header, lines):
    """A titled Markdown table, its columns padded to their widest cell."""
    widths = [max(len(str(x)) for x in col) for col in zip(header, *lines)]

    def show(cells):
        print("| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |")

    print("### " + title)
    print()
    show(header)
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for cells in lines:
        show(cells)
    print()


def print_table(results, group):
    title, rows, columns, _ = GROUPS[group]
    present = [c for c in columns if any(k[0] == group and k[2] == c for k in results)]
    header = ["Row", "Ours", "Figure"] + [PEER_NAMES.get(c, c) + " (ours/it)" for c in present]
    lines = []
    for row, label in rows:
        base = row.split(":")[0]
        # Rows that this run did not measure at all (a filtered run) are left out.
        if not any(k[0] == group and k[1] == base for k in results):
            continue
        for impl in ours_impls(results, group, base) or ["Ours"]:
            ours = entry(results, group, row, impl)
            name = impl[4:] or "-"
            if ours is None:
                cells = [label, name, "n/a"]
            elif isinstance(ours[0], str):
                cells = [label, name, ours[0]]
                ours = None
            else:
                cells = [label, name, fmt(*ours)]
            for c in present:
                other = entry(results, group, row, c)
                if other is None:
                    cells.append("-")
                elif isinstance(other[0], str):
                    cells.append(other[0])
                elif ours is None or other[0] == 0 or not ratio_shown(ours, other):
                    cells.append(fmt(*other))
                else:
                    cells.append("%s (%.2fx)" % (fmt(*other), ours[0] / other[0]))
            lines.append(cells)
    print_markdown(title, header, lines)


def print_counter(results, group, title, counter, cell):
    """One table of a group's rows: cell(entry) for each implementation that reported `counter`, "-" elsewhere."""
    _, rows, columns, _ = GROUPS[group]
    lines = []
    impls = sorted({k[2] for k in results if k[0] == group and k[2].startswith("Ours")}) + columns
    present = [i for i in impls if any(k[0] == group and k[2] == i and counter in b for k, b in results.items())]
    seen = set()
    for row, label in rows:
        base = row.split(":")[0]
        if base in seen:
            continue
        seen.add(base)
        cells = [label.split(", median")[0]]
        for impl in present:
            b = results.get((group, base, impl))
            cells.append("-" if b is None or counter not in b else cell(b))
        if any(c != "-" for c in cells[1:]):
            lines.append(cells)
    if not lines:
        return
    header = ["Row"] + [("Ours " + i[4:]) if i.startswith("Ours") else PEER_NAMES.get(i, i) for i in present]
    print_markdown(title, header, lines)


def print_allocations(results):
    """Heap allocations per post after the warm-up batches, and in them."""
    print_counter(results, "Post", "Heap allocations per post once warmed up (allocations during the two warm-up "
                  "iterations)", "allocs_per_post",
                  lambda b: "%.5f (%d)" % (b["allocs_per_post"], round(b.get("warmup_allocs", 0))))


def cpu_cell(counter):
    """The median over the repetitions and their coefficient of variation."""
    def cell(b):
        cv = b.get("spread", {}).get(counter)
        return fmt(b[counter], "ns") + ("" if cv is None else " (cv %.0f %%)" % (cv * 100))
    return cell


def ratio_cell(counter):
    """A ratio's median over the repetitions and their coefficient of variation."""
    return lambda b: "%.2fx (cv %.0f %%)" % (b[counter], b.get("spread", {}).get(counter, 0) * 100)


def print_cpu(results, group):
    """CPU time per post or per round trip of the threads involved, from per-thread clocks."""
    if group == "Post":
        print_counter(results, "Post", "CPU per post in gated batches, posting threads and consuming thread "
                      "together (per-thread clocks; median of the repetitions, their coefficient of variation)",
                      "cpu_ns_per_post", cpu_cell("cpu_ns_per_post"))
    else:
        print_counter(results, "Send", "CPU per round trip, sending thread and consuming thread together "
                      "(per-thread clocks; median of the repetitions, their coefficient of variation)",
                      "cpu_ns_per_round_trip", cpu_cell("cpu_ns_per_round_trip"))


def ratio_shown(ours, other):
    """Only times, and only when both are after the save ended, make a ratio."""
    if ours[1] != other[1] or ours[1] in ("mean", "share", "count"):
        return False
    return ours[0] > 0 and other[0] > 0


def value(results, group, row, impl):
    f = entry(results, group, row, impl)
    if f is None or isinstance(f[0], str):
        return None
    return f[0]


def counter_value(results, group, row, impl, counter):
    b = results.get((group, row, impl))
    return None if b is None or b.get("error_occurred") else b.get(counter)


def targets(results):
    """[(description, measured text, met or None when not measurable)]"""
    out = []

    def ratio(a, b):
        return None if a is None or b is None or b == 0 else a / b

    ours = value(results, "Sync", "OneKey10", "Ours")
    r = ratio(ours, value(results, "Sync", "OneKey10", "FloorLoop"))
    out.append(("1 key, 10 receivers: at most 2.5x the lock+loop floor",
                "%.2fx" % r if r is not None else "n/a", None if r is None else r <= 2.5))
    for row, label in (("OneKey1", "1 key, 1 receiver"), ("OneKey10", "1 key, 10 receivers"),
                       ("OneKey100", "1 key, 100 receivers"), ("ThousandKeysHit10", "1,000 keys, hit"),
                       ("ThousandKeysMiss", "1,000 keys, miss")):
        # Measured in alternation within the Ours row: the two rows' own times
        # are taken minutes apart, over which this host's speed drifts.
        r = counter_value(results, "Sync", row, "Ours", "floor_ratio")
        out.append(("%s: at most 1.1x the lock+lookup+loop floor (in alternation)" % label,
                    "%.2fx" % r if r is not None else "n/a", None if r is None else r <= 1.1))
    for peer in ("Qt", "Signals2"):
        r = ratio(value(results, "Sync", "OneKey10", peer), ours)
        alternated = counter_value(results, "Sync", "OneKey10", "Ours", "qt_ratio") if peer == "Qt" else None
        if alternated:  # Qt is also measured in alternation within our row: that figure decides
            apart, r = r, 1 / alternated
            out.append(("1 key, 10 receivers: at least 3x faster than %s (in alternation)" % PEER_NAMES[peer],
                        "%.2fx faster" % r + ("" if apart is None else " (the rows apart: %.2fx)" % apart), r >= 3))
            continue
        out.append(("1 key, 10 receivers: at least 3x faster than %s" % PEER_NAMES[peer],
                    "%.2fx faster" % r if r is not None else "n/a", None if r is None else r >= 3))
    # Posting from workers to our own loop: NotifyPost at least 3x Qt's queued
    # call from one worker, and near Asio's post (0.8x from one worker, 0.6x
    # from four); DispatchAsync at least level with Asio from one and four.
    post_targets = (("Workers1", "OursNotifyPost", "Qt", 3.0), ("Workers1", "OursNotifyPost", "Asio", 0.8),
                    ("Workers4", "OursNotifyPost", "Asio", 0.6), ("Workers1", "OursDispatchAsync", "Asio", 1.0),
                    ("Workers4", "OursDispatchAsync", "Asio", 1.0))
    for workers, impl, peer, least in post_targets:
        r = ratio(value(results, "Post", workers, impl), value(results, "Post", workers, peer))
        out.append(("post from %s, %s: at least %gx %s" % (workers[-1] + " worker(s)", impl[4:], least,
                                                          "Qt queued" if peer == "Qt" else "Asio"),
                    "%.2fx" % r if r is not None else "n/a", None if r is None else r >= least))
    for workers in ("Workers1", "Workers4"):
        for impl in ours_impls(results, "Post", workers):
            b = results.get(("Post", workers, impl))
            per_post = None if b is None else b.get("allocs_per_post")
            total = None
            if per_post is not None:
                total = b.get("allocs_total", b.get("warmup_allocs", 0) + per_post * POSTS_AFTER_WARM_UP)
            out.append(("post from %s, %s: no allocation per post once warmed up" % (workers[-1] + " worker(s)", impl[4:]),
                        "n/a" if total is None else
                        "%.6f per post after the warm-up; %d in the whole run (queue growth ends within %d)" % (
                            per_post, round(total), QUEUE_GROWTH_BOUND),
                        None if total is None else round(total) <= QUEUE_GROWTH_BOUND))
    # With a payload, the caller's make_shared is one allocation per post; the
    # post itself adds none beyond the queues' growth.
    for workers in ("PayloadWorkers1", "PayloadWorkers4"):
        b = results.get(("Post", workers, "OursNotifyPost"))
        if b is None or "allocs_total" not in b:
            continue
        extra = b["allocs_total"] - POSTS_IN_RUN  # every post of the run, warm-up included
        out.append(("post with a payload from %s worker(s): no allocation beyond the caller's make_shared"
                    % workers[-1], "%d beyond one per post in the whole run (queue growth ends within %d)" % (
                        round(extra), QUEUE_GROWTH_BOUND), round(extra) <= QUEUE_GROWTH_BOUND))
    # CPU per post, posting and consuming threads together: at most Asio's,
    # measured in alternation within our row (the two rows' own figures,
    # taken minutes apart, are shown beside it).
    for workers in ("Workers1", "Workers4"):
        asio = counter_value(results, "Post", workers, "Asio", "cpu_ns_per_post")
        for impl in ("OursDispatchAsync", "OursNotifyPost"):
            r = counter_value(results, "Post", workers, impl, "asio_ratio")
            apart = ratio(counter_value(results, "Post", workers, impl, "cpu_ns_per_post"), asio)
            out.append(("CPU per post from %s, %s: at most Asio's (in alternation)" % (workers[-1] + " worker(s)",
                                                                                       impl[4:]),
                        ("%.2fx" % r if r is not None else "n/a") +
                        ("" if apart is None else " (the rows apart: %.2fx)" % apart),
                        None if r is None else r <= 1.0))
    # CPU per round trip: at most the best peer's, each peer sent in
    # alternation with ours within our row (the rows themselves run minutes
    # apart; their own ratio is shown beside it).
    alternated_peers = (("Asio", "asio_ratio"), ("Qt", "qt_ratio"), ("GLib", "glib_ratio"))
    for impl in ("OursNotifySend", "OursDispatchSync"):
        own = counter_value(results, "Send", "RoundTrip", impl, "cpu_ns_per_round_trip")
        ratios = {p: counter_value(results, "Send", "RoundTrip", impl, c) for p, c in alternated_peers}
        shown = []
        for peer, r in ratios.items():
            apart = ratio(own, counter_value(results, "Send", "RoundTrip", peer, "cpu_ns_per_round_trip"))
            shown.append(("n/a" if r is None else "%.2fx" % r) + " " + PEER_NAMES.get(peer, peer) +
                         ("" if apart is None else " (the rows apart: %.2fx)" % apart))
        met = None if None in ratios.values() else max(ratios.values()) <= 1.0
        out.append(("CPU per round trip, %s: at most the best peer's (each in alternation)" % impl[4:],
                    "; ".join(shown), met))
    peers = [value(results, "Send", "RoundTrip:median", p) for p in ("Qt", "GLib", "Asio")]
    peers = [p for p in peers if p is not None]
    best = min(peers) if peers else None
    for impl in ours_impls(results, "Send", "RoundTrip"):
        r = ratio(value(results, "Send", "RoundTrip:median", impl), best)
        out.append(("send round trip median, %s: no worse than the best peer" % impl[4:],
                    "%.2fx the best peer" % r if r is not None else "n/a", None if r is None else r <= 1.0))
    # Rows whose consumer runs a toolkit's loop with our adapter attached: the
    # toolkit's own way to the same thread is the peer, and ours may be at most
    # 20% slower (posts per second at least 0.8x, round-trip median at most 1.2x).
    toolkits = (("Glib", "GLib", "GLib loop", "g_main_context_invoke", "g_main_context_invoke and a wait"),
                ("Qt", "Qt", "Qt loop", "queued invokeMethod", "blocking-queued invokeMethod"))
    for prefix, peer, where, posting, sending in toolkits:
        for workers in ("Workers1", "Workers4"):
            row = prefix + workers
            for impl in ours_impls(results, "Post", row):
                r = ratio(value(results, "Post", row, impl), value(results, "Post", row, peer))
                out.append(("post in the %s, %s, %s: at least 0.8x %s" % (where, workers[-1] + " worker(s)", impl[4:], posting),
                            "%.2fx" % r if r is not None else "n/a", None if r is None else r >= 0.8))
        row = prefix + "RoundTrip"
        for impl in ours_impls(results, "Send", row):
            r = ratio(value(results, "Send", row + ":median", impl), value(results, "Send", row + ":median", peer))
            out.append(("send round trip median in the %s, %s: at most 1.2x %s" % (where, impl[4:], sending),
                        "%.2fx" % r if r is not None else "n/a", None if r is None else r <= 1.2))
    # In alternation within the Ours row, as the delivery floors above.
    r = counter_value(results, "Watch", "Pass10000", "Ours", "floor_ratio")
    out.append(("10,000-file pass: within 1.3x the bare stat loop (in alternation)",
                "%.2fx" % r if r is not None else "n/a", None if r is None else r <= 1.3))
    out.extend(latency_targets(results))
    for rate, label in (("Lines900", "900 lines/s"), ("Lines3300", "3,300 lines/s")):
        refused = value(results, "BusyLog", rate + ":refused", "Ours")
        busy = value(results, "BusyLog", rate + ":busy", "Ours")
        out.append(("busy log at %s, ours: no post of another module refused" % label,
                    "%d refused" % round(refused) if refused is not None else "n/a",
                    None if refused is None else round(refused) == 0))
        out.append(("busy log at %s, ours: one report waiting at a time, so the thread is free within 10 ms of the "
                    "writer's stop" % label, fmt(busy, "ns") if busy is not None else "n/a",
                    None if busy is None else busy <= 10e6))
    kernel = value(results, "Watch", "IdleCpu10000", "OursKernel")
    polling = value(results, "Watch", "IdleCpu10000", "OursPolling")
    r = ratio(kernel, polling)
    out.append(("10,000 idle files: CPU share with the kernel's notifications no higher than polling alone",
                "%.3f %% vs %.3f %% (%.2fx)" % (kernel, polling, r) if r is not None else "n/a",
                None if r is None else kernel <= polling))
    return out


def latency_targets(results):
    """Ours, for each kind of save: median and 99th percentile from the end of
    the save to the callback, one callback per save, no early callback; the
    peers' callbacks per save and missed saves are quoted beside ours."""
    out = []
    peers = GROUPS["Latency"][2]
    for save, label in LATENCY_SAVES:
        if ("Latency", save, "Ours") not in results:
            continue
        median = value(results, "Latency", save + ":median", "Ours")
        p99 = value(results, "Latency", save + ":p99", "Ours")
        one = value(results, "Latency", save + ":one", "Ours")
        early = value(results, "Latency", save + ":early", "Ours")
        before = value(results, "Latency", save + ":beforelast", "Ours")
        out.append(("%s, ours: median at most 2 ms from the end of the save to the callback" % label,
                    fmt(median, "ns") if median is not None else "n/a",
                    None if median is None else median <= 2e6))
        out.append(("%s, ours: 99th percentile at most 20 ms" % label,
                    fmt(p99, "ns") if p99 is not None else "n/a", None if p99 is None else p99 <= 20e6))
        beside = []
        for peer in peers:
            cb = value(results, "Latency", save + ":callbacks", peer)
            missed = value(results, "Latency", save + ":missed", peer)
            if cb is not None:
                beside.append("%s %.2f per save, %d missed" % (PEER_NAMES[peer], cb, round(missed or 0)))
        cb = value(results, "Latency", save + ":callbacks", "Ours")
        measured = "%.1f %% of saves (ours %.2f per save, %d missed%s)" % (
            one, cb, round(value(results, "Latency", save + ":missed", "Ours") or 0),
            "; " + "; ".join(beside) if beside else "") if one is not None else "n/a"
        out.append(("%s, ours: exactly one callback in at least 99%% of saves" % label,
                    measured, None if one is None else one >= 99))
        # A close or a rename is reported by the kernel from inside the call,
        # once the file is complete under its name; a callback then is not
        # early. One before the closing call began saw an incomplete file.
        out.append(("%s, ours: no callback on an incomplete file (none before the closing call began)" % label,
                    "%d before it began; %d more while the call had not yet returned" % (
                        round(before or 0), round(early) - round(before or 0))
                    if early is not None and before is not None else "n/a",
                    None if before is None else before == 0))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--json", help="read this JSON output of brimsub-bench instead of running it")
    parser.add_argument("--bench", default=DEFAULT_BENCH, help="the brimsub-bench executable")
    parser.add_argument("--save", help="also keep the JSON output in this file")
    args, extra = parser.parse_known_args()

    if args.json:
        with open(args.json) as f:
            data = json.load(f)
    else:
        data = run_bench(args.bench, extra, args.save)

    ctx = data.get("context", {})
    print("## brimsub-bench: ours side by side with peers")
    print()
    print("Run %s on %s: %s CPUs at %s MHz, load average %s." % (
        ctx.get("date", "?"), ctx.get("host_name", "?"), ctx.get("num_cpus", "?"),
        ctx.get("mhz_per_cpu", "?"),
        ", ".join("%.2f" % x for x in ctx.get("load_avg", [])) or "?"))
    print("Ratios are ours / theirs of the figure shown (below 1 is better for times and")
    print("bytes, above 1 is better for posts per second).")
    print()
    results = collect(data)
    for group in GROUPS:
        if any(k[0] == group for k in results):
            print_table(results, group)
            if group == "Post":
                print_allocations(results)
            if group in ("Post", "Send"):
                print_cpu(results, group)
            if group == "Post":
                print_counter(results, "Post", "Ours over Asio's post, CPU per post in gated batches, the two measured "
                              "in alternation (median of the repetitions, their coefficient of variation)",
                              "asio_ratio", ratio_cell("asio_ratio"))
            if group == "Send":
                for counter, peer in (("asio_ratio", "Asio's post and wait"), ("qt_ratio", "Qt's blocking-queued signal"),
                                      ("glib_ratio", "GLib's invoke and wait")):
                    print_counter(results, "Send", "Ours over %s, CPU per round trip, the two measured in alternation "
                                  "(median of the repetitions, their coefficient of variation)" % peer,
                                  counter, ratio_cell(counter))
            if group == "Sync":
                print_counter(results, "Sync", "Ours over the lock+lookup+loop floor, the two measured in alternation "
                              "(median of the repetitions, their coefficient of variation)", "floor_ratio",
                              ratio_cell("floor_ratio"))
                print_counter(results, "Sync", "Ours over Qt 6's direct signal, the two measured in alternation "
                              "(median of the repetitions, their coefficient of variation)", "qt_ratio",
                              ratio_cell("qt_ratio"))
            if group == "Watch":
                print_counter(results, "Watch", "Ours' polling pass over the bare stat loop, the two measured in "
                              "alternation (median of the repetitions, their coefficient of variation)", "floor_ratio",
                              ratio_cell("floor_ratio"))

    print("### Targets")
    print()
    for description, measured, met in targets(results):
        mark = "not measured" if met is None else ("met" if met else "NOT MET")
        print("- %s: %s -> %s" % (description, measured, mark))
    return 0


if __name__ == "__main__":
    sys.exit(main())
