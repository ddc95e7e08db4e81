"""The demo's application model: one connection, both applications and the faults to inject.

`DemoLink` holds a master handler, a software slave and the in-process bus between them.
Each `step()` is one bus cycle with both applications: the host drives the outputs (a
counter and an enable bit toggling every half second) and asks for process data in the
Data state; the slave reports its outputs back as inputs (enable inverted as STO_active,
the counter as echo) and answers with process data once connected.
"""

from __future__ import annotations

import math
import time
from dataclasses import dataclass
from typing import Callable

from ..kestrel import (
    ApplicationParameter,
    DataType,
    Dictionary,
    DictionaryItemInput,
    DictionaryItemOutput,
    FSOECommand,
    FSOEError,
    FSOEFrame,
    MasterHandler,
    SlaveSimulator,
    StateData,
)
from .bus import InProcessBus

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


class DemoLink:
    """One connection: a master handler, a software slave and the bus between them."""

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
        self._counter_at_bit = 1 if n_bytes == 1 else 16 if wide else 8

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
                node_map.add_padding(self._counter_at_bit - 1)
                node_map.add(count)
                if n_bytes * 8 > node_map.safety_bits:
                    node_map.add_padding(n_bytes * 8 - node_map.safety_bits)

        self.slave: SlaveSimulator = SlaveSimulator(
            SLAVE_ADDRESS,
            input_size=n_bytes,
            output_size=n_bytes,
            application_parameters=b"".join(v.to_bytes(b, "little") for _, v, b in parameters),
        )
        self.bus = InProcessBus(self.handler, self.slave)
        self.state = self.handler.state
        self.state_since = self.t0
        self._count = 0
        self._rate_mark = (self.t0, 0)
        self.rate: float | None = None
        self.missed = 0  # schedule slots dropped by the live view's cycle thread

    # Callbacks: they may run on the watchdog thread, so they only append.
    def now(self) -> float:
        """Seconds since the link was made."""
        return self._clock() - self.t0

    def _on_error(self, name: str, message: str) -> None:
        self.events.append(Event(self.now(), self.bus.cycles, "fault", name, message))

    def _on_state(self, state: type) -> None:
        self.state = state
        self.state_since = self._clock()
        self.events.append(Event(self.now(), self.bus.cycles, "state", state.__name__, inputs=self.inputs()))

    def inputs(self) -> dict[str, object]:
        return {"STO_active": self.sto_active.get(), "echo": self.echo.get()}

    def outputs(self) -> dict[str, object]:
        """The host's output values (what the master sends only while it sends process data)."""
        return {"enable": self.enable.get(), "counter": self.counter.get()}

    def _unpack(self, data: bytes) -> dict[str, object]:
        bits = int.from_bytes(data[: self.n_bytes], "little")
        counter = (bits >> self._counter_at_bit) & ((1 << self.counter_bits) - 1)
        return {"enable": bool(bits & 1), "counter": counter}

    def sent(self) -> tuple[str, dict[str, object] | None]:
        """The command of the request on the wire and the outputs in its safe data.

        Read from the request's bytes; None for a frame that carries no outputs (set-up
        and Reset frames). Under FAILSAFE_DATA the frame still carries the outputs, but
        the slave does not apply them (see `slave_outputs`)."""
        request = self.handler.get_request()
        if not request:
            return "-", None
        try:
            command = FSOECommand(request[0])
        except ValueError:
            return f"0x{request[0]:02X}", None
        if command not in (FSOECommand.PROCESS_DATA, FSOECommand.FAILSAFE_DATA):
            return command.name, None
        frame = FSOEFrame.frame_from_array(request)
        return command.name, self._unpack(frame.get_safe_data_bytes())

    def slave_outputs(self) -> dict[str, object]:
        """The outputs the slave applies: zeros unless it takes process data."""
        return self._unpack(self.slave.outputs)

    def inputs_fail_safe(self, inputs: dict[str, object]) -> bool:
        return inputs == FAIL_SAFE_INPUTS

    def live(self) -> bool:
        """True once the inputs carry the slave's process data (the echo is never 0 then)."""
        return self.state is StateData and self.echo.get() != 0

    def start(self) -> None:
        self.handler.start()
        self.events.append(Event(self.now(), self.bus.cycles, "start", "start()", "the master sends Reset requests"))

    def close(self) -> None:
        self.handler.stop()
        self.handler.delete()

    def inject(self, fault: Fault) -> None:
        self.events.append(Event(self.now(), self.bus.cycles, "inject", fault.name, fault.how))
        fault.inject(self)

    def set_process_data(self, wanted: bool) -> None:
        self.want_process_data = wanted
        what = "process data" if wanted else "fail-safe data"
        self.events.append(Event(self.now(), self.bus.cycles, "host", f"host asks for {what}"))
        if not wanted:
            self.handler.set_fail_safe(True)

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

    def response_times(self) -> dict[str, float] | None:
        """The handler's response times (last, min, max in seconds), None before the first."""
        return self.handler.statistics["response_time_s"]

    def resets(self) -> tuple[dict[str, int], dict[str, int]]:
        """Reset frames by reason name: sent by the master, and by the slave on its own account."""

        def named(counts) -> dict[str, int]:
            return {_reason(code): n for code, n in sorted(counts.items())}

        return named(self.handler.statistics["resets_sent"]), named(self.slave.resets_sent_by_code)


def _reason(code: int) -> str:
    try:
        return FSOEError(code).name
    except ValueError:
        return f"0x{code:02X}"


# --- text forms shared by the tour and the live view ----------------------------------


def values_text(values: dict[str, object] | None) -> str:
    if values is None:
        return "-"
    return " ".join(f"{k}={int(v) if isinstance(v, bool) else v}" for k, v in values.items())


def event_text(event: Event) -> str:
    head = f"{event.t:9.3f} s  cycle {event.cycle:>6}  "
    if event.kind == "state":
        inputs = event.inputs or {}
        safe = " (fail-safe)" if inputs == FAIL_SAFE_INPUTS else ""
        return head + f"state -> {event.name:<16} inputs {values_text(inputs)}{safe}"
    if event.kind == "fault":
        return head + f"detected  {event.name}: {event.message}"
    if event.kind == "inject":
        return head + f"inject    {event.name}: {event.message}"
    return head + f"{event.name}" + (f": {event.message}" if event.message else "")


def ms_text(seconds: float | None) -> str:
    return "-" if seconds is None else f"{seconds * 1000:.2f} ms"


def response_text(times: dict[str, float] | None) -> tuple[str, str, str]:
    """Last, min and max response time as text."""
    if times is None:
        return "-", "-", "-"
    return ms_text(times["last"]), ms_text(times["min"]), ms_text(times["max"])
