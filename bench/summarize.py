#!/usr/bin/env python3
"""Summarise the per-run lines written by bench/measure into Markdown tables.

    summarize.py peers TOOL=FILE [TOOL=FILE]...
        The first TOOL is the subject (pelldor); the others are peers, or floors (named
        floor_*, shown but not compared). Prints medians (and min / max) per tool, the
        ratios subject/peer of the medians, and the subject's medians against its
        targets. Exit status 0; a missed target is printed as MISSED, it does not fail
        the run.

    summarize.py variants NAME=FILE [NAME=FILE]...
        One row per build variant (or reference program): medians, min / max, and the
        verdict against each target.

    summarize.py load LABEL FILE BOUND_MS EXPECTED_STATUS [times|verdicts]
        Prints count, how many exited with the expected status, how many ended within
        BOUND_MS, and the median / max elapsed per probe. Exit status 1 if any probe had
        another status or (unless judged on verdicts alone) took longer than BOUND_MS.

Each FILE holds lines "INDEX STATUS WALL_US USER_US SYS_US MAXRSS_KIB HWM_KIB". Lines with
HWM_KIB = -1 are timed runs; lines with HWM_KIB >= 0 are traced runs (measure -m), which
give the exact peak RSS and are left out of the time figures.
"""
import statistics
import sys

# Targets for pelldor's median per run.
TARGET_WALL_MS = 21.5
TARGET_CPU_MS = 1.0
TARGET_RSS_KIB = 1536
# `pelldor check` against check_ntp_time on the same server: the largest ratios of medians.
CHECK_PLUGIN, CHECK_PEER = "pelldor_check", "check_ntp_time"
CHECK_RATIOS = {"wall": 0.5, "CPU": 0.8, "peak RSS": 0.7}
# `pelldor check --nts` against chronyd's one-shot `chronyd -Q` with NTS on the same server.
NTS_PLUGIN, NTS_PEER = "pelldor_check_nts", "chronyd_q_nts"
PAIRS = [(CHECK_PLUGIN, CHECK_PEER, CHECK_RATIOS), (NTS_PLUGIN, NTS_PEER, {"wall": 0.1, "CPU": 0.1})]
# Tools named so are programs that do nothing: the cost of starting and reaping a process.
FLOOR_PREFIX = "floor_"


def read_runs(path):
    """Returns (timed runs, traced runs)."""
    timed, traced = [], []
    with open(path, encoding="ascii") as handle:
        for line in handle:
            fields = line.split()
            if len(fields) not in (6, 7):
                continue
            values = [int(f) for f in fields]
            _, status, wall, user, system, rss = values[:6]
            hwm = values[6] if len(values) == 7 else -1
            run = {"status": status, "wall_ms": wall / 1000.0, "cpu_ms": (user + system) / 1000.0,
                   "user_ms": user / 1000.0, "sys_ms": system / 1000.0, "rss_kib": rss,
                   "hwm_kib": hwm}
            (traced if hwm >= 0 else timed).append(run)
    return timed, traced


def med(runs, key):
    return statistics.median(r[key] for r in runs)


def span(runs, key, fmt):
    if not runs:
        return "n/a"
    values = [r[key] for r in runs]
    return (f"{fmt.format(statistics.median(values))} "
            f"({fmt.format(min(values))}-{fmt.format(max(values))})")


def peak(timed, traced):
    """The peak RSS figure a target is judged on: the exact VmHWM when traced runs exist."""
    return med(traced, "hwm_kib") if traced else med(timed, "rss_kib")


