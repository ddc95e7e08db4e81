"""A virtual FSoE slave on an EtherCAT interface: emulated EtherCAT slave devices,
each running a SlaveSimulator, that any EtherCAT master can scan, configure, bring to
OP and run FSoE connections with.

    python -m kestrel virtual-slave --ifname IF [--devices N] [--bytes B]
        [--output-bytes B] [--input-bytes B] [--address A] [--param HEX]
        [--watchdog-ms MIN:MAX] [--esi FILE] [--duration S]

Needs root (or CAP_NET_RAW) for the packet socket. On a terminal it shows each
device's AL state and FSoE state, and the demo's fault keys inject a fault into the
selected device (digits select it); without a terminal it prints each change.
`--esi FILE` writes an EtherCAT slave information file for the devices (alone, without
--ifname, it only writes the file).
"""

from __future__ import annotations

import argparse
import sys
import time
import xml.etree.ElementTree as ET
from typing import Optional

from ._args import positive_float, safe_data_size
from .kestrel import SlaveSimulator, VirtualSegment

DATA_TYPES = {8: "USINT", 16: "UINT"}


def _hex_bytes(text: str) -> bytes:
    try:
        return bytes.fromhex(text.replace(":", "").replace(" ", ""))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a hex byte string: {text!r}") from None


