"""The watchdog thread as a Python host sees it."""

import enum
import gc
import logging
import math
import subprocess
import sys
import textwrap
import threading
import time
import weakref

import pytest

from kestrel.kestrel import Watchdog, WatchdogCommand

NOT_RUNNING = "FSoE Watchdog thread is not running"
CRASHED = "FSoE Watchdog thread crashed. Restarting..."


def wait_until(predicate, limit=3.0):
    end = time.monotonic() + limit
    while not predicate():
        if time.monotonic() > end:
            return False
        time.sleep(0.002)
    return True


@pytest.fixture
def make_watchdog():
    created = []

    def make(timeout_s, callback=lambda: None, start=True):
        wd = Watchdog(timeout_s, callback)
        created.append(wd)
        if start:
            wd.start()
        return wd

    yield make
    for wd in created:
        if wd.is_alive():
            wd.stop()


def test_watchdog_command_is_a_plain_enum():
    assert issubclass(WatchdogCommand, enum.Enum)
    assert not issubclass(WatchdogCommand, int)
    assert [(m.name, m.value) for m in WatchdogCommand] == [
        ("ACTIVATE", 1),
        ("DEACTIVATE", 2),
        ("RESET", 3),
        ("STOP", 4),
    ]
    assert WatchdogCommand(4) is WatchdogCommand.STOP
    assert WatchdogCommand.RESET != 3


def test_resets_within_the_timeout_prevent_expiry_then_it_repeats_until_deactivated(make_watchdog):
    calls = []
    wd = make_watchdog(0.2, lambda: calls.append(time.monotonic()))
    wd.activate()
    assert wd.active
    for _ in range(12):
        time.sleep(0.05)
        wd.reset()
    assert calls == []

    last_reset = time.monotonic()
    assert wait_until(lambda: len(calls) >= 4)
    assert 0.18 <= calls[0] - last_reset <= 0.4
    gaps = [b - a for a, b in zip(calls, calls[1:])]
    assert all(0.18 <= g <= 0.4 for g in gaps), gaps

    wd.deactivate()
    assert not wd.active
    count = len(calls)
    time.sleep(0.45)
    assert len(calls) == count
    assert wd.is_alive()


def test_expiry_counts_from_the_reset_not_from_when_the_thread_notices_it(make_watchdog):
    # The thread first wakes 0.3 s after activation, finds the reset made at
    # 0.05 s and must fire at 0.35 s, not a full timeout after waking (0.6 s).
    calls = []
    wd = make_watchdog(0.3, lambda: calls.append(time.monotonic()))
    wd.activate()
    time.sleep(0.05)
    wd.reset()
    reset_at = time.monotonic()
    assert wait_until(lambda: calls)
    assert 0.28 <= calls[0] - reset_at <= 0.5


def test_activate_when_active_returns_without_restarting_the_timing(make_watchdog, caplog):
    calls = []
    wd = make_watchdog(0.3, lambda: calls.append(time.monotonic()))
    wd.activate()
    activated_at = time.monotonic()
    time.sleep(0.2)
    wd.activate()
    wd.activate_and_reset()  # the reset does restart it
    reset_at = time.monotonic()
    assert wait_until(lambda: calls)
    assert 0.28 <= calls[0] - reset_at <= 0.5
    assert calls[0] - activated_at >= 0.45
    assert not caplog.records


@pytest.mark.parametrize("state", ["not started", "running", "stopped"])
def test_deactivate_when_inactive_returns_at_once(make_watchdog, state):
    wd = make_watchdog(0.05, start=state != "not started")
    if state == "stopped":
        wd.stop()
    t0 = time.monotonic()
    assert wd.deactivate() is None
    assert time.monotonic() - t0 < 0.5
    assert not wd.active


