"""The handler's statistics as a host's display or log reads them: transition counts
against the transition trace, the last fault, resets each way by code, cycles, time
in Data, response times, clearing and switching off; the error code texts."""

import collections
import time

import pytest

import kestrel
import kestrel.kestrel as kk
from kestrel import FSOEError, StateData, StateReset
from test_handler import Rig

PREFIX = "MASTER | TRANSITION | "


@pytest.fixture
def rig():
    r = Rig(out_size=2, in_size=2, params=((0x1234, 2),))
    yield r
    r.h.delete()


class Counted:
    """Drives the rig and keeps its own count of the new replies handed over."""

    def __init__(self, rig):
        self.rig, self.new_replies, self.last = rig, 0, None

    def cycle(self, n=1):
        for _ in range(n):
            reply = self.rig.slave.step(self.rig.h.get_request())
            if reply != self.last and self.rig.h.running:
                self.new_replies += 1
            self.last = reply
            self.rig.h.set_reply(reply)

    def run_to(self, state):
        for _ in range(80):
            if self.rig.h.state is state:
                return
            self.cycle()
        raise AssertionError(f"{state.__name__} not reached")


def test_fresh_handler_has_empty_statistics(rig):
    s = rig.h.statistics
    assert s == {"cycles": 0, "transitions": {}, "last_fault": None, "resets_sent": {}, "resets_received": {},
                 "time_in_data_s": None, "response_time_s": None}
    assert rig.h.statistics_enabled is True


def test_scripted_connection_with_faults_counts_exactly(rig, monkeypatch, capsys):
    monkeypatch.setattr(kk, "KESTREL_LOGGING", True)
    capsys.readouterr()
    drive = Counted(rig)
    h, slave = rig.h, rig.slave
    h.start()
    drive.run_to(StateData)
    drive.cycle(3)
    slave.inject_bit_flip(rig.crc_bit())            # DATA_FAIL1: master resets with INVALID_CRC
    drive.cycle()
    drive.run_to(StateData)
    slave.inject_reset(0x85)                        # DATA_RESET1: the slave's own code
    drive.cycle()
    drive.run_to(StateData)
    slave.inject_wrong_connection_id()              # DATA_FAIL2: INVALID_CONNID
    drive.cycle()
    drive.run_to(StateData)
    h._watchdog_expired_event()                     # DATA_WD: WD_EXPIRED
    drive.run_to(StateData)
    h.stop()                                        # DATA_RESET2: RESET
    traced = collections.Counter(line[len(PREFIX):] for line in capsys.readouterr().out.splitlines()
                                 if line.startswith(PREFIX))

    s = h.statistics
    assert s["transitions"] == dict(traced)
    assert {name: traced[name] for name in ("DATA_FAIL1", "DATA_RESET1", "DATA_FAIL2", "DATA_WD", "DATA_RESET2",
                                            "RESET_START")} == {"DATA_FAIL1": 1, "DATA_RESET1": 1, "DATA_FAIL2": 1,
                                                                "DATA_WD": 1, "DATA_RESET2": 1, "RESET_START": 1}
    assert s["cycles"] == drive.new_replies
    # The master's Reset frames: start (0), the three faults, stop (0).
    assert s["resets_sent"] == {FSOEError.RESET: 2, FSOEError.INVALID_CRC: 1, FSOEError.INVALID_CONNID: 1,
                                FSOEError.WD_EXPIRED: 1}
    # The slave acknowledges each of the master's resets but the last (no cycle after stop), and resets once itself.
    assert s["resets_received"] == {FSOEError.RESET: 4, 0x85: 1}
    assert isinstance(next(k for k in s["resets_received"] if k == 0x85), FSOEError)
    fault = s["last_fault"]
    assert (fault["transition"], fault["message"]) == ("DATA_WD", "The watchdog of the master expired")
    assert abs(fault["time"] - time.time()) < 60 and 0 <= fault["age_s"] < 60
    assert s["time_in_data_s"] is None and h.state is StateReset


def test_last_fault_recorded_without_an_error_callback(make_plain):
    r = make_plain
    r.h.start()
    r.run_to(StateData)
    r.slave.inject_unknown_command(0xFF)
    r.cycle()
    assert r.h.statistics["last_fault"]["transition"] == "DATA_FAIL4"
    assert r.h.statistics["resets_sent"][FSOEError.UNKNOWN_CMD] == 1


