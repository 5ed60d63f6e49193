#!/usr/bin/env python3
"""The table scripts/bench prints, from the raw measurements it leaves in its
work directory. Every part is optional: what was not measured gives no rows.

Usage: report.py WORK_DIRECTORY RUNS REST_SECONDS

  http.json, decode.json, decode-default.json
      Google Benchmark JSON output (repetitions, aggregates only)
  wrk/VARIANT-RUN.txt, wrk/VARIANT-RUN.nstat, wrk/VARIANT-RUN.cpu
      one wrk run, the kernel's listen-queue counters over it, and the serving
      processes' CPU clock ticks before and after it with the ticks per second
  login-codes.txt
      the HTTP status of every desk login sent during the "logins" variant's
      wrk runs, one a line (000: no answer)
  rest/PROGRAM-WINDOW-{own,all}-{before,after}
      schedstat lines (CPU nanoseconds first) of the program's threads, or of
      every thread of its Wine prefix, around one at-rest window
  rest/PROGRAM-status, rest/desk-state.json
      /proc/PID/status and the desk's state at the end of the at-rest windows
  load-before
      /proc/loadavg at the start
"""
import json
import math
import os
import platform
import re
import statistics
import sys
from collections import Counter
from pathlib import Path
from typing import NamedTuple

NAN = float("nan")
UNITS = {"us": "µs", "ms": "ms", "ns": "ns", "s": "s"}

POLL = "poll latency"
LARGE = "large answer"
DECODING = "decoding scale"
SERVICE = "service load"
REST = "notifier at rest"


# ---------------------------------------------------------------- arithmetic
class Figure(NamedTuple):
    """One side of a comparison: a median, the runs' coefficient of variation (%), a unit."""
    median: float = NAN
    cv: float = NAN
    unit: str = ""


def median_and_cv(values, unit=""):
    """The Figure of several runs (sample deviation); one run has no spread to show."""
    if not values:
        return Figure(unit=unit)
    mean = statistics.fmean(values)
    cv = 100 * statistics.stdev(values) / mean if len(values) > 1 and mean != 0 else NAN
    return Figure(statistics.median(values), cv, unit)


def fmt(value, form="%.3g"):
    return "nan" if math.isnan(value) else form % value


def ratio(a, b):
    """a / b as the table shows it (two decimals), which is what targets are checked against."""
    if math.isnan(a) or math.isnan(b) or b == 0:
        return NAN
    return float("%.2f" % (a / b))


def meets(value, limit, kind):
    if math.isnan(value):
        return "n/a"
    return "yes" if (value <= limit if kind == "max" else value >= limit) else "NO"


def meets_target(value, target):
    """Checks value against a target written "≤ LIMIT" or "≥ LIMIT"; "-" for any other target (a note)."""
    kind = {"≤": "max", "≥": "min"}.get(target[:1])
    limit = target[1:].strip()
    if kind is None or not re.fullmatch(r"[0-9.]+", limit):
        return "-"
    return meets(value, float(limit), kind)


def row(measure, label, ours="", peer="", ratio_text="", target="", met="", noise=""):
    return "| %s | %s | %s | %s | %s | %s | %s | %s |" % (measure, label, ours, peer, ratio_text, target, met, noise)


def compared(measure, label, ours, peer, target, form="%.3g", met=None, noisy=True):
    """A row of our Figure beside the peer's, with their ratio checked against the target."""
    def shown(side):
        return fmt(side.median, form) + (" " + side.unit if side.unit else "")
    r = ratio(ours.median, peer.median)
    noisy = noisy and not (math.isnan(ours.cv) and math.isnan(peer.cv))
    noise = "CV %s%% / %s%%" % (fmt(ours.cv, "%.0f"), fmt(peer.cv, "%.0f")) if noisy else ""
    return row(measure, label, shown(ours), shown(peer), fmt(r, "%.2f"), target,
               meets_target(r, target) if met is None else met, noise)


