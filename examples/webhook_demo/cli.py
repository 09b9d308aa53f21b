"""Command line: the batch mode over delivery files, and the `serve`, `records` and `demo` commands."""
import argparse
import asyncio
import contextlib
import json
import os
import sqlite3
import sys
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from pathlib import Path
from typing import Any, TextIO

import aiohttp

from webhook_demo.drive import run_demo
from webhook_demo.graph_api import GraphApiClient, GraphApiError
from webhook_demo.inbox import InboxLocked, stored_failures, stored_records
from webhook_demo.payloads import Account, Event, PayloadError, read_accounts, read_events
from webhook_demo.records import build_record, fetch_parent_post
from webhook_demo.service import APP_SECRET_VARIABLE, VERIFY_TOKEN_VARIABLE, ConfigError, run_serve
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
        prog=PROG, description="Turn Instagram webhook deliveries into flat records, one JSON line per event.",
        epilog=f"Exit status: 0 when every event gave a record; 1 when some events failed (the Graph API failed "
        f"for them, or a change is of a kind or shape this consumer does not handle; the other records are "
        f"still written) or the Graph API could not be used at all; 2 for input it cannot read. "
        f"Other commands: `{PROG} serve`, `{PROG} records` and `{PROG} demo`, each with --help.")
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
    for path in args.payloads or [DATA_DIR / "webhooks.json"]:
        # A change this consumer does not handle fails alone, as its reason, in its place.
        events.extend(item if isinstance(item, Event) else item.reason for item in read_events(path))
    accounts = read_accounts(args.settings)
    for number, event in enumerate(events, 1):
        if isinstance(event, Event) and event.account_id not in accounts:
            raise PayloadError(f"event {number} ({_describe(event)}): no setting for Instagram account "
                               f"{event.account_id} in {args.settings}")
    return events, accounts


def _serve_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=f"{PROG} serve", description="Receive Instagram webhook deliveries over HTTP, keep every one in "
        f"SQLite, and turn each event into a stored record. Secrets come from the environment: "
        f"${APP_SECRET_VARIABLE}, ${VERIFY_TOKEN_VARIABLE} and (with --graph-api-url) ${TOKEN_VARIABLE}, "
        f"or from the files named by the same variables with _FILE added.")
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=8080, help="port to listen on; 0 picks a free one (default 8080)")
    parser.add_argument("--database", type=Path, required=True, help="the SQLite file; one process owns it")
    parser.add_argument("--settings", type=Path, default=DATA_DIR / "settings.json",
                        help="account settings with their brand and category lists")
    parser.add_argument("--concurrency", type=_positive(int), default=8, help="workers (default 8)")
    parser.add_argument("--timeout", type=_positive(float), default=10.0, help="seconds per request (default 10)")
    parser.add_argument("--max-attempts", type=_positive(int), default=8,
                        help="attempts per event before it fails (default 8)")
    parser.add_argument("--retry-base", type=_positive(float), default=0.5,
                        help="first retry delay in seconds, doubled per attempt up to a minute (default 0.5)")
    parser.add_argument("--drain-timeout", type=_positive(float), default=5.0,
                        help="seconds that work in hand may take to finish at stop (default 5)")
    parser.add_argument("--synchronous", choices=["FULL", "NORMAL"], default="FULL",
                        help="SQLite durability: FULL (default) keeps every answered delivery through a power loss")
    parser.add_argument("--busy-timeout", type=_positive(float), default=5.0,
                        help="seconds a write waits for a lock held outside the service before the delivery is "
                        "answered 503 (default 5)")
    parser.add_argument("--log-level", choices=["DEBUG", "INFO", "WARNING", "ERROR"], default="INFO")
    stand_in = parser.add_argument_group("embedded Graph API stand-in (the default)")
    stand_in.add_argument("--posts", type=Path, default=DATA_DIR / "posts.json", help="posts it serves by id")
    stand_in.add_argument("--latency", type=float, default=0.0, help="seconds it waits before each answer")
    parser.add_argument_group("a real Graph API instead").add_argument(
        "--graph-api-url", metavar="URL", help="base URL, such as https://graph.facebook.com/v21.0")
    return parser


def _records_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=f"{PROG} records",
                                     description="Print the records a service stored, as JSON lines in event order.")
    parser.add_argument("--database", type=Path, required=True)
    parser.add_argument("--failed", action="store_true", help="the failed events and dead letters instead")
    return parser


