"""The master handler as a host drives it: construction, the cycle against the
software slave, every transition of the state machine with its report and the
error code sent to the slave, recovery, process data, callbacks and threads."""

import math
import threading
import time

import pytest

import kestrel.kestrel as kk
from kestrel import (
    ApplicationParameter,
    BaseError,
    DataType,
    Dictionary,
    DictionaryItemInput,
    DictionaryItemInputOutput,
    DictionaryItemOutput,
    DynamicMappableItem,
    FSOECommand,
    FSOEFrame,
    FSOEError,
    FSOEMasterException,
    FSOEMasterMappingLockedException,
    FSOEMasterRunningException,
    MasterHandler,
    Node,
    Session,
    SlaveSimulator,
    State,
    StateConnection,
    StateData,
    StateParameter,
    StateReset,
    StateSession,
)

ADDRESS, CONN_ID = 5, 7
RESET, SESSION, PROCESS_DATA, FAILSAFE_DATA = 0x2A, 0x4E, 0x36, 0x08
BAD_COMMAND = "Invalid slave frame command"
BAD_CRC = "Invalid slave CRC"
WD_EXPIRED = "The watchdog of the master expired"
PARAMS = ((0x1234, 2), (0x56, 1), (0x789ABCDE, 4))
STATES = [StateReset, StateSession, StateConnection, StateParameter, StateData]
PREFIX = {StateSession: "SESSION", StateConnection: "CONN", StateParameter: "PARA", StateData: "DATA"}


def frame_length(safe_bytes):
    return 6 if safe_bytes == 1 else 2 * safe_bytes + 3


class Rig:
    """A handler wired to a software slave, with every report and state change recorded."""

    def __init__(self, out_size=2, in_size=2, params=(), watchdog_s=5.0, **handler_kw):
        self.outs = [DictionaryItemOutput(1 + i, f"out{i}", DataType.UINT8) for i in range(out_size)]
        self.ins = [DictionaryItemInput(101 + i, f"in{i}", DataType.UINT8, 0xA0 + i) for i in range(in_size)]
        self.dictionary = Dictionary(self.outs + self.ins)
        self.params = [ApplicationParameter(f"p{i}", value, n) for i, (value, n) in enumerate(params)]
        self.errors, self.states = [], []
        self.h = MasterHandler(
            self.dictionary, ADDRESS, CONN_ID, watchdog_s, application_parameters=self.params,
            report_error_callback=lambda name, message: self.errors.append((name, message)),
            state_change_callback=self.states.append, **handler_kw)
        for item in self.outs:
            self.h.master.dictionary_map.add(item)
        for item in self.ins:
            self.h.slave.dictionary_map.add(item)
        expected = b"".join(value.to_bytes(n, "little") for value, n in params)
        valid = all(size == 1 or (size % 2 == 0 and 2 <= size <= 16) for size in (in_size, out_size))
        self.slave = SlaveSimulator(ADDRESS, input_size=in_size, output_size=out_size,
                                    application_parameters=expected, manual_clock=True, seed=1) if valid else None
        self.in_size = in_size

    def rebuild(self, **callbacks):
        """A new handler on the same dictionary and items, with other callbacks."""
        self.h.delete()
        self.h = MasterHandler(self.dictionary, ADDRESS, CONN_ID, 5.0, **callbacks)
        for item in self.outs:
            self.h.master.dictionary_map.add(item)
        for item in self.ins:
            self.h.slave.dictionary_map.add(item)

    def cycle(self, n=1):
        for _ in range(n):
            self.h.set_reply(self.slave.step(self.h.get_request()))

    def run_to(self, state, limit=80):
        for _ in range(limit):
            if self.h.state is state:
                return
            self.cycle()
        raise AssertionError(f"{state.__name__} not reached: {self.h.state.__name__}, {self.errors}")

    def fail_safe_inputs(self):
        return all(item.get() == item.fail_safe_value for item in self.ins)

    def crc_bit(self):
        """A bit of the reply's first CRC: the frame fails its CRC check and nothing else."""
        return 8 * (2 if self.in_size == 1 else 3)


@pytest.fixture
def make():
    rigs = []

    def build(*args, **kwargs):
        rig = Rig(*args, **kwargs)
        rigs.append(rig)
        return rig

    yield build
    for rig in rigs:
        rig.h.delete()


@pytest.fixture
def trace(monkeypatch, capsys):
    monkeypatch.setattr(kk, "KESTREL_LOGGING", True)

    def transitions():
        prefix = "MASTER | TRANSITION | "
        return [line[len(prefix):] for line in capsys.readouterr().out.splitlines() if line.startswith(prefix)]

    capsys.readouterr()
    return transitions


# ---- error codes, records, states ----------------------------------------------------


def test_error_enumerations():
    names = ["RESET", "INVALID_CMD", "UNKNOWN_CMD", "INVALID_CONNID", "INVALID_CRC", "WD_EXPIRED",
             "INVALID_ADDRESS", "INVALID_DATA", "INVALID_COMMPARALEN", "INVALID_COMPARA",
             "INVALID_USERPARALEN", "INVALID_USERPARA"]
    assert [(e.name, e.value) for e in BaseError] == list(zip(names, range(12)))
    assert len(FSOEError) == 140 and FSOEError(5) is FSOEError.WD_EXPIRED
    assert [e.name for e in FSOEError][:12] == names
    assert FSOEError(128).name == "INVALID_SAFEPARA_128" and FSOEError(255).name == "INVALID_SAFEPARA_255"
    assert BaseError.INVALID_CRC == FSOEError.INVALID_CRC == 4 and isinstance(FSOEError.RESET, int)
    for code in (12, 127, 256, -1):
        with pytest.raises(ValueError):
            FSOEError(code)


def test_session_record():
    s = Session(3, 7, 100)
    assert [getattr(s, f).value for f in ("slave_address", "session_id", "error_id", "connection_id",
                                          "comm_parameter_size_bytes", "watchdog_ms",
                                          "app_parameter_size_bytes")] == [3, 0, 0, 7, 0, 100, 0]
    assert isinstance(s.session_id, DynamicMappableItem) and s.session_id.data_type is DataType.UINT16
    item = s.error_id
    s.error = BaseError.INVALID_CRC
    assert s.error_id is item and item.value == 4 and s.error is FSOEError.INVALID_CRC
    s.error = FSOEError.INVALID_SAFEPARA_200
    assert item.value == 200 and s.error is FSOEError.INVALID_SAFEPARA_200


