"""`python -m kestrel bench`: what the Data-state cycle costs.

One cycle is what a host does every bus cycle: `set_reply(new reply)` then
`get_request()`, process data both ways, for 1, 2 and 16 safe-data bytes each way.
It is timed through Python and, for the same handlers and replies, in the C++ core
with no Python in the loop (`kestrel.kestrel._bench.cycles`), for one connection and
for many connections cycled one after another from one thread.

Method: a reply is new only once and its CRCs chain to the request it answers, so the
replies are recorded first, from a handler running against the software slave. The
handlers under test replay them: they send the recorded session id (set back in place
by their state-change callback, which runs before the request is built), so their
requests equal the recorded ones byte for byte, which is checked after every timed
run. The timed loops contain the handler calls and nothing else but the loop itself.
Every input has a subscriber, as a host's display would; the inputs do not change, so
none fires (checked).

Each kind of run is repeated (`--repeat`); the figures are the median and the spread
(lowest to highest) of the repetitions. For one connection every run gets a fresh
handler that replays the recorded cycles in 20 parts, statistics on and off in turns
(on-off, off-on, ...), so a change of the machine's load falls on both alike; Python
and C++ runs alternate. The statistics' cost is the median of the differences of the
adjacent on and off parts over all runs, with the middle half of them (a single part
the scheduler interrupted says little).
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import statistics
import sys
import threading
import time

from . import __version__
from ._args import positive_int, safe_data_sizes
from .kestrel import (
    DataType,
    Dictionary,
    DictionaryItemInput,
    DictionaryItemOutput,
    MasterHandler,
    SlaveSimulator,
    StateData,
    _bench,
)

ADDRESS, CONN_ID = 5, 7
WATCHDOG_S = 60.0  # no expiry falls into a measurement
SETTLE = 4  # Data cycles before the timing starts
KINDS = [("python", True), ("python", False), ("cpp", True), ("cpp", False)]
CHUNKS = 20  # a run of one connection: statistics on and off in turns, this many parts


class _Subscriber:
    """Counts the changes of the inputs it is attached to (there should be none)."""

    def __init__(self) -> None:
        self.fired = 0

    def __call__(self) -> None:
        self.fired += 1


def _handler(size: int, session_id: int | None = None, subscriber: _Subscriber | None = None) -> MasterHandler:
    outs = [DictionaryItemOutput(1 + i, f"out{i}", DataType.UINT8) for i in range(size)]
    ins = [DictionaryItemInput(101 + i, f"in{i}", DataType.UINT8, 0) for i in range(size)]
    if subscriber is not None:
        for item in ins:
            item.subscribe_changed(subscriber)
    cell: list[MasterHandler] = []

    def state_changed(_state: object) -> None:
        if session_id is not None:
            cell[0].master.session.session_id.value = session_id

    h = MasterHandler(Dictionary(outs + ins), ADDRESS, CONN_ID, WATCHDOG_S, state_change_callback=state_changed)
    cell.append(h)
    for item in outs:
        h.master.dictionary_map.add(item)
    for item in ins:
        h.slave.dictionary_map.add(item)
    for i, item in enumerate(outs):
        item.set(0x20 + i)
    h.set_fail_safe(False)
    return h


class Recording:
    """Requests and replies of one connection, from the start to `data_cycles` cycles in Data."""

    def __init__(self, size: int, data_cycles: int):
        h = _handler(size)
        slave = SlaveSimulator(ADDRESS, input_size=size, output_size=size, manual_clock=True, seed=1)
        slave.inputs = bytes(range(0x40, 0x40 + size))
        h.start()
        self.requests: list[bytes] = []
        self.replies: list[bytes] = []
        self.start = -1
        in_data = 0
        while in_data < data_cycles:
            request = h.get_request()
            if h.state is StateData:
                slave.process_data = True
                in_data += 1
                if in_data == SETTLE + 1:
                    self.start = len(self.replies)
            reply = slave.step(request)
            self.requests.append(request)
            self.replies.append(reply)
            h.set_reply(reply)
        self.requests.append(h.get_request())
        if h.state is not StateData or self.start < 0:
            raise RuntimeError("the recording left the Data state")
        self.session_id = h.master.session.session_id.value
        h.delete()

    def bring_to_data(self, h: MasterHandler) -> None:
        h.start()
        for i in range(self.start):
            h.set_reply(self.replies[i])
        if h.state is not StateData or h.get_request() != self.requests[self.start]:
            raise RuntimeError("the replay did not reach the recorded Data state")

    def check(self, h: MasterHandler, end: int) -> None:
        if h.state is not StateData or h.get_request() != self.requests[end]:
            raise RuntimeError("the replay diverged from the recording")


def _python_cycles(handlers: list[MasterHandler], replies: list[bytes]) -> float:
    gc.disable()
    try:
        if len(handlers) == 1:
            set_reply, get_request = handlers[0].set_reply, handlers[0].get_request
            t0 = time.perf_counter_ns()
            for reply in replies:
                set_reply(reply)
                get_request()
            return time.perf_counter_ns() - t0
        t0 = time.perf_counter_ns()
        for reply in replies:
            for h in handlers:
                h.set_reply(reply)
                h.get_request()
        return time.perf_counter_ns() - t0
    finally:
        gc.enable()


def _native_cycles(handlers: list[MasterHandler], replies: list[bytes]) -> float:
    ns = _bench.cycles(handlers, replies)
    if ns < 0:
        raise RuntimeError("the native loop produced no requests")
    return ns


RUNNERS = {"python": _python_cycles, "cpp": _native_cycles}


def _spread(values: list[float]) -> dict:
    return {"median": statistics.median(values), "min": min(values), "max": max(values)}


def _quartiles(values: list[float]) -> dict:
    """Median and the middle half (a single part hit by the scheduler says little)."""
    if len(values) < 2:
        return {"median": values[0], "q1": values[0], "q3": values[0]}
    q1, median, q3 = statistics.quantiles(values, n=4, method="inclusive")
    return {"median": median, "q1": q1, "q3": q3}


def _baseline_ns(replies: list[bytes]) -> float:
    """The Python loop with two no-op builtins in place of the handler's calls."""
    gc.disable()
    try:
        t0 = time.perf_counter_ns()
        for reply in replies:
            len(reply)
            abs(0)
        return (time.perf_counter_ns() - t0) / len(replies)
    finally:
        gc.enable()


