"""The software slave as the host sees it: construction, the cycle, inspection,
the parameter check as a Python callable, and the fault-injection calls."""

import enum
import sys

import pytest

from kestrel import FSOECommand, FSOEFrame, SlaveSimulator

ADDRESS, CONN_ID, WATCHDOG = 0x0305, 0x1234, 100
PARAMS = bytes([0x11, 0x22, 0x33])


def u16(v):
    return bytes([v & 0xFF, v >> 8])


class Master:
    """Builds master frames and chains them as the master does (2 bytes per frame)."""

    def __init__(self, size=2):
        self.n = size
        self.req = FSOEFrame(2 * size + 3 if size > 1 else 6)
        self.rep = FSOEFrame(2 * size + 3 if size > 1 else 6)
        self.master_last = None
        self.in_reset = True
        self.cyclic = False
        self.req.control.sequence_number = self.rep.control.sequence_number = 1

    def request(self, command, data, connection_id=0):
        self.req.control.command = command
        self.req.control.connection_id = connection_id
        self.req.set_safe_data_bytes(data)
        if self.cyclic:
            self.req.generate_crcs_cyclic(self.master_last)
        else:
            self.req.generate_crcs()
        self.master_last = self.req.crcs[0]
        if not self.in_reset:
            self.rep.control.crc0 = self.req.crcs[0]
            self.req.control.increment_sequence_number()
        return self.req.frame_to_array()

    def reply(self, wire):
        self.rep._frame_from_array(wire)
        if not self.in_reset:
            self.req.control.crc0 = self.rep.crcs[0]
            self.rep.control.increment_sequence_number()
        return self.rep

    def exchange(self, slave, command, data, connection_id=0):
        return self.reply(slave.step(self.request(command, data, connection_id)))

    def up_to_parameters(self, slave, parameters=PARAMS):
        self.exchange(slave, FSOECommand.RESET, b"\0\0")
        self.in_reset = False
        self.exchange(slave, FSOECommand.SESSION, u16(0xBEEF))
        self.cyclic = True
        for chunk in (u16(CONN_ID), u16(ADDRESS)):
            self.exchange(slave, FSOECommand.CONNECTION, chunk, CONN_ID)
        stream = u16(2) + u16(WATCHDOG) + u16(len(parameters)) + parameters
        for i in range(0, len(stream), self.n):
            reply = self.exchange(slave, FSOECommand.PARAMETER, stream[i : i + self.n], CONN_ID)
        return reply

    def first_data(self, slave):
        """The parameters are judged when the first Data frame arrives: its reply."""
        return self.exchange(slave, FSOECommand.FAILSAFE_DATA, bytes(self.n), CONN_ID)

    def up_to_data(self, slave, parameters=PARAMS):
        self.up_to_parameters(slave, parameters)
        return self.first_data(slave)


def make(**kwargs):
    args = dict(application_parameters=PARAMS, watchdog_range_ms=(10, 1000), manual_clock=True, seed=3)
    args.update(kwargs)
    return SlaveSimulator(ADDRESS, **args)


def test_state_is_a_plain_enum_nested_in_the_class():
    assert issubclass(SlaveSimulator.State, enum.Enum)
    assert SlaveSimulator.State.RESET != 0
    assert [m.name for m in SlaveSimulator.State] == ["RESET", "SESSION", "CONNECTION", "PARAMETER", "DATA"]
    assert make().state is SlaveSimulator.State.RESET


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        (dict(input_size=3), ValueError, "input_size must be 1 or an even number from 2 to 16, got 3"),
        (dict(output_size=18), ValueError, "output_size must be 1 or an even number from 2 to 16, got 18"),
        (dict(output_size=0), ValueError, "output_size must be 1 or an even number from 2 to 16, got 0"),
        (dict(input_size=-2), OverflowError, "can't convert negative value to uint16_t"),
        (dict(input_size=2.0), TypeError, "an integer is required, got float"),
        (dict(application_parameters=[1]), TypeError, "application_parameters must be bytes, not list"),
        (dict(watchdog_range_ms=(20, 10)), ValueError, "watchdog range is empty: 20 > 10"),
        (dict(watchdog_range_ms=[1, 2]), TypeError, "watchdog_range_ms must be a tuple (minimum, maximum)"),
        (dict(watchdog_range_ms=(1, 70000)), OverflowError, "value too large to convert to uint16_t"),
        (dict(verify_parameters=5), TypeError, "verify_parameters must be callable or None, not int"),
        (dict(manual_clock=1), TypeError, "manual_clock must be a bool, not int"),
        (dict(seed=-1), OverflowError, "can't convert negative value to uint64_t"),
    ],
)
def test_constructor_refuses_bad_arguments(kwargs, error, message):
    with pytest.raises(error) as info:
        make(**kwargs)
    assert str(info.value) == message


