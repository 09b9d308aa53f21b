"""Command line: read deliveries, fetch each event's parent post, write one JSON line per event."""
import argparse
import asyncio
import contextlib
import json
import os
import sys
import time
from collections.abc import Sequence
from pathlib import Path
from typing import Any, TextIO

import aiohttp

from webhook_demo.graph_api import GraphApiClient, GraphApiError
from webhook_demo.payloads import Account, Event, PayloadError, read_accounts, read_events
from webhook_demo.records import build_record, fetch_parent_post
from webhook_demo.stand_in import RunningStandIn, StandIn, load_posts

DATA_DIR = Path(__file__).with_name("data")
TOKEN_VARIABLE = "GRAPH_API_ACCESS_TOKEN"
PROG = "webhook_demo"


def _positive(kind: type[int] | type[float]) -> Any:
    def parse(text: str) -> int | float:
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
        if not value > 0:
            raise argparse.ArgumentTypeError(f"must be greater than 0: {text!r}")
        return value
    return parse


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Turn Instagram webhook deliveries into flat records, one JSON line per event.")
    parser.add_argument("payloads", nargs="*", type=Path, metavar="DELIVERIES",
                        help="JSON files with one webhook delivery or a list of them (default: the bundled samples)")
    parser.add_argument("--settings", type=Path, default=DATA_DIR / "settings.json",
                        help="account settings with their brand and category lists")
    parser.add_argument("-o", "--output", type=Path, help="write the records here instead of to stdout")
    parser.add_argument("--concurrency", type=_positive(int), default=8, help="posts fetched at once (default 8)")
    parser.add_argument("--timeout", type=_positive(float), default=10.0, help="seconds per request (default 10)")
    parser.add_argument("--repeat", type=_positive(int), default=1, help="process the events N times over")
    parser.add_argument("--progress", action=argparse.BooleanOptionalAction,
                        help="progress line on stderr (default: on a terminal, once a run takes over half a second)")
    stand_in = parser.add_argument_group("embedded Graph API stand-in (the default)")
    stand_in.add_argument("--posts", type=Path, default=DATA_DIR / "posts.json", help="posts it serves by id")
    stand_in.add_argument("--latency", type=float, default=0.0, help="seconds it waits before each answer")
    real = parser.add_argument_group("a real Graph API instead")
    real.add_argument("--graph-api-url", metavar="URL", help="base URL, such as https://graph.facebook.com/v21.0")
    real.add_argument("--access-token", help=f"its access token (default: ${TOKEN_VARIABLE})")
    args = parser.parse_args(argv)
    if args.graph_api_url:
        args.access_token = args.access_token or os.environ.get(TOKEN_VARIABLE)
        if not args.access_token:
            parser.error(f"--graph-api-url needs --access-token or ${TOKEN_VARIABLE}")
    elif args.access_token:
        parser.error("--access-token goes with --graph-api-url")
    if args.latency < 0:
        parser.error("--latency must not be negative")
    return args


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
    """Writes results in event order whatever order the fetches finish in."""

    def __init__(self, out: TextIO) -> None:
        self._out = out
        self._next = 0
        self._pending: dict[int, dict[str, Any] | str] = {}
        self.records = 0
        self.failures = 0

    def put(self, index: int, result: dict[str, Any] | str) -> None:
        self._pending[index] = result
        while self._next in self._pending:
            item = self._pending.pop(self._next)
            if isinstance(item, dict):
                self._out.write(json.dumps(item, ensure_ascii=False) + "\n")
                self.records += 1
            else:
                print(f"{PROG}: event {self._next + 1}: {item}", file=sys.stderr)
                self.failures += 1
            self._next += 1


def _describe(event: Event) -> str:
    return f"{event.kind} on post {event.post_id}"


async def _process(events: list[Event], accounts: dict[str, Account], client: GraphApiClient,
                   access_token: str, concurrency: int, output: OrderedOutput, progress: Progress) -> None:
    semaphore = asyncio.Semaphore(concurrency)

    async def handle(index: int, event: Event) -> None:
        result: dict[str, Any] | str
        async with semaphore:
            try:
                post = await fetch_parent_post(event, client, access_token)
                result = build_record(event, accounts[event.account_id], post)
            except GraphApiError as error:
                if error.fatal:
                    raise
                result = f"{_describe(event)}: {error}"
        output.put(index, result)
        progress.advance()

    tasks = [asyncio.ensure_future(handle(index, event)) for index, event in enumerate(events)]
    try:
        await asyncio.gather(*tasks)
    except BaseException:
        # gather leaves the other tasks running; a fatal error or a cancellation stops them all.
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        raise
    finally:
        progress.finish()


async def run(args: argparse.Namespace, events: list[Event], accounts: dict[str, Account], out: TextIO) -> int:
    output = OrderedOutput(out)
    if args.progress is None:
        progress = Progress(len(events), sys.stderr.isatty(), delay=0.5)
    else:
        progress = Progress(len(events), args.progress)
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
        await _process(events, accounts, client, access_token, args.concurrency, output, progress)
        out.flush()
    summary = f"{PROG}: {output.records} records, {output.failures} failed, in {time.monotonic() - started:.2f} s"
    if stand_in is not None:
        summary += f"; stand-in answered {stand_in.requests} requests, at most {stand_in.peak_in_flight} at once"
    print(summary, file=sys.stderr)
    return 1 if output.failures else 0


def load_input(args: argparse.Namespace) -> tuple[list[Event], dict[str, Account]]:
    events = []
    for path in args.payloads or [DATA_DIR / "webhooks.json"]:
        events.extend(read_events(path))
    accounts = read_accounts(args.settings)
    for number, event in enumerate(events, 1):
        if event.account_id not in accounts:
            raise PayloadError(f"event {number} ({_describe(event)}): no setting for Instagram account "
                               f"{event.account_id} in {args.settings}")
    return events * args.repeat, accounts


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    try:
        events, accounts = load_input(args)
        with contextlib.ExitStack() as stack:
            try:
                out = stack.enter_context(open(args.output, "w", encoding="utf-8")) if args.output else sys.stdout
            except OSError as error:
                raise PayloadError(f"{args.output}: cannot write: {error.strerror}") from None
            return asyncio.run(run(args, events, accounts, out))
    except PayloadError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 2
    except GraphApiError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (`| head`); stop quietly, without the interpreter's own complaint at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        return 130