def _watchdog_range(text: str) -> tuple[int, int]:
    try:
        low, high = (int(part) for part in text.split(":"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected MIN:MAX in milliseconds, got {text!r}") from None
    if not 1 <= low <= high <= 0xFFFF:
        raise argparse.ArgumentTypeError(f"need 1 <= MIN <= MAX <= 65535, got {text!r}")
    return low, high


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--ifname", help="network interface the EtherCAT master is connected to, e.g. eth1")
    parser.add_argument("--devices", type=int, default=1, help="number of devices in the chain (default 1)")
    parser.add_argument("--bytes", type=safe_data_size, default=2, help="safe-data bytes each way (default 2)")
    parser.add_argument("--output-bytes", type=safe_data_size, help="safe-data bytes of the master's frames")
    parser.add_argument("--input-bytes", type=safe_data_size, help="safe-data bytes of the slave's frames")
    parser.add_argument("--address", type=int, default=5,
                        help="FSoE slave address of the first device; the next ones count up (default 5)")
    parser.add_argument("--param", type=_hex_bytes, default=b"",
                        help="application parameters each device expects, as hex (default: none)")
    parser.add_argument("--watchdog-ms", type=_watchdog_range, default=(1, 0xFFFF),
                        help="watchdog times the devices accept, MIN:MAX ms (default 1:65535)")
    parser.add_argument("--vendor-id", type=lambda t: int(t, 0), default=0, help="EtherCAT vendor id (default 0)")
    parser.add_argument("--esi", metavar="FILE", help="write an ESI file describing the devices")
    parser.add_argument("--duration", type=positive_float, help="stop after this many seconds")


def build(args: argparse.Namespace) -> VirtualSegment:
    if not 1 <= args.devices <= 64:
        raise SystemExit("--devices must be 1 to 64")
    if not 0 < args.address or args.address + args.devices - 1 > 0xFFFF:
        raise SystemExit("--address: the devices' FSoE addresses must be 1 to 65535")
    out = args.output_bytes or args.bytes
    inp = args.input_bytes or args.bytes
    segment = VirtualSegment()
    for i in range(args.devices):
        slave = SlaveSimulator(args.address + i, output_size=out, input_size=inp,
                               application_parameters=args.param, watchdog_range_ms=args.watchdog_ms)
        segment.add_device(slave, vendor_id=args.vendor_id, serial=i + 1)
    return segment


def esi_xml(segment: VirtualSegment) -> str:
    """An EtherCAT slave information file with one device type per kind of device."""
    root = ET.Element("EtherCATInfo", Version="1.6")
    vendor = ET.SubElement(root, "Vendor")
    first = segment.device_info(0)
    ET.SubElement(vendor, "Id").text = f"#x{first['vendor_id']:08X}"
    ET.SubElement(vendor, "Name").text = "kestrel virtual devices"
    descriptions = ET.SubElement(root, "Descriptions")
    group = ET.SubElement(ET.SubElement(descriptions, "Groups"), "Group")
    ET.SubElement(group, "Type").text = "FSoE"
    ET.SubElement(group, "Name").text = "FSoE slaves"
    devices = ET.SubElement(descriptions, "Devices")
    seen = set()
    for i in range(len(segment)):
        info = segment.device_info(i)
        kind = (info["product_code"], info["revision"])
        if kind in seen:
            continue
        seen.add(kind)
        device = ET.SubElement(devices, "Device", Physics="YY")
        ET.SubElement(device, "Type", ProductCode=f"#x{info['product_code']:08X}",
                      RevisionNo=f"#x{info['revision']:08X}").text = info["name"]
        ET.SubElement(device, "Name").text = info["name"]
        ET.SubElement(device, "GroupType").text = "FSoE"
        ET.SubElement(device, "Fmmu").text = "Outputs"
        ET.SubElement(device, "Fmmu").text = "Inputs"
        for side, name in (("outputs", "Outputs"), ("inputs", "Inputs")):
            pdo = info[side]
            ET.SubElement(device, "Sm", StartAddress=f"#x{pdo['sm_address']:04X}",
                          ControlByte=f"#x{pdo['sm_control']:02X}", DefaultSize=str(pdo["length"]),
                          Enable="1").text = name
        for side, tag, title in (("outputs", "RxPdo", "FSoE request"), ("inputs", "TxPdo", "FSoE reply")):
            pdo = info[side]
            element = ET.SubElement(device, tag, Fixed="1", Mandatory="1", Sm=str(pdo["sm"]))
            ET.SubElement(element, "Index").text = f"#x{pdo['index']:04X}"
            ET.SubElement(element, "Name").text = title
            for index, subindex, bits, name in pdo["entries"]:
                entry = ET.SubElement(element, "Entry")
                ET.SubElement(entry, "Index").text = f"#x{index:04X}"
                ET.SubElement(entry, "SubIndex").text = str(subindex)
                ET.SubElement(entry, "BitLen").text = str(bits)
                ET.SubElement(entry, "Name").text = name
                ET.SubElement(entry, "DataType").text = DATA_TYPES[bits]
        eeprom = ET.SubElement(device, "Eeprom")
        sii = segment.sii(i)
        ET.SubElement(eeprom, "ByteSize").text = str(len(sii))
        ET.SubElement(eeprom, "ConfigData").text = sii[:14].hex().upper()
    ET.indent(root)
    return '<?xml version="1.0" encoding="utf-8"?>\n' + ET.tostring(root, encoding="unicode") + "\n"


def _status(segment: VirtualSegment, i: int) -> str:
    al = segment.al_state_name(i)
    if segment.al_error(i):
        al += f" (error 0x{segment.al_status_code(i):04X})"
    slave = segment.slave(i)
    return f"{al}, FSoE {slave.state.name}"


class _Selected:
    """What the demo's faults act on: one device's slave, on the devices' cycle."""

    def __init__(self, segment: VirtualSegment, watchdog_ms: float) -> None:
        self.segment = segment
        self.index = 0
        self.watchdog_ms = watchdog_ms
        self.cycle_ms = 1.0

    @property
    def slave(self) -> SlaveSimulator:
        return self.segment.slave(self.index)


def _keep_process_data(segment: VirtualSegment) -> None:
    # Once connected, each device answers with its (zero) inputs as process data.
    for i in range(len(segment)):
        slave = segment.slave(i)
        if slave.state is SlaveSimulator.State.DATA and not slave.process_data:
            slave.process_data = True


def run_plain(segment: VirtualSegment, duration: Optional[float], out=None) -> int:
    out = out if out is not None else sys.stdout
    shown = [""] * len(segment)
    end = None if duration is None else time.monotonic() + duration
    try:
        while end is None or time.monotonic() < end:
            segment.serve(0.05)
            _keep_process_data(segment)
            for i in range(len(segment)):
                status = _status(segment, i)
                if status != shown[i]:
                    shown[i] = status
                    print(f"device {i}: {status}", file=out, flush=True)
    except KeyboardInterrupt:
        pass
    print(f"virtual-slave stopped: {segment.counters['frames']} frames answered", file=out, flush=True)
    return 0


def run_live(segment: VirtualSegment, duration: Optional[float]) -> int:
    import threading

    from rich.console import Console
    from rich.live import Live
    from rich.table import Table

    from .demo.link import FAULTS_BY_KEY
    from .demo.live import terminal_keys

    # The watchdog the master usually runs with is unknown here: silence lasts 0.5 s of 1 ms cycles.
    selected = _Selected(segment, watchdog_ms=330.0)
    stop = threading.Event()
    log: list[str] = []

    def serve() -> None:
        while not stop.is_set():
            segment.serve(0.02)
            _keep_process_data(segment)

    def render() -> Table:
        table = Table(title=f"kestrel virtual-slave: {segment.counters['frames']} frames answered")
        for column in ("", "device", "station", "AL state", "FSoE address", "FSoE state", "frames"):
            table.add_column(column)
        for i in range(len(segment)):
            slave = segment.slave(i)
            al = segment.al_state_name(i) + (f" 0x{segment.al_status_code(i):04X}" if segment.al_error(i) else "")
            table.add_row(">" if i == selected.index else "", segment.device_name(i),
                          f"0x{segment.station_address(i):04X}", al, str(slave.slave_address), slave.state.name,
                          str(slave.counters["frames_received"]))
        keys = " ".join(f"[b]{k}[/] {f.name}" for k, f in FAULTS_BY_KEY.items())
        table.caption = f"{keys}  [b]0-9[/] select  [b]q[/] quit\n" + "\n".join(log[-5:])
        return table

    worker = threading.Thread(target=serve, name="virtual segment", daemon=True)
    end = None if duration is None else time.monotonic() + duration
    with terminal_keys() as read_keys:
        worker.start()
        try:
            with Live(render(), console=Console(), auto_refresh=False) as view:
                while end is None or time.monotonic() < end:
                    keys = read_keys(0.1)
                    if "q" in keys:
                        break
                    for key in keys:
                        if key.isdigit() and int(key) < len(segment):
                            selected.index = int(key)
                        elif key in FAULTS_BY_KEY:
                            fault = FAULTS_BY_KEY[key]
                            try:
                                fault.inject(selected)
                                log.append(f"device {selected.index}: {fault.name} injected")
                            except ValueError as exc:
                                log.append(f"device {selected.index}: {fault.name} not injected: {exc}")
                    view.update(render(), refresh=True)
        except KeyboardInterrupt:
            pass
        finally:
            stop.set()
            worker.join(5)
    print(f"virtual-slave stopped: {segment.counters['frames']} frames answered")
    return 0


def run(args: argparse.Namespace) -> int:
    segment = build(args)
    if args.esi:
        with open(args.esi, "w", encoding="utf-8") as f:
            f.write(esi_xml(segment))
        print(f"ESI written to {args.esi}", flush=True)
    if not args.ifname:
        if args.esi:
            return 0
        raise SystemExit("--ifname is needed to serve a master (or --esi FILE to write the ESI only)")
    try:
        segment.open(args.ifname)
    except RuntimeError as exc:
        raise SystemExit(f"virtual-slave: {exc}") from None
    for i in range(len(segment)):
        slave = segment.slave(i)
        print(f"device {i}: {segment.device_name(i)}, FSoE address {slave.slave_address}, "
              f"outputs {segment.output_length(i)} bytes, inputs {segment.input_length(i)} bytes", flush=True)
    print(f"serving on {args.ifname}; Ctrl-C stops", flush=True)
    interactive = sys.stdin.isatty() and sys.stdout.isatty()
    try:
        if interactive:
            return run_live(segment, args.duration)
        return run_plain(segment, args.duration)
    finally:
        segment.close()