@pytest.mark.parametrize(
    "state, operation",
    [
        (state, operation)
        for state in ("not started", "stopped")
        for operation in ("reset", "activate", "stop", "activate_and_reset")
    ]
    + [("stopped", "deactivate when active")],
)
def test_commands_without_a_running_thread_raise(make_watchdog, state, operation):
    wd = make_watchdog(0.5, start=state != "not started")
    if operation == "deactivate when active":
        wd.activate()
    if state == "stopped":
        wd.stop()
        assert not wd.is_alive()
    method = getattr(wd, operation.split()[0])
    with pytest.raises(RuntimeError, match=f"^{NOT_RUNNING}$"):
        method()


def test_thread_methods(make_watchdog):
    wd = make_watchdog(0.5, start=False)
    assert not wd.is_alive()
    with pytest.raises(RuntimeError, match="^cannot join thread before it is started$"):
        wd.join()
    wd.start()
    assert wd.is_alive()
    with pytest.raises(RuntimeError, match="^threads can only be started once$"):
        wd.start()
    t0 = time.monotonic()
    assert wd.join(timeout=0.05) is None
    assert 0.04 <= time.monotonic() - t0 < 1.0
    assert wd.is_alive()
    wd.stop()
    wd.join()
    assert not wd.is_alive()
    with pytest.raises(RuntimeError, match="^threads can only be started once$"):
        wd.start()


@pytest.mark.parametrize(
    "timeout, error",
    [(-0.1, ValueError), (math.nan, ValueError), ("0.1", TypeError), (None, TypeError)],
)
def test_invalid_timeout(timeout, error):
    with pytest.raises(error):
        Watchdog(timeout, lambda: None)


def test_callback_runs_on_the_watchdog_thread(make_watchdog):
    seen = []
    wd = make_watchdog(0.02, lambda: seen.append(threading.get_ident()))
    wd.activate()
    assert wait_until(lambda: len(seen) >= 2)
    wd.deactivate()
    assert len(set(seen)) == 1
    assert seen[0] != threading.get_ident()


@pytest.mark.parametrize("name, expected", [(None, "FSoE watchdog"), ("FSoE watchdog (slave 5, connection 7)", None)])
def test_the_watchdog_is_a_thread_the_host_knows(name, expected):
    seen = []
    wd = Watchdog(0.02, lambda: seen.append((threading.current_thread(), threading.enumerate())), name=name)
    assert isinstance(wd, threading.Thread)
    assert wd.name == (expected or name)
    assert wd.daemon  # stopped at interpreter exit; see the exit tests
    assert wd not in threading.enumerate()
    wd.start()
    try:
        assert wd in threading.enumerate()
        assert wd.ident is not None and wd.ident != threading.get_ident()
        wd.activate()
        assert wait_until(lambda: seen)
    finally:
        wd.stop()
    wd.join()
    current, listed = seen[0]
    assert current is wd
    assert wd in listed
    assert wd not in threading.enumerate()
    assert "stopped" in repr(wd)


def test_run_belongs_to_the_watchdog_thread(make_watchdog):
    wd = make_watchdog(10.0, start=False)
    with pytest.raises(RuntimeError):
        wd.run()  # a host calling it directly would block in the body
    wd.start()
    with pytest.raises(RuntimeError):
        wd.run()
    wd.activate()
    assert wd.active


def test_subclass_overriding_run_still_stops_and_is_collected():
    class Quiet(Watchdog):
        def run(self):
            pass  # the body never runs: commands must not wait for it forever

    wd = Quiet(0.01, lambda: None)
    wd.start()
    wd.join()
    t0 = time.monotonic()
    wd.stop()  # waits its 5 s at most; must not hang
    del wd
    gc.collect()
    assert time.monotonic() - t0 < 6.0


