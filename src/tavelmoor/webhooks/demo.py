"""`demo`: the whole job on one machine, driven over real HTTP as the platform would drive it.

Starts `serve` in a child process on a free loopback port with a temporary database and the embedded
Graph API stand-in, POSTs the deliveries to it signed with a fresh app secret, waits until nothing is
pending, stops the service, and writes the stored records as JSON lines. With `--database postgresql` the
store is a throwaway PostgreSQL cluster, and `--processes` services share it, the deliveries spread over them.
"""
import argparse
import asyncio
import contextlib
import json
import os
import re
import secrets
import signal
import sys
import tempfile
import time
import urllib.request
from collections.abc import AsyncIterator, Awaitable, Callable, Iterator
from importlib.resources.abc import Traversable
from pathlib import Path
from typing import Any, TextIO
from urllib.parse import urlsplit

from tavelmoor.webhooks.config import ACCESS_TOKEN_VARIABLE, APP_SECRET_VARIABLE, PROG, VERIFY_TOKEN_VARIABLE
from tavelmoor.webhooks.payloads import DATA, PayloadError
from tavelmoor.webhooks.signature import SIGNATURE_HEADER, sign
from tavelmoor.webhooks.stand_in import FRESH_ID_STEP
from tavelmoor.webhooks.store import StoreUnavailable
from tavelmoor.webhooks.store.cluster import Cluster, ClusterUnavailable
from tavelmoor.webhooks.store.sqlite import open_read_only, stored_failures, stored_records, unfinished_events

# The platform retries a delivery that was not answered 200; so does the demo, a few times.
DELIVERY_TRIES = 5
SERVICE_START_SECONDS = 30


def _shift(value: Any, copy_number: int) -> Any:
    if isinstance(value, str) and value.isascii() and value.isdigit() and int(value) < FRESH_ID_STEP:
        return str(int(value) + copy_number * FRESH_ID_STEP)
    return value


def fresh_copy(delivery: Any, copy_number: int) -> Any:
    """The delivery with its comment and media ids made new for copy `copy_number` (0: unchanged).

    The stand-in serves a fresh media id as the post it was made from.
    """
    if copy_number == 0 or not isinstance(delivery, dict) or not isinstance(delivery.get("entry"), list):
        return delivery
    # Only the containers on the way to a changed id are copied; the rest is shared with the original,
    # which is much cheaper than a deep copy per delivery when posting many.
    return {**delivery, "entry": [_fresh_entry(entry, copy_number) for entry in delivery["entry"]]}


def _fresh_entry(entry: Any, copy_number: int) -> Any:
    if not isinstance(entry, dict) or not isinstance(entry.get("changes"), list):
        return entry
    return {**entry, "changes": [_fresh_change(change, copy_number) for change in entry["changes"]]}


def _fresh_change(change: Any, copy_number: int) -> Any:
    value = change.get("value") if isinstance(change, dict) else None
    if not isinstance(value, dict):
        return change
    value = {**value}
    for key in ("id", "media_id", "comment_id"):
        if key in value:
            value[key] = _shift(value[key], copy_number)
    if isinstance(value.get("media"), dict):
        value["media"] = {**value["media"], "id": _shift(value["media"].get("id"), copy_number)}
    return {**change, "value": value}


def read_deliveries(paths: list[Traversable]) -> list[Any]:
    deliveries = []
    for path in paths:
        try:
            document = json.loads(path.read_text(encoding="utf-8"))
        except OSError as error:
            raise PayloadError(f"{path}: cannot read: {error.strerror}") from None
        except ValueError as error:
            raise PayloadError(f"{path}: not valid JSON: {error}") from None
        deliveries.extend(document if isinstance(document, list) else [document])
    return deliveries


def signed_bodies(deliveries: list[Any], repeat: int, app_secret: bytes) -> Iterator[tuple[bytes, str]]:
    for copy_number in range(repeat):
        for delivery in deliveries:
            body = json.dumps(fresh_copy(delivery, copy_number), ensure_ascii=False).encode("utf-8")
            yield body, sign(app_secret, body)


def peak_rss_bytes(pid: int) -> int | None:
    """The process's peak resident set size so far (Linux)."""
    try:
        status = Path(f"/proc/{pid}/status").read_text()
    except OSError:
        return None
    match = re.search(r"^VmHWM:\s+(\d+) kB", status, re.MULTILINE)
    return int(match.group(1)) * 1024 if match else None