@pytest.mark.parametrize(
    "args, error, message",
    [((65536, 7, 100), OverflowError, "value too large to convert to uint16_t"),
     ((3, -1, 100), OverflowError, "can't convert negative value to uint16_t"),
     ((3, 7, 1.0), TypeError, None), ((True, 7, 100), TypeError, None)],
)
def test_session_argument_errors(args, error, message):
    with pytest.raises(error) as info:
        Session(*args)
    if message:
        assert str(info.value) == message


def test_node_record_and_map_lock():
    out = DictionaryItemOutput(1, "o", DataType.UINT16)
    d = Dictionary([out])
    params = []
    node = Node(3, 7, 100, params, d, {DictionaryItemOutput})
    assert node.application_parameters is params and node.session.watchdog_ms.value == 100
    assert node.frame is node.frame and node.session is node.session and node._last_crc0_sent is None
    node.dictionary_map.add(out)
    assert not node.dictionary_map.locked
    node.start()
    assert node.dictionary_map.locked and node.frame.safe_data_size_bytes == 2
    node.stop()
    assert not node.dictionary_map.locked

    fixed = Node(3, 7, 100, [], d, {DictionaryItemOutput}, dictionary_map_is_editable=False)
    assert fixed.dictionary_map.locked
    with pytest.raises(FSOEMasterMappingLockedException):
        fixed.dictionary_map.add(out)
    fixed.start()
    fixed.stop()
    assert fixed.dictionary_map.locked


@pytest.mark.parametrize(
    "args, error",
    [((3, 7, 100, (), "D", {DictionaryItemOutput}), TypeError),
     ((3, 7, 100, [], None, {DictionaryItemOutput}), TypeError),
     ((3, 7, 100, [], "D", [DictionaryItemOutput]), TypeError),
     ((3, 7, 65536, [], "D", {DictionaryItemOutput}), OverflowError),
     ((3, 7, 1.5, [], "D", {DictionaryItemOutput}), TypeError)],
)
def test_node_argument_errors(args, error):
    d = Dictionary([DictionaryItemOutput(1, "o", DataType.UINT16)])
    with pytest.raises(error):
        Node(*[d if a == "D" else a for a in args])


def test_state_classes(make):
    assert [s.id for s in STATES] == [0, 1, 2, 3, 4]
    assert all(issubclass(s, State) for s in STATES)
    rig = make()
    base = State(rig.h)
    assert base.context is rig.h
    for event in (base._process_frame_received_event, base._process_watchdog_expired_event,
                  base._process_reset_connection_event):
        with pytest.raises(NotImplementedError):
            event()


# ---- construction and identity ------------------------------------------------------


def test_identity_across_the_boundary(make):
    rig = make(params=PARAMS)
    h = rig.h
    assert h.master is h.master and h.slave is h.slave and h.dictionary is rig.dictionary
    assert h.master.frame is h.master.frame and h.master.session is h.master.session
    assert h.master.session.session_id is h.master.session.session_id
    assert h.master.dictionary_map is h.master.dictionary_map
    assert h.master.application_parameters is rig.params
    slave_params = h.slave.application_parameters
    assert [p.data_type for p in slave_params] == [p.data_type for p in rig.params]
    assert all(isinstance(p, DynamicMappableItem) and p.value == 0 for p in slave_params)
    assert h.master.session.watchdog_ms.value == 5000 and h.slave.session.connection_id.value == 0
    assert h.state is StateReset and isinstance(h._state, StateReset) and h._state.context is h
    assert not h.running and h.get_request() == b"" and h.get_slave_address() == ADDRESS
    rig.h.start()
    rig.run_to(StateData)
    assert h.state is StateData and isinstance(h._state, StateData)
    assert rig.states == [StateSession, StateConnection, StateParameter, StateData]


@pytest.mark.parametrize("watchdog_s, ms", [(0.0999, 99), (0.05, 50), (1, 1000), (2.5, 2500), (0, 0)])
def test_watchdog_time_in_milliseconds(watchdog_s, ms):
    h = MasterHandler(Dictionary([]), 1, 1, watchdog_s)
    try:
        assert h.master.session.watchdog_ms.value == ms  # fractions of a millisecond dropped
    finally:
        h.delete()


@pytest.mark.parametrize(
    "kwargs, error, message",
    [(dict(connection_id=0), ValueError, "Connection ID = 0 is not permitted"),
     (dict(watchdog_timeout_s=65.536), OverflowError, "value too large to convert to uint16_t"),
     (dict(watchdog_timeout_s=-0.5), OverflowError, "can't convert negative value to uint16_t"),
     (dict(connection_id=65536), OverflowError, "value too large to convert to uint16_t"),
     (dict(slave_address=-1), OverflowError, "can't convert negative value to uint16_t"),
     (dict(slave_address=1.0), TypeError, None),
     (dict(watchdog_timeout_s="1"), TypeError, None),
     (dict(dictionary=[]), TypeError, None),
     (dict(report_error_callback=5), TypeError, None),
     (dict(taken=True), PermissionError, "Application parameter already used by a master"),
     (dict(twice=True), PermissionError, "Application parameter already used by a master")],
)
def test_constructor_errors_bind_no_parameter(kwargs, error, message):
    free = ApplicationParameter("free", 1, 1)
    taken = ApplicationParameter("taken", 1, 1)
    owner = MasterHandler(Dictionary([]), 1, 1, 1.0, application_parameters=[taken])
    params = [free, taken] if kwargs.pop("taken", False) else [free, free] if kwargs.pop("twice", False) else [free]
    args = dict(dictionary=Dictionary([]), slave_address=1, connection_id=1, watchdog_timeout_s=1.0,
                application_parameters=params)
    args.update(kwargs)
    with pytest.raises(error) as info:
        MasterHandler(**args)
    if message:
        assert str(info.value) == message
    # The failed handler took nothing: the parameter goes to the next one.
    h = MasterHandler(Dictionary([]), 1, 1, 1.0, application_parameters=[free])
    assert h.master.application_parameters[0] is free
    for handler in (h, owner):
        handler.delete()


@pytest.mark.parametrize("parameters", [(), [1], {"p": 1}])
def test_application_parameters_must_be_a_list(parameters):
    with pytest.raises(TypeError):
        MasterHandler(Dictionary([]), 1, 1, 1.0, application_parameters=parameters)


