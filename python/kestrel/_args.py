"""Argument types shared by the command line tools (`python -m kestrel demo`, `bench`)."""

from __future__ import annotations

import argparse
import math


def _is_frame_size(size: int) -> bool:
    return size == 1 or (size % 2 == 0 and 2 <= size <= 16)


SIZE_RULE = "1 or an even number from 2 to 16"


def safe_data_size(text: str) -> int:
    """Safe-data bytes of a frame: 1 or even up to 16."""
    try:
        size = int(text)
    except ValueError:
        size = -1
    if not _is_frame_size(size):
        raise argparse.ArgumentTypeError(f"a frame carries {SIZE_RULE} safe-data bytes, not {text!r}")
    return size


def safe_data_sizes(text: str) -> list[int]:
    """A comma-separated list of safe-data sizes."""
    return [safe_data_size(part) for part in text.split(",")]


def positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not value > 0 or math.isinf(value):
        raise argparse.ArgumentTypeError(f"expected a positive number, got {text!r}")
    return value


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number of at least 1, got {text!r}")
    return value