def peers(pairs):
    tools = []
    for pair in pairs:
        name, _, path = pair.partition("=")
        timed, traced = read_runs(path)
        if not timed:
            print(f"no runs recorded for {name}")
            return 1
        tools.append((name, timed, traced))

    print("| tool | timed runs | wall ms median (min-max) | CPU ms (user+sys) median (min-max) "
          "| ru_maxrss KiB median (min-max) | traced runs | exact peak RSS (VmHWM) KiB median (min-max) |")
    print("|---|---|---|---|---|---|---|")
    for name, timed, traced in tools:
        print(f"| {name} | {len(timed)} | {span(timed, 'wall_ms', '{:.2f}')} "
              f"| {span(timed, 'cpu_ms', '{:.3f}')} | {span(timed, 'rss_kib', '{:.0f}')} "
              f"| {len(traced)} | {span(traced, 'hwm_kib', '{:.0f}')} |")

    subject_name, subject, subject_traced = tools[0]
    if len(tools) > 1:
        print()
        print(f"Ratios of medians, {subject_name} / peer (below 1: {subject_name} uses less; "
              "peak RSS from VmHWM where traced runs exist):")
        print()
        print("| peer | wall | CPU | peak RSS |")
        print("|---|---|---|---|")
        for name, timed, traced in tools[1:]:
            if name.startswith(FLOOR_PREFIX):
                continue
            def ratio(mine, theirs):
                return "n/a" if theirs == 0 else f"{mine / theirs:.2f}"
            print(f"| {name} | {ratio(med(subject, 'wall_ms'), med(timed, 'wall_ms'))} "
                  f"| {ratio(med(subject, 'cpu_ms'), med(timed, 'cpu_ms'))} "
                  f"| {ratio(peak(subject, subject_traced), peak(timed, traced))} |")

    print()
    print(f"Targets for {subject_name} (medians):")
    print()
    print("| measure | median | target | verdict |")
    print("|---|---|---|---|")
    rss_label = "peak RSS (VmHWM at exit)" if subject_traced else "peak RSS (ru_maxrss)"
    checks = [("wall time", med(subject, "wall_ms"), TARGET_WALL_MS, "ms", "{:.3f}"),
              ("CPU time (user+sys)", med(subject, "cpu_ms"), TARGET_CPU_MS, "ms", "{:.3f}"),
              (rss_label, peak(subject, subject_traced), TARGET_RSS_KIB, "KiB", "{:.0f}")]
    missed = 0
    for label, value, target, unit, fmt in checks:
        verdict = "met" if value <= target else "MISSED"
        missed += verdict == "MISSED"
        print(f"| {label} | {fmt.format(value)} {unit} | <= {target:g} {unit} | {verdict} |")
    by_name = {name: (timed, traced) for name, timed, traced in tools}
    for plugin, peer, targets in PAIRS:
        if plugin not in by_name or peer not in by_name:
            continue
        (mine, mine_traced), (theirs, theirs_traced) = by_name[plugin], by_name[peer]
        ratios = {"wall": med(mine, "wall_ms") / med(theirs, "wall_ms"),
                  "CPU": med(mine, "cpu_ms") / med(theirs, "cpu_ms"),
                  "peak RSS": peak(mine, mine_traced) / peak(theirs, theirs_traced)}
        print()
        print(f"Targets for {plugin} against {peer} (ratio of medians):")
        print()
        print("| measure | ratio | target | verdict |")
        print("|---|---|---|---|")
        for label, value in ratios.items():
            if label not in targets:
                print(f"| {label} | {value:.2f} | none | - |")
                continue
            verdict = "met" if value <= targets[label] else "MISSED"
            missed += verdict == "MISSED"
            checks.append(label)
            print(f"| {label} | {value:.2f} | <= {targets[label]:g} | {verdict} |")
        if peer == CHECK_PEER and FLOOR_PREFIX + "static" in by_name:
            floor = med(by_name[FLOOR_PREFIX + "static"][0], "wall_ms")
            above = (med(mine, "wall_ms") - floor) / (med(theirs, "wall_ms") - floor)
            print()
            print(f"Wall beside the floor: a static no-op takes {floor:.2f} ms, "
                  f"{floor / med(theirs, 'wall_ms'):.2f} of {peer}'s wall; above that floor "
                  f"{plugin} takes {above:.2f} of {peer}'s time.")
    print()
    print(f"TARGETS: {len(checks) - missed} met, {missed} MISSED" if missed
          else f"TARGETS: all {len(checks)} met")
    return 0


def variants(pairs):
    print("| variant | timed runs | exit statuses | wall ms median (min-max) | CPU ms median (min-max) "
          "| ru_maxrss KiB median | VmHWM KiB median (min-max) | wall <= 21.5 | CPU <= 1 | peak <= 1536 |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for pair in pairs:
        name, _, path = pair.partition("=")
        timed, traced = read_runs(path)
        if not timed:
            print(f"| {name} | 0 | | | | | | | | |")
            continue
        statuses = sorted({r["status"] for r in timed + traced})

        def verdict(value, target):
            return "met" if value <= target else "MISSED"
        print(f"| {name} | {len(timed)} | {', '.join(map(str, statuses))} "
              f"| {span(timed, 'wall_ms', '{:.2f}')} | {span(timed, 'cpu_ms', '{:.3f}')} "
              f"| {med(timed, 'rss_kib'):.0f} | {span(traced, 'hwm_kib', '{:.0f}')} "
              f"| {verdict(med(timed, 'wall_ms'), TARGET_WALL_MS)} "
              f"| {verdict(med(timed, 'cpu_ms'), TARGET_CPU_MS)} "
              f"| {verdict(peak(timed, traced), TARGET_RSS_KIB)} |")
    return 0


def load(label, path, bound_ms, expected, judge="times"):
    runs, _ = read_runs(path)
    bound_ms = float(bound_ms)
    expected = int(expected)
    good = sum(r["status"] == expected for r in runs)
    within = sum(r["wall_ms"] <= bound_ms for r in runs)
    walls = [r["wall_ms"] for r in runs] or [0.0]
    statuses = {}
    for r in runs:
        statuses[r["status"]] = statuses.get(r["status"], 0) + 1
    cpu = statistics.median(r["cpu_ms"] for r in runs) if runs else 0.0
    print(f"| {label} | {len(runs)} | {good} exit {expected} "
          f"({', '.join(f'{s}: {c}' for s, c in sorted(statuses.items()))}) "
          f"| {within} within {bound_ms:g} ms | {statistics.median(walls):.1f} "
          f"| {max(walls):.1f} | {cpu:.3f} | {max((r['rss_kib'] for r in runs), default=0)} |")
    in_time = within == len(runs) or judge == "verdicts"
    return 0 if runs and good == len(runs) and in_time else 1


def main(argv):
    if len(argv) >= 3 and argv[1] == "peers":
        return peers(argv[2:])
    if len(argv) >= 3 and argv[1] == "variants":
        return variants(argv[2:])
    if len(argv) in (6, 7) and argv[1] == "load" and argv[6:] in ([], ["times"], ["verdicts"]):
        return load(*argv[2:])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