def test_running_refuses_slave_address_and_parameter_changes(make):
    rig = make(params=PARAMS)
    rig.h.set_slave_address(9)
    assert rig.h.get_slave_address() == 9 == rig.h.master.session.slave_address.value
    rig.h.set_slave_address(ADDRESS)
    rig.h.start()
    for change in (lambda: rig.h.set_slave_address(9), lambda: rig.params[0].set(1)):
        with pytest.raises(FSOEMasterRunningException) as info:
            change()
        assert isinstance(info.value, FSOEMasterException)
    with pytest.raises(FSOEMasterRunningException, match="^Cannot set slave address while running$"):
        rig.h.set_slave_address(9)
    assert rig.h.get_slave_address() == ADDRESS and rig.params[0].value == 0x1234
    rig.h.stop()
    rig.h.set_slave_address(9)
    rig.params[0].set(1)
    assert rig.h.get_slave_address() == 9 and rig.params[0].value == 1


# ---- start, stop and the cycle --------------------------------------------------------


@pytest.mark.parametrize("n_out, n_in, message", [
    (17, 2, "Frame structure cannot handle more than 16 bytes"),
    (2, 17, "Frame structure cannot handle more than 16 bytes"),
    (3, 2, "Safe data size must be 0, 1 or an even number of bytes, got 3"),
    (0, 2, "Cannot start without safe data: the master's dictionary map is empty"),
    (2, 0, "Cannot start without safe data: the slave's dictionary map is empty"),
])
def test_refused_start_changes_nothing(make, n_out, n_in, message):
    rig = make(n_out, n_in)
    with pytest.raises(ValueError) as info:
        rig.h.start()
    assert str(info.value) == message
    h = rig.h
    assert not h.running and h.get_request() == b"" and h.initialization_data_bytes == 0
    assert h.master.frame.safe_data_size_bytes == 0 and h.slave.frame.safe_data_size_bytes == 0
    for node in (h.master, h.slave):
        assert not node.dictionary_map.locked
    h.master.dictionary_map.remove(h.master.dictionary_map[0]) if len(h.master.dictionary_map) else None
    h._watchdog_expired_event()  # a stopped handler has nothing to supervise
    assert rig.errors == [] and h.state is StateReset


def test_cycle_before_start_and_repeated_replies(make):
    rig = make()
    rig.h.set_reply(b"\x2a\x00\x00\x00\x00\x00\x00")
    assert rig.h.get_request() == b"" and rig.h.state is StateReset
    rig.h.start()
    first = rig.h.get_request()
    assert len(first) == 7 and first[0] == RESET and first[1:3] == b"\0\0" and first[5:7] == b"\0\0"
    assert rig.h.get_request() == first and rig.h.initialization_data_bytes == 2
    rig.run_to(StateData)
    request = rig.h.get_request()
    reply = rig.slave.reply
    for _ in range(3):
        rig.h.set_reply(reply)  # the same PDU again: nothing happens
    assert rig.h.get_request() == request and rig.errors == []
    rig.cycle(3)
    assert rig.h.state is StateData and rig.errors == []


@pytest.mark.parametrize("n_out, n_in", [(1, 1), (2, 2), (16, 16), (2, 6), (6, 2), (16, 1), (1, 16)])
@pytest.mark.parametrize("params", [(), PARAMS], ids=["no-params", "params"])
def test_connection_set_up_transitions(make, trace, n_out, n_in, params):
    rig = make(n_out, n_in, params=params)
    rig.h.start()
    rig.run_to(StateData)
    rig.cycle(2)
    n = min(n_out, n_in)
    assert rig.h.initialization_data_bytes == n
    stays = lambda name, total: [name] * (math.ceil(total / n) - 1)  # noqa: E731
    param_bytes = 6 + sum(size for _, size in params)
    assert trace() == (["RESET_START", "RESET_OK"] + stays("SESSION_STAY1", 2) + ["SESSION_OK"]
                       + stays("CONNECTION_STAY1", 4) + ["CONN_OK"] + stays("PARA_STAY1", param_bytes)
                       + ["PARA_OK", "DATA_OK2", "DATA_OK2"])
    assert rig.errors == [] and rig.states == [StateSession, StateConnection, StateParameter, StateData]
    assert rig.slave.connection_id == CONN_ID and rig.slave.watchdog_ms == 5000
    assert rig.slave.master_session_id == rig.h.master.session.session_id.value
    assert rig.h.slave.session.connection_id.value == CONN_ID
    assert rig.h.slave.session.slave_address.value == ADDRESS
    assert [p.value for p in rig.h.slave.application_parameters] == [v for v, _ in params]
    request = rig.h.get_request()
    assert len(request) == frame_length(n_out) and request[0] == FAILSAFE_DATA
    assert request[-2:] == CONN_ID.to_bytes(2, "little")


@pytest.mark.parametrize("n_out, n_in", [(1, 1), (16, 16), (2, 6)])
def test_process_data_both_ways(make, trace, n_out, n_in):
    rig = make(n_out, n_in)
    changes = []
    for item in rig.ins:
        item.subscribe_changed(lambda item=item: changes.append((item.name, item.get())))
    rig.h.start()
    rig.run_to(StateData)
    assert rig.fail_safe_inputs() and changes == []
    for i, item in enumerate(rig.outs):
        item.set(i + 1)
    rig.h.set_fail_safe(False)
    pending = rig.h.get_request()
    assert pending[0] == FAILSAFE_DATA  # set_fail_safe does not rebuild the pending request
    rig.slave.process_data = True
    rig.slave.inputs = bytes(range(10, 10 + n_in))
    rig.cycle(3)
    assert rig.h.get_request()[0] == PROCESS_DATA
    assert rig.slave.outputs == bytes(range(1, n_out + 1))
    assert [item.get() for item in rig.ins] == list(range(10, 10 + n_in))
    assert sorted(changes) == sorted((f"in{i}", 10 + i) for i in range(n_in))
    assert trace()[-3:] == ["DATA_OK1"] * 3

    rig.h.set_fail_safe(True)
    rig.cycle()
    request = rig.h.get_request()
    assert request[0] == FAILSAFE_DATA and request[1] == 1  # outputs still in the safe data
    rig.slave.process_data = False
    changes.clear()
    rig.cycle(2)
    assert rig.fail_safe_inputs() and len(changes) == n_in and rig.h.state is StateData
    assert trace()[-1] == "DATA_OK2" and rig.errors == []


