"""Python cost of the master handler's cycle, and of many handlers in one process.

Run with the extension importable, e.g.
    PYTHONPATH=build/rel/pkg .venv/bin/python bench/bench_handler.py

1. The cycle: `set_reply(new reply)` + `get_request()` in the Data state, 16 safe-data
   bytes each way, both maps full (16 UINT8 entries each), process data both ways,
   inputs that do not change (so no subscriber fires; one is attached to each input
   and counted).

   Method: a reply is only new once, so the replies are recorded first. Handler A runs
   against the software slave and every reply is kept. Handler B then replays them. Its
   requests only match if it uses A's session id. The session id is drawn on the way
   into Session, and the request is built after the state-change callback, so B's
   callback puts A's session id back in place. The script checks that B's requests
   equal A's byte for byte before it times anything. The time counts only the
   handler's work and the Python loop; the same loop with two no-op builtins is
   printed as the baseline.

2. Many handlers: N handlers (each with its own watchdog thread) cycled once per round
   from one thread, each replaying the recorded replies. This prints the time per round,
   the threads (threading.active_count() and Threads in /proc/self/status) and the RSS
   growth for the N handlers with their dictionaries and maps, all in the Data state.
"""

import gc
import sys
import threading
import time

from kestrel.kestrel import (
    DataType,
    Dictionary,
    DictionaryItemInput,
    DictionaryItemOutput,
    MasterHandler,
    SlaveSimulator,
    StateData,
)

SIZE = 16
CONN_ID, ADDRESS = 7, 5
WATCHDOG_S = 30.0  # long enough that no expiry falls into a measurement


def proc_status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return -1


class Connection:
    """One handler with full 16-byte maps each way."""

    def __init__(self, session_id=None):
        self.outs = [DictionaryItemOutput(1 + i, f"out{i}", DataType.UINT8) for i in range(SIZE)]
        self.ins = [DictionaryItemInput(101 + i, f"in{i}", DataType.UINT8, 0) for i in range(SIZE)]
        self.fired = 0
        for item in self.ins:
            item.subscribe_changed(self.count)
        self.session_id = session_id
        self.h = MasterHandler(Dictionary(self.outs + self.ins), ADDRESS, CONN_ID, WATCHDOG_S,
                               state_change_callback=self.state_changed)
        for item in self.outs:
            self.h.master.dictionary_map.add(item)
        for item in self.ins:
            self.h.slave.dictionary_map.add(item)
        for i, item in enumerate(self.outs):
            item.set(i)
        self.h.set_fail_safe(False)

    def count(self):
        self.fired += 1

    def close(self):
        self.h.delete()
        for item in self.ins:  # the subscribers lead back here: let the collector have it all
            item.unsubscribe_changed(self.count)

    def state_changed(self, state):
        if self.session_id is not None:
            # Runs before the next request is built: the replayed session id is sent.
            self.h.master.session.session_id.value = self.session_id


def record(cycles):
    """Runs a handler against the software slave; returns (session id, requests, replies)."""
    c = Connection()
    slave = SlaveSimulator(ADDRESS, input_size=SIZE, output_size=SIZE, manual_clock=True, seed=1)
    slave.inputs = bytes(range(0x40, 0x40 + SIZE))
    c.h.start()
    requests, replies = [], []
    while len(replies) < cycles:
        request = c.h.get_request()
        reply = slave.step(request)
        if c.h.state is StateData:
            slave.process_data = True
        requests.append(request)
        replies.append(reply)
        c.h.set_reply(reply)
    assert c.h.state is StateData
    requests.append(c.h.get_request())  # the answer to the last reply
    session_id = c.h.master.session.session_id.value
    c.close()
    return session_id, requests, replies


def replay_to_data(c, requests, replies):
    """Brings a fresh handler to where the recording went into Data; returns the index of
    the first reply of the Data cycle."""
    c.h.start()
    for i, (request, reply) in enumerate(zip(requests, replies)):
        assert c.h.get_request() == request, f"replay diverged at frame {i}"
        if c.h.state is StateData and i > 8:  # a few Data cycles in: the inputs are settled
            return i
        c.h.set_reply(reply)
    raise AssertionError("Data state not reached in the replay")


