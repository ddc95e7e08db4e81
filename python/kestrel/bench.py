"""`python -m kestrel bench`: what the Data-state cycle costs.

One cycle is what a host does every bus cycle: `set_reply(new reply)` then
`get_request()`, process data both ways, for 1, 2 and 16 safe-data bytes each way.
It is timed through Python and, for the same handlers and replies, in the C++ core
with no Python in the loop (`kestrel.kestrel._bench_cycles`), for one connection and
for many connections cycled one after another from one thread.

Method: a reply is new only once and its CRCs chain to the request it answers, so the
replies are recorded first, from a handler running against the software slave. The
handlers under test replay them: they send the recorded session id (set back in place
by their state-change callback, which runs before the request is built), so their
requests equal the recorded ones byte for byte, which is checked after the timing.
The timed loops contain the handler calls and nothing else but the loop itself.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import sys
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
    _bench_cycles,
)

ADDRESS, CONN_ID = 5, 7
WATCHDOG_S = 60.0  # no expiry falls into a measurement
SETTLE = 4  # Data cycles before the timing starts


def _handler(size: int, session_id: int | None = None) -> MasterHandler:
    outs = [DictionaryItemOutput(1 + i, f"out{i}", DataType.UINT8) for i in range(size)]
    ins = [DictionaryItemInput(101 + i, f"in{i}", DataType.UINT8, 0) for i in range(size)]
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
    ns = _bench_cycles(handlers, replies)
    if ns < 0:
        raise RuntimeError("the native loop produced no requests")
    return ns


def bench_one(size: int, cycles: int, repeat: int) -> dict:
    """One connection: Python and C++, each with statistics on and off, interleaved; best of `repeat`."""
    kinds = [("python", True), ("python", False), ("cpp", True), ("cpp", False)]
    rec = Recording(size, SETTLE + 1 + cycles * len(kinds) * repeat)
    h = _handler(size, rec.session_id)
    rec.bring_to_data(h)
    best = {kind: float("inf") for kind in kinds}
    at = rec.start
    for r in range(repeat):
        for kind in kinds if r % 2 == 0 else kinds[::-1]:
            path, statistics = kind
            h.statistics_enabled = statistics
            segment = rec.replies[at : at + cycles]
            run = _python_cycles if path == "python" else _native_cycles
            best[kind] = min(best[kind], run([h], segment) / cycles)
            at += cycles
    rec.check(h, at)
    h.delete()
    return {
        "safe_bytes": size,
        "connections": 1,
        "python_ns": best[("python", True)],
        "cpp_ns": best[("cpp", True)],
        "python_ns_statistics_off": best[("python", False)],
        "cpp_ns_statistics_off": best[("cpp", False)],
    }


def bench_many(size: int, connections: int, rounds: int, repeat: int) -> dict:
    """`connections` handlers, one cycle each per round from one thread; best of `repeat`."""
    rec = Recording(size, SETTLE + 1 + rounds * 2 * repeat)
    handlers = [_handler(size, rec.session_id) for _ in range(connections)]
    for h in handlers:
        rec.bring_to_data(h)
    best = {"python": float("inf"), "cpp": float("inf")}
    at = rec.start
    for r in range(repeat):
        for path in ("python", "cpp") if r % 2 == 0 else ("cpp", "python"):
            segment = rec.replies[at : at + rounds]
            run = _python_cycles if path == "python" else _native_cycles
            best[path] = min(best[path], run(handlers, segment) / (rounds * connections))
            at += rounds
    for h in handlers:
        rec.check(h, at)
        h.delete()
    return {"safe_bytes": size, "connections": connections, "python_ns": best["python"], "cpp_ns": best["cpp"]}


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
        r["python_cycles_per_s"] = 1e9 / r["python_ns"]
        r["cpp_cycles_per_s"] = 1e9 / r["cpp_ns"]
    return {"kestrel": __version__, "machine": machine, "cycles": cycles, "rounds": rounds, "repeat": repeat,
            "results": results}


def _percent(on: float, off: float) -> str:
    return f"{(on - off) / off * 100:+.1f} %"


def format_table(report: dict) -> str:
    m = report["machine"]
    load = " ".join(f"{x:.2f}" for x in m["load_average"])
    lines = [
        f"kestrel {report['kestrel']}: Data-state cycle (set_reply of a new reply + get_request), "
        f"process data both ways",
        f"{m['cpu']}, {m['cpus']} CPUs, Python {m['python']}; load average before: {load}; "
        f"best of {report['repeat']}",
        "",
        f"{'safe bytes':>10}  {'connections':>11}  {'Python ns':>9}  {'Python cycles/s':>15}  "
        f"{'C++ ns':>7}  {'C++ cycles/s':>12}",
    ]
    for r in report["results"]:
        lines.append(f"{r['safe_bytes']:>10}  {r['connections']:>11}  {r['python_ns']:>9.0f}  "
                     f"{r['python_cycles_per_s']:>15,.0f}  {r['cpp_ns']:>7.0f}  {r['cpp_cycles_per_s']:>12,.0f}")
    lines += ["", "Statistics on / off, one connection (ns per cycle):",
              f"{'safe bytes':>10}  {'Python on':>9}  {'off':>6}  {'diff':>8}  {'C++ on':>7}  {'off':>6}  {'diff':>8}"]
    for r in report["results"]:
        if r["connections"] != 1:
            continue
        py_on, py_off = r["python_ns"], r["python_ns_statistics_off"]
        c_on, c_off = r["cpp_ns"], r["cpp_ns_statistics_off"]
        lines.append(f"{r['safe_bytes']:>10}  {py_on:>9.0f}  {py_off:>6.0f}  {_percent(py_on, py_off):>8}  "
                     f"{c_on:>7.0f}  {c_off:>6.0f}  {_percent(c_on, c_off):>8}")
    return "\n".join(lines)


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--cycles", type=positive_int, default=20_000,
                        help="cycles per timed run for one connection (default 20000)")
    parser.add_argument("--connections", type=positive_int, default=1000,
                        help="handlers cycled from one thread in the second row of each size (default 1000)")
    parser.add_argument("--rounds", type=positive_int, default=40,
                        help="rounds (one cycle of every handler) per timed run with many connections (default 40)")
    parser.add_argument("--repeat", type=positive_int, default=3, help="timed runs of each kind; the best counts")
    parser.add_argument("--sizes", type=safe_data_sizes, default=[1, 2, 16], help="safe-data bytes each way (default 1,2,16)")
    parser.add_argument("--json", action="store_true", help="print the figures as JSON")


def run(args: argparse.Namespace) -> int:
    report = run_all(args.sizes, args.cycles, args.connections, args.rounds, args.repeat)
    print(json.dumps(report, indent=2) if args.json else format_table(report))
    return 0


if __name__ == "__main__":
    p = argparse.ArgumentParser(prog="python -m kestrel.bench")
    add_arguments(p)
    sys.exit(run(p.parse_args()))