class PostError(Exception):
    """The service answered something that is not HTTP/1.1."""


class Poster:
    """POSTs signed bodies over one kept-alive HTTP/1.1 connection, as the platform's sender would.

    Deliberately small: a general client spends more time on each of thousands of tiny requests than
    the service spends receiving them, and the two share the machine while the rate is measured.
    """

    def __init__(self, url: str) -> None:
        parts = urlsplit(url)
        self._host, self._port = parts.hostname or "127.0.0.1", parts.port or 80
        self._head = (f"POST {parts.path} HTTP/1.1\r\nHost: {parts.netloc}\r\n"
                      f"Content-Type: application/json\r\n{SIGNATURE_HEADER}: ").encode("ascii")
        self._reader: asyncio.StreamReader | None = None
        self._writer: asyncio.StreamWriter | None = None

    async def __aenter__(self) -> "Poster":
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self._close()

    async def _close(self) -> None:
        writer, self._writer, self._reader = self._writer, None, None
        if writer is not None:
            writer.close()
            with contextlib.suppress(OSError):
                await writer.wait_closed()

    async def __call__(self, body: bytes, signature: str) -> int:
        """Sends one delivery and returns the answer's status."""
        if self._writer is None:
            self._reader, self._writer = await asyncio.open_connection(self._host, self._port)
        reader, writer = self._reader, self._writer
        assert reader is not None
        writer.write(b"%s%s\r\nContent-Length: %d\r\n\r\n%s" % (self._head, signature.encode("ascii"),
                                                                   len(body), body))
        head = (await reader.readuntil(b"\r\n\r\n")).decode("latin-1").lower().split("\r\n")
        version, _, rest = head[0].partition(" ")
        if not version.startswith("http/1.") or not rest[:3].isdigit():
            raise PostError(f"not an HTTP answer: {head[0][:40]!r}")
        headers = dict(line.partition(":")[::2] for line in head[1:] if line)
        length = headers.get("content-length", "").strip()
        if not length.isdigit():
            raise PostError("an answer without Content-Length")
        await reader.readexactly(int(length))
        if headers.get("connection", "").strip() == "close":
            await self._close()
        return int(rest[:3])


