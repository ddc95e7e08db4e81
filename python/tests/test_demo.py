"""python -m kestrel demo: the scripted tour, the bus it runs on, and the live view in a terminal."""

import io
import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys
import time
import uuid

import pytest

import kestrel
from kestrel import demo
from kestrel.demo.bus import Pacer
from kestrel.__main__ import main

PACKAGE_ROOT = str(pathlib.Path(kestrel.__file__).resolve().parents[1])
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [PACKAGE_ROOT, os.environ.get("PYTHONPATH")]))}

# What each fault of the tour must be caught by, once the connection is in the Data state.
DETECTED_BY = {
    "corrupted CRC": ("DATA_FAIL1", "Invalid slave CRC"),
    "wrong connection id": ("DATA_FAIL2", "Connection id exchanged does not match 8 != 7"),
    "unknown command": ("DATA_FAIL4", "Invalid slave frame command"),
    "wrong command": ("DATA_FAIL3", "Invalid slave frame command"),
    "slave reset": ("DATA_RESET1", "Connection was reset by the slave (slave reported error RESET)"),
    "replay": ("DATA_FAIL1", "Invalid slave CRC"),
    "silence": ("DATA_WD", "The watchdog of the master expired"),
}

TOURS = {
    "2 bytes": ["--script", "--duration", "0.4"],
    "1 byte, parameters": ["--bytes", "1", "--param", "brake_ms=250", "--param", "mode=3:1", "--duration", "0.4"],
    "16 bytes, 2 ms": ["--bytes", "16", "--cycle-ms", "2", "--watchdog-ms", "60", "--duration", "0.4"],
}


@pytest.fixture(scope="module", params=list(TOURS), ids=list(TOURS))
def tour(request):
    # stdin is not a terminal here, so even without --script the demo runs the tour.
    done = subprocess.run(
        [sys.executable, "-m", "kestrel", "demo", *TOURS[request.param]],
        capture_output=True,
        text=True,
        env=ENV,
        stdin=subprocess.DEVNULL,
        timeout=60,
    )
    return done


def test_tour_passes_and_reports_every_fault(tour):
    assert tour.returncode == 0, tour.stdout + tour.stderr
    out = tour.stdout
    assert "state -> StateData" in out.split("Exchanging data")[0]
    assert re.search(r"data      PROCESS_DATA  outputs enable=\d counter=\d+ \| inputs STO_active=\d echo=[1-9]", out)
    summary = out.split("\nSummary\n")[1]
    for fault, (transition, message) in DETECTED_BY.items():
        # The fault's section shows the detection as it happened, the fail-safe inputs right after it,
        # and the recovery; the summary row repeats it with the number of cycles.
        section = out.split(f": {fault} (key ")[1].split("\nFault ")[0]
        assert f"detected  {transition}: {message}" in section
        after = section.split(f"detected  {transition}")[1].splitlines()[1]
        assert "echo=0 (fail-safe)" in after
        assert re.search(r"recovered after \d+ cycles: inputs STO_active=\d echo=[1-9]", section)
        row = next(line for line in summary.splitlines() if line.strip().startswith(fault))
        assert re.fullmatch(rf"\s*{fault}\s+{transition}\s+{re.escape(message)}\s+fail-safe\s+\d+", row)
    assert "Result: all 7 faults detected, inputs fail-safe at once, connection recovered" in out
    assert re.search(r"Resets sent by the master: .*INVALID_CRC 2", out)


def test_tour_fails_when_a_fault_goes_unnoticed():
    harmless = demo.Fault("x", "nothing at all", "no fault is injected", lambda link: None)
    out = io.StringIO()
    link = demo.DemoLink(watchdog_ms=50)
    status = demo.run_tour(link, duration_s=0.15, out=out, timeout_s=0.2, faults=(demo.FAULTS[0], harmless))
    text = out.getvalue()
    assert status == 1
    assert re.search(r"nothing at all\s+NOT DETECTED\s+NOT SAFE\s+not recovered", text)
    assert "Result: FAILED for nothing at all" in text


class FakeClock:
    def __init__(self):
        self.now = 100.0
        self.sleeps = []

    def __call__(self):
        return self.now

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.now += seconds


def test_pacer_keeps_the_schedule_and_drops_missed_slots():
    clock = FakeClock()
    pacer = Pacer(0.001, clock, clock.sleep)
    start = clock.now
    pacer.wait()  # the first call fixes the schedule: slots at start + k ms
    for work in [0.0002, 0.0009, 0.0004] * 10:
        clock.now += work  # the cycle's own time does not push the later slots back
        pacer.wait()
    assert clock.now == pytest.approx(start + 0.031)
    assert pacer.missed == 0
    clock.now += 0.0035  # a stall: the slots of 32 and 33 ms are dropped, the late cycle runs at once
    pacer.wait()
    assert pacer.missed == 2 and clock.now == pytest.approx(start + 0.0345)
    pacer.wait()
    assert clock.now == pytest.approx(start + 0.035)