# ---------------------------------------------------------------- Google Benchmark
def benchmark_figures(path):
    """run name -> Figure of its real time, from aggregates-only JSON output; None without the file."""
    if not path.exists():
        return None
    figures = {}
    single_runs = {}  # one repetition has no aggregates, only its own run
    for entry in json.loads(path.read_text()).get("benchmarks", []):
        if entry.get("error_occurred"):
            print("bench: a benchmark failed: %s: %s" % (entry.get("name"), entry.get("error_message")),
                  file=sys.stderr)
            continue
        unit = UNITS.get(entry["time_unit"], entry["time_unit"])
        figure = figures.get(entry["run_name"], Figure())
        if entry.get("run_type") == "iteration":
            single_runs.setdefault(entry["run_name"], []).append((entry["real_time"], unit))
        elif entry.get("aggregate_name") == "median":
            figure = figure._replace(median=entry["real_time"], unit=unit)
        elif entry.get("aggregate_name") == "cv":
            figure = figure._replace(cv=100 * entry["real_time"])
        figures[entry["run_name"]] = figure
    for name, taken in single_runs.items():
        if math.isnan(figures[name].median):
            figures[name] = median_and_cv([time for time, _ in taken], taken[0][1])
    return figures


def client_rows(figures):
    ours = figures.get("readUrlGet/poll/real_time", Figure())
    yield compared(POLL, "one poll (100-byte body, new connection), readUrl / libcurl", ours,
                   figures.get("curlGet/poll/real_time", Figure()), "≤ 1.0")
    yield compared(POLL, "one poll, readUrl / raw connect-send-recv floor", ours,
                   figures.get("socketFloor/poll/real_time", Figure()), "≤ 1.4")
    for size in ("1MiB", "10MiB"):
        yield compared(LARGE, "%s body, readUrl / 512-byte receives into a preallocated buffer" % size,
                       figures.get("readUrlGet/%s/real_time" % size, Figure()),
                       figures.get("socketFloor/%s/real_time" % size, Figure()), "≤ 1.5")


DECODERS = [
    ("splitAnswer", 'splitText of the body at ","'),
    ("decodeIntoEmptyList", "decodeNotifications into the empty list (first poll)"),
    ("decodeIntoFullList", "decodeNotifications, every id already held (later polls)"),
]


def decoding_rows(figures, default_heap):
    for name, label in DECODERS:
        if default_heap:
            label += ", glibc's default heap"
        yield compared(DECODING, label + ", 10 MiB / 1 MiB", figures.get(name + "/10485760", Figure()),
                       figures.get(name + "/1048576", Figure()), "(note)" if default_heap else "≤ 13")


# ---------------------------------------------------------------- wrk
def cpu_per_request_us(cpu, requests):
    """The serving processes' CPU time per request in µs, from "BEFORE AFTER TICKS_PER_S"; NaN without it."""
    fields = cpu.split()
    if len(fields) != 3 or not requests:
        return NAN
    before, after, per_second = (float(field) for field in fields)
    return (after - before) / per_second / requests * 1e6 if per_second > 0 and after > before else NAN


def wrk_run(text, nstat, cpu=""):
    """One wrk run: requests/s, p99 in ms, timeouts, socket errors, non-2xx answers, listen overflows,
    CPU µs per request."""
    rps = p99 = NAN
    timeouts = errors = non2xx = requests = 0
    for line in text.splitlines():
        fields = line.replace(",", "").split()
        if re.match(r" *[0-9]+ requests in", line):
            requests = int(fields[0])
        elif line.startswith("Requests/sec:"):
            rps = float(fields[1])
        elif re.match(r" +99%", line):
            value, unit = re.match(r"([0-9.]+)([a-z]*)", fields[1]).groups()
            p99 = float(value) / 1000 if unit == "us" else float(value) * 1000 if unit == "s" else float(value)
        elif "Socket errors:" in line:
            errors = int(fields[3]) + int(fields[5]) + int(fields[7])
            timeouts = int(fields[9])
        elif "Non-2xx" in line:
            non2xx = int(fields[4])
    overflows = sum(int(fields[1]) for fields in map(str.split, nstat.splitlines())
                    if len(fields) > 1 and fields[0].startswith("TcpExt"))
    return rps, p99, timeouts, errors, non2xx, overflows, cpu_per_request_us(cpu, requests)


def wrk_runs(directory):
    """variant -> its runs, in the order the runs were taken."""
    runs = {}
    for path in sorted(directory.glob("*.txt"), key=lambda p: int(p.stem.rsplit("-", 1)[1])):
        variant = path.stem.rsplit("-", 1)[0]
        nstat, cpu = path.with_suffix(".nstat"), path.with_suffix(".cpu")
        runs.setdefault(variant, []).append(wrk_run(path.read_text(), nstat.read_text() if nstat.exists() else "",
                                                    cpu.read_text() if cpu.exists() else ""))
    return runs


SERVICE_VARIANTS = [
    ("rest", "getNotification, nobody waiting (the poll at rest)", "≥ 1.0"),
    ("waiting", "getNotification, one guest waiting (its record kept in memory)", "≥ 0.70"),
    ("refused", "diagnostic: refused at the key check (HTTP layer, no SQLite)", ""),
    ("tmpfs", "diagnostic: nobody waiting, database on tmpfs (no fsync cost)", ""),
]