def bench_cycle(cycles=200_000, repeat=5):
    session_id, requests, replies = record(cycles)
    best, baseline = float("inf"), float("inf")
    for _ in range(repeat):
        c = Connection(session_id)
        start = replay_to_data(c, requests, replies)
        data_replies = replies[start:]
        set_reply, get_request = c.h.set_reply, c.h.get_request
        c.fired = 0
        gc.disable()
        t0 = time.perf_counter()
        for reply in data_replies:
            set_reply(reply)
            get_request()
        elapsed = time.perf_counter() - t0
        gc.enable()
        # The replay stayed in step: the last request is the recorded one.
        assert c.h.state is StateData and get_request() == requests[-1], "replay diverged"
        assert c.fired == 0, "a subscriber fired"
        best = min(best, elapsed / len(data_replies))
        t0 = time.perf_counter()
        for reply in data_replies:
            len(reply)
            abs(0)
        baseline = min(baseline, (time.perf_counter() - t0) / len(data_replies))
        c.close()
    print(f"Data cycle, 16 bytes each way, set_reply + get_request: {best * 1e9:7.0f} ns "
          f"(loop with two no-op builtins: {baseline * 1e9:.0f} ns; {len(data_replies)} cycles, best of {repeat})")

    # For scale: the same cycle with the software slave answering live.
    c = Connection()
    slave = SlaveSimulator(ADDRESS, input_size=SIZE, output_size=SIZE, manual_clock=True, seed=1)
    c.h.start()
    for _ in range(20):
        c.h.set_reply(slave.step(c.h.get_request()))
    slave.process_data = True
    n = 100_000
    t0 = time.perf_counter()
    for _ in range(n):
        c.h.set_reply(slave.step(c.h.get_request()))
    live = (time.perf_counter() - t0) / n
    assert c.h.state is StateData
    c.close()
    print(f"Data cycle with the software slave answering (handler + slave):   {live * 1e9:7.0f} ns")


def bench_many(n_handlers=1000, rounds=200):
    session_id, requests, replies = record(rounds + 40)
    del requests[-1]
    gc.collect()
    threads_before, os_threads_before = threading.active_count(), proc_status("Threads")
    rss_before = proc_status("VmRSS")
    connections = [Connection(session_id) for _ in range(n_handlers)]
    start = [replay_to_data(c, requests, replies) for c in connections][0]
    gc.collect()
    rss_after = proc_status("VmRSS")
    threads_after, os_threads_after = threading.active_count(), proc_status("Threads")
    handlers = [c.h for c in connections]
    for c in connections:
        c.fired = 0
    times = []
    for r in range(start, start + rounds):
        reply = replies[r]
        t0 = time.perf_counter()
        for h in handlers:
            h.set_reply(reply)
            h.get_request()
        times.append(time.perf_counter() - t0)
    assert all(h.state is StateData for h in handlers) and all(c.fired == 0 for c in connections)
    times.sort()
    print(f"{n_handlers} handlers, one cycle each per round from one thread: "
          f"{times[len(times) // 2] * 1e3:.3f} ms per round (median of {rounds}; best {times[0] * 1e3:.3f} ms)")
    print(f"  threads: threading.active_count {threads_before} -> {threads_after}, "
          f"/proc Threads {os_threads_before} -> {os_threads_after}")
    print(f"  RSS: {rss_before / 1024:.1f} MiB -> {rss_after / 1024:.1f} MiB, "
          f"{(rss_after - rss_before) / n_handlers:.1f} KiB per handler (with its dictionary, maps and thread)")
    for c in connections:
        c.close()


def main():
    print(f"Python {sys.version.split()[0]}")
    bench_cycle()
    bench_many()


if __name__ == "__main__":
    main()
