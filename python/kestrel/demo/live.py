"""The live view: the connection's state, data and faults on a terminal, keys inject faults.

Needs `rich` (pip install 'kestrel[demo]'). The bus cycles on a thread of its own; the
view only reads the link and queues the keys' commands for that thread.
"""

from __future__ import annotations

import collections
import contextlib
import sys
import threading
import time
from typing import Callable, Iterator

from ..kestrel import StateData
from .bus import Pacer
from .link import FAULTS_BY_KEY, DemoLink, Event, Fault, event_text, response_text, values_text

LEGEND = (
    "[b]c[/] CRC  [b]i[/] conn id  [b]u[/] unknown cmd  [b]w[/] wrong cmd  [b]r[/] slave reset  "
    "[b]p[/] replay  [b]s[/] silence  [b]f[/] fail-safe/process data  [b]q[/] quit"
)


def _render(link: DemoLink, log_lines: int = 12):
    from rich.console import Group
    from rich.panel import Panel
    from rich.table import Table

    bus = link.bus
    command, wire = link.sent()
    last, fastest, slowest = response_text(link.response_times())
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
        f"{command}  (host wants {'process' if link.want_process_data else 'fail-safe'} data)",
    )
    # What the request carries and what the slave makes of it: under FAILSAFE_DATA the
    # frame still holds the outputs, and the slave applies its fail-safe (zero) outputs.
    ignored = "  (fail-safe data: not applied)" if command == "FAILSAFE_DATA" else ""
    grid.add_row("Outputs sent", values_text(wire) + ignored)
    grid.add_row("Slave applies", values_text(link.slave_outputs()))
    grid.add_row("Safe inputs", values_text(link.inputs()))
    grid.add_row(
        "Cycles",
        f"{bus.cycles}  at {link.cycle_rate():.0f} per second (cycle {link.cycle_ms:g} ms, {link.missed} slots missed)",
    )
    grid.add_row(
        "Response time", f"{last}  (min {fastest}, max {slowest})"
    )
    grid.add_row("Resets sent", ", ".join(f"{k} {v}" for k, v in sent.items()) or "none")
    grid.add_row("Resets received", ", ".join(f"{k} {v}" for k, v in received.items()) or "none")
    log = Table.grid(padding=(0, 1))
    for event in link.events[-log_lines:]:
        style = "red" if event.kind == "fault" else "cyan" if event.kind == "inject" else ""
        log.add_row(f"[{style}]{event_text(event)}[/]" if style else event_text(event))
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


@contextlib.contextmanager
def terminal_keys() -> Iterator[Callable[[float], str]]:
    """The terminal in cbreak mode for the block; yields read(timeout_s), which
    returns the keys typed meanwhile (lower case, '' after the timeout)."""
    import os
    import select
    import termios
    import tty

    fd = sys.stdin.fileno()
    saved = termios.tcgetattr(fd)

    def read(timeout_s: float) -> str:
        ready, _, _ = select.select([fd], [], [], timeout_s)
        return os.read(fd, 64).decode(errors="replace").lower() if ready else ""

    try:
        tty.setcbreak(fd)
        yield read
    finally:
        termios.tcsetattr(fd, termios.TCSADRAIN, saved)


def run_live(link: DemoLink) -> int:
    from rich.console import Console
    from rich.live import Live

    stop = threading.Event()
    commands: collections.deque = collections.deque()
    errors: list = []
    worker = threading.Thread(target=_cycle_thread, args=(link, stop, commands, errors), name="demo bus", daemon=True)
    switch = sys.getswitchinterval()
    interrupted = False
    with terminal_keys() as read_keys:
        try:
            sys.setswitchinterval(0.0005)  # the cycle thread waits less for the view's turn
            link.start()
            worker.start()
            console = Console()
            with Live(_render(link), console=console, screen=True, auto_refresh=False) as view:
                while worker.is_alive():
                    keys = read_keys(0.1)
                    if "q" in keys:
                        break
                    for key in keys:
                        fault = FAULTS_BY_KEY.get(key)
                        if fault is not None:
                            commands.append(lambda fault=fault: _safe_inject(link, fault))
                        elif key == "f":
                            commands.append(lambda: link.set_process_data(not link.want_process_data))
                    # What fits below the status panel (11 rows), the log's frame and the legend.
                    view.update(_render(link, max(3, console.size.height - 15)), refresh=True)
        except KeyboardInterrupt:
            interrupted = True
        finally:
            stop.set()
            if worker.is_alive():
                worker.join(5)
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
        link.events.append(Event(link.now(), link.bus.cycles, "host", f"{fault.name} not injected", str(exc)))


