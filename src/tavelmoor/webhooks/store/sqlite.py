"""The embedded store: one SQLite file in WAL mode.

One connection writes, on a thread of its own, and every change goes through it as a job; jobs that arrive
together share one `BEGIN IMMEDIATE` transaction, and should one of them fail, the others are committed without
it. The async methods hand a job to that thread and await its commit, so nothing on the event loop ever waits
for the disk, and a caller learns of success only once the change is durable. Counting runs on a reader thread
of its own, so that it never holds up a commit.

`serve` owns its file: `SqliteStore.open` takes an exclusive lock on the database file itself (not on its path,
which a symlink or a hard link would get around), and may then put every in-flight event back at start. The
operator commands open the file without that lock, beside a running service; their writes are short
transactions that wait for the service's like any other writer.

The writer never stops for a failure: a batch that fails fails its jobs, and the next batch starts afresh. Before
each batch it checks that the path still names the file it opened (device and inode): a database deleted or
replaced under a running service would otherwise take writes that no later start can find.

The schema carries its version in `PRAGMA user_version`; `MIGRATIONS` brings any older file up to date in
place, each step in one transaction.
"""
import asyncio
import concurrent.futures
import fcntl
import hashlib
import itertools
import logging
import math
import os
import queue
import secrets
import sqlite3
import threading
import time
from collections.abc import AsyncIterator, Callable, Collection, Generator, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, TypeVar

from tavelmoor.webhooks.payloads import Event, Rejected, event_from_json, stored_form
from tavelmoor.webhooks.store import (
    Accepted, Claim, Claimed, Counts, Parsed, Parser, Pruned, Requeued, StoreHealth, StoreLocked, StoreVersionError,
)

T = TypeVar("T")
log = logging.getLogger("tavelmoor.webhooks.store")

# Each step takes the schema from the version of its index to the next one, in statements separated by ";"
# (none holds one). The first is the schema of 0.1.0, which wrote no version: on a file it made, that step
# finds every table there already.
MIGRATIONS = [
    """
    CREATE TABLE IF NOT EXISTS deliveries (
        id INTEGER PRIMARY KEY,
        received_at REAL NOT NULL,
        body BLOB NOT NULL
    );
    CREATE TABLE IF NOT EXISTS events (
        id INTEGER PRIMARY KEY,
        key TEXT NOT NULL UNIQUE,
        delivery_id INTEGER NOT NULL REFERENCES deliveries (id),
        account TEXT,
        field TEXT,
        event TEXT,
        state TEXT NOT NULL CHECK (state IN ('pending', 'in_flight', 'waiting', 'done', 'failed')),
        attempts INTEGER NOT NULL DEFAULT 0,
        next_attempt REAL,
        reason TEXT
    );
    CREATE INDEX IF NOT EXISTS events_by_state ON events (state, id);
    CREATE TABLE IF NOT EXISTS records (
        event_id INTEGER PRIMARY KEY REFERENCES events (id),
        record TEXT NOT NULL
    );
    CREATE TABLE IF NOT EXISTS dead_letters (
        delivery_id INTEGER PRIMARY KEY REFERENCES deliveries (id),
        reason TEXT NOT NULL
    );
    """,
    # Claims with a token and a lease, and pruned deliveries. Each arm of the claim query finds its events
    # through events_by_state; prune finds a delivery's events through events_by_delivery.
    """
    ALTER TABLE events ADD COLUMN claim_token INTEGER;
    ALTER TABLE events ADD COLUMN lease_until REAL;
    ALTER TABLE deliveries ADD COLUMN pruned_at REAL;
    CREATE INDEX events_by_delivery ON events (delivery_id);
    """,
    # Bodies kept once by their SHA-256, however often they are delivered; a delivery names its body by hash.
    # Deliveries stored before keep their body in their own row (body_hash NULL).
    """
    CREATE TABLE bodies (
        hash BLOB PRIMARY KEY,
        body BLOB NOT NULL
    );
    ALTER TABLE deliveries ADD COLUMN body_hash BLOB;
    CREATE INDEX deliveries_by_body ON deliveries (body_hash) WHERE body_hash IS NOT NULL;
    """,
    # A body counts the deliveries that name it, so that prune needs no index from hash to delivery: keyed by
    # a random hash, that index dirtied a page of its own at almost every delivery stored.
    """
    ALTER TABLE bodies ADD COLUMN delivery_count INTEGER NOT NULL DEFAULT 0;
    UPDATE bodies SET delivery_count = (SELECT count(*) FROM deliveries WHERE body_hash = bodies.hash);
    DROP INDEX deliveries_by_body;
    """,
]
SCHEMA_VERSION = len(MIGRATIONS)

