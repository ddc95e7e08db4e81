"""The scripted tour: connect, exchange data, inject every fault class once, recover.

Printed as it happens; `run_tour` returns 0 only when every fault was detected, the
inputs took their fail-safe values at once and the connection came back.
"""

from __future__ import annotations

import sys
import time
from dataclasses import dataclass, field
from typing import Callable, TextIO

from .bus import Pacer
from .link import FAULTS, DemoLink, Event, Fault, event_text, response_text, values_text


@dataclass
class TourRow:
    fault: Fault
    detected_by: str = ""
    message: str = ""
    fail_safe_at_once: bool = False
    cycles_to_recover: int | None = None

    @property
    def ok(self) -> bool:
        return bool(self.detected_by) and self.fail_safe_at_once and self.cycles_to_recover is not None


@dataclass
class Tour:
    link: DemoLink
    pacer: Pacer
    out: TextIO
    phase_s: float
    rows: list[TourRow] = field(default_factory=list)
    #: How long to wait for a detection, and again for the recovery (default: 3 watchdog times + 2 s).
    timeout_s: float | None = None
    faults: tuple[Fault, ...] = FAULTS
    _printed: int = 0

    def say(self, text: str = "") -> None:
        print(text, file=self.out, flush=True)

    def flush_events(self) -> None:
        events = self.link.events
        while self._printed < len(events):
            self.say(event_text(events[self._printed]))
            self._printed += 1

    def run_until(self, done: Callable[[], bool], timeout_s: float) -> bool:
        deadline = time.monotonic() + timeout_s
        while not done():
            if time.monotonic() > deadline:
                return False
            self.link.step()
            self.flush_events()
            self.pacer.wait()
        return True

    def exchange(self) -> None:
        """Runs the connection for one phase and shows a few samples of the data."""
        samples = 3
        end = time.monotonic() + self.phase_s
        for i in range(samples):
            sample_time = end - self.phase_s * (samples - 1 - i) / samples
            self.run_until(lambda: time.monotonic() >= sample_time, self.phase_s + 1)
            link = self.link
            command, sent = link.sent()  # what the wire carries, fail-safe data included
            self.say(
                f"{link.now():9.3f} s  cycle {link.bus.cycles:>6}  data      "
                f"{command:<13} outputs {values_text(sent)} | inputs {values_text(link.inputs())}"
            )

    def fault(self, number: int, fault: Fault) -> TourRow:
        link = self.link
        self.say()
        self.say(f"Fault {number} of {len(self.faults)}: {fault.name} (key {fault.key})")
        row = TourRow(fault)
        first_event = len(link.events)
        start_cycle = link.bus.cycles
        link.inject(fault)

        def detected() -> Event | None:
            return next((e for e in link.events[first_event:] if e.kind == "fault"), None)

        timeout = self.timeout_s if self.timeout_s is not None else 3 * link.watchdog_ms / 1000 + 2
        if self.run_until(lambda: detected() is not None, timeout):
            report = detected()
            assert report is not None
            row.detected_by, row.message = report.name, report.message
            # The state change of the detecting event carries the inputs right after it.
            after = next((e for e in link.events[first_event:] if e.kind == "state" and e.t >= report.t), None)
            if after is None:
                self.run_until(lambda: any(e.kind == "state" for e in link.events[first_event:]), timeout)
                after = next((e for e in link.events[first_event:] if e.kind == "state"), None)
            row.fail_safe_at_once = after is not None and link.inputs_fail_safe(after.inputs or {})
            if self.run_until(link.live, timeout):
                row.cycles_to_recover = link.bus.cycles - start_cycle
        self.flush_events()
        if not row.detected_by:
            self.say("          not detected")
        else:
            self.say(
                f"{link.now():9.3f} s  cycle {link.bus.cycles:>6}  "
                + (
                    f"recovered after {row.cycles_to_recover} cycles: inputs {values_text(link.inputs())}"
                    if row.cycles_to_recover is not None
                    else "not recovered"
                )
            )
        if row.detected_by and not row.fail_safe_at_once:
            self.say("          the inputs did NOT take their fail-safe values at detection")
        return row

    def run(self) -> int:
        link = self.link
        params = ", ".join(f"{n}={v} ({b} byte{'s' if b > 1 else ''})" for n, v, b in link.parameters) or "none"
        self.say("kestrel demo: a MasterHandler and a SlaveSimulator on an in-process bus")
        self.say(
            f"  {link.n_bytes} safe-data byte{'s' if link.n_bytes > 1 else ''} each way, cycle {link.cycle_ms:g} ms, "
            f"watchdog {link.watchdog_ms} ms, application parameters: {params}"
        )
        self.say()
        self.say("Connecting")
        link.start()
        if not self.run_until(link.live, 2 + 3 * link.watchdog_ms / 1000):
            self.flush_events()
            self.say("the connection did not reach the Data state")
            return 1
        self.say()
        self.say("Exchanging data (the slave reports enable inverted as STO_active and the counter as echo)")
        self.exchange()
        for number, fault in enumerate(self.faults, 1):
            self.rows.append(self.fault(number, fault))
            self.exchange()
        self.summary()
        return 0 if all(row.ok for row in self.rows) else 1

    def summary(self) -> None:
        link = self.link
        self.say()
        self.say("Summary")
        width = max([len(row.message) for row in self.rows] + [7])
        self.say(f"  {'fault':<20}  {'detected by':<12}  {'message':<{width}}  {'inputs':<9}  cycles to recover")
        for row in self.rows:
            recover = "not recovered" if row.cycles_to_recover is None else str(row.cycles_to_recover)
            safe = "fail-safe" if row.fail_safe_at_once else "NOT SAFE"
            detected = row.detected_by or "NOT DETECTED"
            self.say(f"  {row.fault.name:<20}  {detected:<12}  {row.message:<{width}}  {safe:<9}  {recover}")
        elapsed = link.now()
        sent, received = link.resets()
        self.say()
        self.say(
            f"Cycles: {link.bus.cycles} in {elapsed:.2f} s ({link.bus.cycles / elapsed:.0f} per second, "
            f"{self.pacer.missed} slots missed)"
        )
        self.say(
            "Response time: last {}, min {}, max {}".format(*response_text(link.response_times()))
        )
        self.say("Resets sent by the master: " + (", ".join(f"{k} {v}" for k, v in sent.items()) or "none"))
        self.say("Resets sent by the slave:  " + (", ".join(f"{k} {v}" for k, v in received.items()) or "none"))
        failed = [row.fault.name for row in self.rows if not row.ok]
        if failed:
            self.say(f"Result: FAILED for {', '.join(failed)}")
        else:
            self.say(f"Result: all {len(self.rows)} faults detected, inputs fail-safe at once, connection recovered")


def run_tour(
    link: DemoLink,
    duration_s: float,
    out: TextIO | None = None,
    timeout_s: float | None = None,
    faults: tuple[Fault, ...] = FAULTS,
) -> int:
    phase_s = duration_s / (len(faults) + 1)
    pacer = Pacer(link.cycle_ms / 1000)
    tour = Tour(link, pacer, out or sys.stdout, phase_s=phase_s, timeout_s=timeout_s, faults=faults)
    try:
        return tour.run()
    finally:
        link.close()


