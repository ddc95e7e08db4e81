"""Scenarios of the virtual EtherCAT segment over a veth pair, run by
test_ecat.py inside a network namespace of their own (unshare --net, as root).

    python ecat_netns.py host      the segment here, examples/pysoem_host.py against it
    python ecat_netns.py two       two handlers over one pysoem master here, the segment in a child
    python ecat_netns.py cli ARGS  `python -m kestrel virtual-slave ARGS` scanned by pysoem
    python ecat_netns.py live      `virtual-slave` on a terminal (tmux), the example against it, a fault key
    python ecat_netns.py serve     (the child of `two`) commands on stdin, answers on stdout

Each prints one JSON line (the scenario's findings) last; the test judges them.
"""

from __future__ import annotations

import importlib.util
import json
import os
import pathlib
import select
import signal
import subprocess
import sys
import time

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "pysoem_host.py"
MASTER_IF, SEGMENT_IF = "veth0", "veth1"


def make_veth() -> None:
    if os.path.exists(f"/sys/class/net/{MASTER_IF}"):
        return
    for command in (["ip", "link", "set", "lo", "up"],
                    ["ip", "link", "add", MASTER_IF, "type", "veth", "peer", "name", SEGMENT_IF],
                    ["ip", "link", "set", MASTER_IF, "up"], ["ip", "link", "set", SEGMENT_IF, "up"]):
        subprocess.run(command, check=True)


