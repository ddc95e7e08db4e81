"""An in-process bus for one FSoE connection, and a cycle pacer.

The bus stands in for the EtherCAT process image between a master handler and a
software slave: each cycle the master takes the slave's frame that the image holds,
hands over its request, and the slave answers it after the frame has passed, so
the answer reaches the master one cycle later, as on a real bus.
"""

from __future__ import annotations

import collections
import time
from typing import Callable

_RESET = 0x2A  # command byte of a Reset frame; its first safe-data byte is the reason


class InProcessBus:
    """Carries the frames of one connection, one bus cycle per `cycle()` call."""

    def __init__(self, handler, slave, clock: Callable[[], float] = time.monotonic) -> None:
        self.handler = handler
        self.slave = slave
        self._clock = clock
        self.cycles = 0
        self._image = b""  # the slave's frame as the master's next cycle reads it
        self._last_reply = b""
        self._last_request = b""
        self._request_time: float | None = None
        #: Seconds from fetching a new request to handing over the reply that answers it.
        self.response_s: float | None = None
        self.response_min_s: float | None = None
        self.response_max_s: float | None = None
        #: Reset frames the master put on the bus, by reason (new frames only).
        self.master_resets_by_reason: collections.Counter[int] = collections.Counter()

    def cycle(self) -> None:
        reply = self._image
        now = self._clock()
        if reply != self._last_reply:
            self._last_reply = reply
            if self._request_time is not None:
                self._record_response(now - self._request_time)
                self._request_time = None
        self.handler.set_reply(reply)
        request = self.handler.get_request()
        if request != self._last_request:
            self._last_request = request
            self._request_time = self._clock()
            if len(request) > 1 and request[0] == _RESET:
                self.master_resets_by_reason[request[1]] += 1
        self._image = self.slave.step(request)
        self.cycles += 1

    def _record_response(self, seconds: float) -> None:
        self.response_s = seconds
        if self.response_min_s is None or seconds < self.response_min_s:
            self.response_min_s = seconds
        if self.response_max_s is None or seconds > self.response_max_s:
            self.response_max_s = seconds


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