# Jobs that share one transaction at most; enough to spread a commit's fsync over a burst of deliveries.
MAX_JOBS_PER_COMMIT = 64
# Rows handed over from the reader thread at a time.
STREAM_BATCH = 1000
# SQLite's limit on the parameters of one statement is far above this; it bounds an IN (...) list.
IN_LIST_LIMIT = 500

_UNFINISHED = "('pending', 'in_flight', 'waiting')"
_CLAIMED_COLUMNS = "id, key, delivery_id, attempts, event"
# A delivery's body (from its own row if it was stored before bodies were kept by hash), and when it was pruned.
_BODY = ("SELECT coalesce(b.body, d.body), d.pruned_at FROM deliveries AS d "
         "LEFT JOIN bodies AS b ON b.hash = d.body_hash")


class StoreFileChanged(Exception):
    """The path no longer names the database file the store opened."""


@dataclass
class _Job:
    run: Callable[[sqlite3.Connection], Any]
    done: "asyncio.Future[Any]"


def _connect(path: str, **kwargs: Any) -> sqlite3.Connection:
    # Transactions are spelled out: autocommit off by the module's old rules would begin them implicitly.
    connection: sqlite3.Connection = sqlite3.connect(path, isolation_level=None, check_same_thread=False, **kwargs)
    return connection


def _chunks(items: Sequence[T], size: int = IN_LIST_LIMIT) -> Iterator[Sequence[T]]:
    for start in range(0, len(items), size):
        yield items[start:start + size]


def _marks(count: int) -> str:
    return ", ".join("?" * count)


def _rollback(db: sqlite3.Connection) -> None:
    """Ends the open transaction, if any. SQLite rolls back by itself after some errors (a full disk while it
    spills a large transaction), and ROLLBACK without a transaction raises."""
    if db.in_transaction:
        try:
            db.execute("ROLLBACK")
        except sqlite3.Error as error:
            log.error("rollback failed: %s", error)


def migrate(db: sqlite3.Connection, path: Path) -> tuple[int, int]:
    """Brings the schema up to date in one transaction; the version is read under the write lock, so that two
    processes opening the file at once migrate it once. Returns the versions before and after."""
    db.execute("BEGIN IMMEDIATE")
    try:
        version = db.execute("PRAGMA user_version").fetchone()[0]
        if version > SCHEMA_VERSION:
            raise StoreVersionError(f"{path}: schema version {version} is newer than this service's "
                                    f"({SCHEMA_VERSION}); upgrade the service")
        for number in range(version, SCHEMA_VERSION):
            # One statement at a time: executescript would commit the transaction first.
            for statement in MIGRATIONS[number].split(";"):
                db.execute(statement)
            db.execute(f"PRAGMA user_version = {number + 1}")
        db.execute("COMMIT")
    except BaseException:
        _rollback(db)
        raise
    return version, SCHEMA_VERSION


def _identity(status: os.stat_result) -> tuple[int, int]:
    return status.st_dev, status.st_ino


def _lock(path: Path) -> int:
    """An exclusive lock on the database file itself, created if need be; held until the descriptor is closed.

    flock and SQLite's own POSIX locks do not meet on a local file system. The descriptor stays open until
    SQLite's connections are closed: closing any descriptor of a file drops the process's POSIX locks on it.
    """
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        os.close(fd)
        raise StoreLocked(f"{path} is in use by another process") from None
    return fd