def test_stop_and_start_again(make, trace):
    rig = make()
    rig.h.start()
    rig.run_to(StateData)
    rig.h.set_fail_safe(False)
    rig.h.stop()
    assert not rig.h.running and rig.h.state is StateReset and rig.errors == []
    assert trace()[-1] == "DATA_RESET2" and rig.states[-1] is StateReset
    request = rig.h.get_request()
    assert request[0] == RESET and request[1] == BaseError.RESET and rig.h._data_command is FSOECommand.FAILSAFE_DATA
    assert not rig.h.master.dictionary_map.locked and not rig.h.slave.dictionary_map.locked
    rig.h.stop()  # not running: nothing
    rig.h.set_reply(rig.slave.step(request))  # ignored while stopped
    assert rig.h.state is StateReset and rig.h.get_request() == request
    assert trace() == []
    rig.h.start()
    assert rig.h.running and rig.h.master.dictionary_map.locked
    rig.run_to(StateData)
    assert rig.errors == []


# ---- transitions ------------------------------------------------------------------------

CMD = BAD_COMMAND
FAULTS = [
    (StateSession, "SESSION_FAIL4", lambda r: r.slave.inject_unknown_command(), CMD, BaseError.UNKNOWN_CMD),
    (StateSession, "SESSION_FAIL3", lambda r: r.slave.inject_wrong_command(FSOECommand.CONNECTION), CMD,
     BaseError.INVALID_CMD),
    (StateConnection, "CONN_FAIL5", lambda r: r.slave.inject_unknown_command(0x77), CMD, BaseError.UNKNOWN_CMD),
    (StateConnection, "CONN_FAIL3", lambda r: r.slave.inject_wrong_connection_id(5),
     "Connection id exchanged does not match 5 != 7", BaseError.INVALID_CONNID),
    (StateConnection, "CONN_FAIL2", lambda r: r.slave.inject_wrong_echo(0),
     "Data exchanged during session state does not match", BaseError.INVALID_DATA),
    (StateConnection, "CONN_FAIL1", lambda r: r.slave.inject_bit_flip(r.crc_bit()), BAD_CRC, BaseError.INVALID_CRC),
    (StateConnection, "CONN_FAIL4", lambda r: r.slave.inject_wrong_command(FSOECommand.SESSION), CMD,
     BaseError.INVALID_CMD),
    (StateParameter, "PARA_FAIL5", lambda r: r.slave.inject_unknown_command(), CMD, BaseError.UNKNOWN_CMD),
    (StateParameter, "PARA_FAIL3", lambda r: r.slave.inject_wrong_connection_id(300),
     "Connection id exchanged does not match 300 != 7", BaseError.INVALID_CONNID),
    (StateParameter, "PARA_FAIL2", lambda r: r.slave.inject_wrong_echo(0),
     "Data exchanged during parameter state does not match", BaseError.INVALID_DATA),
    (StateParameter, "PARA_FAIL1", lambda r: r.slave.inject_bit_flip(r.crc_bit()), BAD_CRC, BaseError.INVALID_CRC),
    (StateParameter, "PARA_FAIL4", lambda r: r.slave.inject_wrong_command(FSOECommand.PROCESS_DATA), CMD,
     BaseError.INVALID_CMD),
    (StateData, "DATA_FAIL4", lambda r: r.slave.inject_unknown_command(), CMD, BaseError.UNKNOWN_CMD),
    (StateData, "DATA_FAIL3", lambda r: r.slave.inject_wrong_command(FSOECommand.PARAMETER), CMD,
     BaseError.INVALID_CMD),
    (StateData, "DATA_FAIL2", lambda r: r.slave.inject_wrong_connection_id(5),
     "Connection id exchanged does not match 5 != 7", BaseError.INVALID_CONNID),
    (StateData, "DATA_FAIL1", lambda r: r.slave.inject_bit_flip(r.crc_bit()), BAD_CRC, BaseError.INVALID_CRC),
]


def recover_after_repeated_ack(rig, first_session_reply_seen):
    """Back in Reset before any Session reply was taken, the slave acknowledges the
    master's Reset with the very bytes that led into Session: the same PDU, ignored.
    The master then leaves Reset only by its watchdog (RESET_WD)."""
    if first_session_reply_seen:
        return []
    rig.cycle(3)
    assert rig.h.state is StateReset
    rig.h._watchdog_expired_event()
    assert rig.h.state is StateSession
    return [("RESET_WD", WD_EXPIRED)]


def assert_reset_request(rig, code):
    request = rig.h.get_request()
    assert request[0] == RESET and request[1] == code and request[-2:] == b"\0\0"


@pytest.mark.parametrize("n_out, n_in", [(2, 2), (1, 1), (16, 4)])
@pytest.mark.parametrize("state, name, inject, message, code", FAULTS, ids=[f[1] for f in FAULTS])
def test_fault_reported_once_and_recovered(make, state, name, inject, message, code, n_out, n_in):
    rig = make(n_out, n_in, params=PARAMS[:1])
    rig.h.start()
    rig.run_to(state)
    if state is StateData:  # inputs that are not fail-safe, to see them fall back
        rig.slave.process_data = True
        rig.slave.inputs = bytes(range(1, n_in + 1))
        rig.cycle()
        assert not rig.fail_safe_inputs()
    rig.states.clear()
    inject(rig)
    rig.cycle()
    assert rig.errors == [(name, message)]
    assert rig.h.state is StateReset and rig.states == [StateReset] and rig.fail_safe_inputs()
    assert_reset_request(rig, code)
    assert rig.h._data_command is FSOECommand.FAILSAFE_DATA
    # The slave takes the Reset frame and the connection comes back with no further report.
    rig.run_to(StateData)
    rig.cycle(3)
    assert rig.errors == [(name, message)] and rig.h.state is StateData


@pytest.mark.parametrize("state", STATES[1:])
@pytest.mark.parametrize("code, text", [(0, "RESET"), (4, "INVALID_CRC"), (11, "INVALID_USERPARA"),
                                        (42, "42"), (12, "12"), (127, "127"), (200, "INVALID_SAFEPARA_200")])
def test_slave_reset_starts_a_new_session(make, state, code, text):
    rig = make(params=PARAMS[:1])
    rig.h.start()
    rig.run_to(state)
    rig.states.clear()
    rig.slave.inject_reset(code)
    rig.cycle()  # nothing raised, whatever the code
    if state is StateSession and code == 0:
        # Byte for byte the slave's Reset acknowledgement that led into Session: the
        # same PDU again, so nothing happens (the master's watchdog ends the session).
        assert rig.errors == [] and rig.h.state is StateSession
        return
    name = "CONN_RESET1" if state is StateConnection else f"{PREFIX[state]}_RESET1"
    assert rig.errors == [(name, f"Connection was reset by the slave (slave reported error {text})")]
    assert rig.h.slave.session.error_id.value == code
    assert rig.h.state is StateSession and rig.states == ([] if state is StateSession else [StateSession])
    assert rig.h.get_request()[0] == SESSION and rig.fail_safe_inputs()
    rig.run_to(StateData)
    rig.cycle(2)
    assert len(rig.errors) == 1 and rig.h.state is StateData
    assert rig.slave.master_session_id == rig.h.master.session.session_id.value


