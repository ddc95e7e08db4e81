"""A Python host that owns the EtherCAT bus through pysoem and runs one FSoE
connection with kestrel.

The safety slave's frames sit in the process image at fixed byte offsets: the
master's request in the slave's output area (RxPDO), the slave's reply in its
input area (TxPDO). The offsets depend on the slave's PDO mapping; take them from
its ESI file or the PDO assignment and pass them on the command line.

    sudo .venv/bin/python examples/pysoem_host.py eth0 --slave 0 --request-offset 0 --reply-offset 0

Needs pysoem (pip install pysoem) and root rights for the raw socket. The
kestrel part (run_cycles) is tested against kestrel's SlaveSimulator behind an
in-memory process image, and the whole file over pysoem against kestrel's virtual
EtherCAT segment (python -m kestrel virtual-slave, docs/virtual-slave.md).
"""

from __future__ import annotations

import argparse
import time
from typing import Any, Callable, Optional

from kestrel import (DataType, Dictionary, DictionaryItemInput, DictionaryItemOutput,
                     MasterHandler, StateData)


def make_connection(slave_address: int, connection_id: int, watchdog_timeout_s: float,
                    log: Callable[[str], None] = print) -> MasterHandler:
    """The safety data of this application: 2 bytes each way (7-byte frames)."""
    sto_enable = DictionaryItemOutput(1, "STO_enable", DataType.BOOL)
    speed = DictionaryItemOutput(2, "speed_limit", DataType.UINT8)
    sto_active = DictionaryItemInput(3, "STO_active", DataType.BOOL, fail_safe_value=True)
    position = DictionaryItemInput(4, "position", DataType.UINT8, fail_safe_value=0)
    dictionary = Dictionary([sto_enable, speed, sto_active, position])
    handler = MasterHandler(
        dictionary, slave_address=slave_address, connection_id=connection_id,
        watchdog_timeout_s=watchdog_timeout_s,
        # Both run on the thread that caused the event: this loop, or the watchdog's.
        report_error_callback=lambda name, message: log(f"FSoE fault: {name}: {message}"),
        state_change_callback=lambda state: log(f"FSoE state: {state.__name__}"),
    )
    outputs = handler.master.dictionary_map
    outputs.add(sto_enable)
    outputs.add_padding(7)
    outputs.add(speed)
    inputs = handler.slave.dictionary_map
    inputs.add(sto_active)
    inputs.add_padding(7)
    inputs.add(position)
    return handler


def check_layout(slave: Any, handler: MasterHandler, request_offset: int, reply_offset: int) -> None:
    """Refuses a PDO mapping whose areas cannot hold the frames at these offsets."""
    for area, offset, needed, what in (
            (slave.output, request_offset, handler.request_length, "output (request)"),
            (slave.input, reply_offset, handler.reply_length, "input (reply)")):
        if offset + needed > len(area):
            raise SystemExit(f"the slave's {what} area holds {len(area)} bytes; the FSoE frame "
                             f"needs {needed} bytes from offset {offset}")


def run_cycles(master: Any, slave_index: int, handler: MasterHandler, *, request_offset: int,
               reply_offset: int, cycles: Optional[int] = None, cycle_s: float = 0.001,
               on_cycle: Optional[Callable[[MasterHandler], None]] = None,
               receive_timeout_us: int = 2000) -> None:
    """The cyclic part of the host: one bus cycle per turn, `cycles` turns (None: forever).

    `master` is a pysoem.Master brought to OP (or anything with the same members:
    slaves, send_processdata, receive_processdata, expected_wkc)."""
    slave = master.slaves[slave_index]
    # The whole output area of this slave, kept between cycles: kestrel writes its
    # frame at request_offset, the application may fill the rest, and one
    # assignment hands it to pysoem's IO map.
    outputs = bytearray(slave.output)
    handler.write_request_into(outputs, request_offset)
    slave.output = bytes(outputs)  # pysoem takes bytes only
    next_cycle = time.monotonic()
    turn = 0
    while cycles is None or turn < cycles:
        turn += 1
        master.send_processdata()
        wkc = master.receive_processdata(receive_timeout_us)
        if wkc >= master.expected_wkc:
            # Fresh inputs: kestrel reads its reply_length bytes at the offset,
            # in place. A repeated reply is recognised and ignored, so handing
            # it over every cycle is right even when the slave has not answered.
            handler.set_reply_from(slave.input, reply_offset)
        # else: the frame was lost on the bus. Nothing new to hand over; if it
        # lasts, kestrel's watchdog takes the connection to Reset.
        handler.write_request_into(outputs, request_offset)
        slave.output = bytes(outputs)
        if on_cycle is not None:
            on_cycle(handler)
        next_cycle += cycle_s
        delay = next_cycle - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        else:
            next_cycle = time.monotonic()  # overran: do not try to catch up


