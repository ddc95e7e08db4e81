"""Round trip of one process-data frame over a veth pair: pysoem (SOEM) sends the
LRW of 16 devices of 16 safe-data bytes each way, `python -m kestrel virtual-slave`
answers it. Runs itself again inside a network namespace of its own (root needed).

    sudo .venv/bin/python bench/bench_ecat_veth.py [--cycles N]

Prints the median, 99th percentile and maximum of send_processdata() to the end
of receive_processdata(): the segment's turnaround plus both sockets and SOEM.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import time


def inside(cycles: int) -> None:
    import pysoem

    for command in ("ip link set lo up", "ip link add veth0 type veth peer name veth1",
                    "ip link set veth0 up", "ip link set veth1 up"):
        subprocess.run(command.split(), check=True)
    segment = subprocess.Popen([sys.executable, "-m", "kestrel", "virtual-slave", "--ifname", "veth1",
                                "--devices", "16", "--bytes", "16"], stdout=subprocess.DEVNULL)
    try:
        time.sleep(1.0)
        master = pysoem.Master()
        master.open("veth0")
        assert master.config_init() == 16
        master.config_map()
        master.state = pysoem.OP_STATE
        master.write_state()
        assert master.state_check(pysoem.OP_STATE, 1_000_000) == pysoem.OP_STATE
        times, lost = [], 0
        for _ in range(cycles):
            start = time.perf_counter()
            master.send_processdata()
            wkc = master.receive_processdata(2000)
            times.append(time.perf_counter() - start)
            lost += wkc < master.expected_wkc
            time.sleep(0.001)
        master.close()
    finally:
        segment.terminate()
        segment.wait()
    times.sort()
    us = [t * 1e6 for t in times]
    print(f"16 devices x 16 bytes each way, {cycles} cycles at ~1 ms: round trip median {statistics.median(us):.0f} us, "
          f"p99 {us[int(0.99 * len(us))]:.0f} us, max {us[-1]:.0f} us; {lost} frames short of the working counter")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cycles", type=int, default=5000)
    parser.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.inside:
        inside(args.cycles)
        return
    try:
        import pysoem  # noqa: F401
    except ImportError:
        print("bench_ecat_veth: skipped, needs pysoem (pip install 'kestrel[pysoem]')")
        return
    if os.geteuid() != 0:
        print("bench_ecat_veth: skipped, needs root (a network namespace and packet sockets)")
        return
    subprocess.run(["unshare", "--net", sys.executable, __file__, "--inside", "--cycles", str(args.cycles)],
                   check=True)


if __name__ == "__main__":
    main()