def test_reset_state_transitions(make, trace):
    rig = make()
    rig.h.start()
    assert trace() == ["RESET_START"]
    rig.h.reset()
    assert trace() == ["RESET_START"] and rig.states == []
    # Any reply but RESET keeps the master in Reset with code 0, whatever it carries.
    rig.h.set_reply(bytes([SESSION, 0, 0, 0, 0, 0, 0]))
    assert rig.errors == [("RESET_STAY1", BAD_COMMAND)] and rig.h.state is StateReset
    assert trace() == ["RESET_STAY1"] and rig.states == []
    assert_reset_request(rig, 0)
    # A RESET reply is taken whatever its CRCs and connection id.
    rig.h.set_reply(bytes([RESET, 0, 0xDE, 0xAD, 0xBE, 0x09, 0x09]))
    assert rig.h.state is StateSession and trace() == ["RESET_OK"] and rig.h.get_request()[0] == SESSION
    rig.h.reset()
    assert trace() == ["SESSION_RESET2"] and rig.h.state is StateReset
    assert_reset_request(rig, 0)


def test_a_fault_code_goes_until_a_stay_replaces_it(make):
    rig = make()
    rig.h.start()
    rig.run_to(StateConnection)
    rig.slave.inject_bit_flip(rig.crc_bit())
    rig.cycle()
    assert_reset_request(rig, BaseError.INVALID_CRC)
    rig.h.set_reply(bytes([0x64, 0, 0, 0, 0, CONN_ID, 0]))  # CONNECTION in Reset
    assert rig.errors[-1] == ("RESET_STAY1", BAD_COMMAND)
    assert_reset_request(rig, BaseError.RESET)


@pytest.mark.parametrize("n, second", [(2, False), (1, False), (1, True)])
def test_session_crc_errors(make, trace, n, second):
    rig = make(n, n)
    rig.h.start()
    rig.run_to(StateSession)
    if second:  # one byte per frame: the first good answer is a stay
        rig.cycle()
        assert rig.h.state is StateSession and rig.h._second_session_frame_sent
    trace()
    rig.slave.inject_bit_flip(rig.crc_bit())
    rig.cycle()
    if second:
        assert rig.errors == [("SESSION_FAIL1", BAD_CRC)] and rig.h.state is StateReset
        assert_reset_request(rig, BaseError.INVALID_CRC)
    else:
        assert rig.errors == [("SESSION_STAY2", BAD_CRC)] and rig.h.state is StateSession
        assert trace() == ["SESSION_STAY2"] and rig.h.get_request()[0] == SESSION


@pytest.mark.parametrize("state, name", [(StateSession, "SESSION_RESET2"), (StateConnection, "CONN_RESET2"),
                                         (StateParameter, "PARA_RESET2"), (StateData, "DATA_RESET2")])
def test_host_reset_in_each_state(make, trace, state, name):
    rig = make(1, 1)
    rig.h.start()
    rig.run_to(state)
    trace()
    rig.h.reset()
    assert trace() == [name] and rig.errors == [] and rig.h.state is StateReset and rig.h.running
    assert_reset_request(rig, BaseError.RESET)
    extra = recover_after_repeated_ack(rig, state is not StateSession)
    rig.run_to(StateData)
    assert rig.errors == extra


# Expiry in every state is judged in the C++ tests (WatchdogExpiry); here the report
# through the callback, the trace and the state classes, from Reset and from a later state.
@pytest.mark.parametrize("state", [StateReset, StateData])
def test_expiry_event_reported_traced_and_recovered(make, trace, state):
    rig = make(params=PARAMS[:1])
    rig.h.start()
    rig.run_to(state)
    rig.states.clear()
    trace()
    rig.h._watchdog_expired_event()
    if state is StateReset:
        assert rig.errors == [("RESET_WD", WD_EXPIRED)] and trace() == ["RESET_WD"]
        assert rig.h.state is StateSession and rig.h.get_request()[0] == SESSION
    else:
        name = "CONN_WD" if state is StateConnection else f"{PREFIX[state]}_WD"
        assert rig.errors == [(name, WD_EXPIRED)] and trace() == [name]
        assert rig.h.state is StateReset and rig.states == [StateReset]
        assert_reset_request(rig, BaseError.WD_EXPIRED)
    extra = recover_after_repeated_ack(rig, state is not StateSession)
    rig.run_to(StateData)
    assert len(rig.errors) == 1 + len(extra)


# ---- replies the handler cannot read --------------------------------------------------


# Every state, size and length is judged in the C++ tests (UnreadableReply); here what
# the binding adds: no exception for any length, the report through the callback.
@pytest.mark.parametrize("shape", ["short", "long", "empty"])
def test_reply_of_the_wrong_length_is_reported_not_raised(make, shape):
    rig = make(2, 2)
    rig.h.start()
    rig.run_to(StateData)
    reply = {"short": bytes([PROCESS_DATA, CONN_ID, 0]), "long": rig.slave.reply + b"\0\0", "empty": b""}[shape]
    rig.h.set_reply(reply)  # nothing raised
    assert rig.errors == [("DATA_FAIL1", BAD_CRC)] and rig.h.state is StateReset
    assert rig.fail_safe_inputs()


def test_one_trailing_byte_is_tolerated(make):
    rig = make()
    rig.h.start()
    for _ in range(12):
        rig.h.set_reply(rig.slave.step(rig.h.get_request()) + b"\xff")
    assert rig.h.state is StateData and rig.errors == []


@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview, lambda b: memoryview(b"xx" + b)[2:]])
def test_reply_accepts_any_byte_buffer(make, wrap):
    rig = make()
    rig.h.start()
    for _ in range(12):
        rig.h.set_reply(wrap(bytes(rig.slave.step(rig.h.get_request()))))
    assert rig.h.state is StateData and rig.errors == []


