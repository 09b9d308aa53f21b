"""Enrichment: a fixed pool of workers turns pending events into stored records.

A dispatcher claims events from the inbox in batches, as room frees up in a bounded queue, and the workers
take them from there. A worker fetches the parent post through the Graph API client and builds the record;
the dispatcher stores the records finished meanwhile and claims the next events in one job on the inbox's
writer, so a busy pool pays for one commit per batch, not two per event. Nothing holds a transaction across
the network, because every store is one job on the writer. Retrying is decided here, not in the client: a
transient failure makes the event wait (in the database, holding no worker) until a later attempt, throttling
pauses every worker until it passes, and a refused token pauses them until the service is restarted.
"""
import asyncio
import json
import logging
import random
import time
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

from webhook_demo.graph_api import GraphApiClient, GraphApiError
from webhook_demo.inbox import Claim, Inbox
from webhook_demo.payloads import Account
from webhook_demo.records import build_record, fetch_parent_post

log = logging.getLogger("webhook_demo.pipeline")

# How long the dispatcher waits after the store failed to hand out events.
CLAIM_RETRY_SECONDS = 1.0


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


class Pipeline:
    def __init__(self, inbox: Inbox, client: GraphApiClient, access_token: str, accounts: Mapping[str, Account],
                 *, concurrency: int, max_attempts: int = 8, backoff: Backoff = Backoff()) -> None:
        self._inbox = inbox
        self._client = client
        self._token = access_token
        self._accounts = accounts
        self.concurrency = concurrency
        self.max_attempts = max_attempts
        self._backoff = backoff
        # Claimed and not yet settled: at most one in each worker's hands and as many again queued.
        self._limit = 2 * concurrency
        self._outstanding = 0
        # Records built and not yet stored, as (event id, JSON text); their events still count as outstanding.
        self._done: list[tuple[int, str]] = []
        self._queue: asyncio.Queue[Claim | None] = asyncio.Queue()
        self._wake = asyncio.Event()
        self._running = asyncio.Event()
        self._running.set()
        self._stopping = False
        self._paused_until: float | None = None
        self.pause_reason: str | None = None
        self._resume_handle: asyncio.TimerHandle | None = None
        self._in_hand: dict[int, Claim] = {}
        self._dispatcher: asyncio.Task[None] | None = None
        self._workers: list[asyncio.Task[None]] = []

    def start(self) -> None:
        self._dispatcher = asyncio.ensure_future(self._dispatch())
        self._workers = [asyncio.ensure_future(self._work()) for _ in range(self.concurrency)]

    def wake(self) -> None:
        """New events were stored: claim them."""
        self._wake.set()

    def status(self) -> dict[str, Any]:
        return {"live": sum(not worker.done() for worker in self._workers),
                "busy": len(self._in_hand),
                "paused": not self._running.is_set(),
                "pause_reason": self.pause_reason}

    def _pause(self, reason: str, until: float | None) -> None:
        """Holds every worker back until `until` (a loop time), or until restart when it is None."""
        if not self._running.is_set() and (self._paused_until is None
                                           or (until is not None and until <= self._paused_until)):
            return
        self.pause_reason = reason
        self._paused_until = until
        self._running.clear()
        if self._resume_handle is not None:
            self._resume_handle.cancel()
            self._resume_handle = None
        if until is not None:
            self._resume_handle = asyncio.get_running_loop().call_at(until, self._resume)

    def _resume(self) -> None:
        self._resume_handle = None
        self._paused_until = None
        self.pause_reason = None
        self._running.set()
        self._wake.set()
        log.info("workers resumed")

    async def _dispatch(self) -> None:
        while True:
            if self._stopping and not self._done:
                return
            self._wake.clear()
            claiming = self._running.is_set() and not self._stopping
            done, self._done = self._done, []
            # Once the finished events are stored their places are free again.
            room = self._limit - self._outstanding + len(done) if claiming else 0
            due: float | None = None
            if done or room > 0:
                try:
                    # Shielded: the stored records and the claims must be accounted for even at a stop.
                    claims, due = await asyncio.shield(self._inbox.settle(done, room, self.max_attempts))
                except Exception as error:
                    # A store that fails now (a lock held elsewhere, a full disk) may work again later; a
                    # dispatcher that ended here would leave every event in flight until restart.
                    if self._stopping:
                        log.error("could not store %d records; their events are taken up again at the next "
                                  "start: %s", len(done), error)
                        self._done.clear()
                        return
                    log.error("could not store records or claim events, trying again in %.0f s: %s",
                              CLAIM_RETRY_SECONDS, error)
                    self._done = done + self._done
                    await asyncio.sleep(CLAIM_RETRY_SECONDS)
                    continue
                self._outstanding += len(claims) - len(done)
                for claim in claims:
                    self._queue.put_nowait(claim)
            if self._wake.is_set():
                continue
            # With no room the next settled event wakes the dispatcher; with room, so may the next retry.
            timeout = None
            if claiming and due is not None and self._outstanding < self._limit:
                timeout = due - time.time()
                if timeout <= 0:
                    continue
            try:
                await asyncio.wait_for(self._wake.wait(), timeout)
            except TimeoutError:
                pass

    async def _work(self) -> None:
        while (claim := await self._queue.get()) is not None:
            self._in_hand[claim.id] = claim
            stored_later = False
            try:
                await self._running.wait()
                if self._stopping:
                    return
                stored_later = await self._handle(claim)
            except Exception:
                # The store itself failed; the event stays in flight and is taken up again at the next start.
                log.exception("could not store the outcome of an event %s", _fields(claim))
            del self._in_hand[claim.id]
            if not stored_later:
                self._outstanding -= 1
            self._wake.set()

    async def _handle(self, claim: Claim) -> bool:
        """Works on one event; True when its record waits for the dispatcher to store it."""
        event = claim.event
        account = self._accounts.get(event.account_id)
        if account is None:
            log.warning("event failed: no setting for the account %s", _fields(claim))
            await self._inbox.fail(claim.id, f"no setting for Instagram account {event.account_id}")
            return False
        try:
            post = await fetch_parent_post(event, self._client, self._token)
            text = json.dumps(build_record(event, account, post), ensure_ascii=False)
        except GraphApiError as error:
            await self._on_graph_error(claim, error)
            return False
        except Exception as error:
            log.error("event failed: %s %s", type(error).__name__, _fields(claim))
            await self._inbox.fail(claim.id, f"unexpected {type(error).__name__}: {error}")
            return False
        self._done.append((claim.id, text))
        if log.isEnabledFor(logging.DEBUG):
            log.debug("event done %s", _fields(claim))
        return True

    async def _on_graph_error(self, claim: Claim, error: GraphApiError) -> None:
        reason = f"{claim.event.kind} on post {claim.event.post_id}: {error}"
        if error.token_refused:
            self._pause("the Graph API refused the access token; restart the service with a valid one", None)
            log.critical("the Graph API refused the access token: all workers paused until restart; "
                         "deliveries are still accepted %s", _fields(claim, error))
            await self._inbox.release([claim.id])
            return
        if not error.retryable:
            log.warning("event failed %s", _fields(claim, error))
            await self._inbox.fail(claim.id, reason)
            return
        if claim.attempts >= self.max_attempts:
            log.warning("event failed after its last attempt %s", _fields(claim, error))
            await self._inbox.fail(claim.id, f"gave up after {claim.attempts} attempts: {reason}")
            return
        delay = max(self._backoff.delay(claim.attempts), error.retry_after or 0.0)
        if error.throttled:
            loop = asyncio.get_running_loop()
            self._pause(f"throttled by the Graph API (HTTP {error.status}, code {error.code})", loop.time() + delay)
            log.warning("throttled: all workers paused for %.1f s %s", delay, _fields(claim, error))
        else:
            log.info("will retry in %.1f s %s", delay, _fields(claim, error))
        await self._inbox.retry_at(claim.id, time.time() + delay, reason)

    async def stop(self, deadline: float) -> None:
        """Stops claiming, lets work in hand finish for up to `deadline` seconds, and puts the rest back."""
        self._stopping = True
        if self._resume_handle is not None:
            self._resume_handle.cancel()
        # Wake everything that waits, so that each sees the stop; idle workers end at the None.
        self._running.set()
        self._wake.set()
        for _ in self._workers:
            self._queue.put_nowait(None)
        if self._workers:
            await asyncio.wait(self._workers, timeout=deadline)
        for task in self._workers:
            task.cancel()
        await asyncio.gather(*self._workers, return_exceptions=True)
        # The dispatcher is not cancelled: it ends once its job is done, and the claims that job brings back
        # are in the queue, put back below.
        self._wake.set()
        if self._dispatcher is not None:
            await asyncio.gather(self._dispatcher, return_exceptions=True)
        if self._done:
            try:
                await self._inbox.settle(self._done, 0, self.max_attempts)
            except Exception as error:
                log.error("could not store %d records; their events are taken up again at the next start: %s",
                          len(self._done), error)
            self._done = []
        left = list(self._in_hand)
        while not self._queue.empty():
            claim = self._queue.get_nowait()
            if claim is not None:
                left.append(claim.id)
        if left:
            await self._inbox.release(left)
        log.info("pipeline stopped; %d events in hand put back to pending", len(left))
