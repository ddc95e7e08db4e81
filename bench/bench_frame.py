"""Python cost of the frame objects per cycle.

Run with the extension importable, e.g. PYTHONPATH=build/bench/pkg python bench/bench_frame.py
"""

import timeit

from kestrel.kestrel import FSOEFrame


def per_call_ns(stmt, setup_globals, number=200_000, repeat=7):
    times = timeit.repeat(stmt, globals=setup_globals, number=number, repeat=repeat)
    return min(times) / number * 1e9


def main():
    frame = FSOEFrame(35)
    frame.set_safe_data_bytes(bytes(range(16)))
    frame.generate_crcs()
    wire = frame.frame_to_array()
    assert len(wire) == 35
    g = {"FSOEFrame": FSOEFrame, "wire": wire, "frame": frame}
    rows = [
        ("FSOEFrame.frame_from_array + frame_to_array (35 bytes)", "FSOEFrame.frame_from_array(wire).frame_to_array()"),
        ("frame._frame_from_array + frame_to_array (35 bytes)", "frame._frame_from_array(wire); frame.frame_to_array()"),
        ("frame.generate_crcs (16 bytes)", "frame.generate_crcs()"),
        ("frame.check_crcs (16 bytes)", "frame.check_crcs()"),
    ]
    for label, stmt in rows:
        print(f"{label:<58} {per_call_ns(stmt, g):8.0f} ns")


if __name__ == "__main__":
    main()