class SqliteStore:
    def __init__(self, path: Path, lock_fd: int | None, connection: sqlite3.Connection,
                 reader: sqlite3.Connection, identity: tuple[int, int], migrated: tuple[int, int]) -> None:
        self.path = path
        self.migrated = migrated
        self._lock_fd = lock_fd
        self._db = connection
        self._identity = identity
        # Why the file cannot be written, as the writer last found; read by health() on the event loop.
        self._problem: str | None = None
        # Jobs go over in lists: those submitted in one turn of the event loop travel together, and their
        # outcomes come back together, so the two threads hand over once per batch rather than once per job.
        self._jobs: "queue.SimpleQueue[list[_Job] | None]" = queue.SimpleQueue()
        self._outbox: list[_Job] = []
        self._loop: asyncio.AbstractEventLoop | None = None
        self._writer = threading.Thread(target=self._write_loop, name="store-writer", daemon=True)
        self._writer.start()
        self._reader = concurrent.futures.ThreadPoolExecutor(max_workers=1, thread_name_prefix="store-reader")
        # Opened with the writer's, so that it reads the same file even if the path changes meanwhile.
        self._reader_db = reader

    @classmethod
    def open(cls, path: Path, *, synchronous: str = "FULL", busy_timeout: float = 5.0, owner: bool = True,
             max_bytes: int | None = None) -> "SqliteStore":
        """Opens the database at `path`, migrating it to the current schema.

        The `owner` (the service) creates the file if need be and holds it for this process alone; others
        (the operator commands) need the file to exist and share it. A write that waits longer than
        `busy_timeout` seconds for a lock held elsewhere fails; so does one that would make the file larger
        than `max_bytes`, as on a full disk.
        """
        lock_fd = None
        if owner:
            lock_fd = _lock(path)
        elif not path.exists():
            raise FileNotFoundError(f"{path}: no such database")
        try:
            db = _connect(str(path))
            try:
                db.execute(f"PRAGMA busy_timeout = {round(busy_timeout * 1000)}")
                if db.execute("PRAGMA journal_mode = WAL").fetchone()[0] != "wal":
                    raise sqlite3.OperationalError(f"{path}: cannot use write-ahead logging")
                db.execute(f"PRAGMA synchronous = {synchronous}")
                migrated = migrate(db, path)
                if max_bytes is not None:
                    page_size = db.execute("PRAGMA page_size").fetchone()[0]
                    db.execute(f"PRAGMA max_page_count = {max(1, math.ceil(max_bytes / page_size))}")
                identity = _identity(os.stat(path))
                if lock_fd is not None and identity != _identity(os.fstat(lock_fd)):
                    raise StoreFileChanged(f"{path} was replaced while it was opened")
                reader = _connect(str(path))
            except BaseException:
                db.close()
                raise
        except BaseException:
            if lock_fd is not None:
                os.close(lock_fd)
            raise
        return cls(path, lock_fd, db, reader, identity, migrated)

    def watch(self, wake: Callable[[], None]) -> None:
        # One process owns the file: it hears of its own new events from its receiver.
        pass

    def health(self) -> StoreHealth:
        if not self._writer.is_alive():
            return StoreHealth(False, "the writer thread has stopped")
        return StoreHealth(self._problem is None, self._problem)

    async def close(self) -> None:
        """Lets the queued jobs run, then closes the connections and the lock.

        Waits for the writer without tying up a thread, so that a caller's deadline ends the wait cleanly;
        a writer stuck in the disk is left behind (its thread does not keep the process alive).
        """
        self._jobs.put(None)
        while self._writer.is_alive():
            await asyncio.sleep(0.01)
        loop = asyncio.get_running_loop()
        await loop.run_in_executor(self._reader, self._reader_db.close)
        self._reader.shutdown(wait=False)
        self._db.close()
        if self._lock_fd is not None:
            os.close(self._lock_fd)

    def _write_loop(self) -> None:
        while (batch := self._jobs.get()) is not None:
            while len(batch) < MAX_JOBS_PER_COMMIT:
                try:
                    more = self._jobs.get_nowait()
                except queue.Empty:
                    break
                if more is None:
                    self._jobs.put(None)
                    break
                batch += more
            batch = [job for job in batch if not job.done.cancelled()]
            try:
                outcomes = self._commit(batch)
            except Exception as error:
                # Nothing ends the writer: the batch fails, and the next one starts on a clean connection.
                log.exception("store writer: batch failed")
                _rollback(self._db)
                outcomes = [(False, error)] * len(batch)
            if batch and self._loop is not None:
                try:
                    self._loop.call_soon_threadsafe(self._settle, batch, outcomes)
                except RuntimeError:
                    pass        # the event loop is closed: nobody waits for these any more

    def _check_file(self) -> StoreFileChanged | None:
        try:
            identity: tuple[int, int] | None = _identity(os.stat(self.path))
        except OSError:
            identity = None
        if identity == self._identity:
            self._problem = None
            return None
        self._problem = (f"{self.path} is no longer the database this process opened "
                         f"({'deleted' if identity is None else 'replaced'}); restart the service")
        return StoreFileChanged(self._problem)

    def _commit(self, batch: list[_Job]) -> list[tuple[bool, Any]]:
        """Runs the jobs in one transaction; a job that raises is left out and the others run again."""
        db = self._db
        if not batch:
            return []
        changed = self._check_file()
        if changed is not None:
            return [(False, changed)] * len(batch)
        _rollback(db)       # one a failed ROLLBACK may have left open
        try:
            db.execute("BEGIN IMMEDIATE")
        except sqlite3.Error as error:
            return [(False, error)] * len(batch)
        outcomes: list[tuple[bool, Any]] = []
        for job in batch:
            if job.done.cancelled():
                # Its caller's deadline passed while the lock was awaited: it was answered as not done.
                outcomes.append((False, asyncio.CancelledError()))
                continue
            try:
                outcomes.append((True, job.run(db)))
            except Exception as error:
                _rollback(db)
                failed = len(outcomes)
                return self._commit(batch[:failed]) + [(False, error)] + self._commit(batch[failed + 1:])
        try:
            db.execute("COMMIT")
        except sqlite3.Error as error:
            _rollback(db)
            return [(False, error)] * len(batch)
        return outcomes

    @staticmethod
    def _settle(batch: list[_Job], outcomes: list[tuple[bool, Any]]) -> None:
        for job, (ok, value) in zip(batch, outcomes):
            if job.done.cancelled():
                continue
            if ok:
                job.done.set_result(value)
            else:
                job.done.set_exception(value)

    def _flush(self) -> None:
        batch, self._outbox = self._outbox, []
        self._jobs.put(batch)

    def _submit(self, run: Callable[[sqlite3.Connection], T]) -> "asyncio.Future[T]":
        loop = asyncio.get_running_loop()
        self._loop = loop
        done: asyncio.Future[T] = loop.create_future()
        if not self._outbox:
            loop.call_soon(self._flush)
        self._outbox.append(_Job(run, done))
        return done

    async def _read(self, run: Callable[[sqlite3.Connection], T]) -> T:
        def on_reader() -> T:
            return run(self._reader_db)
        return await asyncio.get_running_loop().run_in_executor(self._reader, on_reader)

    async def accept(self, body: bytes, parsed: Parsed) -> Accepted:
        received_at = time.time()
        digest = hashlib.sha256(body).digest()

        def run(db: sqlite3.Connection) -> Accepted:
            db.execute("INSERT INTO bodies (hash, body, delivery_count) VALUES (?, ?, 1) "
                       "ON CONFLICT (hash) DO UPDATE SET delivery_count = delivery_count + 1", (digest, body))
            delivery_id = db.execute("INSERT INTO deliveries (received_at, body, body_hash) VALUES (?, ?, ?)",
                                     (received_at, b"", digest)).lastrowid
            assert delivery_id is not None
            if isinstance(parsed, str):
                db.execute("INSERT INTO dead_letters (delivery_id, reason) VALUES (?, ?)", (delivery_id, parsed))
                return Accepted(delivery_id, 0, 0)
            new = _insert_events(db, delivery_id, parsed)
            return Accepted(delivery_id, new, len(parsed) - new)
        return await self._submit(run)

    async def recover(self) -> int:
        return await self._submit(lambda db: db.execute(
            "UPDATE events SET state = 'pending', claim_token = NULL, lease_until = NULL "
            "WHERE state = 'in_flight'").rowcount)

    async def claim(self, limit: int, *, lease: float, max_attempts: int) -> Claimed:
        def run(db: sqlite3.Connection) -> Claimed:
            now = time.time()
            rows = db.execute(f"SELECT {_CLAIMED_COLUMNS} FROM events WHERE state = 'waiting' "
                              "AND next_attempt <= ? ORDER BY next_attempt LIMIT ?", (now, limit)).fetchall()
            expired = 0
            if len(rows) < limit:
                lapsed = db.execute(f"SELECT {_CLAIMED_COLUMNS} FROM events WHERE state = 'in_flight' "
                                    "AND lease_until <= ? ORDER BY lease_until LIMIT ?",
                                    (now, limit - len(rows))).fetchall()
                expired = len(lapsed)
                rows += lapsed
            if len(rows) < limit:
                rows += db.execute(f"SELECT {_CLAIMED_COLUMNS} FROM events WHERE state = 'pending' "
                                   "ORDER BY id LIMIT ?", (limit - len(rows),)).fetchall()
            # The attempt is counted at the claim, so an event that brings the process down fails once its
            # attempts are used up instead of bringing it down on every start.
            spent = [(row[0],) for row in rows if row[3] >= max_attempts]
            db.executemany("UPDATE events SET state = 'failed', claim_token = NULL, lease_until = NULL, "
                           "reason = 'gave up after ' || attempts || ' attempts' || coalesce(': ' || reason, '') "
                           "WHERE id = ?", spent)
            token = secrets.randbits(63)
            taken = [row for row in rows if row[3] < max_attempts]
            db.executemany("UPDATE events SET state = 'in_flight', attempts = attempts + 1, claim_token = ?, "
                           "lease_until = ? WHERE id = ?", [(token, now + lease, row[0]) for row in taken])
            claims = [Claim(id, key, delivery_id, attempts + 1, event_from_json(event), token)
                      for id, key, delivery_id, attempts, event in taken]
            if len(rows) == limit:
                return Claimed(claims, expired, len(spent), now)
            due = db.execute("SELECT min(next_attempt) FROM events WHERE state = 'waiting'").fetchone()[0]
            lease_end = db.execute("SELECT min(lease_until) FROM events WHERE state = 'in_flight'").fetchone()[0]
            times = [value for value in (due, lease_end) if value is not None]
            return Claimed(claims, expired, len(spent), min(times) if times else None)
        return await self._submit(run)

    async def renew(self, claims: Sequence[Claim], lease: float) -> list[Claim]:
        def run(db: sqlite3.Connection) -> list[Claim]:
            held = _held(db, claims)
            lease_end = time.time() + lease
            db.executemany("UPDATE events SET lease_until = ? WHERE id = ?",
                           [(lease_end, claim.id) for claim in claims if (claim.id, claim.token) in held])
            return [claim for claim in claims if (claim.id, claim.token) not in held]
        return await self._submit(run)

    async def finish(self, done: Sequence[tuple[Claim, str]]) -> list[Claim]:
        def run(db: sqlite3.Connection) -> list[Claim]:
            held = _held(db, [claim for claim, _ in done])
            db.executemany("INSERT OR REPLACE INTO records (event_id, record) VALUES (?, ?)",
                           [(claim.id, record) for claim, record in done if (claim.id, claim.token) in held])
            db.executemany("UPDATE events SET state = 'done', next_attempt = NULL, reason = NULL, "
                           "claim_token = NULL, lease_until = NULL WHERE id = ?",
                           [(claim.id,) for claim, _ in done if (claim.id, claim.token) in held])
            return [claim for claim, _ in done if (claim.id, claim.token) not in held]
        return await self._submit(run)

    async def fail(self, claim: Claim, reason: str) -> bool:
        return await self._submit(lambda db: db.execute(
            "UPDATE events SET state = 'failed', next_attempt = NULL, reason = ?, claim_token = NULL, "
            "lease_until = NULL WHERE id = ? AND claim_token = ? AND state = 'in_flight'",
            (reason, claim.id, claim.token)).rowcount == 1)

    async def wait(self, claim: Claim, until: float, reason: str) -> bool:
        return await self._submit(lambda db: db.execute(
            "UPDATE events SET state = 'waiting', next_attempt = ?, reason = ?, claim_token = NULL, "
            "lease_until = NULL WHERE id = ? AND claim_token = ? AND state = 'in_flight'",
            (until, reason, claim.id, claim.token)).rowcount == 1)

    async def put_back(self, claims: Sequence[Claim]) -> list[Claim]:
        def run(db: sqlite3.Connection) -> list[Claim]:
            held = _held(db, claims)
            db.executemany("UPDATE events SET state = 'pending', attempts = max(attempts - 1, 0), "
                           "claim_token = NULL, lease_until = NULL WHERE id = ?",
                           [(claim.id,) for claim in claims if (claim.id, claim.token) in held])
            return [claim for claim in claims if (claim.id, claim.token) not in held]
        return await self._submit(run)

    async def requeue(self, parse: Parser, *, failed: bool, fields: Collection[str] = (),
                      keys: Collection[str] = (), dead_letters: bool) -> Requeued:
        def run(db: sqlite3.Connection) -> Requeued:
            events, reparse = 0, set[int]()
            if failed:
                chosen = "state = 'failed'"
                if fields or keys:
                    chosen += (f" AND (field IN ({_marks(len(fields))}) OR key IN ({_marks(len(keys))}))")
                params = [*fields, *keys]
                events = db.execute("UPDATE events SET state = 'pending', attempts = 0, next_attempt = NULL, "
                                    f"reason = NULL WHERE {chosen} AND event IS NOT NULL", params).rowcount
                # A change the parser refused has no event to retry; its delivery is parsed again below, and
                # what it gives now takes the refused change's place.
                refused = db.execute(f"SELECT id, delivery_id FROM events WHERE {chosen} AND event IS NULL",
                                     params).fetchall()
                db.executemany("DELETE FROM events WHERE id = ?", [(id,) for id, _ in refused])
                reparse.update(delivery_id for _, delivery_id in refused)
            if dead_letters:
                reparse.update(id for (id,) in db.execute("SELECT delivery_id FROM dead_letters"))
            new = 0
            for delivery_id in sorted(reparse):
                body, pruned_at = db.execute(f"{_BODY} WHERE d.id = ?", (delivery_id,)).fetchone()
                if pruned_at is not None:
                    continue
                parsed = parse(body)
                if isinstance(parsed, str):
                    db.execute("UPDATE dead_letters SET reason = ? WHERE delivery_id = ?", (parsed, delivery_id))
                    continue
                db.execute("DELETE FROM dead_letters WHERE delivery_id = ?", (delivery_id,))
                # Changes still refused are stored failed again; only events to work on count as new.
                _insert_events(db, delivery_id, [item for item in parsed if not isinstance(item, Event)])
                new += _insert_events(db, delivery_id, [item for item in parsed if isinstance(item, Event)])
            left = db.execute("SELECT count(*) FROM dead_letters").fetchone()[0]
            return Requeued(events, len(reparse), new, left)
        return await self._submit(run)

    async def prune(self, received_before: float, *, batch: int = 500) -> Pruned:
        def run(db: sqlite3.Connection, after: int) -> tuple[list[int], int]:
            ids = [id for (id,) in db.execute(
                "SELECT id FROM deliveries AS d WHERE id > ? AND received_at < ? AND pruned_at IS NULL "
                "AND NOT EXISTS (SELECT 1 FROM dead_letters WHERE delivery_id = d.id) "
                "AND NOT EXISTS (SELECT 1 FROM events WHERE delivery_id = d.id "
                f"AND (state IN {_UNFINISHED} OR (state = 'failed' AND event IS NULL))) "
                "ORDER BY id LIMIT ?", (after, received_before, batch))]
            if not ids:
                return ids, 0
            marks = _marks(len(ids))
            records = db.execute(f"DELETE FROM records WHERE event_id IN (SELECT id FROM events "
                                 f"WHERE delivery_id IN ({marks}))", ids).rowcount
            # The event's own copy of what the delivery said goes too; its key, state and reason stay.
            db.execute(f"UPDATE events SET event = NULL WHERE state = 'done' AND delivery_id IN ({marks})", ids)
            hashes = db.execute(f"SELECT count(*), body_hash FROM deliveries WHERE body_hash IS NOT NULL "
                                f"AND id IN ({marks}) GROUP BY body_hash", ids).fetchall()
            db.execute(f"UPDATE deliveries SET body = x'', body_hash = NULL, pruned_at = ? WHERE id IN ({marks})",
                       [time.time(), *ids])
            # A body goes once no delivery still names it (one sent again later may).
            db.executemany("UPDATE bodies SET delivery_count = delivery_count - ? WHERE hash = ?", hashes)
            db.executemany("DELETE FROM bodies WHERE hash = ? AND delivery_count <= 0", [(h,) for _, h in hashes])
            return ids, records
        deliveries = records = after = 0
        while True:
            ids, batch_records = await self._submit(lambda db: run(db, after))
            deliveries += len(ids)
            records += batch_records
            if len(ids) < batch:
                return Pruned(deliveries, records)
            after = ids[-1]

    async def counts(self) -> Counts:
        return await self._read(read_counts)

    def records(self) -> AsyncIterator[str]:
        return self._stream(_records)

    def failures(self) -> AsyncIterator[dict[str, Any]]:
        return self._stream(_failures)

    async def _stream(self, query: Callable[[sqlite3.Connection], Generator[T]]) -> AsyncIterator[T]:
        """The rows of `query`, read on the reader thread a batch at a time."""
        rows = await self._read(query)
        try:
            while batch := await self._read(lambda db: list(itertools.islice(rows, STREAM_BATCH))):
                for row in batch:
                    yield row
        finally:
            await self._read(lambda db: rows.close())


