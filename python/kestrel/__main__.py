"""Command line tools for kestrel.

    python -m kestrel decode HEX [--seq N] [--crc0 X] [--find-seq]
    python -m kestrel demo [--cycle-ms MS] [--bytes N] [--script] [--duration S]
    python -m kestrel bench [--cycles N] [--connections N] [--json]
    python -m kestrel virtual-slave --ifname IF [--devices N] [--bytes B] [--esi FILE] ...
    python -m kestrel --version

decodes one FSoE frame given as hex (spaces, colons and a 0x prefix are
allowed) and, with a sequence number and CRC_0 seed, checks each block's CRC.
"""

from __future__ import annotations

import argparse
import re
import sys

from .kestrel import FSOECommand, FSOEFrame


def _parse_int(text: str) -> int:
    try:
        return int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None


def _parse_hex(text: str) -> bytes:
    cleaned = re.sub(r"0x|[\s:,_-]", "", text, flags=re.IGNORECASE)
    if re.fullmatch(r"[0-9a-fA-F]*", cleaned) and len(cleaned) % 2:
        raise ValueError(f"odd number of hex digits ({len(cleaned)}): each byte takes two, in {text!r}")
    try:
        return bytes.fromhex(cleaned)
    except ValueError:
        raise ValueError(f"not a hex byte string: {text!r}") from None


def _command_text(frame: FSOEFrame) -> str:
    control = frame.control
    if control.command_is_valid():
        return f"{control.command.name} (0x{control.command.value:02X})"
    raw = frame.frame_to_array()[0]
    return f"unknown command (0x{raw:02X})"


def _blocks(frame: FSOEFrame) -> list[tuple[bytes, int]]:
    size = frame.safe_data_size_bytes
    data = frame.get_safe_data_bytes()[:size]
    return [(data[2 * i : 2 * i + 2], frame.crcs[i]) for i in range((size + 1) // 2)]


def _expected_crcs(data: bytes, seq: int, crc0: int) -> list[int]:
    frame = FSOEFrame.frame_from_array(data)
    frame.control.sequence_number = seq
    frame.control.crc0 = crc0
    frame.generate_crcs()
    return [frame.crcs[i] for i in range((frame.safe_data_size_bytes + 1) // 2)]


def decode(data: bytes, seq: int | None, crc0: int | None, find_seq: bool, out=None) -> int:
    out = out if out is not None else sys.stdout
    frame = FSOEFrame.frame_from_array(data)
    size = frame.safe_data_size_bytes
    used = len(frame.frame_to_array())
    trailing = f" (trailing {len(data) - used} byte ignored)" if used != len(data) else ""
    print(f"Frame:           {len(data)} bytes{trailing}, {size} safe data byte{'s' if size != 1 else ''}", file=out)
    print(f"Command:         {_command_text(frame)}", file=out)
    conn = frame.control.connection_id
    print(f"Connection ID:   0x{conn:04X} ({conn})", file=out)
    print(f"Safe data:       {frame.get_safe_data_bytes()[:size].hex(' ') or '(none)'}", file=out)
    if size == 0:
        print("CRCs:            none (a frame without safe data carries no CRC)", file=out)
        return 0

    blocks = _blocks(frame)
    seed = crc0 or 0  # --crc0 0 is the default seed, as if not given
    matches = []
    if find_seq:
        matches = [s for s in range(65536) if _expected_crcs(data, s, seed) == [c for _, c in blocks]]
    if seq is not None:
        number, origin = seq, ""
    elif matches:
        number, origin = matches[0], " (found by the search)"
    else:
        number, origin = 1, " (assumed: no --seq given)"
    check = seq is not None or seed != 0 or find_seq
    expected = _expected_crcs(data, number, seed) if check else None
    for i, (chunk, crc) in enumerate(blocks):
        line = f"Block {i}:         data {chunk.hex(' '):<5}  CRC 0x{crc:04X}"
        if expected is not None:
            verdict = "valid" if expected[i] == crc else f"INVALID (expected 0x{expected[i]:04X})"
            line += f"  {verdict}"
        print(line, file=out)

    status = 0
    if expected is not None:
        bad = [i for i, (_, crc) in enumerate(blocks) if expected[i] != crc]
        where = f"sequence number {number}{origin}, CRC_0 seed 0x{seed:04X}"
        if bad:
            print(f"Result:          {len(bad)} of {len(blocks)} CRCs invalid ({where})", file=out)
            status = 1
        else:
            print(f"Result:          all {len(blocks)} CRCs valid ({where})", file=out)
    if find_seq:
        if matches:
            listed = ", ".join(str(s) for s in matches[:10])
            print(f"Sequence search: CRCs valid with CRC_0 seed 0x{seed:04X} for sequence number {listed}", file=out)
        else:
            print(f"Sequence search: no sequence number gives valid CRCs with CRC_0 seed 0x{seed:04X}", file=out)
    return status


def main(argv: list[str] | None = None) -> int:
    from . import __version__

    parser = argparse.ArgumentParser(prog="python -m kestrel", description="kestrel FSoE tools")
    parser.add_argument("--version", action="version", version=f"kestrel {__version__}")
    sub = parser.add_subparsers(dest="tool", required=True)
    dec = sub.add_parser("decode", help="decode one FSoE frame given as hex and check its CRCs")
    dec.add_argument("hex", nargs="+", help="the frame's bytes in hex, e.g. 3611223D393344226E0302")
    dec.add_argument("--seq", type=_parse_int, help="sequence number the frame was sent with (not on the wire)")
    dec.add_argument("--crc0", type=_parse_int, help="CRC_0 seed the frame is chained to (default 0)")
    dec.add_argument(
        "--find-seq", action="store_true", help="search the sequence numbers that make the CRCs valid for the seed"
    )
    from . import demo

    demo.add_arguments(sub.add_parser("demo", help="a master and a software slave on an in-process bus, live or as a tour"))
    from . import bench

    bench.add_arguments(sub.add_parser("bench", help="Data-state cycle rates through Python and in the C++ core"))
    from . import virtual_slave

    virtual_slave.add_arguments(sub.add_parser("virtual-slave", help="virtual FSoE slave devices on an EtherCAT interface"))
    args = parser.parse_args(argv)
    if args.tool == "virtual-slave":
        return virtual_slave.run(args)
    if args.tool == "demo":
        return demo.run(args)
    if args.tool == "bench":
        return bench.run(args)
    try:
        data = _parse_hex("".join(args.hex))
        for name, value in (("--seq", args.seq), ("--crc0", args.crc0)):
            if value is not None and not 0 <= value <= 0xFFFF:
                raise ValueError(f"{name} must be 0 to 65535, got {value}")
        return decode(data, args.seq, args.crc0, args.find_seq)
    except ValueError as exc:
        print("error: " + " ".join(str(exc).split()), file=sys.stderr)  # one line
        return 2


if __name__ == "__main__":
    sys.exit(main())