@pytest.mark.parametrize("bad", ["2a00", [0x2A, 0, 0], 42, None, 1.5])
def test_reply_of_another_type_is_a_type_error(make, bad):
    rig = make()
    rig.h.start()
    request = rig.h.get_request()
    with pytest.raises(TypeError):
        rig.h.set_reply(bad)
    assert rig.h.get_request() == request and rig.errors == []


# ---- callbacks: exceptions and re-entrancy -----------------------------------------------


class Boom(Exception):
    pass


def test_callback_exceptions_come_after_the_transition(make):
    rig = make()
    armed = {"error": False, "state": False}
    seen = []

    def on_error(name, message):
        seen.append(name)
        if armed["error"]:
            raise Boom("error callback")

    def on_state(state):
        seen.append(state)
        if armed["state"]:
            raise KeyError("state callback")

    rig.rebuild(report_error_callback=on_error,
                          state_change_callback=on_state)
    rig.h.start()
    rig.run_to(StateData)

    # Both callbacks raise: the first exception is the one the host sees.
    armed.update(error=True, state=True)
    seen.clear()
    rig.slave.inject_bit_flip(rig.crc_bit())
    with pytest.raises(Boom, match="error callback"):
        rig.cycle()
    assert seen == ["DATA_FAIL1", StateReset] and rig.h.state is StateReset
    assert_reset_request(rig, BaseError.INVALID_CRC)

    # A raising state-change callback on the host's reset.
    armed.update(error=False)
    with pytest.raises(KeyError):
        rig.cycle()  # RESET_OK: Reset -> Session
    assert rig.h.state is StateSession and rig.h.get_request()[0] == SESSION
    armed.update(state=False)
    rig.run_to(StateData)
    armed.update(state=True)
    with pytest.raises(KeyError):
        rig.h.reset()
    assert rig.h.state is StateReset and rig.h.running
    assert_reset_request(rig, BaseError.RESET)
    armed.update(state=False)
    rig.run_to(StateData)
    with pytest.raises(KeyError):
        armed.update(state=True)
        rig.h.stop()
    assert not rig.h.running and not rig.h.master.dictionary_map.locked
    rig.h.delete()


def run_guarded(fn):
    """Runs fn on a helper thread: a deadlock shows as a thread that never ends."""
    result = {}

    def body():
        try:
            fn()
            result["ok"] = True
        except BaseException as e:  # noqa: BLE001
            result["error"] = e

    t = threading.Thread(target=body, daemon=True)
    t.start()
    t.join(30)
    assert not t.is_alive(), "the handler deadlocked"
    if "error" in result:
        raise result["error"]


@pytest.mark.parametrize("action", ["stop", "reset"])
def test_error_callback_may_stop_or_reset_the_handler(make, action):
    rig = make()
    calls = []

    def on_error(name, message):
        calls.append(name)
        getattr(rig.h, action)()

    rig.rebuild(report_error_callback=on_error)

    def scenario():
        rig.h.start()
        rig.run_to(StateData)
        rig.slave.inject_unknown_command()
        rig.cycle()
        rig.h._watchdog_expired_event()

    run_guarded(scenario)
    if action == "stop":
        assert calls == ["DATA_FAIL4"] and not rig.h.running and not rig.h.master.dictionary_map.locked
        assert rig.h.state is StateReset
    else:  # the reset inside each report stands, the expiry's move to Session included
        assert calls == ["DATA_FAIL4", "RESET_WD"] and rig.h.running and rig.h.state is StateReset
        assert rig.h.get_request()[:2] == bytes([0x2A, 0])  # a plain Reset request
    rig.h.delete()


def live_inputs(rig, values):
    rig.h.set_fail_safe(False)
    rig.slave.process_data = True
    rig.slave.inputs = bytes(values)
    rig.cycle(4)
    assert [item.get() for item in rig.ins] == list(values)


@pytest.mark.parametrize("fault", ["corrupted reply", "reset", "stop"])
def test_raising_subscriber_cannot_stop_the_fault_reaction(make, fault):
    """A subscriber on the first input raises while the handler leaves Data: the
    second input still falls back, the transition completes, then the error comes."""
    rig = make()
    armed = []
    second = []

    def first_changed():
        if armed:
            raise Boom("subscriber")

    rig.ins[0].subscribe_changed(first_changed)
    rig.ins[1].subscribe_changed(lambda: second.append(rig.ins[1].get()))
    rig.h.start()
    rig.run_to(StateData)
    live_inputs(rig, (0x11, 0x22))
    armed.append(True)
    second.clear()
    with pytest.raises(Boom, match="subscriber"):
        if fault == "corrupted reply":
            rig.slave.inject_bit_flip(rig.crc_bit())
            rig.cycle()
        else:
            getattr(rig.h, fault)()
    assert rig.fail_safe_inputs() and second == [rig.ins[1].fail_safe_value]
    assert rig.h.state is StateReset and rig.h.get_request()[0] == RESET
    assert rig.h.running is (fault != "stop")
    if fault == "corrupted reply":
        assert rig.errors == [("DATA_FAIL1", BAD_CRC)]
        assert_reset_request(rig, BaseError.INVALID_CRC)
        armed.clear()
        rig.run_to(StateData)  # and the connection comes back
        live_inputs(rig, (0x33, 0x44))


def test_raising_subscriber_on_the_watchdog_thread_is_logged(make, caplog):
    rig = make(watchdog_s=0.05)
    raised = []

    def first_changed():
        raised.append(threading.current_thread())
        raise Boom("subscriber on the watchdog thread")

    rig.ins[0].subscribe_changed(first_changed)
    rig.h.start()
    rig.run_to(StateData)
    rig.h.set_fail_safe(False)
    rig.slave.process_data = True
    rig.slave.inputs = bytes((1, 2))
    with pytest.raises(Boom):  # the live values come in on this thread
        rig.cycle(4)
    assert [item.get() for item in rig.ins] == [1, 2]
    with caplog.at_level("ERROR"):
        deadline = time.monotonic() + 10
        while len(raised) < 2 and time.monotonic() < deadline:
            time.sleep(0.01)  # no cycles: the watchdog expires
        rig.h.stop()
    assert raised[1] is rig.h._watchdog
    assert any(r.exc_info and isinstance(r.exc_info[1], Boom) for r in caplog.records)
    assert rig.errors[0] == ("DATA_WD", WD_EXPIRED) and rig.fail_safe_inputs()


