"""Watchdog per-cycle calls from Python (timeit, best of 5).

Run with the package on the path, e.g. PYTHONPATH=build/bench/pkg python bench/bench_watchdog.py
"""

import timeit

from kestrel.kestrel import Watchdog


def per_call_ns(stmt, number=1_000_000):
    return min(timeit.repeat(stmt, number=number, repeat=5)) / number * 1e9


def main():
    wd = Watchdog(10.0, lambda: None)
    wd.start()
    wd.activate()
    try:
        print(f"reset()               {per_call_ns(wd.reset):7.1f} ns/call")
        print(f"activate_and_reset()  {per_call_ns(wd.activate_and_reset):7.1f} ns/call  (already active)")
        print(f"active                {per_call_ns(lambda: wd.active):7.1f} ns/call  (includes a lambda call)")
        print(f"empty lambda          {per_call_ns(lambda: None):7.1f} ns/call  (timeit baseline)")
    finally:
        wd.stop()


if __name__ == "__main__":
    main()