def _insert_events(db: sqlite3.Connection, delivery_id: int, parsed: Sequence[Event | Rejected]) -> int:
    """Stores a delivery's events, refused changes as failed ones; returns how many were new."""
    rows = [(key, delivery_id, account, field, event, "pending" if reason is None else "failed", reason)
            for key, account, field, event, reason in map(stored_form, parsed)]
    # A duplicate changes no row, so the count of changes is the count of new events.
    return db.executemany("INSERT INTO events (key, delivery_id, account, field, event, state, reason) "
                          "VALUES (?, ?, ?, ?, ?, ?, ?) ON CONFLICT (key) DO NOTHING", rows).rowcount


def _held(db: sqlite3.Connection, claims: Sequence[Claim]) -> set[tuple[int, int]]:
    """The (event id, token) of each claim whose event is still in flight under that token."""
    ids = list({claim.id for claim in claims})
    held = set()
    for chunk in _chunks(ids):
        held.update(db.execute(f"SELECT id, claim_token FROM events WHERE state = 'in_flight' "
                               f"AND id IN ({_marks(len(chunk))})", chunk).fetchall())
    return held


def read_counts(db: sqlite3.Connection) -> Counts:
    """The store's counts, through any connection to it."""
    by_state = dict(db.execute("SELECT state, count(*) FROM events GROUP BY state").fetchall())
    # The oldest unfinished event is the oldest pending one or, failing that, one in flight or waiting.
    oldest = db.execute("SELECT min(received_at) FROM deliveries WHERE id IN (SELECT delivery_id FROM events "
                        "WHERE id IN ((SELECT min(id) FROM events WHERE state = 'pending'), "
                        "(SELECT min(id) FROM events WHERE state = 'in_flight'), "
                        "(SELECT min(id) FROM events WHERE state = 'waiting')))").fetchone()[0]
    return Counts(
        deliveries=db.execute("SELECT max(id) FROM deliveries").fetchone()[0] or 0,
        pending=sum(by_state.get(state, 0) for state in ("pending", "in_flight", "waiting")),
        in_flight=by_state.get("in_flight", 0),
        waiting=by_state.get("waiting", 0),
        records=by_state.get("done", 0),
        failed=by_state.get("failed", 0),
        dead_letters=db.execute("SELECT count(*) FROM dead_letters").fetchone()[0],
        oldest_pending=oldest)


