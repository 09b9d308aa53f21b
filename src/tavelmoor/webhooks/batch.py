"""The batch mode: delivery files in, one record per event out as JSON lines, in input order.

It streams: a fixed pool of workers takes events from a bounded queue, and records wait for their turn in a
reorder buffer of bounded size, so its memory does not grow with the number of events.
"""
import argparse
import asyncio
import contextlib
import json
import sys
import time
from collections.abc import Iterable, Iterator
from typing import Any, TextIO

import aiohttp

from tavelmoor.webhooks.config import PROG
from tavelmoor.webhooks.graph_api import GraphApiClient, GraphApiError
from tavelmoor.webhooks.payloads import DATA, Account, Event, PayloadError, read_accounts, read_events
from tavelmoor.webhooks.records import build_record, fetch_parent_post
from tavelmoor.webhooks.stand_in import RunningStandIn, StandIn, load_posts

class Progress:
    """A single self-overwriting line on stderr, refreshed at most ten times a second.

    Left to itself it appears only once a run has lasted `delay` seconds, so short runs stay quiet.
    """

    def __init__(self, total: int, enabled: bool, delay: float = 0.0) -> None:
        self.total = total
        self.done = 0
        self.enabled = enabled
        self._start = time.monotonic()
        self._delay = delay
        self._shown = 0.0
        self._visible = False

    def advance(self) -> None:
        self.done += 1
        now = time.monotonic()
        if not self.enabled or now - self._start < self._delay:
            return
        if now - self._shown >= 0.1 or self.done == self.total:
            self._shown = now
            self._visible = True
            print(f"\r{self.done}/{self.total} events ({100 * self.done // self.total}%)",
                  end="", file=sys.stderr, flush=True)

    def finish(self) -> None:
        if self._visible:
            print(file=sys.stderr)


class OrderedOutput:
    """Writes results in event order whatever order the fetches finish in.

    Results that arrive ahead of their turn wait in `_pending`; the pipeline keeps that
    buffer small by never letting more than a fixed number of events be outstanding.
    """

    def __init__(self, out: TextIO) -> None:
        self._out = out
        self._next = 0
        self._pending: dict[int, dict[str, Any] | str] = {}
        self.peak_buffered = 0
        self.records = 0
        self.failures = 0

    def put(self, index: int, result: dict[str, Any] | str) -> int:
        """Takes one result and returns how many results (this one included) it wrote out."""
        self._pending[index] = result
        self.peak_buffered = max(self.peak_buffered, len(self._pending))
        written = 0
        while self._next in self._pending:
            item = self._pending.pop(self._next)
            if isinstance(item, dict):
                self._out.write(json.dumps(item, ensure_ascii=False) + "\n")
                self.records += 1
            else:
                print(f"{PROG}: event {self._next + 1}: {item}", file=sys.stderr)
                self.failures += 1
            self._next += 1
            written += 1
        return written


def _describe(event: Event) -> str:
    return f"{event.kind} on post {event.post_id}"


def outstanding_limit(concurrency: int) -> int:
    """How many events may be taken from the input and not yet written out.

    Twice the workers: each worker can have one event in hand while the events it
    finished ahead of a slow one wait in the reorder buffer.
    """
    return 2 * concurrency


async def _process(events: Iterable[Event | str], accounts: dict[str, Account], client: GraphApiClient,
                   access_token: str, concurrency: int, output: OrderedOutput, progress: Progress) -> None:
    """Streams `events` through a fixed pool of `concurrency` workers.

    The feeder hands events to the workers through a bounded queue, and takes a slot of
    `outstanding_limit` before each one; a slot comes back when its result is written. So
    however many events there are, at most that many are in the queue, in the workers' hands
    or in the reorder buffer. A `str` in `events` is an event that failed before any fetch.
    """
    queue: asyncio.Queue[tuple[int, Event | str] | None] = asyncio.Queue(maxsize=concurrency)
    slots = asyncio.Semaphore(outstanding_limit(concurrency))

    async def handle(event: Event) -> dict[str, Any] | str:
        try:
            post = await fetch_parent_post(event, client, access_token)
            return build_record(event, accounts[event.account_id], post)
        except GraphApiError as error:
            if error.fatal:
                raise
            return f"{_describe(event)}: {error}"

    async def worker() -> None:
        while (taken := await queue.get()) is not None:
            index, item = taken
            result = item if isinstance(item, str) else await handle(item)
            for _ in range(output.put(index, result)):
                slots.release()
                progress.advance()

    async def feed() -> None:
        for index, item in enumerate(events):
            await slots.acquire()
            await queue.put((index, item))
        for _ in range(concurrency):
            await queue.put(None)

    tasks = [asyncio.ensure_future(feed()), *(asyncio.ensure_future(worker()) for _ in range(concurrency))]
    try:
        await asyncio.gather(*tasks)
    finally:
        # gather leaves the other tasks running; a fatal error or a cancellation stops them all.
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        progress.finish()


def _repeated(events: list[Event | str], times: int) -> Iterator[Event | str]:
    for _ in range(times):
        yield from events


async def run(args: argparse.Namespace, events: list[Event | str], accounts: dict[str, Account], out: TextIO) -> int:
    output = OrderedOutput(out)
    total = len(events) * args.repeat
    if args.progress is None:
        progress = Progress(total, sys.stderr.isatty(), delay=0.5)
    else:
        progress = Progress(total, args.progress)
    async with contextlib.AsyncExitStack() as stack:
        stand_in = None
        if args.graph_api_url:
            base_url, access_token = args.graph_api_url, args.access_token
        else:
            try:
                posts = load_posts(args.posts)
            except (OSError, ValueError) as error:
                raise PayloadError(f"posts for the stand-in: {error}") from None
            stand_in = StandIn(posts, latency=args.latency)
            running = await stack.enter_async_context(RunningStandIn(stand_in))
            base_url, access_token = running.base_url, stand_in.access_token
        session = await stack.enter_async_context(aiohttp.ClientSession())
        client = GraphApiClient(session, base_url, timeout=args.timeout)
        started = time.monotonic()
        await _process(_repeated(events, args.repeat), accounts, client, access_token, args.concurrency, output, progress)
        out.flush()
    summary = f"{PROG}: {output.records} records, {output.failures} failed, in {time.monotonic() - started:.2f} s"
    if stand_in is not None:
        summary += f"; stand-in answered {stand_in.requests} requests, at most {stand_in.peak_in_flight} at once"
    print(summary, file=sys.stderr)
    return 1 if output.failures else 0


def load_input(args: argparse.Namespace) -> tuple[list[Event | str], dict[str, Account]]:
    events: list[Event | str] = []
    for path in args.payloads or [DATA / "webhooks.json"]:
        # A change this consumer does not handle fails alone, as its reason, in its place.
        events.extend(item if isinstance(item, Event) else item.reason for item in read_events(path))
    accounts = read_accounts(args.settings)
    for number, event in enumerate(events, 1):
        if isinstance(event, Event) and event.account_id not in accounts:
            raise PayloadError(f"event {number} ({_describe(event)}): no setting for Instagram account "
                               f"{event.account_id} in {args.settings}")
    return events, accounts


def run_batch(args: argparse.Namespace, out: TextIO) -> int:
    events, accounts = load_input(args)
    return asyncio.run(run(args, events, accounts, out))