def test_failing_callback_is_logged_per_expiry_and_the_watchdog_keeps_running(make_watchdog, caplog):
    calls = []

    def failing_callback():
        calls.append(1)
        raise ValueError("lost cycle")

    caplog.set_level(logging.ERROR)
    wd = make_watchdog(0.03, failing_callback)
    wd.activate()
    assert wait_until(lambda: len(calls) >= 3)
    wd.deactivate()
    assert wd.is_alive()

    records = [r for r in caplog.records if r.getMessage() == CRASHED]
    assert len(records) == len(calls) == len(caplog.records)
    for record in records:
        assert record.name == "root"
        assert record.levelno == logging.ERROR
        assert record.exc_info[0] is ValueError
        assert str(record.exc_info[1]) == "lost cycle"
    assert "in failing_callback" in caplog.text
    assert 'raise ValueError("lost cycle")' in caplog.text

    # Still watching after the failures.
    calls.clear()
    wd.activate()
    assert wait_until(lambda: calls)


def test_blocking_commands_let_the_callback_run_meanwhile(make_watchdog):
    # The callback needs the GIL to finish; deactivate() waits for it to
    # return and must not hold the GIL while doing so.
    started = threading.Event()

    def busy_callback():
        started.set()
        end = time.monotonic() + 0.3
        while time.monotonic() < end:
            pass

    wd = make_watchdog(0.01, busy_callback)
    wd.activate()
    assert started.wait(2)
    t0 = time.monotonic()
    wd.deactivate()
    assert not wd.active
    assert time.monotonic() - t0 < 2.5


def test_commands_from_the_callback_take_effect_without_waiting(make_watchdog):
    took = []

    def callback():
        t0 = time.monotonic()
        wd.stop()
        took.append(time.monotonic() - t0)

    wd = make_watchdog(0.02, callback)
    wd.activate()
    wd.join(timeout=3)
    assert not wd.is_alive()
    assert len(took) == 1 and took[0] < 1.0


@pytest.mark.parametrize(
    "before_stop, after_stop, active_after",
    [
        ((), ("reset", "deactivate", "stop"), True),
        (("deactivate",), ("activate", "activate_and_reset"), False),
    ],
)
def test_commands_from_the_callback_after_it_stopped_the_watchdog_raise(
    make_watchdog, before_stop, after_stop, active_after
):
    outcomes = []

    def callback():
        for name in before_stop:
            getattr(wd, name)()
        wd.stop()
        for name in after_stop:
            try:
                getattr(wd, name)()
                outcomes.append(None)
            except RuntimeError as e:
                outcomes.append(str(e))

    wd = make_watchdog(0.02, callback)
    wd.activate()
    wd.join(timeout=3)
    assert not wd.is_alive()
    assert outcomes == [NOT_RUNNING] * len(after_stop)
    assert wd.active is active_after


def test_dropped_watchdog_runs_as_a_thread_until_stopped_then_is_collected():
    # Like any running thread, it keeps itself and what its callback refers to.
    calls = []

    class Owner:
        def __init__(self):
            self.watchdog = Watchdog(0.02, self.expired)
            self.watchdog.start()
            self.watchdog.activate()

        def expired(self):
            calls.append(1)

    owner = Owner()
    owner_ref = weakref.ref(owner)
    assert wait_until(lambda: calls)
    del owner
    gc.collect()
    count = len(calls)
    assert wait_until(lambda: len(calls) > count)
    wd = owner_ref().watchdog
    assert wd in threading.enumerate()
    wd.stop()
    wd.join()
    count = len(calls)
    del wd
    gc.collect()
    assert owner_ref() is None
    time.sleep(0.05)
    assert len(calls) == count


def test_collected_watchdog_never_calls_a_callback_the_collector_took_apart():
    # Closures in a cycle with their watchdog, which stops itself from the
    # callback (or never starts): once its thread ends the cycle is garbage,
    # and no callback may run on a closure the collector took apart.
    torn = []

    def make(start):
        cell = {}

        def expired():
            try:
                cell["calls"] = cell.get("calls", 0) + 1
                if cell["calls"] == 3:
                    cell["watchdog"].stop()
            except (NameError, KeyError) as error:
                torn.append(error)

        cell["watchdog"] = Watchdog(0.0, expired)
        if start:
            cell["watchdog"].start()
            cell["watchdog"].activate()
        return weakref.ref(cell["watchdog"])

    refs = []
    for i in range(20):
        refs.append(make(start=i % 4 != 0))
        time.sleep(0.001)
        gc.collect()
    assert wait_until(lambda: (gc.collect(), all(r() is None for r in refs))[1])
    assert torn == []


