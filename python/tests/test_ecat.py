"""The virtual EtherCAT segment: frame handling through Python, and pysoem (the
SOEM master) against it over a veth pair, each case in a network namespace of
its own (ecat_netns.py, run under `unshare --net`; root needed)."""

from __future__ import annotations

import json
import os
import pathlib
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET

import pytest

from kestrel import SlaveSimulator, VirtualSegment

HELPER = pathlib.Path(__file__).resolve().with_name("ecat_netns.py")


def _netns_unavailable() -> str | None:
    if os.geteuid() != 0:
        return "needs root for a network namespace and a packet socket"
    for tool in ("unshare", "ip"):
        if shutil.which(tool) is None:
            return f"needs `{tool}` (util-linux / iproute2)"
    try:
        import pysoem  # noqa: F401
    except ImportError:
        return "needs pysoem (pip install kestrel[pysoem])"
    if subprocess.run(["unshare", "--net", "true"], capture_output=True).returncode != 0:
        return "unshare --net is not permitted here"
    return None


netns = pytest.mark.skipif(_netns_unavailable() is not None, reason=str(_netns_unavailable()))


def run_in_netns(*args: str, timeout: float = 120) -> dict:
    result = subprocess.run(["unshare", "--net", sys.executable, str(HELPER), *args], capture_output=True,
                            text=True, timeout=timeout)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    return json.loads(result.stdout.strip().splitlines()[-1])


# --- through Python, without a network ---

def broadcast_read_frame(register: int, length: int) -> bytes:
    datagram = bytes([7, 0, 0, 0]) + register.to_bytes(2, "little") + length.to_bytes(2, "little") + bytes(2)
    datagram += bytes(length) + bytes(2)
    header = (len(datagram) | 0x1000).to_bytes(2, "little")
    return b"\xff" * 6 + b"\x01" * 6 + b"\x88\xa4" + header + datagram


def test_segment_answers_a_frame_and_refuses_what_is_not_one():
    segment = VirtualSegment()
    slaves = [SlaveSimulator(5), SlaveSimulator(6, input_size=4, output_size=16)]
    for s in slaves:
        segment.add_device(s)
    assert len(segment) == 2 and segment.slave(1) is slaves[1]
    frame = broadcast_read_frame(0x0130, 2)
    back = segment.process(frame)
    assert back[6] == 0x03 and back[7:12] == frame[7:12]  # the source address marked
    assert int.from_bytes(back[-2:], "little") == 2  # both devices counted
    assert back[-4] == 0x01  # AL status INIT
    assert (segment.output_length(1), segment.input_length(1)) == (35, 11)
    assert segment.device_name(1) == "FSoE slave 16/4 bytes"
    assert [segment.al_state_name(i) for i in range(2)] == ["INIT", "INIT"]
    assert segment.process(frame[:20]) is None
    assert segment.process(frame[:12] + b"\x08\x00" + frame[14:]) is None
    assert segment.counters["malformed"] == 1
    with pytest.raises(IndexError):
        segment.al_state(2)
    with pytest.raises(TypeError, match="slave must be a SlaveSimulator"):
        segment.add_device(object())


def test_serve_needs_an_interface():
    segment = VirtualSegment()
    with pytest.raises(RuntimeError, match="not open"):
        segment.serve(0.01)
    with pytest.raises(RuntimeError, match="no interface"):
        segment.open("kestrel-none0")


# --- pysoem over a veth pair ---

@netns
def test_pysoem_example_runs_against_the_segment():
    found = run_in_netns("host")
    lines = found["host_lines"]
    assert found["returncode"] == 0, found["host_errors"]
    assert found["max_al_state"] == 8  # the example brought the device to OP
    first_data = lines.index("FSoE state: StateData")
    # The injected corruption: one report, then the connection comes back to Data.
    after = lines[first_data + 1:]
    faults = [line for line in after if line.startswith("FSoE fault")]
    assert faults == ["FSoE fault: DATA_FAIL1: Invalid slave CRC"]
    assert after.index("FSoE state: StateData") > after.index(faults[0])
    assert lines[-1] == "FSoE state: StateReset"  # stop()
    assert found["injected"]
    # Safe data both ways: the example's outputs reached the slave (STO_enable, speed 120) ...
    assert found["outputs_in_data"] == ["0178"]
    # ... and stop()'s Reset frames too.
    assert found["slave_state"] == "RESET" and found["last_reset_received"] == 0
    assert found["resets_received"] >= 2
    assert found["counters"]["malformed"] == 0
    assert found["unknown_accesses"] == []


@netns
def test_two_devices_of_different_sizes_one_goes_silent():
    found = run_in_netns("two")
    assert found["slaves"] == [["FSoE slave 2/2 bytes", 7, 7], ["FSoE slave 4/6 bytes", 11, 15]]
    assert found["inputs"] == [[0x11, 0x22], [1, 2, 3, 4, 5, 6]]
    before = found["status_before"]
    assert before["states"] == ["DATA", "DATA"] and before["al"] == ["OP", "OP"]
    assert before["outputs"] == ["0709", "a0a1a2a3"]
    events = found["events_after_silence"]
    assert [0, "fault"] not in [e[:2] for e in events]  # the other connection is untouched
    assert events[0] == [1, "fault", "DATA_WD", "The watchdog of the master expired"]
    assert found["states"][0] == "StateData" and found["states"][1] != "StateData"
    after = found["status_after"]
    assert after["received"][0] > before["received"][0] + 50 and after["received"][1] == before["received"][1]
    assert after["al"] == ["OP", "OP"]  # the bus itself carried on


@netns
@pytest.mark.skipif(shutil.which("tmux") is None, reason="needs tmux")
def test_virtual_slave_live_view_takes_the_fault_keys():
    pytest.importorskip("rich")
    found = run_in_netns("live")
    assert found["data_shown"], found["after_key"]
    assert "device 0: corrupted CRC injected" in found["after_key"]
    lines = found["host_lines"]
    assert found["returncode"] == 0, found["host_errors"]
    after = lines[lines.index("FSoE state: StateData") + 1:]
    assert [line for line in after if line.startswith("FSoE fault")] == ["FSoE fault: DATA_FAIL1: Invalid slave CRC"]
    assert "virtual-slave stopped" in found["after_quit"]


@netns
def test_virtual_slave_command_is_scanned_and_writes_its_esi(tmp_path):
    esi = tmp_path / "devices.xml"
    found = run_in_netns("cli", "--devices", "3", "--output-bytes", "4", "--input-bytes", "2", "--address", "9",
                         "--esi", str(esi))
    assert found["found"] == 3, found["stderr"]
    assert found["iomap"] == 3 * (11 + 7) and found["safeop"]
    assert [s[0] for s in found["slaves"]] == ["FSoE slave 4/2 bytes"] * 3
    assert {(s[4], s[5]) for s in found["slaves"]} == {(11, 7)}
    assert found["returncode"] == 0, found["stderr"]
    assert "FSoE address 9" in found["stdout"] and "FSoE address 11" in found["stdout"]
    devices = ET.parse(esi).getroot().findall(".//Device")
    assert len(devices) == 1  # one device type: the three are alike
    product = int(devices[0].find("Type").get("ProductCode").replace("#x", "0x"), 16)
    assert product == found["slaves"][0][2]
    rx = devices[0].find("RxPdo")
    assert sum(int(e.findtext("BitLen")) for e in rx.findall("Entry")) == 8 * 11