def _live_ns(size: int, cycles: int) -> float:
    """The cycle with the software slave answering in the loop (handler + slave)."""
    h = _handler(size)
    slave = SlaveSimulator(ADDRESS, input_size=size, output_size=size, manual_clock=True, seed=1)
    h.start()
    for _ in range(20):
        h.set_reply(slave.step(h.get_request()))
    slave.process_data = True
    t0 = time.perf_counter_ns()
    for _ in range(cycles):
        h.set_reply(slave.step(h.get_request()))
    ns = (time.perf_counter_ns() - t0) / cycles
    ok = h.state is StateData
    h.delete()
    if not ok:
        raise RuntimeError("the live cycle left the Data state")
    return ns


def bench_one(size: int, cycles: int, repeat: int) -> dict:
    """One connection: Python and C++, `repeat` runs of each, statistics on and off in turns within each run."""
    chunks = CHUNKS if cycles >= CHUNKS else 2
    chunk = max(1, cycles // chunks)
    rec = Recording(size, SETTLE + 1 + chunk * chunks)
    runs: dict[tuple[str, bool], list[float]] = {kind: [] for kind in KINDS}
    pairs: dict[str, list[float]] = {"python": [], "cpp": []}
    for r in range(repeat):
        for path in ("python", "cpp") if r % 2 == 0 else ("cpp", "python"):
            subscriber = _Subscriber()
            h = _handler(size, rec.session_id, subscriber)
            rec.bring_to_data(h)
            subscriber.fired = 0  # the inputs took the slave's values on the way
            ns: dict[bool, list[float]] = {True: [], False: []}
            at = rec.start
            for k in range(chunks // 2):
                for enabled in (True, False) if k % 2 == 0 else (False, True):
                    h.statistics_enabled = enabled
                    ns[enabled].append(RUNNERS[path]([h], rec.replies[at : at + chunk]) / chunk)
                    at += chunk
            rec.check(h, at)
            h.delete()
            if subscriber.fired:
                raise RuntimeError("an input subscriber fired: the replayed inputs changed")
            for enabled in (True, False):
                runs[(path, enabled)].append(statistics.fmean(ns[enabled]))
            pairs[path] += [(on - off) / off * 100 for on, off in zip(ns[True], ns[False])]
    segment = rec.replies[rec.start : rec.start + chunk * chunks]
    return {
        "safe_bytes": size,
        "connections": 1,
        "python_ns": _spread(runs[("python", True)]),
        "cpp_ns": _spread(runs[("cpp", True)]),
        "python_ns_statistics_off": _spread(runs[("python", False)]),
        "cpp_ns_statistics_off": _spread(runs[("cpp", False)]),
        "python_statistics_cost_percent": _quartiles(pairs["python"]),
        "cpp_statistics_cost_percent": _quartiles(pairs["cpp"]),
        "statistics_pairs": len(pairs["python"]),
        "python_loop_baseline_ns": _baseline_ns(segment),
        "python_with_live_slave_ns": _live_ns(size, min(cycles, 100_000)),
    }


def _proc_status(field: str) -> int:
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return -1


def bench_many(size: int, connections: int, rounds: int, repeat: int) -> dict:
    """`connections` handlers, one cycle each per round from one thread; `repeat` runs of each path."""
    rec = Recording(size, SETTLE + 1 + rounds * 2 * repeat)
    gc.collect()
    rss_before, threads_before = _proc_status("VmRSS"), threading.active_count()
    handlers = [_handler(size, rec.session_id) for _ in range(connections)]
    for h in handlers:
        rec.bring_to_data(h)
    gc.collect()
    rss_after, threads_after = _proc_status("VmRSS"), threading.active_count()
    runs: dict[str, list[float]] = {"python": [], "cpp": []}
    at = rec.start
    for r in range(repeat):
        for path in ("python", "cpp") if r % 2 == 0 else ("cpp", "python"):
            segment = rec.replies[at : at + rounds]
            runs[path].append(RUNNERS[path](handlers, segment) / (rounds * connections))
            at += rounds
    for h in handlers:
        rec.check(h, at)
        h.delete()
    return {
        "safe_bytes": size,
        "connections": connections,
        "python_ns": _spread(runs["python"]),
        "cpp_ns": _spread(runs["cpp"]),
        "threads": [threads_before, threads_after],
        "kib_per_handler": (rss_after - rss_before) / connections if rss_before >= 0 else None,
    }


def _machine() -> dict:
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    load = list(os.getloadavg()) if hasattr(os, "getloadavg") else []
    return {"cpu": model, "cpus": os.cpu_count(), "system": platform.platform(), "load_average": load,
            "python": platform.python_version()}


def run_all(sizes: list[int], cycles: int, connections: int, rounds: int, repeat: int) -> dict:
    machine = _machine()  # the load before the benchmark's own
    results = []
    for size in sizes:
        results.append(bench_one(size, cycles, repeat))
        if connections > 1:
            results.append(bench_many(size, connections, rounds, repeat))
    for r in results:
        r["python_cycles_per_s"] = 1e9 / r["python_ns"]["median"]
        r["cpp_cycles_per_s"] = 1e9 / r["cpp_ns"]["median"]
    machine["load_average_after"] = list(os.getloadavg()) if hasattr(os, "getloadavg") else []
    return {"kestrel": __version__, "machine": machine, "cycles": cycles, "rounds": rounds, "repeat": repeat,
            "results": results}


def _ns(s: dict) -> str:
    return f"{s['median']:.0f} ({s['min']:.0f}-{s['max']:.0f})"


def _pct(s: dict) -> str:
    return f"{s['median']:+.1f} % ({s['q1']:+.1f} to {s['q3']:+.1f})"


def format_table(report: dict) -> str:
    m = report["machine"]
    load = " ".join(f"{x:.2f}" for x in m["load_average"])
    after = " ".join(f"{x:.2f}" for x in m.get("load_average_after", []))
    lines = [
        f"kestrel {report['kestrel']}: Data-state cycle (set_reply of a new reply + get_request), "
        f"process data both ways",
        f"{m['cpu']}, {m['cpus']} CPUs, Python {m['python']}; load average before: {load}, after: {after}",
        f"{report['repeat']} runs of each kind: {report['cycles']} cycles each for one connection, "
        f"{report['rounds']} rounds for many; ns per cycle as median (lowest-highest)",
        "",
        f"{'safe bytes':>10}  {'connections':>11}  {'Python ns':>17}  {'cycles/s':>10}  "
        f"{'C++ ns':>17}  {'cycles/s':>10}",
    ]
    for r in report["results"]:
        lines.append(f"{r['safe_bytes']:>10}  {r['connections']:>11}  {_ns(r['python_ns']):>17}  "
                     f"{r['python_cycles_per_s']:>10,.0f}  {_ns(r['cpp_ns']):>17}  {r['cpp_cycles_per_s']:>10,.0f}")
    ones = [r for r in report["results"] if r["connections"] == 1]
    pairs = ones[0]["statistics_pairs"] if ones else 0
    lines += ["", f"Statistics on / off, one connection: ns per cycle (median) and the cost: median (middle half) of "
              f"{pairs} adjacent on/off parts",
              f"{'safe bytes':>10}  {'Python on':>9}  {'off':>5}  {'cost':>26}  {'C++ on':>6}  {'off':>5}  {'cost':>26}"]
    for r in ones:
        lines.append(f"{r['safe_bytes']:>10}  {r['python_ns']['median']:>9.0f}  "
                     f"{r['python_ns_statistics_off']['median']:>5.0f}  {_pct(r['python_statistics_cost_percent']):>26}  "
                     f"{r['cpp_ns']['median']:>6.0f}  {r['cpp_ns_statistics_off']['median']:>5.0f}  "
                     f"{_pct(r['cpp_statistics_cost_percent']):>26}")
    lines += ["", "For scale, one connection (ns per cycle): the Python loop with two no-op builtins; the cycle with "
              "the software slave answering in the loop"]
    for r in ones:
        lines.append(f"{r['safe_bytes']:>10}  loop {r['python_loop_baseline_ns']:.0f}  "
                     f"with the slave {r['python_with_live_slave_ns']:.0f}")
    many = [r for r in report["results"] if r["connections"] > 1]
    if many:
        lines += ["", "Many connections: Python threads before -> after creating them, resident memory per handler "
                  "(with its dictionary, maps and watchdog thread)"]
        for r in many:
            kib = "-" if r["kib_per_handler"] is None else f"{r['kib_per_handler']:.1f} KiB"
            lines.append(f"{r['safe_bytes']:>10}  {r['connections']} handlers: threads {r['threads'][0]} -> "
                         f"{r['threads'][1]}, {kib} per handler")
    return "\n".join(lines)


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--cycles", type=positive_int, default=200_000,
                        help="cycles per timed run for one connection (default: %(default)s)")
    parser.add_argument("--connections", type=positive_int, default=1000,
                        help="handlers cycled from one thread in the second row of each size (default: %(default)s)")
    parser.add_argument("--rounds", type=positive_int, default=200,
                        help="rounds (one cycle of every handler) per timed run with many connections "
                             "(default: %(default)s)")
    parser.add_argument("--repeat", type=positive_int, default=7,
                        help="timed runs of each kind; the median and the spread count (default: %(default)s)")
    parser.add_argument("--sizes", type=safe_data_sizes, default=[1, 2, 16],
                        help="safe-data bytes each way, comma-separated (default: 1,2,16)")
    parser.add_argument("--json", action="store_true", help="print the figures as JSON")


def run(args: argparse.Namespace) -> int:
    report = run_all(args.sizes, args.cycles, args.connections, args.rounds, args.repeat)
    print(json.dumps(report, indent=2) if args.json else format_table(report))
    return 0


if __name__ == "__main__":
    p = argparse.ArgumentParser(prog="python -m kestrel.bench")
    add_arguments(p)
    sys.exit(run(p.parse_args()))
