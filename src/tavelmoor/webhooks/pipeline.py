"""Enrichment: a fixed pool of workers turns pending events into stored records.

A dispatcher claims events from the store in batches, as room frees up in a bounded queue, and the workers
take them from there. A worker fetches the parent post through the Graph API client and builds the record;
the dispatcher stores the records finished meanwhile, renews the leases of the claims in hand and claims the
next events together, which the SQLite store commits as one transaction, so a busy pool pays for one commit
per batch, not two per event. Nothing holds a transaction across the network, because every store call is one
short job. Every outcome is written under the claim's token: one that comes too late (the lease passed and
the event was claimed again) changes nothing and is counted and logged.

Each claim has a deadline on the loop's clock: the time its claim or last renewal was sent plus the lease,
less a margin. A worker's call is cancelled at that deadline, and writes nothing, so that a worker that could
not renew (the store unreachable, or the claim found taken) stops before another process may take the event
up; a claim still queued at its deadline is dropped. Where other processes store events too (a shared store),
the dispatcher claims at least every `poll` seconds, whatever the store's hints say.

Retrying is decided here, not in the client: a transient failure makes the event wait (in the store, holding no
worker) until a later attempt, throttling pauses every worker until it passes, an outage pauses them until the
Graph API answers again (see `pauses`), and a refused token pauses them until the service is restarted. An event
gives up after its last attempt, or once it has waited `max_age` seconds, paused time not counted.

The store may fail too: an outcome that cannot be written is tried again, with the claim still held and renewed,
so that no event is left in flight for its lease to run out.
"""
import asyncio
import logging
import random
import time
from collections.abc import Awaitable, Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, TypeVar

from tavelmoor.webhooks.config import Redactor
from tavelmoor.webhooks.graph_api import GraphApiClient, GraphApiError
from tavelmoor.webhooks.health import Health
from tavelmoor.webhooks.metrics import Metrics
from tavelmoor.webhooks.pauses import OUTAGE, THROTTLED, TOKEN_REFUSED, OutageDetector, OutagePolicy, Pauses
from tavelmoor.webhooks.payloads import Account
from tavelmoor.webhooks.records import build_record, fetch_parent_post, record_json
from tavelmoor.webhooks.store import Claim, Claimed, Store
from tavelmoor.webhooks.text import quoted

T = TypeVar("T")
log = logging.getLogger("tavelmoor.webhooks.pipeline")

# How long the dispatcher waits after the store failed to hand out events.
CLAIM_RETRY_SECONDS = 1.0
# An outcome the store could not write is tried again after this long, doubled up to the cap.
OUTCOME_RETRY_SECONDS = 0.5
OUTCOME_RETRY_CAP = 10.0


@dataclass(frozen=True)
class Backoff:
    """Capped exponential backoff with full jitter over its upper half."""
    base: float = 0.5
    cap: float = 60.0

    def delay(self, attempts: int) -> float:
        ceiling = min(self.cap, self.base * 2 ** max(attempts - 1, 0))
        return random.uniform(ceiling / 2, ceiling)


def _fields(claim: Claim, error: GraphApiError | None = None) -> str:
    text = (f"delivery={claim.delivery_id} event={claim.key} account={claim.event.account_id} "
            f"field={claim.event.kind} attempt={claim.attempts}")
    if error is not None:
        text += f" status={error.status} code={error.code} subcode={error.subcode}"
    return text


@dataclass(frozen=True)
class Limits:
    """How long an event may keep failing, and how long the Graph API may make it wait."""
    max_attempts: int = 8
    max_age: float = 72 * 3600.0
    max_retry_after: float = 3600.0


