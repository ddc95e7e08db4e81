"""A master handler and the software slave connected through an in-process bus.

    python -m kestrel demo [--cycle-ms MS] [--bytes N] [--param NAME=VALUE[:BYTES]]...
                           [--watchdog-ms MS] [--script] [--duration S]

On a terminal it is a live view (needs `rich`: pip install 'kestrel[demo]') whose keys
inject the slave's faults. Without a terminal, or with --script or --duration, it runs
a scripted tour: connect, exchange data, inject every fault class once, and print how
each was detected and recovered. The tour exits 0 only when all of them were.

One module per concern: `link` (the connection and both applications, the faults),
`bus` (the in-process bus and the cycle pacer), `tour`, `live` (the two views) and
`cli` (the command line).
"""

from .cli import add_arguments, run
from .link import FAULTS, FAULTS_BY_KEY, DemoLink, Event, Fault
from .tour import run_tour

__all__ = ["FAULTS", "FAULTS_BY_KEY", "DemoLink", "Event", "Fault", "add_arguments", "run", "run_tour"]
