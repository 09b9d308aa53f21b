"""When the workers hold back, and for how long: throttling, a refused token, and Graph API outages.

Throttling holds every worker until it passes, a refused token until restart. An outage is told from a single
post's troubles by its spread: `OutagePolicy.errors` transport errors or 5xx answers, from at least
`OutagePolicy.posts` different posts, within `OutagePolicy.window` seconds and with no good answer in between.
It then holds every worker, spending no attempts, and lets one through with a real event every
`OutagePolicy.probe_every` seconds until one gets an answer. The time held back is kept, so that an event's
age does not count it.
"""
import asyncio
import collections
import logging
import time
from collections.abc import Callable
from dataclasses import dataclass

from tavelmoor.webhooks.metrics import Metrics

log = logging.getLogger("tavelmoor.webhooks.pipeline")

THROTTLED, TOKEN_REFUSED, OUTAGE = "throttled", "token_refused", "outage"
# A kind of pause gives way only to one at least as strong: a refused token holds until restart; an outage
# ends at an answer, which a throttling pause would not wait for.
_STRENGTH = {THROTTLED: 0, OUTAGE: 1, TOKEN_REFUSED: 2}


@dataclass(frozen=True)
class OutagePolicy:
    errors: int = 5
    window: float = 30.0
    probe_every: float = 10.0
    posts: int = 3


class OutageDetector:
    """Transport errors and 5xx answers since the last good answer, within the policy's window."""

    def __init__(self, policy: OutagePolicy) -> None:
        self._policy = policy
        self._failures: collections.deque[tuple[float, str]] = collections.deque()

    def failed(self, post_id: str, now: float) -> bool:
        """Counts one failure; True when the failures now make an outage."""
        failures = self._failures
        failures.append((now, post_id))
        while failures[0][0] < now - self._policy.window:
            failures.popleft()
        return (len(failures) >= self._policy.errors
                and len({post for _, post in failures}) >= self._policy.posts)

    def answered(self) -> None:
        self._failures.clear()


class Gate:
    """Holds workers back while closed, and can let one through at a time."""

    def __init__(self) -> None:
        self.is_open = True
        self._waiting: collections.deque[asyncio.Future[None]] = collections.deque()
        # One worker may go through before it comes to the gate.
        self._permit = False

    async def passage(self) -> None:
        if self.is_open:
            return
        if self._permit:
            self._permit = False
            return
        waiter = asyncio.get_running_loop().create_future()
        self._waiting.append(waiter)
        await waiter

    def close(self) -> None:
        self.is_open = False

    def open(self) -> None:
        self.is_open = True
        self._permit = False
        while self._waiting:
            waiter = self._waiting.popleft()
            if not waiter.done():
                waiter.set_result(None)

    def let_one_through(self) -> bool:
        """True when a waiting worker went through; else the next one to come will."""
        while self._waiting:
            waiter = self._waiting.popleft()
            if not waiter.done():
                waiter.set_result(None)
                return True
        self._permit = True
        return False


class Pauses:
    """Why the workers are held back, until when, and how long they were held back so far.

    `on_probe` is called when an outage probe finds no worker waiting with an event: the pipeline should
    claim one.
    """

    def __init__(self, metrics: Metrics, policy: OutagePolicy, on_resume: Callable[[], None],
                 on_probe: Callable[[], None], remember: float) -> None:
        self.gate = Gate()
        self.kind: str | None = None
        self.reason: str | None = None
        self._metrics = metrics
        self._policy = policy
        self._on_resume = on_resume
        self._on_probe = on_probe
        self._until: float | None = None
        self._timer: asyncio.TimerHandle | None = None
        # (start, end) Unix times of pauses, the current one with no end; those ended more than `remember`
        # seconds ago are dropped.
        self._spans: list[tuple[float, float | None]] = []
        self._remember = remember

    @property
    def probe_every(self) -> float:
        return self._policy.probe_every

    def pause(self, kind: str, reason: str, until: float | None = None) -> bool:
        """Holds every worker back until `until` (a loop time), or until resumed; False when a pause already
        in force outlasts this one."""
        if self.kind is not None:
            stronger = _STRENGTH[self.kind] > _STRENGTH[kind]
            outlasts = kind == THROTTLED == self.kind and self._until is not None and until is not None \
                and until <= self._until
            if stronger or outlasts or (kind == self.kind != THROTTLED):
                return False
        else:
            self._spans.append((time.time(), None))
        self._metrics.pauses.labels(kind).inc()
        self.kind, self.reason, self._until = kind, reason, until
        self.gate.close()
        self._cancel_timer()
        loop = asyncio.get_running_loop()
        if until is not None:
            self._timer = loop.call_at(until, self.resume)
        elif kind == OUTAGE:
            self._timer = loop.call_later(self._policy.probe_every, self._probe)
        return True

    def resume(self, kind: str | None = None) -> None:
        """Lets the workers go again (only from a pause of `kind`, if given)."""
        if self.kind is None or (kind is not None and kind != self.kind):
            return
        log.info("workers resumed after %s", self.kind.replace("_", " "))
        self.kind = self.reason = self._until = None
        self._cancel_timer()
        start, _ = self._spans[-1]
        self._spans[-1] = (start, time.time())
        self.gate.open()
        self._on_resume()

    def stop(self) -> None:
        """Lets every worker through for good: the pipeline is stopping."""
        self._cancel_timer()
        self.gate.open()

    def paused_since(self, since: float) -> float:
        """Seconds the workers were held back from the Unix time `since` until now."""
        now = time.time()
        self._spans = [(start, end) for start, end in self._spans if end is None or end > now - self._remember]
        return sum(max(0.0, (now if end is None else end) - max(start, since)) for start, end in self._spans)

    def _probe(self) -> None:
        self._timer = asyncio.get_running_loop().call_later(self._policy.probe_every, self._probe)
        log.info("outage: trying one event")
        if not self.gate.let_one_through():
            self._on_probe()

    def _cancel_timer(self) -> None:
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None