def test_pacer_refuses_a_period_that_is_not_positive():
    with pytest.raises(ValueError):
        Pacer(0)


def test_bus_answer_takes_one_cycle_and_resets_are_counted_by_reason():
    clock = FakeClock()
    link = demo.DemoLink(clock=clock)
    try:
        link.start()
        for _ in range(40):
            link.step()
            clock.now += 0.001
        assert link.live()
        link.inject(demo.FAULTS_BY_KEY["c"])
        for _ in range(40):
            link.step()
            clock.now += 0.001
        assert link.live()
        times = link.response_times()  # the handler's own, on its clock
        assert times is not None and 0 < times["min"] <= times["last"] <= times["max"]
        sent, received = link.resets()
        assert sent == {"RESET": 1, "INVALID_CRC": 1} and received == {}
        # The slave loops its outputs back (enable inverted as STO_active, the counter as echo), two
        # cycles late: its inputs come from the request before the one it answers.
        assert link.echo.get() == link.counter.get() - 2
        assert link.sto_active.get() is (not link.enable.get())
    finally:
        link.close()


@pytest.mark.parametrize(
    "args",
    [["--bytes", "3"], ["--bytes", "18"], ["--bytes", "0"], ["--cycle-ms", "0"], ["--param", "x=70000:2"],
     ["--param", "novalue"], ["--param", "x=1:3"], ["--duration", "-1"]],
)
def test_bad_arguments_are_refused(args, capsys):
    with pytest.raises(SystemExit) as exit_info:
        main(["demo", *args])
    assert exit_info.value.code == 2
    assert "error:" in capsys.readouterr().err


# --- the live view in a real terminal ---------------------------------------------


class Tmux:
    def __init__(self, command: str):
        self.socket = f"kestrel-test-{uuid.uuid4().hex[:8]}"
        self.run("-f", "/dev/null", "new-session", "-d", "-s", "demo", "-x", "120", "-y", "40", command)

    def run(self, *args):
        return subprocess.run(["tmux", "-L", self.socket, *args], capture_output=True, text=True, env=ENV, timeout=10)

    def screen(self) -> str:
        return self.run("capture-pane", "-p", "-t", "demo").stdout

    def wait_for(self, text: str, timeout_s: float = 30) -> str:
        deadline = time.monotonic() + timeout_s
        while time.monotonic() < deadline:
            screen = self.screen()
            if text in screen:
                return screen
            time.sleep(0.1)
        raise AssertionError(f"{text!r} not on the screen:\n{self.screen()}")

    def close(self):
        self.run("kill-server")


@pytest.mark.skipif(shutil.which("tmux") is None, reason="needs tmux")
@pytest.mark.parametrize("quit_key", ["q", "C-c"])
def test_live_view_in_a_terminal(quit_key, tmp_path):
    pytest.importorskip("rich")
    # After the demo the shell prints its exit status and the terminal's modes.
    command = (
        f"cd {shlex.quote(str(tmp_path))}; {shlex.quote(sys.executable)} -m kestrel demo; "
        "echo EXIT=$?; stty -a | tr ' ;' '\\n\\n' | grep -x -- '-\\?icanon\\|-\\?echo' | tr '\\n' ' '; "
        "echo END; sleep 30"
    )
    tmux = Tmux(command)
    try:
        screen = tmux.wait_for("StateData for")
        assert "Keys: c CRC" in screen and "q quit" in screen
        tmux.run("send-keys", "-t", "demo", "c")
        tmux.wait_for("detected  DATA_FAIL1: Invalid slave CRC")
        tmux.run("send-keys", "-t", "demo", "i")
        tmux.wait_for("detected  DATA_FAIL2: Connection id exchanged does not match 8 != 7")
        tmux.run("send-keys", "-t", "demo", "f")
        screen = tmux.wait_for("FAILSAFE_DATA  (host wants fail-safe data)")
        # The request still carries the host's outputs, which the slave does not apply.
        assert re.search(r"Outputs sent +enable=\d counter=\d+ +\(fail-safe data: not applied\)", screen)
        assert re.search(r"Slave applies +enable=0 counter=0 ", screen)
        tmux.run("send-keys", "-t", "demo", quit_key)
        screen = tmux.wait_for("END")
        ending = "interrupted" if quit_key == "C-c" else "ended"
        assert re.search(rf"kestrel demo {ending} after \d+ cycles; faults reported: 2", screen)
        assert "EXIT=0" in screen
        assert "icanon echo" in screen  # the terminal is back in its usual mode
    finally:
        tmux.close()