class Pipeline:
    def __init__(self, store: Store, client: GraphApiClient, access_token: str, accounts: Mapping[str, Account],
                 metrics: Metrics, health: Health, *, concurrency: int, limits: Limits = Limits(),
                 backoff: Backoff = Backoff(), outage: OutagePolicy = OutagePolicy(), lease: float = 60.0,
                 renew_every: float | None = None, max_work: float = 80.0, poll: float | None = None) -> None:
        self._store = store
        self._client = client
        self._token = access_token
        self._redact = Redactor([access_token])
        self._accounts = accounts
        self._metrics = metrics
        self._health = health
        self.concurrency = concurrency
        self.max_attempts = limits.max_attempts
        self._limits = limits
        self._backoff = backoff
        self._outage = OutageDetector(outage)
        self._pauses = Pauses(metrics, outage, on_resume=self.wake, on_probe=self._probe,
                              remember=2 * limits.max_age)
        self._probing = False
        # An event's age is counted from its change's time, or from the start of this process if later: time
        # the service did not run is not held against it.
        self._started = time.time()
        self._lease = lease
        self._renew_every = renew_every or lease / 3
        # Cancelled this long before the lease ends, so that nothing is written once another may claim it.
        self._margin = min(1.0, lease / 10)
        self._poll = poll
        # A worker that holds one event longer than this is taken as stalled: its claim is no longer renewed,
        # so that the event is claimed again once the lease passes.
        self._max_work = max_work
        # Claimed and not yet settled: at most one in each worker's hands and as many again queued.
        self._limit = 2 * concurrency
        # Every claim not yet settled (queued, in a worker's hands, or finished and not yet stored), by event id
        # and token, with the loop time it was claimed at. A stalled worker's event may be claimed again, so
        # an id alone does not name a claim.
        self._held: dict[tuple[int, int], tuple[Claim, float]] = {}
        # Records built and not yet stored; their claims are still held.
        self._done: list[tuple[Claim, str]] = []
        # The claims in workers' hands, with the loop time work on each began, and the scope that cancels each
        # worker's call at its claim's deadline.
        self._working: dict[tuple[int, int], float] = {}
        self._deadlines: dict[tuple[int, int], float] = {}
        self._scopes: dict[tuple[int, int], asyncio.Timeout] = {}
        self._queue: asyncio.Queue[Claim | None] = asyncio.Queue()
        self._wake = asyncio.Event()
        self._stopping = False
        self._renew_at = 0.0
        self._dispatcher: asyncio.Task[None] | None = None
        self._workers: list[asyncio.Task[None]] = []

    def start(self) -> None:
        self._renew_at = asyncio.get_running_loop().time() + self._renew_every
        self._dispatcher = asyncio.ensure_future(self._dispatch())
        self._workers = [asyncio.ensure_future(self._work()) for _ in range(self.concurrency)]

    def wake(self) -> None:
        """New events were stored: claim them."""
        self._wake.set()

    def status(self) -> dict[str, Any]:
        return {"live": sum(not worker.done() for worker in self._workers),
                "busy": len(self._working),
                "paused": self._pauses.kind is not None,
                "pause_reason": self._pauses.reason}

    def _probe(self) -> None:
        """An outage probe found no worker waiting with an event: claim one for it."""
        self._probing = True
        self._wake.set()

    def _stale(self, claims: Sequence[Claim], outcome: str) -> None:
        for claim in claims:
            self._metrics.stale_outcomes.inc()
            log.warning("outcome not stored (%s): the event was claimed again after this claim's lease passed %s",
                        outcome, _fields(claim))

    def _release(self, claim: Claim) -> None:
        """The claim is settled one way or another: its place is free again."""
        self._held.pop((claim.id, claim.token), None)
        self._deadlines.pop((claim.id, claim.token), None)
        self._wake.set()

    def _extend(self, claims: Sequence[Claim], deadline: float) -> None:
        for claim in claims:
            key = (claim.id, claim.token)
            if key in self._held:
                self._deadlines[key] = deadline
                if (scope := self._scopes.get(key)) is not None:
                    scope.reschedule(deadline)

    def _renewable(self, now: float, done: list[tuple[Claim, str]]) -> list[Claim]:
        """The claims held and not being finished, but those of stalled workers."""
        stalled = now - self._max_work
        finishing = {(claim.id, claim.token) for claim, _ in done}
        return [claim for key, (claim, _) in self._held.items()
                if key not in finishing and self._working.get(key, now) > stalled]

    async def _dispatch(self) -> None:
        while not (self._stopping and not self._done):
            try:
                await self._dispatch_once()
            except Exception:
                # Nothing ends the dispatcher: a fault of its own is logged, and it goes on after a pause.
                log.exception("dispatcher: unexpected error")
                await asyncio.sleep(CLAIM_RETRY_SECONDS)

    async def _dispatch_once(self) -> None:
        loop = asyncio.get_running_loop()
        metrics = self._metrics
        self._wake.clear()
        claiming = self._pauses.gate.is_open and not self._stopping
        done, self._done = self._done, []
        room = self._limit - len(self._held) + len(done) if claiming else 0
        if self._probing and not self._stopping:
            # One event for an outage probe, when none is in hand already.
            room, self._probing = (0 if self._held else 1), False
        now = loop.time()
        renew = []
        if now >= self._renew_at and not self._stopping:
            renew = self._renewable(now, done)
            self._renew_at = now + self._renew_every
        # Submitted together, so that the store may commit them as one transaction. Shielded: the stored
        # records and the claims must be accounted for even at a stop.
        jobs = {name: job for name, job in (
            ("finish", self._store.finish(done) if done else None),
            ("renew", self._store.renew(renew, self._lease) if renew else None),
            ("claim", self._claim(room) if room > 0 else None)) if job is not None}
        deadline = now + self._lease - self._margin
        due: float | None = None
        if jobs:
            results = dict(zip(jobs, await asyncio.shield(asyncio.gather(*jobs.values(),
                                                                          return_exceptions=True))))
            failures = [result for result in results.values() if isinstance(result, BaseException)]
            stale = results.get("finish")
            if isinstance(stale, list):
                self._stale(stale, "done")
                finished_at = loop.time()
                for claim, _ in done:
                    if claim not in stale:
                        metrics.latency.observe(finished_at - self._held[claim.id, claim.token][1])
                    self._release(claim)
            elif done:
                # A store that fails now (a lock held elsewhere, a full disk) may work again later.
                self._done = done + self._done
            lost = results.get("renew")
            if isinstance(lost, list):
                # Renewed: their calls may go on. Lost: another claim holds the event now.
                self._extend([claim for claim in renew if claim not in lost], deadline)
                self._extend(lost, loop.time())
            claimed = results.get("claim")
            if isinstance(claimed, Claimed):
                self._take(claimed, loop.time())
                self._extend(claimed.claims, deadline)
                due = claimed.next_due
            if failures:
                for failure in failures:
                    self._health.write_failed(failure)
                if self._stopping:
                    log.error("could not store %d records; their events are taken up again at the next "
                              "start: %s", len(self._done), failures[0])
                    self._done.clear()
                    return
                log.error("could not store records or claim events, trying again in %.0f s: %s",
                          CLAIM_RETRY_SECONDS, failures[0])
                await asyncio.sleep(CLAIM_RETRY_SECONDS)
                return
            self._health.written()
        if self._wake.is_set():
            return
        # With no room the next settled event wakes the dispatcher; with room, so may the next retry, and the
        # next poll.
        timeout = self._renew_at - loop.time() if self._held else None
        if claiming and len(self._held) < self._limit:
            if due is not None:
                until_due = due - time.time()
                if until_due <= 0:
                    return
                timeout = until_due if timeout is None else min(timeout, until_due)
            if self._poll is not None:
                timeout = self._poll if timeout is None else min(timeout, self._poll)
        try:
            await asyncio.wait_for(self._wake.wait(), timeout)
        except TimeoutError:
            pass

    async def _claim(self, room: int) -> Claimed:
        loop = asyncio.get_running_loop()
        started = loop.time()
        claimed = await self._store.claim(room, lease=self._lease, max_attempts=self.max_attempts)
        self._metrics.claim_latency.observe(loop.time() - started)
        return claimed

    def _take(self, claimed: Claimed, now: float) -> None:
        if claimed.expired:
            self._metrics.expired_claims.inc(claimed.expired)
            log.warning("%d events claimed again after their lease passed", claimed.expired)
        for claim in claimed.claims:
            self._held[claim.id, claim.token] = (claim, now)
            self._queue.put_nowait(claim)

    async def _work(self) -> None:
        loop = asyncio.get_running_loop()
        while (claim := await self._queue.get()) is not None:
            key = (claim.id, claim.token)
            stored_later = False
            scope: asyncio.Timeout | None = None
            try:
                await self._pauses.gate.passage()
                if self._stopping:
                    return      # the claim is put back at the stop, with those still queued
                self._working[key] = loop.time()
                # A claim whose deadline passed while it was queued is dropped at once.
                scope = self._scopes[key] = asyncio.timeout_at(self._deadlines.get(key, loop.time()))
                async with scope:
                    stored_later = await self._handle(claim)
            except Exception as error:
                if isinstance(error, TimeoutError) and scope is not None and scope.expired():
                    self._metrics.stale_outcomes.inc()
                    log.warning("lease lost: the call was cancelled and nothing written %s", _fields(claim))
                else:
                    # Nothing ends a worker; the event stays in flight until its lease passes.
                    log.exception("worker: unexpected error %s", _fields(claim))
            finally:
                self._working.pop(key, None)
                self._scopes.pop(key, None)
            if not stored_later:
                self._release(claim)

    async def _handle(self, claim: Claim) -> bool:
        """Works on one event; True when its record waits for the dispatcher to store it."""
        event = claim.event
        account = self._accounts.get(event.account_id)
        if account is None:
            log.warning("event failed: no setting for the account %s", _fields(claim))
            await self._fail(claim, f"no setting for Instagram account {event.account_id}")
            return False
        try:
            post = await fetch_parent_post(event, self._client, self._token)
        except GraphApiError as error:
            await self._on_graph_error(claim, error)
            return False
        self._answered()
        try:
            text = record_json(build_record(event, account, post))
        except Exception as error:
            log.error("event failed: %s %s", type(error).__name__, _fields(claim))
            await self._fail(claim, f"unexpected {type(error).__name__}: {error}")
            return False
        self._done.append((claim, text))
        self._wake.set()
        if log.isEnabledFor(logging.DEBUG):
            log.debug("event done %s", _fields(claim))
        return True

    def _answered(self) -> None:
        """The Graph API answered: no outage, or the end of one."""
        self._outage.answered()
        self._pauses.resume(OUTAGE)

    async def _write(self, claim: Claim, outcome: str, write: Callable[[], Awaitable[T]]) -> T:
        """Writes an outcome, trying again for as long as the store fails; the claim stays held (and its lease
        renewed) meanwhile. A stop ends the tries: the event is then taken up again at the next start."""
        delay = OUTCOME_RETRY_SECONDS
        while True:
            try:
                result = await write()
            except Exception as error:
                self._health.write_failed(error)
                log.error("could not store an event's outcome (%s), trying again in %.1f s: %s %s", outcome, delay,
                          error, _fields(claim))
                await asyncio.sleep(delay)
                delay = min(2 * delay, OUTCOME_RETRY_CAP)
            else:
                self._health.written()
                return result

    def _reason(self, text: str) -> str:
        """A reason as stored: no token in any form, on one line, and text any store can hold."""
        return quoted(self._redact(text))

    async def _fail(self, claim: Claim, reason: str) -> None:
        reason = self._reason(reason)
        if not await self._write(claim, "failed", lambda: self._store.fail(claim, reason)):
            self._stale([claim], "failed")

    async def _wait(self, claim: Claim, delay: float, reason: str) -> None:
        reason = self._reason(reason)
        self._metrics.retries.inc()
        if not await self._write(claim, "waiting", lambda: self._store.wait(claim, time.time() + delay, reason)):
            self._stale([claim], "waiting")

    async def _put_back(self, claim: Claim) -> None:
        self._stale(await self._write(claim, "put back", lambda: self._store.put_back([claim])), "put back")

    def _age(self, claim: Claim) -> float:
        now = time.time()
        # The change's time is what the delivery says: any integer, however far off.
        since = max(min(claim.event.time, now), self._started)
        return now - since - self._pauses.paused_since(since)

    async def _on_graph_error(self, claim: Claim, error: GraphApiError) -> None:
        reason = f"{claim.event.kind} on post {claim.event.post_id}: {error}"
        loop = asyncio.get_running_loop()
        if error.token_refused:
            self._pauses.pause(TOKEN_REFUSED,
                               "the Graph API refused the access token; restart the service with a valid one")
            log.critical("the Graph API refused the access token: all workers paused until restart; "
                         "deliveries are still accepted %s", _fields(claim, error))
            await self._put_back(claim)
            return
        if error.unavailable and not error.throttled:
            if self._pauses.kind == OUTAGE or self._outage.failed(claim.event.post_id, loop.time()):
                if self._pauses.pause(OUTAGE, f"the Graph API is unavailable ({error}); trying one event every "
                                      f"{self._pauses.probe_every:g} s"):
                    log.error("the Graph API is unavailable: all workers paused, one event tried every %g s; "
                              "deliveries are still accepted %s", self._pauses.probe_every, _fields(claim, error))
                # Spends no attempt: the event did not fail, the Graph API did.
                await self._put_back(claim)
                return
        else:
            self._answered()
        if not error.retryable:
            log.warning("event failed %s", _fields(claim, error))
            await self._fail(claim, reason)
            return
        if claim.attempts >= self.max_attempts:
            log.warning("event failed after its last attempt %s", _fields(claim, error))
            await self._fail(claim, f"gave up after {claim.attempts} attempts: {reason}")
            return
        age = self._age(claim)
        if age >= self._limits.max_age:
            log.warning("event failed: %.0f s old %s", age, _fields(claim, error))
            await self._fail(claim, f"gave up after {age:.0f} s: {reason}")
            return
        retry_after = error.retry_after or 0.0
        if retry_after > self._limits.max_retry_after:
            log.warning("Retry-After of %.0f s capped to %.0f s %s", retry_after, self._limits.max_retry_after,
                        _fields(claim, error))
            retry_after = self._limits.max_retry_after
        delay = max(self._backoff.delay(claim.attempts), retry_after)
        if error.throttled:
            self._pauses.pause(THROTTLED, f"throttled by the Graph API (HTTP {error.status}, code {error.code})",
                               loop.time() + delay)
            log.warning("throttled: all workers paused for %.1f s %s", delay, _fields(claim, error))
        else:
            log.info("will retry in %.1f s %s", delay, _fields(claim, error))
        await self._wait(claim, delay, reason)

    async def stop(self, deadline: float) -> None:
        """Stops claiming, lets work in hand finish for up to `deadline` seconds, and puts the rest back.

        The store calls at the end have no deadline of their own: the caller bounds the whole stop.
        """
        self._stopping = True
        # Wake everything that waits, so that each sees the stop; idle workers end at the None.
        self._pauses.stop()
        self._wake.set()
        for _ in self._workers:
            self._queue.put_nowait(None)
        if self._workers:
            await asyncio.wait(self._workers, timeout=deadline)
        for task in self._workers:
            task.cancel()
        await asyncio.gather(*self._workers, return_exceptions=True)
        # The dispatcher is not cancelled: it ends once its last job is done, and the claims that job brings
        # back are among those put back below.
        self._wake.set()
        if self._dispatcher is not None:
            await asyncio.gather(self._dispatcher, return_exceptions=True)
        if self._done:
            try:
                self._stale(await self._store.finish(self._done), "done")
            except Exception as error:
                log.error("could not store %d records; their events are taken up again at the next start: %s",
                          len(self._done), error)
            for claim, _ in self._done:
                self._held.pop((claim.id, claim.token), None)
            self._done = []
        left = [claim for claim, _ in self._held.values()]
        if left:
            self._stale(await self._store.put_back(left), "put back")
        log.info("pipeline stopped; %d events in hand put back to pending", len(left))