def test_sizes_are_keyword_only_and_address_is_checked():
    with pytest.raises(TypeError):
        SlaveSimulator(ADDRESS, 2, 2)
    with pytest.raises(OverflowError, match="value too large to convert to uint16_t"):
        SlaveSimulator(0x10000)
    s = SlaveSimulator(slave_address=7)
    assert (s.slave_address, s.input_size, s.output_size) == (7, 2, 2)


def test_step_returns_the_held_reply_without_a_new_frame():
    s, m = make(), Master()
    assert s.step(b"") == b""
    wire = m.request(FSOECommand.RESET, b"\x04\0")
    first = s.step(wire)
    assert isinstance(first, bytes) and first[0] == 0x2A and first[1] == 0
    assert s.step(wire) == first == s.reply
    assert s.step(b"") == first
    assert s.counters["frames_repeated"] == 1 and s.counters["frames_received"] == 1
    assert s.last_reset_received == 4 and s.last_reset_reason == 4 and s.last_reset_sent is None
    with pytest.raises(TypeError, match="request must be bytes, not bytearray"):
        s.step(bytearray(wire))


def test_manual_clock_only():
    s = make()
    s.advance(250)
    assert s.now_ms == 250
    with pytest.raises(RuntimeError, match="advance\\(\\) needs a slave made with a manual clock"):
        make(manual_clock=False).advance(1)


def test_inputs_outputs_and_process_data_flag():
    s = make()
    assert s.inputs == b"\0\0" and s.outputs == b"\0\0" and s.process_data is False
    s.inputs = b"\x01\x02"
    s.process_data = True
    assert s.inputs == b"\x01\x02" and s.process_data is True
    with pytest.raises(ValueError, match="inputs must be 2 bytes, got 3"):
        s.inputs = b"abc"
    with pytest.raises(TypeError, match="process_data must be a bool, not int"):
        s.process_data = 1


def test_reaches_data_and_exposes_the_connection():
    s, m = make(seed=11), Master()
    m.up_to_parameters(s)
    reply = m.exchange(s, FSOECommand.PROCESS_DATA, b"\x05\x06", CONN_ID)
    assert reply.control.command is FSOECommand.FAILSAFE_DATA
    assert s.state is SlaveSimulator.State.DATA
    assert (s.master_session_id, s.connection_id, s.watchdog_ms) == (0xBEEF, CONN_ID, WATCHDOG)
    assert s.received_parameters == u16(2) + u16(WATCHDOG) + u16(3) + PARAMS
    assert s.outputs == b"\x05\x06"
    assert s.counters["errors"] == 0


def test_seed_makes_session_ids_reproducible():
    def session_id(seed):
        s, m = make(seed=seed), Master()
        m.exchange(s, FSOECommand.RESET, b"\0\0")
        m.in_reset = False
        reply = m.exchange(s, FSOECommand.SESSION, b"\1\2")
        assert reply.get_safe_data_bytes()[:2] == u16(s.slave_session_id)
        return s.slave_session_id

    assert session_id(21) == session_id(21)
    assert session_id(21) != session_id(22)


@pytest.mark.parametrize(
    "verdict, code",
    [(lambda p: None, None), (lambda p: 0, None), (lambda p: 0x90, 0x90), (lambda p: 12, 11), (lambda p: 300, 11)],
)
def test_parameter_check_verdicts(verdict, code):
    seen = []

    def check(parameters):
        seen.append(parameters)
        return verdict(parameters)

    s, m = make(verify_parameters=check), Master()
    assert m.up_to_parameters(s).control.command is FSOECommand.PARAMETER
    assert seen == []
    reply = m.first_data(s)
    assert seen == [PARAMS]
    if code is None:
        assert s.state is SlaveSimulator.State.DATA and reply.control.command is FSOECommand.FAILSAFE_DATA
    else:
        assert reply.control.command is FSOECommand.RESET and reply.get_safe_data_bytes()[0] == code
        assert s.last_reset_sent == code and s.resets_sent_by_code == {code: 1}


@pytest.mark.parametrize(
    "check, error",
    [
        (lambda p: 1 / 0, ZeroDivisionError),
        (lambda p: "ok", TypeError),
        (lambda p: True, TypeError),
    ],
)
def test_failing_parameter_check_refuses_and_is_reported(check, error, monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: reported.append((u.exc_type, u.object)))
    s, m = make(verify_parameters=check), Master()
    reply = m.up_to_data(s)
    assert reply.control.command is FSOECommand.RESET and s.last_reset_sent == 11
    assert reported == [(error, check)]