def test_nested_set_reply_is_refused(make):
    rig = make()
    refused = []

    def on_error(name, message):
        with pytest.raises(RuntimeError, match="cannot be called from a callback") as e:
            rig.h.set_reply(b"\0" * 7)
        refused.append(e.value)

    rig.rebuild(report_error_callback=on_error)
    rig.h.start()
    rig.run_to(StateData)
    rig.slave.inject_bit_flip(rig.crc_bit())
    rig.cycle()
    assert len(refused) == 1 and rig.h.state is StateReset
    assert_reset_request(rig, BaseError.INVALID_CRC)


def test_delete_from_a_callback_waits_for_the_events_end(make):
    rig = make()
    alive_inside = []

    def on_error(name, message):
        rig.h.delete()
        alive_inside.append(rig.h._watchdog.is_alive())

    rig.rebuild(report_error_callback=on_error)
    rig.h.start()
    rig.run_to(StateData)
    rig.slave.inject_unknown_command()
    rig.cycle()
    assert alive_inside == [True] and not rig.h._watchdog.is_alive()
    assert rig.h.state is StateReset


class _LastReference:
    """An error callback that drops the last reference to its handler, and
    records when the handler (which holds it) lets it go."""

    def __init__(self, holder, order):
        self.holder, self.order = holder, order

    def __call__(self, name, message):
        self.order.append(name)
        self.holder.clear()

    def __del__(self):
        self.order.append("freed")


def test_expiry_callback_may_drop_the_last_reference(make):
    """On the watchdog thread: the expiry's event completes (its move to Session
    and that state change included) before the handler goes."""
    order, holder = [], []
    out = DictionaryItemOutput(1, "out", DataType.UINT8)
    inp = DictionaryItemInput(2, "in", DataType.UINT8, 0)
    h = MasterHandler(Dictionary([out, inp]), ADDRESS, CONN_ID, 0.02,
                      report_error_callback=_LastReference(holder, order),
                      state_change_callback=order.append)
    h.master.dictionary_map.add(out)
    h.slave.dictionary_map.add(inp)
    holder.append(h)
    h.start()
    del h
    deadline = time.monotonic() + 10
    while "freed" not in order and time.monotonic() < deadline:
        time.sleep(0.01)
    assert order == ["RESET_WD", StateSession, "freed"]


def test_running_handler_dropped_while_expiries_wait_for_the_interpreter():
    """The host drops a running handler (no delete()) while its expiries queue
    up for the interpreter lock: the expiry finds the handler going and leaves
    it alone (no second Python object for it, no double free)."""
    reports = []
    for n in range(200):
        out = DictionaryItemOutput(1, "out", DataType.UINT8)
        inp = DictionaryItemInput(2, "in", DataType.UINT8, 0)
        h = MasterHandler(Dictionary([out, inp]), ADDRESS, CONN_ID, 0.001,
                          report_error_callback=lambda name, message: reports.append(name))
        h.master.dictionary_map.add(out)
        h.slave.dictionary_map.add(inp)
        h.start()
        end = time.perf_counter() + 0.002 + (n % 7) * 0.0005
        while time.perf_counter() < end:  # holds the interpreter lock
            pass
        del h
    assert set(reports) <= {"RESET_WD", "SESSION_WD"}


def test_state_change_callback_may_read_the_request(make):
    rig = make()
    requests = []
    rig.rebuild(state_change_callback=lambda state: requests.append((state, rig.h.get_request())))
    run_guarded(lambda: (rig.h.start(), rig.run_to(StateData)))
    assert [s for s, _ in requests] == [StateSession, StateConnection, StateParameter, StateData]
    assert all(isinstance(r, bytes) and len(r) == 7 for _, r in requests)
    rig.h.delete()


def test_state_change_only_on_a_new_class(make):
    rig = make()
    rig.h._set_next_state(StateReset)
    assert rig.states == []
    rig.h._set_next_state(StateData)
    assert rig.states == [StateData] and isinstance(rig.h._state, StateData)


def test_report_error_passes_both_texts(make):
    rig = make()
    rig.h._report_error("X_FAIL", "text")
    assert rig.errors == [("X_FAIL", "text")]
    h = MasterHandler(Dictionary([]), 1, 1, 1.0)
    h._report_error("X_FAIL", "nobody listens")
    h.delete()


def test_session_ids_are_drawn_anew(make):
    rig = make()
    ids = set()
    for _ in range(20):
        rig.h._create_session_id()
        ids.add(rig.h.master.session.session_id.value)
        assert not rig.h._second_session_frame_sent
    assert len(ids) > 1 and all(0 <= i <= 0xFFFF for i in ids)


# ---- the watchdog thread -----------------------------------------------------------------


def wait_for(condition, seconds=20.0):
    end = time.monotonic() + seconds
    while not condition() and time.monotonic() < end:
        time.sleep(0.005)
    return condition()


def test_silent_slave_is_cut_off_by_the_watchdog():
    errors = []
    d = Dictionary([DictionaryItemOutput(1, "o", DataType.UINT16), DictionaryItemInput(2, "i", DataType.UINT16, 0)])
    h = MasterHandler(d, ADDRESS, CONN_ID, 0.05, report_error_callback=lambda n, m: errors.append((n, m)))
    h.master.dictionary_map.add(d.key_map[1])
    h.slave.dictionary_map.add(d.key_map[2])
    try:
        time.sleep(0.15)
        h.reset()
        time.sleep(0.15)
        assert errors == []  # not running: nothing is supervised
        h.start()
        assert wait_for(lambda: len(errors) >= 2)
        assert errors[:2] == [("RESET_WD", WD_EXPIRED), ("SESSION_WD", WD_EXPIRED)]
        h.stop()
        count = len(errors)
        time.sleep(0.2)
        assert len(errors) == count and h.state is StateReset
    finally:
        h.delete()


def test_watchdog_expiry_in_data_reaches_the_host(make):
    rig = make(watchdog_s=0.3)
    rig.h.start()
    rig.run_to(StateData)
    assert wait_for(lambda: rig.errors)
    assert rig.errors[0] == ("DATA_WD", WD_EXPIRED)
    rig.h.stop()