def bring_up(ifname: str) -> Any:
    """Opens the interface and takes every slave to OP. Returns the pysoem.Master."""
    import pysoem  # here, so that the cyclic part imports without it

    master = pysoem.Master()
    master.open(ifname)
    if master.config_init() <= 0:
        master.close()
        raise SystemExit(f"no EtherCAT slave found on {ifname}")
    master.config_map()  # lays out the IO map from the slaves' PDO mappings
    if master.state_check(pysoem.SAFEOP_STATE, 50_000) != pysoem.SAFEOP_STATE:
        master.close()
        raise SystemExit("the slaves did not reach SAFE-OP")
    # Outputs must be valid before OP: send a few cycles of process data first.
    master.state = pysoem.OP_STATE
    for _ in range(10):
        master.send_processdata()
        master.receive_processdata(2000)
    master.write_state()
    for _ in range(100):
        master.send_processdata()
        master.receive_processdata(2000)
        if master.state_check(pysoem.OP_STATE, 5_000) == pysoem.OP_STATE:
            return master
    master.close()
    raise SystemExit("the slaves did not reach OP")


def main(argv: Optional[list[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("ifname", help="network interface of the EtherCAT bus, e.g. eth0")
    parser.add_argument("--slave", type=int, default=0, help="index of the safety slave in master.slaves")
    parser.add_argument("--request-offset", type=int, default=0,
                        help="byte offset of the FSoE request in the slave's output area")
    parser.add_argument("--reply-offset", type=int, default=0,
                        help="byte offset of the FSoE reply in the slave's input area")
    parser.add_argument("--slave-address", type=int, default=5, help="FSoE address of the slave")
    parser.add_argument("--connection-id", type=int, default=7, help="FSoE connection id")
    parser.add_argument("--cycle-ms", type=float, default=1.0)
    parser.add_argument("--watchdog-ms", type=float, default=100.0)
    parser.add_argument("--cycles", type=int, default=None, help="stop after this many cycles")
    args = parser.parse_args(argv)

    handler = make_connection(args.slave_address, args.connection_id, args.watchdog_ms / 1000)
    try:
        master = bring_up(args.ifname)
    except BaseException:
        handler.delete()
        raise
    slave = master.slaves[args.slave]
    try:
        check_layout(slave, handler, args.request_offset, args.reply_offset)
        handler.start()  # Reset request first; the watchdog runs from here

        def application(h: MasterHandler) -> None:
            # Process data only once the connection is up; fail-safe data before.
            if h.state is StateData:
                h.set_fail_safe(False)
                h.dictionary.set("STO_enable", True)
                h.dictionary.set("speed_limit", 120)

        run_cycles(master, args.slave, handler, request_offset=args.request_offset,
                   reply_offset=args.reply_offset, cycles=args.cycles,
                   cycle_s=args.cycle_ms / 1000, on_cycle=application)
    except KeyboardInterrupt:
        pass
    finally:
        if handler.running:
            handler.stop()  # holds a Reset frame: tell the slave before leaving the bus
            outputs = bytearray(slave.output)
            handler.write_request_into(outputs, args.request_offset)
            slave.output = bytes(outputs)
            for _ in range(3):
                master.send_processdata()
                master.receive_processdata(2000)
        handler.delete()  # ends the watchdog thread
        master.close()


if __name__ == "__main__":
    main()
