"""A master handler and the software slave connected through an in-process bus.

    python -m kestrel demo [--cycle-ms MS] [--bytes N] [--param NAME=VALUE[:BYTES]]...
                           [--watchdog-ms MS] [--script] [--duration S]

On a terminal it is a live view (needs `rich`: pip install 'kestrel[demo]') whose keys
inject the slave's faults. Without a terminal, or with --script or --duration, it runs
a scripted tour: connect, exchange data, inject every fault class once, and print how
each was detected and recovered. The tour exits 0 only when all of them were.
"""

from __future__ import annotations

import argparse
import collections
import math
import sys
import threading
import time
from dataclasses import dataclass, field
from typing import Callable, TextIO

from ._bus import InProcessBus, Pacer
from .kestrel import (
    ApplicationParameter,
    DataType,
    Dictionary,
    DictionaryItemInput,
    DictionaryItemOutput,
    FSOECommand,
    FSOEError,
    MasterHandler,
    SlaveSimulator,
    StateData,
)

SLAVE_ADDRESS = 5
CONNECTION_ID = 7
ENABLE_TOGGLE_S = 0.5  # the enable output toggles at this interval
FAIL_SAFE_INPUTS = {"STO_active": True, "echo": 0}


@dataclass(frozen=True)
class Fault:
    key: str
    name: str
    how: str
    inject: Callable[["DemoLink"], None]


def _silence(link: "DemoLink") -> None:
    # Long enough for the master's watchdog to expire, short enough to come back soon.
    link.slave.inject_silence(math.ceil(1.5 * link.watchdog_ms / link.cycle_ms) + 1)


FAULTS = (
    Fault("c", "corrupted CRC", "one bit of a reply's safe data flipped", lambda link: link.slave.inject_bit_flip(8)),
    Fault(
        "i",
        "wrong connection id",
        "a reply with another connection id",
        lambda link: link.slave.inject_wrong_connection_id(),
    ),
    Fault(
        "u",
        "unknown command",
        "a reply whose command byte is no FSoE command",
        lambda link: link.slave.inject_unknown_command(),
    ),
    Fault(
        "w",
        "wrong command",
        "a reply with the command of another state",
        lambda link: link.slave.inject_wrong_command(),
    ),
    Fault("r", "slave reset", "the slave resets the connection", lambda link: link.slave.request_reset()),
    Fault("p", "replay", "the slave puts out an older frame again", lambda link: link.slave.inject_replay(2)),
    Fault("s", "silence", "the slave stops answering past the watchdog time", _silence),
)
FAULTS_BY_KEY = {fault.key: fault for fault in FAULTS}


@dataclass
class Event:
    t: float  # seconds since the link was made
    cycle: int
    kind: str  # "start", "state", "fault", "inject", "host"
    name: str
    message: str = ""
    inputs: dict[str, object] | None = None


def _parameter(text: str) -> tuple[str, int, int]:
    name, sep, rest = text.partition("=")
    value_text, _, size_text = rest.partition(":")
    try:
        value = int(value_text, 0)
        n_bytes = int(size_text) if size_text else 2
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected NAME=VALUE[:BYTES], got {text!r}") from None
    if not sep or not name:
        raise argparse.ArgumentTypeError(f"expected NAME=VALUE[:BYTES], got {text!r}")
    if n_bytes not in (1, 2, 4):
        raise argparse.ArgumentTypeError(f"parameter {name}: BYTES must be 1, 2 or 4")
    if not 0 <= value < 1 << (8 * n_bytes):
        raise argparse.ArgumentTypeError(f"parameter {name}: {value} does not fit in {n_bytes} unsigned byte(s)")
    return name, value, n_bytes


def _size(text: str) -> int:
    try:
        size = int(text)
    except ValueError:
        size = -1
    if size != 1 and not (size % 2 == 0 and 2 <= size <= 16):
        raise argparse.ArgumentTypeError(f"--bytes must be 1 or an even number from 2 to 16, got {text!r}")
    return size