def test_watchdog_is_a_thread_of_its_own():
    """The watchdog as a Python thread: named after the connection, the thread on which
    expiry callbacks run, and inactive whenever the handler is not running."""
    threads = []
    d = Dictionary([DictionaryItemOutput(1, "o", DataType.UINT16), DictionaryItemInput(2, "i", DataType.UINT16, 0)])
    h = MasterHandler(d, ADDRESS, CONN_ID, 0.05,
                      report_error_callback=lambda n, m: threads.append(("error", threading.current_thread())),
                      state_change_callback=lambda s: threads.append(("state", threading.current_thread())))
    try:
        watchdog = h._watchdog
        assert isinstance(watchdog, threading.Thread) and watchdog is h._watchdog
        assert watchdog.is_alive() and str(CONN_ID) in watchdog.name
        assert watchdog in threading.enumerate()
        assert not watchdog.active
        h.reset()
        assert not watchdog.active
        h.master.dictionary_map.add(d.key_map[1])
        with pytest.raises(ValueError):
            h.start()  # no input mapped: refused
        assert not h.running and not watchdog.active
        h.slave.dictionary_map.add(d.key_map[2])
        h.start()
        assert watchdog.active
        assert wait_for(lambda: len(threads) >= 2)
        assert threads[0] == ("error", watchdog) and threads[1] == ("state", watchdog)
        h.stop()
        assert not watchdog.active
    finally:
        h.delete()
    assert wait_for(lambda: not watchdog.is_alive())


def test_error_callback_on_the_watchdog_thread_may_stop_the_handler():
    done = threading.Event()
    d = Dictionary([DictionaryItemOutput(1, "o", DataType.UINT16), DictionaryItemInput(2, "i", DataType.UINT16, 0)])

    def on_error(name, message):
        h.stop()
        done.set()

    h = MasterHandler(d, ADDRESS, CONN_ID, 0.05, report_error_callback=on_error)
    h.master.dictionary_map.add(d.key_map[1])
    h.slave.dictionary_map.add(d.key_map[2])
    try:
        h.start()
        assert done.wait(30)
        assert wait_for(lambda: not h.running and (h._watchdog is None or not h._watchdog.active))
        assert not h.master.dictionary_map.locked
    finally:
        h.delete()


def test_handler_stopped_from_its_error_callback_stays_in_reset(make):
    rig = make()

    def on_error(name, message):
        rig.h.stop()

    rig.rebuild(report_error_callback=on_error)
    rig.h.start()
    rig.h._watchdog_expired_event()  # RESET_WD, which moves on to Session
    try:
        assert not rig.h.running
        assert rig.h.state is StateReset and rig.h.get_request()[0] == RESET
    finally:
        rig.h.delete()


def test_input_output_items_travel_both_ways(make):
    both = DictionaryItemInputOutput(1, "both", DataType.UINT16, 0x0BAD)
    d = Dictionary([both])
    h = MasterHandler(d, ADDRESS, CONN_ID, 5.0)
    h.master.dictionary_map.add(both)
    h.slave.dictionary_map.add(both)
    slave = SlaveSimulator(ADDRESS, manual_clock=True)
    try:
        h.start()
        for _ in range(12):
            h.set_reply(slave.step(h.get_request()))
        both.set(0x1234)
        h.set_fail_safe(False)
        slave.process_data = True
        slave.inputs = b"\x78\x56"
        for _ in range(3):
            h.set_reply(slave.step(h.get_request()))
        assert h.state is StateData and slave.outputs == b"\x34\x12" and both.get() == 0x5678
    finally:
        h.delete()


def test_handler_in_a_cycle_through_an_input_subscriber_is_collected():
    import gc
    import weakref

    class App:
        def __init__(self):
            self.item = DictionaryItemInput(1, "in", DataType.UINT8, 0)
            self.item.subscribe_changed(self.changed)
            self.h = MasterHandler(Dictionary([self.item]), ADDRESS, CONN_ID, 5.0)

        def changed(self):
            pass

    app = App()
    app.h.delete()
    watch = weakref.ref(app)
    del app
    gc.collect()
    try:
        assert watch() is None
    finally:
        left = watch()
        if left is not None:  # break the cycle by hand, so nothing is left at exit
            left.item.unsubscribe_changed(left.changed)
            del left
            gc.collect()


# ---- the CRC_0 skip ------------------------------------------------------------------


def crc0_of(seed, sequence, command, data):
    """CRC_0 of a 2-byte frame of this connection with these fields."""
    frame = FSOEFrame(7)
    frame.control.crc0, frame.control.sequence_number = seed, sequence
    frame.control.command, frame.control.connection_id = command, CONN_ID
    frame.set_safe_data_bytes(data)
    frame.generate_crcs()
    return frame.crcs[0]


def colliding_data(seed, sequence, command, last_crc0):
    """Two safe-data bytes whose frame would repeat the sender's last CRC_0."""
    for value in range(0x10000):
        data = value.to_bytes(2, "little")
        if crc0_of(seed, sequence, command, data) == last_crc0:
            return data
    pytest.skip("no 2-byte value repeats that CRC_0")  # one in 65536 value sets


@pytest.mark.parametrize("side", ["request", "reply"])
def test_crc0_skip_in_both_directions(make, side):
    """A frame whose CRC_0 would repeat the sender's previous one is sent with the
    next sequence number; both ends follow, and the connection goes on unharmed."""
    rig = make(2, 2)
    rig.h.start()
    rig.run_to(StateData)
    rig.h.set_fail_safe(False)
    rig.cycle(3)
    rig.slave.process_data = True
    rig.cycle(3)
    request = rig.h.get_request()
    if side == "request":
        # The next request is built when the slave's coming reply arrives: its
        # seed is that reply's CRC_0, its number the master's current one.
        reply = rig.slave.step(request)
        seed = int.from_bytes(reply[3:5], "little")
        sequence = rig.h.master.frame.control.sequence_number
        data = colliding_data(seed, sequence, FSOECommand.PROCESS_DATA, rig.h.master._last_crc0_sent)
        rig.dictionary.set("out0", data[0])
        rig.dictionary.set("out1", data[1])
        rig.h.set_reply(reply)
        assert rig.h.master.frame.control.sequence_number == (sequence + 2) % 0x10000 or sequence == 0xFFFF
        rig.cycle(4)
        assert rig.slave.outputs == data
    else:
        # The slave's next reply answers the request in flight: the master
        # expects it with its current seed and number.
        seed = rig.h.slave.frame.control.crc0
        sequence = rig.h.slave.frame.control.sequence_number
        data = colliding_data(seed, sequence, FSOECommand.PROCESS_DATA, rig.h.slave._last_crc0_sent)
        rig.slave.inputs = data
        rig.cycle()
        assert rig.h.slave.frame.control.sequence_number == (sequence + 2) % 0x10000 or sequence == 0xFFFF
        rig.cycle(3)
        assert bytes(item.get() for item in rig.ins) == data
    assert rig.errors == [] and rig.h.state is StateData