LOGINS_LABEL = ("getNotification at rest, p99 latency while 10 desk logins/s run (Argon2id, 64 MiB each; "
                "%d of %d answered 200) / without them")


def login_codes(path):
    """The statuses of the desk logins sent beside wrk, one a line; empty without the file."""
    return [line.strip() for line in path.read_text().splitlines() if line.strip()] if path.exists() else []


def logins_row(p99, codes):
    """The poll's p99 while logins run, beside the poll at rest without them. A run in which no
    login succeeded measured no hashing, whatever its ratio."""
    answered = sum(code == "200" for code in codes)
    ours, peer = p99.get("logins", Figure(unit="ms")), p99.get("rest", Figure(unit="ms"))
    met = meets_target(ratio(ours.median, peer.median), "≤ 2") if answered else "NO"
    return compared(SERVICE, LOGINS_LABEL % (answered, len(codes)), ours, peer, "≤ 2", "%.1f", met)


CPU_LABEL = ("getNotification, nobody waiting: the service's CPU time per poll / nginx's per request "
             "(/proc/PID/stat over the same wrk load; ratio: median of the runs' ratios)")


def cpu_row(ours_runs, nginx_runs):
    """CPU time per request of the poll at rest against nginx's, run by run: steadier than requests/s
    on a shared machine, since time others take from the CPU is not counted."""
    pairs = [(a[6], b[6]) for a, b in zip(ours_runs, nginx_runs) if not math.isnan(a[6]) and not math.isnan(b[6])]
    ours, peer = [a for a, _ in pairs], [b for _, b in pairs]
    ratios = [a / b for a, b in pairs if b > 0]
    # Two decimals, as the table shows it and as the other ratios are checked.
    value = float("%.2f" % statistics.median(ratios)) if ratios else NAN
    ours_figure, peer_figure = median_and_cv(ours, "us"), median_and_cv(peer, "us")
    return row(SERVICE, CPU_LABEL, "%s µs" % fmt(ours_figure.median), "%s µs" % fmt(peer_figure.median),
               fmt(value, "%.2f"), "≤ 1.0", meets_target(value, "≤ 1.0"),
               "CV %s%% / %s%%" % (fmt(ours_figure.cv, "%.0f"), fmt(peer_figure.cv, "%.0f")))


def service_rows(runs, codes):
    rps = {variant: median_and_cv([run[0] for run in taken]) for variant, taken in runs.items()}
    p99 = {variant: median_and_cv([run[1] for run in taken], "ms") for variant, taken in runs.items()}
    nginx_rps, nginx_p99 = rps.get("nginx", Figure()), p99.get("nginx", Figure(unit="ms"))
    for variant, label, target in SERVICE_VARIANTS:
        if variant in runs:
            yield compared(SERVICE, label + ": requests/s / nginx", rps[variant], nginx_rps, target, "%.0f")
            yield compared(SERVICE, label + ": p99 latency / nginx", p99[variant], nginx_p99,
                           "≤ 2" if target else "", "%.1f")
    if "rest" in runs and "nginx" in runs:
        yield cpu_row(runs["rest"], runs["nginx"])
    if "logins" in runs:
        yield logins_row(p99, codes)
    # The logins' own answers are not wrk's: these count only the polls.
    for variant in ["nginx"] + [variant for variant, _, _ in SERVICE_VARIANTS] + ["logins"]:
        if variant not in runs:
            continue
        timeouts, errors, non2xx, overflows = (sum(run[i] for run in runs[variant]) for i in range(2, 6))
        met = "yes" if timeouts == errors == overflows == 0 else "NO"
        if variant == "refused":
            non2xx = "%d (403, expected)" % non2xx
        elif non2xx != 0:
            met = "NO"
        yield row(SERVICE, variant + ": timeouts, socket errors, non-2xx answers, listen overflows (all runs)",
                  "%d, %d, %s, %d" % (timeouts, errors, non2xx, overflows), "", "", "0, 0, 0, 0", met)
    at_rest = rps.get("rest", Figure()).median
    yield row(SERVICE, "notifiers one service carries at one poll per 12 s (at-rest requests/s × 12)",
              "nan" if math.isnan(at_rest) else "%d" % (at_rest * 12))