def test_parameter_check_cannot_step_the_slave(monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: reported.append((u.exc_type, u.object)))
    holder = {}
    s, m = make(verify_parameters=lambda p: holder["s"].step(b"x")), Master()
    holder["s"] = s
    m.up_to_data(s)
    assert s.last_reset_sent == 11
    assert [kind for kind, _ in reported] == [RuntimeError]


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda s: s.inject_bit_flip(56), ValueError, "bit 56 is outside the slave's frames of 7 bytes"),
        (lambda s: s.inject_bit_flip(-1), OverflowError, "can't convert negative value to uint32_t"),
        (lambda s: s.inject_wrong_echo(count=0), ValueError, "count must be at least 1"),
        (lambda s: s.inject_wrong_echo(2), ValueError, "byte 2 is outside the slave's 2 safe-data bytes"),
        (lambda s: s.inject_unknown_command(0x52), ValueError, "command 82 is a known FSoE command"),
        (lambda s: s.inject_wrong_command(0x52), TypeError, "command must be an FSOECommand or None, not int"),
        (lambda s: s.inject_reset(256), OverflowError, "value too large to convert to uint8_t"),
        (lambda s: s.inject_replay(1), ValueError, "age must be from 2 to 16, got 1"),
        (lambda s: s.inject_repeat(), ValueError, "nothing to repeat: the slave has not replied yet"),
        (lambda s: s.inject_replay(), ValueError, "nothing to replay 2 frames back: the slave has sent 0 so far"),
        (lambda s: s.inject_silence(0), ValueError, "cycles must be at least 1"),
        (lambda s: s.inject_wrong_connection_id("1"), TypeError, "an integer is required, got str"),
    ],
)
def test_fault_arguments_are_checked(call, error, message):
    s = make()
    with pytest.raises(error) as info:
        call(s)
    assert str(info.value) == message
    assert not s.faults_pending


def test_repeat_and_replay_once_there_are_frames():
    s, m = make(), Master()
    first = s.step(m.request(FSOECommand.RESET, b"\0\0"))
    with pytest.raises(ValueError, match="^nothing to replay 2 frames back: the slave has sent 1 so far$"):
        s.inject_replay(2)
    s.inject_repeat()
    m.in_reset = False
    assert s.step(m.request(FSOECommand.SESSION, b"\1\2")) == first
    s.inject_replay(2)
    assert s.faults_pending


def test_faults_reach_the_wire_and_can_be_cleared():
    s, m = make(), Master()
    m.exchange(s, FSOECommand.RESET, b"\0\0")
    m.in_reset = False
    s.inject_wrong_command(FSOECommand.PARAMETER)
    assert s.faults_pending
    assert m.exchange(s, FSOECommand.SESSION, b"\1\2").control.command is FSOECommand.PARAMETER
    s.inject_reset(0x42)
    s.inject_silence(3)
    s.clear_faults()
    assert not s.faults_pending
    s.request_reset()
    assert s.state is SlaveSimulator.State.RESET and s.reply[:2] == b"\x2a\x00"
    assert s.counters["resets_sent"] == 1 and s.counters["errors"] == 0


README_EXAMPLE = """
from kestrel import FSOECommand, FSOEFrame, SlaveSimulator

slave = SlaveSimulator(5, input_size=2, output_size=2, manual_clock=True)
reset = FSOEFrame(7)                           # the master's Reset frame: seq 1, seed 0, id 0
reset.control.command = FSOECommand.RESET
reset.control.sequence_number = 1
reset.set_safe_data_bytes(bytes([4, 0]))       # reason 4: INVALID_CRC
reset.generate_crcs()
assert slave.step(reset.frame_to_array())[:2] == bytes([0x2A, 0])  # acknowledged with reason 0
assert slave.last_reset_received == 4 and slave.state == SlaveSimulator.State.RESET
"""


def test_readme_example_runs():
    exec(compile(README_EXAMPLE, "README", "exec"), {})


def test_check_referring_to_its_slave_is_collected():
    import gc
    import weakref

    class Sentinel:
        pass

    sentinel = Sentinel()
    alive = weakref.ref(sentinel)
    holder = {"sentinel": sentinel}
    holder["slave"] = make(verify_parameters=lambda p, h=holder: h["slave"] and None)
    del sentinel, holder
    gc.collect()
    assert alive() is None