def open_read_only(path: Path) -> sqlite3.Connection:
    """A connection that only reads, beside a running service."""
    if not path.exists():
        raise FileNotFoundError(f"{path}: no such database")
    return _connect(f"{path.resolve().as_uri()}?mode=ro", uri=True)


def unfinished_events(db: sqlite3.Connection) -> int:
    """How many events are pending, in flight or waiting; counted over those alone, so cheap while they are few."""
    return int(db.execute(f"SELECT count(*) FROM events WHERE state IN {_UNFINISHED}").fetchone()[0])


def _records(db: sqlite3.Connection) -> Generator[str]:
    for (text,) in db.execute("SELECT record FROM records JOIN events ON events.id = records.event_id "
                              "ORDER BY events.id"):
        yield text


def _failures(db: sqlite3.Connection) -> Generator[dict[str, Any]]:
    for key, delivery_id, account, field, attempts, reason in db.execute(
            "SELECT key, delivery_id, account, field, attempts, reason FROM events WHERE state = 'failed' "
            "ORDER BY id"):
        yield {"event": key, "delivery": delivery_id, "account": account, "field": field,
               "attempts": attempts, "reason": reason}
    for delivery_id, reason in db.execute("SELECT delivery_id, reason FROM dead_letters ORDER BY delivery_id"):
        yield {"dead_letter": delivery_id, "reason": reason}


def _read_only_stream(path: Path, query: Callable[[sqlite3.Connection], Generator[T]]) -> Iterator[T]:
    db = open_read_only(path)
    try:
        yield from query(db)
    finally:
        db.close()


def stored_records(path: Path) -> Iterator[str]:
    """The stored records as JSON text, in the order their events arrived; streamed, not loaded at once."""
    return _read_only_stream(path, _records)


def stored_failures(path: Path) -> Iterator[dict[str, Any]]:
    """Failed events, then dead letters, each with its reason."""
    return _read_only_stream(path, _failures)