@pytest.mark.parametrize("timeout", [-1.0, math.nan])
def test_collecting_a_watchdog_whose_init_failed_leaves_the_callback_alone(timeout):
    class Callback:
        def __call__(self):
            pass

    callback = Callback()
    references = sys.getrefcount(callback)
    wd = Watchdog.__new__(Watchdog)
    with pytest.raises(ValueError):
        wd.__init__(timeout, callback)
    cycle = [wd]
    cycle.append(cycle)
    del wd, cycle
    gc.collect()
    assert sys.getrefcount(callback) == references


EXIT_SCRIPTS = {
    "expiring": """
        wd = Watchdog(0.005, lambda: None)
        wd.start()
        wd.activate()
        time.sleep(0.05)
    """,
    "idle": """
        wd = Watchdog(1.0, lambda: None)
        wd.start()
    """,
    "callback running at exit": """
        entered = threading.Event()
        def slow():
            entered.set()
            time.sleep(0.2)
        wd = Watchdog(0.005, slow)
        wd.start()
        wd.activate()
        entered.wait(2)
    """,
    "callback stuck at exit": """
        entered = threading.Event()
        def stuck():
            entered.set()
            time.sleep(30)
        wd = Watchdog(0.005, stuck)
        wd.start()
        wd.activate()
        entered.wait(2)
    """,
    "owner cycle": """
        class Owner:
            def __init__(self):
                self.wd = Watchdog(0.005, self.expired)
                self.wd.start()
                self.wd.activate()
            def expired(self):
                pass
        owner = Owner()
        time.sleep(0.05)
    """,
    "never started": """
        wd = Watchdog(1.0, lambda: None)
    """,
    "callback calling back at exit": """
        entered = threading.Event()
        def calling_back():
            entered.set()
            time.sleep(0.1)
            for operation in (wd.reset, wd.deactivate, wd.activate_and_reset, wd.stop):
                try:
                    operation()
                except RuntimeError:
                    pass
        wd = Watchdog(0.005, calling_back)
        wd.start()
        wd.activate()
        entered.wait(2)
    """,
    # A daemon cycle thread still waits in the watchdog when the interpreter
    # finalises: it must not take the process down with it.
    "daemon thread inside a call at exit": """
        wd = Watchdog(0.005, lambda: None)
        wd.start()
        def cycle():
            while True:
                try:
                    wd.activate_and_reset()
                    wd.deactivate()
                    wd.join(0.001)
                except RuntimeError:
                    pass
        threading.Thread(target=cycle, daemon=True).start()
        time.sleep(0.05)
    """,
    "host exit hook using it": """
        import atexit
        wd = Watchdog(0.005, lambda: None)
        wd.start()
        wd.activate()
        def bye():
            try:
                wd.reset()
            except RuntimeError:
                pass
            wd.deactivate()
            late = Watchdog(0.005, lambda: None)
            late.start()
            late.activate()
            time.sleep(0.02)
            late.stop()
        atexit.register(bye)
    """,
}


@pytest.mark.parametrize("script", EXIT_SCRIPTS, ids=list(EXIT_SCRIPTS))
def test_process_exits_promptly_without_stopping_its_watchdogs(script):
    code = "import threading, time\nfrom kestrel.kestrel import Watchdog\n"
    code += textwrap.dedent(EXIT_SCRIPTS[script])
    code += "print(time.time(), flush=True)\n"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=20)
    exited_at = time.time()
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    assert exited_at - float(result.stdout.split()[-1]) < 1.0