def load_example():
    spec = importlib.util.spec_from_file_location("pysoem_host", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def segment_of(sizes: list[tuple[int, int]], first_address: int):
    from kestrel import SlaveSimulator, VirtualSegment

    segment = VirtualSegment()
    for i, (out, inp) in enumerate(sizes):
        segment.add_device(SlaveSimulator(first_address + i, output_size=out, input_size=inp))
    segment.open(SEGMENT_IF)
    return segment


def scenario_host() -> dict:
    """The example unchanged; the slave answers with process data once in Data,
    a reply is corrupted once the connection has run a while."""
    from kestrel import SlaveSimulator

    make_veth()
    segment = segment_of([(2, 2)], 5)
    slave = segment.slave(0)
    host = subprocess.Popen([sys.executable, str(EXAMPLE), MASTER_IF, "--cycles", "3000"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    findings = {"outputs_in_data": [], "injected": False, "max_al_state": 0}
    data_frames = None
    deadline = time.monotonic() + 60
    while host.poll() is None and time.monotonic() < deadline:
        segment.serve(0.005)
        findings["max_al_state"] = max(findings["max_al_state"], segment.al_state(0))
        if slave.state is SlaveSimulator.State.DATA:
            if not slave.process_data:
                slave.process_data = True
                slave.inputs = bytes([0x00, 42])
            if slave.outputs not in findings["outputs_in_data"] and slave.outputs != bytes(2):
                findings["outputs_in_data"].append(slave.outputs)
            received = slave.counters["frames_received"]
            data_frames = received if data_frames is None else data_frames
            if not findings["injected"] and received - data_frames > 300:
                slave.inject_bit_flip(12)
                findings["injected"] = True
    # The example's last cycles (its Reset frames) are answered before it closes.
    for _ in range(20):
        segment.serve(0.005)
    if host.poll() is None:
        host.kill()
    out, err = host.communicate()
    findings.update(
        returncode=host.returncode, host_lines=out.splitlines(), host_errors=err[-2000:],
        outputs_in_data=[o.hex() for o in findings["outputs_in_data"]],
        slave_state=slave.state.name, resets_received=slave.counters["resets_received"],
        last_reset_received=slave.last_reset_received, al_state=segment.al_state(0),
        unknown_accesses=segment.unknown_accesses(0), counters=segment.counters)
    return findings


def scenario_serve() -> None:
    """The segment of `two`: devices of different sizes; stdin takes
    'silence N', 'status' and 'quit'; each answer is one JSON line."""
    segment = segment_of([(2, 2), (4, 6)], 5)
    inputs = [bytes([0x11, 0x22]), bytes([1, 2, 3, 4, 5, 6])]
    print(json.dumps({"ready": True}), flush=True)
    while True:
        segment.serve(0.002)
        for i in range(len(segment)):
            slave = segment.slave(i)
            if slave.state.name == "DATA" and not slave.process_data:
                slave.process_data = True
                slave.inputs = inputs[i]
        if select.select([sys.stdin], [], [], 0)[0]:
            line = sys.stdin.readline().split()
            if not line or line[0] == "quit":
                return
            if line[0] == "silence":
                segment.slave(int(line[1])).inject_silence(1_000_000)
            print(json.dumps({
                "states": [segment.slave(i).state.name for i in range(len(segment))],
                "outputs": [segment.slave(i).outputs.hex() for i in range(len(segment))],
                "received": [segment.slave(i).counters["frames_received"] for i in range(len(segment))],
                "al": [segment.al_state_name(i) for i in range(len(segment))],
            }), flush=True)


def scenario_two() -> dict:
    from kestrel import (DataType, Dictionary, DictionaryItemInput, DictionaryItemOutput, MasterHandler,
                         StateData)

    make_veth()
    server = subprocess.Popen([sys.executable, __file__, "serve"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    assert json.loads(server.stdout.readline())["ready"]

    def ask(command: str) -> dict:
        server.stdin.write(command + "\n")
        server.stdin.flush()
        return json.loads(server.stdout.readline())

    events: list[list] = []

    def connection(index: int, slave_address: int, n_out: int, n_in: int) -> MasterHandler:
        outs = [DictionaryItemOutput(100 * index + i, f"o{index}_{i}", DataType.UINT8) for i in range(n_out)]
        ins = [DictionaryItemInput(100 * index + 50 + i, f"i{index}_{i}", DataType.UINT8, fail_safe_value=0)
               for i in range(n_in)]
        handler = MasterHandler(
            Dictionary(outs + ins), slave_address=slave_address, connection_id=index + 1, watchdog_timeout_s=0.1,
            report_error_callback=lambda name, message: events.append([index, "fault", name, message]),
            state_change_callback=lambda state: events.append([index, "state", state.__name__]))
        for item in outs:
            handler.master.dictionary_map.add(item)
        for item in ins:
            handler.slave.dictionary_map.add(item)
        return handler

    handlers = [connection(0, 5, 2, 2), connection(1, 6, 4, 6)]
    findings: dict = {}
    master = load_example().bring_up(MASTER_IF)
    try:
        findings["slaves"] = [[s.name, len(s.output), len(s.input)] for s in master.slaves]
        images = [bytearray(s.output) for s in master.slaves]
        data_cycles = [0, 0]

        def cycle() -> None:
            master.send_processdata()
            if master.receive_processdata(2000) >= master.expected_wkc:
                for handler, s in zip(handlers, master.slaves):
                    handler.set_reply_from(s.input)
            for i, (handler, s) in enumerate(zip(handlers, master.slaves)):
                handler.write_request_into(images[i])
                s.output = bytes(images[i])
                if handler.state is StateData:
                    handler.set_fail_safe(False)
                    data_cycles[i] += 1
            time.sleep(0.001)

        for h in handlers:
            h.start()
        for i in range(4):
            handlers[1].dictionary.set(f"o1_{i}", 0xA0 + i)
        handlers[0].dictionary.set("o0_0", 7)
        handlers[0].dictionary.set("o0_1", 9)
        deadline = time.monotonic() + 20
        while min(data_cycles) < 200 and time.monotonic() < deadline:
            cycle()
        findings["inputs"] = [[h.dictionary.get(f"i{i}_{k}") for k in range(n)]
                              for i, (h, n) in enumerate(zip(handlers, (2, 6)))]
        findings["status_before"] = ask("status")
        events.append([None, "silence"])
        silenced_at = len(events)
        findings["status_silence"] = ask("silence 1")
        running_before = data_cycles[0]
        end = time.monotonic() + 0.6
        while time.monotonic() < end:
            cycle()
        findings["status_after"] = ask("status")
        findings["cycles_of_0_after_silence"] = data_cycles[0] - running_before
        findings["states"] = [h.state.__name__ for h in handlers]
        findings["events_after_silence"] = events[silenced_at:]
        findings["events"] = events
    finally:
        for h in handlers:
            if h.running:
                h.stop()
            h.delete()
        master.close()
        if server.poll() is None:
            server.stdin.write("quit\n")
            server.stdin.flush()
        server.wait(10)
    return findings


def scenario_cli(args: list[str]) -> dict:
    import pysoem

    make_veth()
    cli = subprocess.Popen([sys.executable, "-m", "kestrel", "virtual-slave", "--ifname", SEGMENT_IF, *args],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    findings: dict = {}
    time.sleep(1.0)  # the interpreter starts and opens the socket
    master = pysoem.Master()
    master.open(MASTER_IF)
    try:
        findings["found"] = master.config_init()
        findings["iomap"] = master.config_map()
        findings["safeop"] = master.state_check(pysoem.SAFEOP_STATE, 50_000) == pysoem.SAFEOP_STATE
        findings["slaves"] = [[s.name, s.man, s.id, s.rev, len(s.output), len(s.input)] for s in master.slaves]
    finally:
        master.close()
        cli.send_signal(signal.SIGINT)
        try:
            out, err = cli.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            cli.kill()
            out, err = cli.communicate()
    findings.update(returncode=cli.returncode, stdout=out[-3000:], stderr=err[-3000:])
    return findings


def scenario_live() -> dict:
    """The live view: the example reaches Data, the key `c` corrupts the next reply."""
    make_veth()
    tmux = ["tmux", "-L", "kestrel-ecat-live"]
    command = f"{sys.executable} -m kestrel virtual-slave --ifname {SEGMENT_IF}; sleep 30"
    subprocess.run([*tmux, "new-session", "-d", "-s", "v", "-x", "160", "-y", "40", command], check=True)

    def screen() -> str:
        return subprocess.run([*tmux, "capture-pane", "-p", "-t", "v"], capture_output=True, text=True).stdout

    findings: dict = {}
    host = None
    try:
        deadline = time.monotonic() + 20
        while "select" not in screen() and time.monotonic() < deadline:
            time.sleep(0.1)
        host = subprocess.Popen([sys.executable, str(EXAMPLE), MASTER_IF, "--cycles", "6000"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 20
        while "DATA" not in screen() and time.monotonic() < deadline:
            time.sleep(0.1)
        findings["data_shown"] = "DATA" in screen() and " OP " in screen()
        time.sleep(0.5)
        subprocess.run([*tmux, "send-keys", "-t", "v", "c"], check=True)
        time.sleep(1.0)
        findings["after_key"] = screen()
        out, err = host.communicate(timeout=60)
        findings.update(host_lines=out.splitlines(), host_errors=err[-2000:], returncode=host.returncode)
        subprocess.run([*tmux, "send-keys", "-t", "v", "q"], check=True)
        time.sleep(1.0)
        findings["after_quit"] = screen()
    finally:
        if host is not None and host.poll() is None:
            host.kill()
        subprocess.run([*tmux, "kill-server"], capture_output=True)
    return findings


if __name__ == "__main__":
    which = sys.argv[1]
    if which == "serve":
        scenario_serve()
    else:
        result = {"host": scenario_host, "two": scenario_two, "live": scenario_live}.get(which)
        found = result() if result else scenario_cli(sys.argv[2:])
        print(json.dumps(found, default=str))
