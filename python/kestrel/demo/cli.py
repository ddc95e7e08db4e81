"""`python -m kestrel demo`: the command line; the live view on a terminal, else the tour."""

from __future__ import annotations

import argparse
import math
import sys

from .._args import positive_float, safe_data_size
from .link import DemoLink
from .live import run_live
from .tour import run_tour


def parameter(text: str) -> tuple[str, int, int]:
    """NAME=VALUE[:BYTES]: an application parameter of 1, 2 or 4 unsigned bytes (default 2)."""
    name, sep, rest = text.partition("=")
    value_text, _, size_text = rest.partition(":")
    try:
        value = int(value_text, 0)
        n_bytes = int(size_text) if size_text else 2
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected NAME=VALUE[:BYTES], got {text!r}") from None
    if not sep or not name:
        raise argparse.ArgumentTypeError(f"expected NAME=VALUE[:BYTES], got {text!r}")
    if n_bytes not in (1, 2, 4):
        raise argparse.ArgumentTypeError(f"parameter {name}: BYTES must be 1, 2 or 4")
    if not 0 <= value < 1 << (8 * n_bytes):
        raise argparse.ArgumentTypeError(f"parameter {name}: {value} does not fit in {n_bytes} unsigned byte(s)")
    return name, value, n_bytes



def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--cycle-ms", type=positive_float, default=1.0, help="bus cycle period in ms (default 1)")
    parser.add_argument(
        "--bytes", type=safe_data_size, default=2, help="safe-data bytes each way: 1 or even up to 16 (default 2)"
    )
    parser.add_argument(
        "--param",
        type=parameter,
        action="append",
        default=[],
        metavar="NAME=VALUE[:BYTES]",
        help="an application parameter (BYTES 1, 2 or 4, default 2); may be repeated",
    )
    parser.add_argument("--watchdog-ms", type=int, help="watchdog time in ms (default: 100, at least 10 cycles)")
    parser.add_argument("--script", action="store_true", help="run the scripted tour even on a terminal")
    parser.add_argument(
        "--duration", type=positive_float, metavar="S", help="run the scripted tour, exchanging data for about S seconds"
    )


def run(args: argparse.Namespace) -> int:
    watchdog_ms = args.watchdog_ms if args.watchdog_ms is not None else max(100, math.ceil(10 * args.cycle_ms))
    if not 1 <= watchdog_ms <= 65535:
        print("error: --watchdog-ms must be 1 to 65535", file=sys.stderr)
        return 2
    link = DemoLink(args.bytes, args.cycle_ms, watchdog_ms, tuple(args.param))
    interactive = not args.script and args.duration is None and sys.stdin.isatty() and sys.stdout.isatty()
    if interactive:
        try:
            import rich  # noqa: F401
        except ImportError:
            print("the live view needs rich (pip install 'kestrel[demo]'); running the scripted tour", file=sys.stderr)
        else:
            return run_live(link)
    return run_tour(link, args.duration if args.duration is not None else 2.0)