class Driver:
    """Runs the demo in `workdir`: `args.processes` services on one store, which is a SQLite file there, the
    database `args.database` names, or (`postgresql`) a throwaway PostgreSQL cluster made there."""

    def __init__(self, args: argparse.Namespace, workdir: Path) -> None:
        self.args = args
        self.database: Path | str = workdir / "inbox.db" if args.database == "sqlite" else args.database
        self.workdir = workdir
        self.service_log = workdir / "service.log"
        self.app_secret = secrets.token_hex(32)
        self.posted = 0
        self.refused = 0
        self.claim_seconds: dict[float, float] = {}

    async def start_service(self, log_file: TextIO) -> tuple[asyncio.subprocess.Process, str, str]:
        """Starts `serve` and returns the process, its webhook URL and its admin URL."""
        env = {key: value for key, value in os.environ.items() if key != ACCESS_TOKEN_VARIABLE}
        env.update({APP_SECRET_VARIABLE: self.app_secret, VERIFY_TOKEN_VARIABLE: secrets.token_urlsafe(16)})
        args = self.args
        command = [sys.executable, "-P", "-m", "tavelmoor.webhooks", "serve", "--host", "127.0.0.1", "--port", "0",
                   "--admin-port", "0",
                   "--database", str(self.database), "--concurrency", str(args.concurrency),
                   "--latency", str(args.latency), "--timeout", str(args.timeout), "--synchronous", args.synchronous,
                   "--settings", str(args.settings), "--posts", str(args.posts),
                   "--listen" if args.listen else "--no-listen"]
        process = await asyncio.create_subprocess_exec(*command, stdout=asyncio.subprocess.PIPE, stderr=log_file,
                                                       env=env)
        assert process.stdout is not None
        try:
            async with asyncio.timeout(SERVICE_START_SECONDS):
                lines = [await process.stdout.readline(), await process.stdout.readline()]
        except TimeoutError:
            lines = [b"", b""]
        url = lines[0].decode().removeprefix("listening on ").strip()
        if not (url.startswith("http://") and lines[1].startswith(b"admin on http://")):
            await self.stop_service(process)
            raise RuntimeError("the service did not start")
        return process, url, lines[1].decode().removeprefix("admin on ").strip()

    async def stop_service(self, process: asyncio.subprocess.Process) -> int:
        if process.returncode is None:
            process.send_signal(signal.SIGTERM)
        try:
            return await asyncio.wait_for(process.wait(), SERVICE_START_SECONDS)
        except TimeoutError:
            process.kill()
            return await process.wait()

    async def post_all(self, urls: list[str], bodies: Iterator[tuple[bytes, str]]) -> None:
        async def poster(url: str) -> None:
            async with Poster(url) as post:
                for body, signature in bodies:
                    for attempt in range(DELIVERY_TRIES):
                        status = await post(body, signature)
                        if status == 200:
                            self.posted += 1
                            break
                        if status < 500 or attempt == DELIVERY_TRIES - 1:
                            self.refused += 1
                            print(f"{PROG}: delivery refused: HTTP {status}", file=sys.stderr)
                            break
                        await asyncio.sleep(0.1 * 2 ** attempt)
        # One generator shared by all posters, spread over the services: each takes the next body when it is free.
        await asyncio.gather(*(poster(urls[n % len(urls)]) for n in range(self.args.post_concurrency)))

    async def wait_until_settled(self, total: int, unfinished: Callable[[], Awaitable[int]]) -> None:
        """Waits until no event is pending, in flight or waiting, watching the store itself.

        The services' own counts are at most a second old, too coarse for timing a run of a few seconds.
        """
        shown = False
        while True:
            left = await unfinished()
            if self.args.progress and total:
                shown = True
                settled = max(total - left, 0)
                print(f"\r{settled}/{total} events stored ({100 * settled // total}%)", end="",
                      file=sys.stderr, flush=True)
            if left == 0:
                break
            await asyncio.sleep(0.05)
        if shown:
            print(file=sys.stderr)

    async def scrape_claims(self, admin_url: str) -> None:
        """Adds a service's claim round-trip histogram (cumulative counts by bucket bound) to the others'."""
        text = await asyncio.to_thread(_read_url, f"{admin_url}/metrics")
        for match in re.finditer(r'^tavelmoor_webhooks_claim_seconds_bucket\{le="([^"]+)"\} (\S+)$', text, re.M):
            bound = float(match.group(1))
            self.claim_seconds[bound] = self.claim_seconds.get(bound, 0.0) + float(match.group(2))

    def claim_quantile(self, q: float) -> float | None:
        """The q-quantile of the claims' round trips, interpolated within its bucket as Prometheus does."""
        bounds = sorted(self.claim_seconds)
        if not bounds or not self.claim_seconds[bounds[-1]]:
            return None
        rank = q * self.claim_seconds[bounds[-1]]
        lower, below = 0.0, 0.0
        for bound in bounds:
            count = self.claim_seconds[bound]
            if count >= rank:
                if bound == float("inf"):
                    return lower
                return lower + (bound - lower) * (rank - below) / max(count - below, 1e-9)
            lower, below = bound, count
        return lower

    async def run(self, deliveries: list[Any], events_per_round: int, out: TextIO) -> int:
        args = self.args
        total = events_per_round * args.repeat
        async with contextlib.AsyncExitStack() as stack:
            log_file = stack.enter_context(open(self.service_log, "w", encoding="utf-8"))
            if args.database == "postgresql":
                cluster = stack.enter_context(await asyncio.to_thread(
                    Cluster.create, fsync=True, synchronous_commit=args.synchronous == "FULL"))
                await asyncio.to_thread(cluster.start)
                self.database = cluster.url()
            services = []
            try:
                # The first creates the schema alone; the others start together.
                services.append(await self.start_service(log_file))
                services += await asyncio.gather(*(self.start_service(log_file)
                                                   for _ in range(args.processes - 1)))
                unfinished, records, failures, close, store_text = await _store_readers(self.database)
                stack.push_async_callback(close)
                if not isinstance(self.database, str):
                    store_text += f" (synchronous {args.synchronous})"
                print(f"{PROG}: {args.processes} service{'s' if args.processes > 1 else ''} on {store_text}",
                      file=sys.stderr)
                started = time.monotonic()
                await self.post_all([url for _, url, _ in services],
                                    signed_bodies(deliveries, args.repeat, self.app_secret.encode()))
                posted_in = time.monotonic() - started
                await self.wait_until_settled(total, unfinished)
                settled_in = time.monotonic() - started
                peak = max((peak_rss_bytes(process.pid) or 0 for process, _, _ in services), default=0) or None
                for _, _, admin in services:
                    await self.scrape_claims(admin)
            except (OSError, asyncio.IncompleteReadError, PostError) as error:
                raise RuntimeError(f"the service stopped answering ({type(error).__name__})") from None
            finally:
                exit_codes = await asyncio.gather(*(self.stop_service(process) for process, _, _ in services))
            if any(exit_codes):
                raise RuntimeError(f"a service stopped with exit status {max(exit_codes, key=abs)}")
            counted = {"records": 0, "failed": 0, "dead_letters": 0}
            async for text in records():
                out.write(text + "\n")
                counted["records"] += 1
            out.flush()
            async for failure in failures():
                counted["dead_letters" if "dead_letter" in failure else "failed"] += 1
                print(f"{PROG}: failed: {json.dumps(failure, ensure_ascii=False)}", file=sys.stderr)
        records_written, failed, dead_letters = counted.values()
        events = records_written + failed
        peak_text = f"{peak / 2**20:.1f} MiB" if peak is not None else "unknown"
        median, tail = self.claim_quantile(0.5), self.claim_quantile(0.99)
        claims = "" if median is None or tail is None else \
            f"; claim round trip median {median * 1000:.1f} ms, 99th percentile {tail * 1000:.1f} ms"
        print(f"{PROG}: {self.posted} deliveries posted in {posted_in:.2f} s ({self.posted / posted_in:.0f}/s); "
              f"{records_written} records, {failed} failed, {dead_letters} dead letters; "
              f"{events} events stored in {settled_in:.2f} s ({events / settled_in:.0f} events/s); "
              f"service peak RSS {peak_text}{claims}", file=sys.stderr)
        return 1 if failed or dead_letters or self.refused else 0