def _positive(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not value > 0 or math.isinf(value):
        raise argparse.ArgumentTypeError(f"expected a positive number, got {text!r}")
    return value


class DemoLink:
    """One connection: a master handler, a software slave and the bus between them.

    Besides carrying frames, each cycle plays the two applications: the host drives
    the outputs (a counter and an enable bit toggling every half second) and asks for
    process data in the Data state; the slave reports its outputs back as inputs
    (enable inverted as STO_active, counter as echo) and answers with process data
    once connected."""

    def __init__(
        self,
        n_bytes: int = 2,
        cycle_ms: float = 1.0,
        watchdog_ms: int = 100,
        parameters: tuple[tuple[str, int, int], ...] = (),
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        self.n_bytes = n_bytes
        self.cycle_ms = cycle_ms
        self.watchdog_ms = watchdog_ms
        self.parameters = parameters
        self._clock = clock
        self.t0 = clock()
        self.events: list[Event] = []  # appended from the host's and the watchdog's thread
        self.want_process_data = True

        wide = n_bytes >= 4
        counter_type = DataType.UINT16 if wide else DataType.UINT8
        self.enable = DictionaryItemOutput(1, "enable", DataType.BOOL)
        self.counter = DictionaryItemOutput(2, "counter", counter_type)
        self.sto_active = DictionaryItemInput(3, "STO_active", DataType.BOOL, fail_safe_value=True)
        self.echo = DictionaryItemInput(4, "echo", counter_type, fail_safe_value=0)
        self.dictionary = Dictionary([self.enable, self.counter, self.sto_active, self.echo])
        self.counter_bits = 7 if n_bytes == 1 else 16 if wide else 8

        self.handler = MasterHandler(
            self.dictionary,
            slave_address=SLAVE_ADDRESS,
            connection_id=CONNECTION_ID,
            watchdog_timeout_s=watchdog_ms / 1000,
            application_parameters=[ApplicationParameter(n, v, n_bytes=b) for n, v, b in parameters],
            report_error_callback=self._on_error,
            state_change_callback=self._on_state,
        )
        # Same layout both ways, so the slave can loop its outputs back as inputs.
        for node_map, flag, count in (
            (self.handler.master.dictionary_map, self.enable, self.counter),
            (self.handler.slave.dictionary_map, self.sto_active, self.echo),
        ):
            node_map.add(flag)
            if n_bytes == 1:
                node_map.add(count, bits=7)
            else:
                node_map.add_padding(15 if wide else 7)
                node_map.add(count)
                if n_bytes * 8 > node_map.safety_bits:
                    node_map.add_padding(n_bytes * 8 - node_map.safety_bits)

        self.slave: SlaveSimulator = SlaveSimulator(
            SLAVE_ADDRESS,
            input_size=n_bytes,
            output_size=n_bytes,
            application_parameters=b"".join(v.to_bytes(b, "little") for _, v, b in parameters),
        )
        self.bus = InProcessBus(self.handler, self.slave, clock)
        self.state = self.handler.state
        self.state_since = self.t0
        self._count = 0
        self._rate_mark = (self.t0, 0)
        self.rate: float | None = None
        self.missed = 0  # schedule slots dropped by the live view's cycle thread

    # Callbacks: they may run on the watchdog thread, so they only append.
    def _now(self) -> float:
        return self._clock() - self.t0

    def _on_error(self, name: str, message: str) -> None:
        self.events.append(Event(self._now(), self.bus.cycles, "fault", name, message))

    def _on_state(self, state: type) -> None:
        self.state = state
        self.state_since = self._clock()
        self.events.append(Event(self._now(), self.bus.cycles, "state", state.__name__, inputs=self.inputs()))

    def inputs(self) -> dict[str, object]:
        return {"STO_active": self.sto_active.get(), "echo": self.echo.get()}

    def outputs(self) -> dict[str, object]:
        return {"enable": self.enable.get(), "counter": self.counter.get()}

    def inputs_fail_safe(self, inputs: dict[str, object]) -> bool:
        return inputs == FAIL_SAFE_INPUTS

    def live(self) -> bool:
        """True once the inputs carry the slave's process data (the echo is never 0 then)."""
        return self.state is StateData and self.echo.get() != 0

    def start(self) -> None:
        self.handler.start()
        self.events.append(Event(self._now(), self.bus.cycles, "start", "start()", "the master sends Reset requests"))

    def close(self) -> None:
        self.handler.stop()
        self.handler.delete()

    def inject(self, fault: Fault) -> None:
        self.events.append(Event(self._now(), self.bus.cycles, "inject", fault.name, fault.how))
        fault.inject(self)

    def set_process_data(self, wanted: bool) -> None:
        self.want_process_data = wanted
        what = "process data" if wanted else "fail-safe data"
        self.events.append(Event(self._now(), self.bus.cycles, "host", f"host asks for {what}"))
        if not wanted:
            self.handler.set_fail_safe(True)

    def master_command(self) -> str:
        request = self.handler.get_request()
        try:
            return FSOECommand(request[0]).name if request else "-"
        except ValueError:
            return f"0x{request[0]:02X}"

    def step(self) -> None:
        """One bus cycle with both applications."""
        now = self._clock()
        self._count = self._count % ((1 << self.counter_bits) - 1) + 1  # never 0: 0 is the fail-safe echo
        self.counter.set(self._count)
        self.enable.set(int((now - self.t0) / ENABLE_TOGGLE_S) % 2 == 1)
        if self.want_process_data and self.handler.state is StateData:
            self.handler.set_fail_safe(False)
        outputs = self.slave.outputs
        self.slave.inputs = bytes([outputs[0] ^ 1]) + outputs[1:]
        if self.slave.state == SlaveSimulator.State.DATA and not self.slave.process_data:
            self.slave.process_data = True
        self.bus.cycle()
        if now - self._rate_mark[0] >= 1.0:
            self.rate = (self.bus.cycles - self._rate_mark[1]) / (now - self._rate_mark[0])
            self._rate_mark = (now, self.bus.cycles)

    def cycle_rate(self) -> float:
        if self.rate is not None:
            return self.rate
        elapsed = self._clock() - self.t0
        return self.bus.cycles / elapsed if elapsed > 0 else 0.0

    def resets(self) -> tuple[dict[str, int], dict[str, int]]:
        """Reset frames by reason name: sent by the master, and by the slave on its own account."""

        def named(counts) -> dict[str, int]:
            return {FSOEError(code).name: n for code, n in sorted(counts.items())}

        return named(self.bus.master_resets_by_reason), named(self.slave.resets_sent_by_code)


# --- the scripted tour ------------------------------------------------------------


def _values(values: dict[str, object]) -> str:
    return " ".join(f"{k}={int(v) if isinstance(v, bool) else v}" for k, v in values.items())


def _format_event(event: Event) -> str:
    head = f"{event.t:9.3f} s  cycle {event.cycle:>6}  "
    if event.kind == "state":
        inputs = event.inputs or {}
        safe = " (fail-safe)" if inputs == FAIL_SAFE_INPUTS else ""
        return head + f"state -> {event.name:<16} inputs {_values(inputs)}{safe}"
    if event.kind == "fault":
        return head + f"detected  {event.name}: {event.message}"
    if event.kind == "inject":
        return head + f"inject    {event.name}: {event.message}"
    return head + f"{event.name}" + (f": {event.message}" if event.message else "")


def _ms(seconds: float | None) -> str:
    return "-" if seconds is None else f"{seconds * 1000:.2f} ms"


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
    _printed: int = 0

    def say(self, text: str = "") -> None:
        print(text, file=self.out, flush=True)

    def flush_events(self) -> None:
        events = self.link.events
        while self._printed < len(events):
            self.say(_format_event(events[self._printed]))
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
            self.say(
                f"{link._now():9.3f} s  cycle {link.bus.cycles:>6}  data      "
                f"{link.master_command():<13} outputs {_values(link.outputs())} | inputs {_values(link.inputs())}"
            )

    def fault(self, number: int, fault: Fault) -> TourRow:
        link = self.link
        self.say()
        self.say(f"Fault {number} of {len(FAULTS)}: {fault.name} (key {fault.key})")
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
                f"{link._now():9.3f} s  cycle {link.bus.cycles:>6}  "
                + (
                    f"recovered after {row.cycles_to_recover} cycles: inputs {_values(link.inputs())}"
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
        for number, fault in enumerate(FAULTS, 1):
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
        elapsed = link._now()
        sent, received = link.resets()
        self.say()
        self.say(
            f"Cycles: {link.bus.cycles} in {elapsed:.2f} s ({link.bus.cycles / elapsed:.0f} per second, "
            f"{self.pacer.missed} slots missed)"
        )
        self.say(
            f"Response time: last {_ms(link.bus.response_s)}, min {_ms(link.bus.response_min_s)}, "
            f"max {_ms(link.bus.response_max_s)}"
        )
        self.say("Resets sent by the master: " + (", ".join(f"{k} {v}" for k, v in sent.items()) or "none"))
        self.say("Resets sent by the slave:  " + (", ".join(f"{k} {v}" for k, v in received.items()) or "none"))
        failed = [row.fault.name for row in self.rows if not row.ok]
        if failed:
            self.say(f"Result: FAILED for {', '.join(failed)}")
        else:
            self.say(f"Result: all {len(self.rows)} faults detected, inputs fail-safe at once, connection recovered")


def run_tour(link: DemoLink, duration_s: float, out: TextIO | None = None, timeout_s: float | None = None) -> int:
    phase_s = duration_s / (len(FAULTS) + 1)
    tour = Tour(link, Pacer(link.cycle_ms / 1000), out or sys.stdout, phase_s=phase_s, timeout_s=timeout_s)
    try:
        return tour.run()
    finally:
        link.close()


# --- the live view ----------------------------------------------------------------

LEGEND = (
    "[b]c[/] CRC  [b]i[/] conn id  [b]u[/] unknown cmd  [b]w[/] wrong cmd  [b]r[/] slave reset  "
    "[b]p[/] replay  [b]s[/] silence  [b]f[/] fail-safe/process data  [b]q[/] quit"
)


def _render(link: DemoLink, log_lines: int = 12):
    from rich.console import Group
    from rich.panel import Panel
    from rich.table import Table

    bus = link.bus
    state = link.state.__name__
    since = time.monotonic() - link.state_since
    sent, received = link.resets()
    grid = Table.grid(padding=(0, 2))
    grid.add_column(style="bold")
    grid.add_column()
    colour = "green" if link.state is StateData else "yellow"
    grid.add_row("State", f"[{colour}]{state}[/] for {since:.1f} s")
    grid.add_row(
        "Master sends",
        f"{link.master_command()}  (host wants {'process' if link.want_process_data else 'fail-safe'} data)",
    )
    grid.add_row("Safe outputs", _values(link.outputs()))
    grid.add_row("Safe inputs", _values(link.inputs()))
    grid.add_row(
        "Cycles",
        f"{bus.cycles}  at {link.cycle_rate():.0f} per second (cycle {link.cycle_ms:g} ms, {link.missed} slots missed)",
    )
    grid.add_row(
        "Response time", f"{_ms(bus.response_s)}  (min {_ms(bus.response_min_s)}, max {_ms(bus.response_max_s)})"
    )
    grid.add_row("Resets sent", ", ".join(f"{k} {v}" for k, v in sent.items()) or "none")
    grid.add_row("Resets received", ", ".join(f"{k} {v}" for k, v in received.items()) or "none")
    log = Table.grid(padding=(0, 1))
    for event in link.events[-log_lines:]:
        style = "red" if event.kind == "fault" else "cyan" if event.kind == "inject" else ""
        log.add_row(f"[{style}]{_format_event(event)}[/]" if style else _format_event(event))
    title = (
        f"kestrel demo: MasterHandler <-> SlaveSimulator, {link.n_bytes} byte(s) each way, "
        f"watchdog {link.watchdog_ms} ms"
    )
    return Group(
        Panel(grid, title=title),
        Panel(log, title="Transitions and faults"),
        f"Keys: {LEGEND}",
    )


def _cycle_thread(link: DemoLink, stop: threading.Event, commands: collections.deque, errors: list) -> None:
    pacer = Pacer(link.cycle_ms / 1000)
    try:
        while not stop.is_set():
            while commands:
                commands.popleft()()
            link.step()
            pacer.wait()
            link.missed = pacer.missed
    except BaseException as exc:  # shown by the view, which then ends
        errors.append(exc)


def run_live(link: DemoLink) -> int:
    import os
    import select
    import termios
    import tty

    from rich.console import Console
    from rich.live import Live

    fd = sys.stdin.fileno()
    saved = termios.tcgetattr(fd)
    stop = threading.Event()
    commands: collections.deque = collections.deque()
    errors: list = []
    worker = threading.Thread(target=_cycle_thread, args=(link, stop, commands, errors), name="demo bus", daemon=True)
    switch = sys.getswitchinterval()
    interrupted = False
    try:
        tty.setcbreak(fd)
        sys.setswitchinterval(0.0005)  # the cycle thread waits less for the view's turn
        link.start()
        worker.start()
        console = Console()
        with Live(_render(link), console=console, screen=True, auto_refresh=False) as view:
            while worker.is_alive():
                ready, _, _ = select.select([fd], [], [], 0.1)
                keys = os.read(fd, 64).decode(errors="replace") if ready else ""
                if "q" in keys.lower():
                    break
                for key in keys.lower():
                    fault = FAULTS_BY_KEY.get(key)
                    if fault is not None:
                        commands.append(lambda fault=fault: _safe_inject(link, fault))
                    elif key == "f":
                        commands.append(lambda: link.set_process_data(not link.want_process_data))
                # What fits below the status panel (10 rows), the log's frame and the legend.
                view.update(_render(link, max(3, console.size.height - 14)), refresh=True)
    except KeyboardInterrupt:
        interrupted = True
    finally:
        stop.set()
        if worker.is_alive():
            worker.join(5)
        termios.tcsetattr(fd, termios.TCSADRAIN, saved)
        sys.setswitchinterval(switch)
        link.close()
    if errors:
        print(f"demo stopped: {errors[0]!r}", file=sys.stderr)
        return 1
    sent, received = link.resets()
    print(
        f"kestrel demo {'interrupted' if interrupted else 'ended'} after {link.bus.cycles} cycles; "
        f"faults reported: {sum(e.kind == 'fault' for e in link.events)}"
    )
    return 0


def _safe_inject(link: DemoLink, fault: Fault) -> None:
    try:
        link.inject(fault)
    except ValueError as exc:  # a replay before enough frames were sent
        link.events.append(Event(link._now(), link.bus.cycles, "host", f"{fault.name} not injected", str(exc)))


# --- command line -----------------------------------------------------------------


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--cycle-ms", type=_positive, default=1.0, help="bus cycle period in ms (default 1)")
    parser.add_argument(
        "--bytes", type=_size, default=2, help="safe-data bytes each way: 1 or even up to 16 (default 2)"
    )
    parser.add_argument(
        "--param",
        type=_parameter,
        action="append",
        default=[],
        metavar="NAME=VALUE[:BYTES]",
        help="an application parameter (BYTES 1, 2 or 4, default 2); may be repeated",
    )
    parser.add_argument("--watchdog-ms", type=int, help="watchdog time in ms (default: 100, at least 10 cycles)")
    parser.add_argument("--script", action="store_true", help="run the scripted tour even on a terminal")
    parser.add_argument(
        "--duration", type=_positive, metavar="S", help="run the scripted tour, exchanging data for about S seconds"
    )


def run(args: argparse.Namespace) -> int:
    watchdog_ms = args.watchdog_ms if args.watchdog_ms is not None else max(100, math.ceil(10 * args.cycle_ms))
    if not 1 <= watchdog_ms <= 65535:
        print("error: --watchdog-ms must be 1 to 65535", file=sys.stderr)
        return 2
    link = DemoLink(args.bytes, args.cycle_ms, watchdog_ms, tuple(args.param))
    interactive = not args.script and args.duration is None and sys.stdin.isatty() and sys.stdout.isatty()
    if interactive:
        try:
            import rich  # noqa: F401
        except ImportError:
            print("the live view needs rich (pip install 'kestrel[demo]'); running the scripted tour", file=sys.stderr)
        else:
            return run_live(link)
    return run_tour(link, args.duration if args.duration is not None else 2.0)
