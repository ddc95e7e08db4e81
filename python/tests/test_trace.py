import os
import subprocess
import sys
import textwrap

import pytest

import kestrel
from kestrel import kestrel as k
from kestrel.kestrel import FSOECommand, FSOEFrame


@pytest.fixture
def trace_on():
    previous = k.KESTREL_LOGGING
    k.KESTREL_LOGGING = True
    yield
    k.KESTREL_LOGGING = previous


def _example():
    f = FSOEFrame.frame_from_array(bytes.fromhex("3611223D393344226E0302"))
    f.control.sequence_number, f.control.crc0 = 5, 0x1234
    return f


def test_transition_and_generation_lines(trace_on, capsys):
    k._log_transition("PARA_OK")
    k._log_transition(42)
    k._log_transition(None)
    f = _example()
    f.generate_crcs()
    assert capsys.readouterr().out.splitlines() == [
        "MASTER | TRANSITION | PARA_OK",
        "MASTER | TRANSITION | 42",
        "MASTER | TRANSITION | None",
        "MASTER | CRC | Generating",
        "Calculated CRC[0]: 0x393d",
        "Reference CRC0:    0x1234",
        "Connection ID:     0x203",
        "Sequence number:   0x5",
        "Command:           0x36",
    ]


def test_check_lines_valid_and_invalid(trace_on, capsys):
    f = _example()
    assert f.check_crcs()
    f.control.sequence_number = 0
    f.control.crc0 = 0
    f.crcs[1] = 0x0A1B
    assert not f.check_crcs()
    out = capsys.readouterr().out.split("\n")
    assert out[:8] == [
        "MASTER | CRC | Check",
        "Calculated CRCs:   393D 6E22 " + "0000 " * 6,
        "Received CRCs:     393D 6E22 " + "0000 " * 6,
        "Reference CRC0:    0x1234",
        "Connection ID:     0x203",
        "Sequence number:   0x5",
        "Command:           0x36",
        "VALID",
    ]
    assert out[8] == "MASTER | CRC | Check"
    assert out[10] == "Received CRCs:     393D 0A1B " + "0000 " * 6
    assert out[11:16] == ["Reference CRC0:    0x0", "Connection ID:     0x203", "Sequence number:   0x0",
                          "Command:           0x36", "INVALID!"]


def test_cyclic_generation_traces_each_attempt_and_check_once(trace_on, capsys):
    f = _example()
    f.generate_crcs_cyclic(0x393D)  # equal CRC_0: a second attempt
    assert capsys.readouterr().out.count("MASTER | CRC | Generating") == 2
    r = FSOEFrame.frame_from_array(f.frame_to_array())
    r.control.sequence_number, r.control.crc0 = 5, 0x1234
    assert r.check_crcs_cyclic(0x393D)
    assert capsys.readouterr().out.count("MASTER | CRC | Check") == 1


def test_log_functions_called_directly(trace_on, capsys):
    f = _example()
    k._log_check_crc([0, 0xA1B], f, False)
    lines = capsys.readouterr().out.splitlines()
    assert lines[1] == "Calculated CRCs:   0000 0A1B "
    assert lines[-1] == "INVALID!"


def test_off_prints_nothing_and_assignment_switches(capsys):
    previous = k.KESTREL_LOGGING
    try:
        k.KESTREL_LOGGING = False
        k._log_transition("X")
        k._log_generate_crc(_example())
        k._log_check_crc([0] * 8, _example(), True)
        k._log_generate_crc(None)  # off: no argument is even looked at
        k._log_check_crc(None, None, None)
        _example().generate_crcs()
        assert capsys.readouterr().out == ""
        kestrel.KESTREL_LOGGING = "yes"  # the package forwards to the module
        assert k.KESTREL_LOGGING == "yes"
        k._log_transition("Y")
        assert capsys.readouterr().out == "MASTER | TRANSITION | Y\n"
    finally:
        k.KESTREL_LOGGING = previous


@pytest.mark.parametrize("env,expected", [(None, False), ("", False), ("0", True), ("false", True), ("1", True)])
def test_environment_switch_read_at_load(env, expected):
    code = textwrap.dedent("""
        import kestrel.kestrel as k
        f = k.FSOEFrame(7)
        f.generate_crcs()
        print("SWITCH", k.KESTREL_LOGGING)
    """)
    environ = {key: value for key, value in os.environ.items() if key != "KESTREL_LOGGING"}
    if env is not None:
        environ["KESTREL_LOGGING"] = env
    out = subprocess.run([sys.executable, "-c", code], env=environ, capture_output=True, text=True, check=True).stdout
    assert f"SWITCH {expected}" in out
    assert ("MASTER | CRC | Generating" in out) is expected


@pytest.mark.parametrize("call", [lambda: k._log_generate_crc(None), lambda: k._log_check_crc([0], "frame", True),
                                  lambda: k._log_check_crc(None, FSOEFrame(7), True)])
def test_on_wrong_arguments_are_type_errors(trace_on, call):
    with pytest.raises(TypeError):
        call()