# ---------------------------------------------------------------- at rest
def cpu_ns(path):
    """Sum of the first field of schedstat lines; 0 when the processes had gone."""
    if not path.exists():
        return 0
    return sum(int(line.split()[0]) for line in path.read_text().splitlines() if line.strip())


def windows_ms_per_minute(directory, program, scope, window_seconds):
    values = []
    window = 1
    while (directory / ("%s-%d-%s-after" % (program, window, scope))).exists():
        spent = (cpu_ns(directory / ("%s-%d-%s-after" % (program, window, scope))) -
                 cpu_ns(directory / ("%s-%d-%s-before" % (program, window, scope))))
        values.append(spent / 1e6 * 60 / window_seconds)
        window += 1
    return values


def peak_memory_mib(path):
    match = re.search(r"^VmHWM:\s+(\d+)", path.read_text(), re.M) if path.exists() else None
    return float("%.1f" % (int(match.group(1)) / 1024)) if match else NAN


def polled_recently(path, user="Anna Schmidt", within_ms=15000):
    """Whether the desk saw the user's last poll within one poll period of its clock."""
    try:
        state = json.loads(path.read_text())
    except (OSError, ValueError):
        state = {}
    if not isinstance(state, dict):
        state = {}
    last_poll = next((member.get("lastPollAt") or 0 for member in state.get("staff", [])
                      if member.get("displayName") == user), 0)
    return "yes" if "now" in state and state["now"] - last_poll <= within_ms else "NO"


def rest_rows(directory, window_seconds):
    for scope, label in (("own", "at rest: CPU of the program's own process, ms per minute"),
                         ("all", "at rest: CPU of all the prefix's Wine processes (wineserver, services), "
                                 "ms per minute")):
        floor_windows = windows_ms_per_minute(directory, "idle", scope, window_seconds)
        ours = median_and_cv(windows_ms_per_minute(directory, "vestibra", scope, window_seconds))
        # Measurable: above every window of the floor.
        yield compared(REST, label, ours, median_and_cv(floor_windows), "≤ floor's highest window",
                       met=meets(ours.median, max(floor_windows, default=NAN), "max"))
    ours = peak_memory_mib(directory / "vestibra-status")
    floor = peak_memory_mib(directory / "idle-status")
    yield compared(REST, "peak memory (VmHWM) of the program's process, MiB", Figure(ours), Figure(floor),
                   "≤ floor + 0.5 MiB", "%.1f", meets(ours, floor + 0.5, "max"), noisy=False)
    polled = polled_recently(directory / "desk-state.json")
    yield row(REST, "the notifier polled the service during the measurement (desk: last poll ≤ 15 s old)", polled,
              "", "", "yes", polled)


# ---------------------------------------------------------------- the table
def cpu_model():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def load_average(text):
    return " ".join(text.split()[:3])


def main(arguments):
    if len(arguments) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    work, runs, rest_seconds = Path(arguments[0]), int(arguments[1]), int(arguments[2])
    window_seconds = rest_seconds // 3
    rows = []
    figures = benchmark_figures(work / "http.json")
    if figures is not None:
        rows += client_rows(figures)
    for name, default_heap in (("decode.json", False), ("decode-default.json", True)):
        figures = benchmark_figures(work / name)
        if figures is not None:
            rows += decoding_rows(figures, default_heap)
    if (work / "wrk").is_dir():
        rows += service_rows(wrk_runs(work / "wrk"), login_codes(work / "login-codes.txt"))
    if (work / "rest").is_dir():
        rows += rest_rows(work / "rest", window_seconds)

    before = (work / "load-before").read_text() if (work / "load-before").exists() else "?"
    print()
    print("| Measure | Figure | Vestibra | Peer | Ratio | Target | Met | Noise |")
    print("|---|---|---|---|---|---|---|---|")
    print("\n".join(rows))
    print()
    print("Medians of %d runs (notifier at rest: of three %d s windows); noise is the coefficient of variation"
          % (runs, window_seconds))
    print("of the runs (Vestibra / peer). Client and decoding figures: Google Benchmark repetitions in random order,")
    print("wall-clock time.")
    print("Machine: %d CPUs, %s, kernel %s;" % (len(os.sched_getaffinity(0)), cpu_model(), platform.release()))
    print("load average %s before, %s after." % (load_average(before), load_average(Path("/proc/loadavg").read_text())))
    codes = login_codes(work / "login-codes.txt")
    if codes:
        counts = sorted(Counter(codes).items())
        print("Desk logins sent beside wrk (HTTP status × count, 000: no answer): %s."
              % ", ".join("%s × %d" % count for count in counts))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