@pytest.fixture
def make_plain():
    r = Rig()
    r.rebuild()  # no callbacks at all
    yield r
    r.h.delete()


def test_time_in_data_and_response_times(rig):
    h = rig.h
    h.start()
    rig.run_to(StateData)
    h.reset_statistics()
    assert h.statistics["response_time_s"] is None
    first = h.statistics["time_in_data_s"]          # clearing keeps when Data was entered
    assert first is not None and first >= 0
    pause = 0.003
    for _ in range(12):                             # at bus-cycle spacing every request is timed
        request = h.get_request()
        time.sleep(pause)
        h.set_reply(rig.slave.step(request))
    s = h.statistics
    r = s["response_time_s"]
    assert r["samples"] >= 8
    assert pause <= r["min"] <= r["last"] <= r["max"] < 5.0
    assert s["time_in_data_s"] >= first + 12 * pause


def test_reset_statistics_and_switching_off(rig):
    h = rig.h
    h.start()
    rig.run_to(StateData)
    rig.slave.inject_bit_flip(rig.crc_bit())
    rig.cycle()
    assert h.statistics["last_fault"] is not None
    h.reset_statistics()
    s = h.statistics
    assert (s["cycles"], s["transitions"], s["last_fault"], s["resets_sent"], s["resets_received"]) == (
        0, {}, None, {}, {})
    h.statistics_enabled = False
    rig.run_to(StateData)
    rig.slave.inject_bit_flip(rig.crc_bit())
    rig.cycle(20)
    s = h.statistics
    assert (s["cycles"], s["transitions"], s["last_fault"], s["resets_sent"], s["response_time_s"]) == (
        0, {}, None, {}, None)
    h.statistics_enabled = True
    rig.cycle(2)
    assert h.statistics["cycles"] == 2


@pytest.mark.parametrize("code, words", [
    (FSOEError.INVALID_CRC, ["CRC", "sequence number"]),
    (5, ["watchdog time"]),
    (FSOEError.INVALID_ADDRESS, ["address"]),
    (0, ["No fault"]),
    (200, ["200", "Device-specific"]),
    (50, ["50", "reserved"]),
])
def test_error_descriptions(code, words):
    text = kestrel.error_description(code)
    assert all(w in text for w in words)
    assert "\n" not in text


def test_every_named_code_has_its_own_text():
    texts = {kestrel.error_description(code) for code in range(12)}
    assert len(texts) == 12


@pytest.mark.parametrize("code, error", [(256, OverflowError), (-1, OverflowError), ("4", TypeError),
                                         (4.0, TypeError)])
def test_error_description_refuses_what_is_not_a_code(code, error):
    with pytest.raises(error):
        kestrel.error_description(code)


@pytest.mark.parametrize("native", [False, True])
def test_replayed_cycles_count_in_python_and_in_the_native_loop(native):
    from kestrel.bench import Recording, _handler

    rec = Recording(2, 40)
    h = _handler(2, rec.session_id)
    try:
        rec.bring_to_data(h)
        h.reset_statistics()
        replies = rec.replies[rec.start:rec.start + 30]
        if native:
            assert kk._bench.cycles([h], replies) > 0
        else:
            for reply in replies:
                h.set_reply(reply)
                h.get_request()
        rec.check(h, rec.start + 30)
        s = h.statistics
        assert (s["cycles"], s["transitions"], s["resets_sent"], s["last_fault"]) == (30, {"DATA_OK1": 30}, {}, None)
    finally:
        h.delete()


def test_reading_from_another_thread_while_the_host_cycles(rig):
    import threading

    h = rig.h
    h.start()
    rig.run_to(StateData)
    h.reset_statistics()
    stop, started, seen, errors = threading.Event(), threading.Event(), [], []

    def reader():
        try:
            started.set()
            while not stop.is_set():
                seen.append(h.statistics["cycles"])
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    t = threading.Thread(target=reader)
    t.start()
    assert started.wait(10)
    try:
        rig.cycle(2000)
    finally:
        stop.set()
        t.join(10)
    assert not t.is_alive() and errors == []
    assert seen and seen == sorted(seen) and seen[-1] <= 2000
    assert h.statistics["cycles"] == 2000 and h.state is StateData