def _read_url(url: str) -> str:
    with urllib.request.urlopen(url, timeout=10) as answer:
        text: str = answer.read().decode("utf-8")
        return text


async def _store_readers(database: Path | str) -> tuple[
        Callable[[], Awaitable[int]], Callable[[], AsyncIterator[str]],
        Callable[[], AsyncIterator[dict[str, Any]]], Callable[[], Awaitable[None]], str]:
    """How the demo reads the store beside the services: the unfinished events, the records, the failures, a
    way to close it, and what it is. SQLite is read through a read-only connection, as `records` reads it."""
    if isinstance(database, str):
        from tavelmoor.webhooks.store.postgres import PostgresStore, masked
        store = await PostgresStore.open(database, pool_size=2, listen=False)
        settings = await store.settings("fsync", "synchronous_commit", "server_version")
        text = (f"PostgreSQL {settings['server_version']} at {masked(database)} (fsync {settings['fsync']}, "
                f"synchronous_commit {settings['synchronous_commit']})")
        return store.unfinished, store.records, store.failures, store.close, text
    path = database
    db = open_read_only(path)

    async def unfinished() -> int:
        return unfinished_events(db)

    async def records() -> AsyncIterator[str]:
        for text in stored_records(path):
            yield text

    async def failures() -> AsyncIterator[dict[str, Any]]:
        for failure in stored_failures(path):
            yield failure

    async def close() -> None:
        db.close()
    return unfinished, records, failures, close, f"SQLite at {path}"


def count_events(deliveries: list[Any]) -> int:
    return sum(len(entry.get("changes") or []) if isinstance(entry, dict) else 1
               for delivery in deliveries if isinstance(delivery, dict)
               for entry in (delivery.get("entry") or []))


def run_demo(args: argparse.Namespace, out: TextIO) -> int:
    deliveries = read_deliveries(args.payloads or [DATA / "webhooks.json"])
    if args.progress is None:
        args.progress = sys.stderr.isatty()
    with tempfile.TemporaryDirectory(prefix="tavelmoor-webhooks-") as workdir:
        driver = Driver(args, Path(workdir))
        try:
            return asyncio.run(driver.run(deliveries, count_events(deliveries), out))
        except (RuntimeError, ClusterUnavailable, StoreUnavailable) as error:
            log_tail = driver.service_log.read_text(encoding="utf-8", errors="replace")[-4000:] \
                if driver.service_log.exists() else ""
            print(f"{PROG}: error: {error}\n{log_tail}", file=sys.stderr, end="")
            return 1
