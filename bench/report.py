#!/usr/bin/env python3
"""Prints each speed figure beside its reference from the JSON output of the benchmark programs
(--benchmark_out_format=json), then a summary of the goals met.

Single-threaded figures use CPU time, which a machine busy with other work disturbs less than wall
time; the two-thread figures (intake, handoff) and the replay host's runs use wall time."""
import json
import sys

NS = 1e9


def load(paths):
    runs = {}
    for path in paths:
        with open(path) as f:
            for run in json.load(f)["benchmarks"]:
                if run.get("run_type", "iteration") == "iteration":
                    runs[run["name"]] = run
    return runs


def ns(run):
    scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[run.get("time_unit", "ns")]
    return run["cpu_time"] * scale


def ns_per_item(run):
    return NS / run["items_per_second"]


def text_ns(value):
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("µs", 1e3)):
        if value >= scale:
            return f"{value / scale:.3g} {unit}"
    return f"{value:.3g} ns"


def rows(runs):
    """(figure, value, reference, ratio, goal text, met) for each row whose runs are present."""
    def get(*names):
        found = [runs.get(name) for name in names]
        return None if None in found else found

    for actions in (10, 0):
        r = get(f"Intake/{actions}/real_time", "Handoff/real_time")
        if r:
            value, ref = ns_per_item(r[0]), ns_per_item(r[1])
            yield (f"intake -> worker, {actions} actions, no match", text_ns(value) + "/event",
                   "handoff " + text_ns(ref), value / ref, "<= 2x", value / ref <= 2)

    # Compiled handles are what the plug-in evaluates when the agent offers them.
    compiled = [run for name, run in runs.items() if name.startswith("EvaluateCompiled/")]
    evaluations = compiled or [run for name, run in runs.items() if name.startswith("Evaluate/")]
    how = "compiled handle, lock held" if compiled else "cached, through Parse"
    r = get("BpfFilter")
    if r and evaluations:
        times = sorted(ns(run) for run in evaluations)
        ref = ns(r[0])
        yield (f"one flow expression, {how} (fastest - slowest)",
               f"{text_ns(times[0])} - {text_ns(times[-1])}", "bpf_filter " + text_ns(ref),
               times[-1] / ref, "<= 1x", times[-1] <= ref)

    r = get("Encode", "BareBuild")
    if r:
        value, ref = ns(r[0]), ns(r[1])
        yield ("tdFlow::Encode, TLS flow",
               f"{text_ns(value)}, {r[0]['allocs']:.0f} allocations",
               f"bare build of {r[1]['members']:.0f} members: {text_ns(ref)}, "
               f"{r[1]['allocs']:.0f} allocations", value / ref, "<= 1.2x", value / ref <= 1.2)

    r = get("AddressList/1000", "AddressList/1100")
    if r:
        small, large = (ns(run) / run["lines"] for run in r)
        yield ("criteria list per line per event, 1,000 -> 1,100 lines",
               f"{text_ns(small)} -> {text_ns(large)}", "1,000 lines", large / small,
               "no cliff (<= 1.5x)", large / small <= 1.5)

    for kind, label in (("AddressList", "other_ip == A.B.C.D"), ("RegexList", "regex")):
        r = get(f"{kind}/100000/iterations:100000", f"{kind}/10")
        if r:
            value, ref = ns(r[0]), ns(r[1])
            yield (f"100k {label} lines, per event", text_ns(value), "10 lines " + text_ns(ref),
                   value / ref, "<= 2x", value / ref <= 2)

    r = get("AddPresent")
    if r:
        requests = r[0]["requests"]
        yield ("pf table: add of an address already present", f"{requests:.2f} requests/flow",
               text_ns(ns(r[0])) + "/flow", None, "no request", requests == 0)

    r = get("ReplayRun/iterations:1/manual_time", "JsonLinesFloor/iterations:1/real_time")
    if r:
        value, ref = r[0]["items_per_second"], r[1]["items_per_second"]
        yield ("tfa-replay run", f"{value / 1e3:.1f}k events/s",
               f"JSON-lines parse floor {ref / 1e3:.1f}k lines/s", value / ref, ">= 0.8x",
               value / ref >= 0.8)

    # Generated flows do not all end, so the flows held grow with the file: the figure is what
    # each more held flow costs, about a flow record. A file whose flows all end holds the same
    # flows at any length. (SimdjsonLinesFloor, for information, has no row.)
    r = get("ReplayPeakRss/iterations:1/manual_time", "ReplayRun/iterations:1/manual_time")
    if r and r[0].get("flows_held", 0) > r[1].get("flows_held", 0):
        value, ref = r[0]["peak_rss_mb"], r[1]["peak_rss_mb"]
        held, ref_held = r[0]["flows_held"], r[1].get("flows_held", 0)
        per_flow = (value - ref) * 1024 / (held - ref_held)
        yield (f"peak RSS of tfa-replay run, 1M events, {held / 1e3:.0f}k flows held",
               f"{value:.0f} MB", f"100k events, {ref_held / 1e3:.1f}k held: {ref:.0f} MB", None,
               f"<= 4 KB a held flow: {per_flow:.1f}", per_flow <= 4)

    r = get("ReplayPeakRssEndedFlows/1000000/iterations:1/manual_time",
            "ReplayPeakRssEndedFlows/500000/iterations:1/manual_time")
    if r:
        value, ref = r[0]["peak_rss_mb"], r[1]["peak_rss_mb"]
        yield ("peak RSS, every flow ends: the 1M-event file", f"{value:.0f} MB",
               f"its first half: {ref:.0f} MB", value / ref, "bounded (<= 1.5x)",
               value / ref <= 1.5)


def main(paths):
    table = list(rows(load(paths)))
    headers = ("figure", "measured", "reference, same run", "ratio", "goal", "met")
    lines = [[figure, value, ref, "-" if ratio is None else f"{ratio:.2f}x", goal,
              "yes" if met else "NO"] for figure, value, ref, ratio, goal, met in table]
    widths = [max(len(str(cell)) for cell in column) for column in zip(headers, *lines)]
    for line in [headers, ["-" * w for w in widths]] + lines:
        print("  ".join(str(cell).ljust(w) for cell, w in zip(line, widths)).rstrip())
    met = sum(1 for row in table if row[5])
    print(f"\n{met} of {len(table)} goals met.")
    for figure, _, _, ratio, goal, ok in table:
        if not ok:
            shown = "" if ratio is None else f" at {ratio:.2f}x"
            print(f"  short: {figure}{shown} (goal {goal})")


if __name__ == "__main__":
    main(sys.argv[1:])
