"""An in-process bus for one FSoE connection, and a cycle pacer.

The bus stands in for the EtherCAT process image between a master handler and a
software slave: each cycle the master takes the slave's frame that the image holds,
hands over its request, and the slave answers it after the frame has passed, so
the answer reaches the master one cycle later, as on a real bus. What the master
sees of it (response times, Reset frames by reason) is in `handler.statistics`.
"""

from __future__ import annotations

import time
from typing import Callable


class InProcessBus:
    """Carries the frames of one connection, one bus cycle per `cycle()` call."""

    def __init__(self, handler, slave) -> None:
        self.handler = handler
        self.slave = slave
        self.cycles = 0
        self._image = b""  # the slave's frame as the master's next cycle reads it

    def cycle(self) -> None:
        self.handler.set_reply(self._image)
        self._image = self.slave.step(self.handler.get_request())
        self.cycles += 1


class Pacer:
    """Waits for the next slot of a fixed-period schedule.

    Slots are counted from the first call, so the time each cycle takes never adds
    up to a drift. A loop that falls more than a whole period behind drops the slots
    it missed (counted in `missed`) instead of running them back to back."""

    def __init__(
        self,
        period_s: float,
        clock: Callable[[], float] = time.monotonic,
        sleep: Callable[[float], None] = time.sleep,
    ) -> None:
        if period_s <= 0:
            raise ValueError("the period must be positive")
        self.period_s = period_s
        self._clock = clock
        self._sleep = sleep
        self._next: float | None = None
        self.missed = 0

    def wait(self) -> None:
        now = self._clock()
        if self._next is None:
            self._next = now
        self._next += self.period_s
        delay = self._next - now
        if delay > 0:
            self._sleep(delay)
        elif -delay >= self.period_s:
            skipped = int(-delay // self.period_s)
            self._next += skipped * self.period_s
            self.missed += skipped