def _demo_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=f"{PROG} demo", description="Run the service on a free loopback port with a temporary database, "
        "POST the deliveries to it signed, wait until nothing is pending, and print the stored records.")
    parser.add_argument("payloads", nargs="*", type=Path, metavar="DELIVERIES",
                        help="JSON files with one webhook delivery or a list of them (default: the bundled samples)")
    parser.add_argument("--settings", type=Path, default=DATA_DIR / "settings.json")
    parser.add_argument("--posts", type=Path, default=DATA_DIR / "posts.json")
    parser.add_argument("-o", "--output", type=Path, help="write the records here instead of to stdout")
    parser.add_argument("--repeat", type=_positive(int), default=1,
                        help="send the deliveries N times, each time with fresh comment and media ids")
    parser.add_argument("--concurrency", type=_positive(int), default=8, help="the service's workers (default 8)")
    parser.add_argument("--post-concurrency", type=_positive(int), default=16,
                        help="deliveries POSTed at once (default 16)")
    parser.add_argument("--latency", type=float, default=0.0, help="seconds the stand-in waits before each answer")
    parser.add_argument("--timeout", type=_positive(float), default=10.0)
    parser.add_argument("--synchronous", choices=["FULL", "NORMAL"], default="FULL",
                        help="the service's SQLite durability (default FULL)")
    parser.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                        help="progress line on stderr (default: on a terminal)")
    return parser


def _serve_main(argv: Sequence[str]) -> int:
    parser = _serve_parser()
    args = parser.parse_args(argv)
    if args.latency < 0:
        parser.error("--latency must not be negative")
    try:
        accounts = read_accounts(args.settings)
        posts = None if args.graph_api_url else load_posts(args.posts)
        return run_serve(args, accounts, posts)
    except (PayloadError, ConfigError, InboxLocked) as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 2
    except (OSError, ValueError) as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 2


def _reader_gone() -> int:
    """The reader went away (`| head`): stop quietly, without the interpreter's own complaint at exit."""
    os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return 1


def _open_output(stack: contextlib.ExitStack, args: argparse.Namespace) -> TextIO:
    if not args.output:
        return sys.stdout
    try:
        return stack.enter_context(open(args.output, "w", encoding="utf-8"))
    except OSError as error:
        raise PayloadError(f"{args.output}: cannot write: {error.strerror}") from None


def _exit_code(command: Callable[[], int]) -> int:
    """Runs a command that writes records, turning its expected failures into the documented exit codes."""
    try:
        return command()
    except PayloadError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 2
    except GraphApiError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        return _reader_gone()
    except KeyboardInterrupt:
        return 130


def _records_main(argv: Sequence[str]) -> int:
    args = _records_parser().parse_args(argv)
    try:
        if args.failed:
            for failure in stored_failures(args.database):
                sys.stdout.write(json.dumps(failure, ensure_ascii=False) + "\n")
        else:
            for text in stored_records(args.database):
                sys.stdout.write(text + "\n")
        sys.stdout.flush()
    except BrokenPipeError:
        return _reader_gone()
    except (OSError, sqlite3.Error) as error:
        print(f"{PROG}: error: {args.database}: {error}", file=sys.stderr)
        return 2
    return 0


def _demo_main(argv: Sequence[str]) -> int:
    parser = _demo_parser()
    args = parser.parse_args(argv)
    if args.latency < 0:
        parser.error("--latency must not be negative")
    args.payloads = args.payloads or [DATA_DIR / "webhooks.json"]
    if args.progress is None:
        args.progress = sys.stderr.isatty()

    def demo() -> int:
        with contextlib.ExitStack() as stack:
            return run_demo(args, _open_output(stack, args))
    return _exit_code(demo)


COMMANDS = {"serve": _serve_main, "records": _records_main, "demo": _demo_main}


def main(argv: Sequence[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv and argv[0] in COMMANDS:
        return COMMANDS[argv[0]](argv[1:])
    args = parse_args(argv)

    def batch() -> int:
        events, accounts = load_input(args)
        with contextlib.ExitStack() as stack:
            return asyncio.run(run(args, events, accounts, _open_output(stack, args)))
    return _exit_code(batch)
