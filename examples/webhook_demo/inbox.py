"""The service's store: accepted deliveries, their events and states, records, and dead letters.

SQLite in WAL mode. One connection writes, on a thread of its own, and every change goes through it as a
job; jobs that arrive together share one `BEGIN IMMEDIATE` transaction, and should one of them fail, the
others are committed without it. The async methods hand a job to that thread and await its commit, so nothing on the
event loop ever waits for the disk, and a caller learns of success only once the change is durable.

One process owns a database file: `Inbox.open` takes an exclusive lock on a file beside it.
"""
import asyncio
import concurrent.futures
import fcntl
import os
import queue
import sqlite3
import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any, TypeVar

from webhook_demo.payloads import Event, Rejected, event_from_json, event_key, event_to_json

T = TypeVar("T")

SCHEMA = """
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
"""

# Jobs that share one transaction at most; enough to spread a commit's fsync over a burst of deliveries.
MAX_JOBS_PER_COMMIT = 64


class InboxLocked(Exception):
    """Another process owns the database."""


@dataclass(frozen=True)
class Accepted:
    delivery_id: int
    new_events: int
    duplicates: int


@dataclass(frozen=True)
class Claim:
    """An event taken for work: it is in flight until finished, failed, put back or made to wait."""
    id: int
    key: str
    delivery_id: int
    attempts: int
    event: Event


@dataclass
class _Job:
    run: Callable[[sqlite3.Connection], Any]
    done: "asyncio.Future[Any]"


def _connect(path: str, **kwargs: Any) -> sqlite3.Connection:
    # Transactions are spelled out: autocommit off by the module's old rules would begin them implicitly.
    connection: sqlite3.Connection = sqlite3.connect(path, isolation_level=None, check_same_thread=False, **kwargs)
    return connection


class Inbox:
    def __init__(self, path: Path, lock_fd: int, connection: sqlite3.Connection, synchronous: str) -> None:
        self.path = path
        self.synchronous = synchronous
        self._lock_fd = lock_fd
        self._db = connection
        # Jobs go over in lists: those submitted in one turn of the event loop travel together, and their
        # outcomes come back together, so the two threads hand over once per batch rather than once per job.
        self._jobs: "queue.SimpleQueue[list[_Job] | None]" = queue.SimpleQueue()
        self._outbox: list[_Job] = []
        self._loop: asyncio.AbstractEventLoop | None = None
        self._writer = threading.Thread(target=self._write_loop, name="inbox-writer", daemon=True)
        self._writer.start()
        # Counting a large table takes a while; a reader of its own keeps that from holding up commits.
        self._reader = concurrent.futures.ThreadPoolExecutor(max_workers=1, thread_name_prefix="inbox-reader")
        self._reader_db: sqlite3.Connection | None = None

    @classmethod
    def open(cls, path: Path, *, synchronous: str = "FULL", busy_timeout: float = 5.0) -> "Inbox":
        """Opens (creating if need be) the database at `path` for this process alone.

        A write that waits longer than `busy_timeout` seconds for a lock held elsewhere fails.
        """
        lock_fd = os.open(f"{path}.lock", os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        try:
            fcntl.flock(lock_fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(lock_fd)
            raise InboxLocked(f"{path} is in use by another process") from None
        try:
            db = _connect(str(path))
        except sqlite3.Error:
            os.close(lock_fd)
            raise
        try:
            db.execute(f"PRAGMA busy_timeout = {round(busy_timeout * 1000)}")
            if db.execute("PRAGMA journal_mode = WAL").fetchone()[0] != "wal":
                raise sqlite3.OperationalError(f"{path}: cannot use write-ahead logging")
            db.execute(f"PRAGMA synchronous = {synchronous}")
            db.executescript(SCHEMA)
        except BaseException:
            db.close()
            os.close(lock_fd)
            raise
        return cls(path, lock_fd, db, synchronous)

    def close(self) -> None:
        """Lets queued jobs finish, then closes the database and gives up the lock."""
        self._jobs.put(None)
        self._writer.join()
        self._reader.shutdown()
        if self._reader_db is not None:
            self._reader_db.close()
        self._db.close()
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
            outcomes = self._commit(batch)
            assert self._loop is not None
            self._loop.call_soon_threadsafe(self._settle, batch, outcomes)

    def _commit(self, batch: list[_Job]) -> list[tuple[bool, Any]]:
        """Runs the jobs in one transaction; a job that raises is left out and the others run again."""
        db = self._db
        if not batch:
            return []
        try:
            db.execute("BEGIN IMMEDIATE")
        except sqlite3.Error as error:
            return [(False, error)] * len(batch)
        outcomes: list[tuple[bool, Any]] = []
        for job in batch:
            try:
                outcomes.append((True, job.run(db)))
            except Exception as error:
                db.execute("ROLLBACK")
                failed = len(outcomes)
                return self._commit(batch[:failed]) + [(False, error)] + self._commit(batch[failed + 1:])
        try:
            db.execute("COMMIT")
        except sqlite3.Error as error:
            if db.in_transaction:
                db.execute("ROLLBACK")
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

    def _enqueue(self, run: Callable[[sqlite3.Connection], T]) -> "asyncio.Future[T]":
        loop = asyncio.get_running_loop()
        self._loop = loop
        done: asyncio.Future[T] = loop.create_future()
        if not self._outbox:
            loop.call_soon(self._flush)
        self._outbox.append(_Job(run, done))
        return done

    async def _submit(self, run: Callable[[sqlite3.Connection], T]) -> T:
        return await self._enqueue(run)

    async def accept(self, body: bytes, events: list[Event | Rejected] | str) -> Accepted:
        """Stores a delivery and its events, or (given a reason instead) keeps it as a dead letter.

        An event whose key is stored already is a duplicate and is not stored again.
        """
        received_at = time.time()

        def run(db: sqlite3.Connection) -> Accepted:
            delivery_id = db.execute("INSERT INTO deliveries (received_at, body) VALUES (?, ?)",
                                     (received_at, body)).lastrowid
            assert delivery_id is not None
            if isinstance(events, str):
                db.execute("INSERT INTO dead_letters (delivery_id, reason) VALUES (?, ?)", (delivery_id, events))
                return Accepted(delivery_id, 0, 0)
            rows: list[tuple[str, int, str | None, str | None, str | None, str, str | None]] = [
                (event_key(item), delivery_id, item.account_id, item.kind, event_to_json(item), "pending", None)
                if isinstance(item, Event) else
                (item.key, delivery_id, item.account_id, item.kind, None, "failed", item.reason)
                for item in events]
            # A duplicate changes no row, so the count of changes is the count of new events.
            new = db.executemany("INSERT INTO events (key, delivery_id, account, field, event, state, reason) "
                                 "VALUES (?, ?, ?, ?, ?, ?, ?) ON CONFLICT (key) DO NOTHING", rows).rowcount
            return Accepted(delivery_id, new, len(events) - new)
        return await self._submit(run)

    async def recover(self) -> int:
        """Puts events that were in flight when the last process stopped back to pending."""
        return await self._submit(lambda db: db.execute(
            "UPDATE events SET state = 'pending' WHERE state = 'in_flight'").rowcount)

    @staticmethod
    def _claim(db: sqlite3.Connection, limit: int, max_attempts: int) -> tuple[list[Claim], bool]:
        """Takes up to `limit` events for work: those whose retry is due first, then pending ones by age.

        The attempt is counted here, so an event that brings the process down fails once its attempts are
        used up instead of bringing it down on every start. Returns the claims, and whether `limit` events
        were due (so that more may be).
        """
        now = time.time()
        rows = db.execute("SELECT id, key, delivery_id, attempts, event FROM events "
                          "WHERE state = 'waiting' AND next_attempt <= ? ORDER BY next_attempt LIMIT ?",
                          (now, limit)).fetchall()
        if len(rows) < limit:
            rows += db.execute("SELECT id, key, delivery_id, attempts, event FROM events "
                               "WHERE state = 'pending' ORDER BY id LIMIT ?", (limit - len(rows),)).fetchall()
        spent = [(row[0],) for row in rows if row[3] >= max_attempts]
        db.executemany("UPDATE events SET state = 'failed', reason = 'gave up after ' || attempts || "
                       "' attempts' || coalesce(': ' || reason, '') WHERE id = ?", spent)
        taken = [row for row in rows if row[3] < max_attempts]
        db.executemany("UPDATE events SET state = 'in_flight', attempts = attempts + 1 WHERE id = ?",
                       [(row[0],) for row in taken])
        return [Claim(id, key, delivery_id, attempts + 1, event_from_json(event))
                for id, key, delivery_id, attempts, event in taken], len(rows) == limit

    async def settle(self, records: list[tuple[int, str]], limit: int,
                     max_attempts: int) -> tuple[list[Claim], float | None]:
        """Stores finished events' records and claims up to `limit` more, in one transaction.

        `records` pairs event ids with their records as JSON text; those events are marked done. Returns
        the claims and when to claim again at the latest: now if `limit` events were due (more may be), else
        when the earliest waiting event may be tried again, or None if none waits.
        A worker pool that settles its finished events and takes its next ones together pays for one commit
        and one hand-over between threads per batch, instead of one for each.
        """
        def run(db: sqlite3.Connection) -> tuple[list[Claim], float | None]:
            if records:
                self._store_records(records, db)
            if limit <= 0:
                return [], None
            claims, full = self._claim(db, limit, max_attempts)
            if full:
                return claims, time.time()
            row = db.execute("SELECT min(next_attempt) FROM events WHERE state = 'waiting'").fetchone()
            return claims, None if row[0] is None else float(row[0])
        return await self._submit(run)

    @staticmethod
    def _store_records(records: list[tuple[int, str]], db: sqlite3.Connection) -> None:
        db.executemany("INSERT OR REPLACE INTO records (event_id, record) VALUES (?, ?)", records)
        db.executemany("UPDATE events SET state = 'done', next_attempt = NULL, reason = NULL WHERE id = ?",
                       [(id,) for id, _ in records])

    async def fail(self, event_id: int, reason: str) -> None:
        await self._submit(lambda db: db.execute(
            "UPDATE events SET state = 'failed', next_attempt = NULL, reason = ? WHERE id = ?", (reason, event_id)))

    async def retry_at(self, event_id: int, when: float, reason: str) -> None:
        await self._submit(lambda db: db.execute(
            "UPDATE events SET state = 'waiting', next_attempt = ?, reason = ? WHERE id = ?",
            (when, reason, event_id)))

    async def release(self, event_ids: list[int]) -> None:
        """Puts events taken but not worked on back to pending, their attempt not counted."""
        await self._submit(lambda db: db.executemany(
            "UPDATE events SET state = 'pending', attempts = max(attempts - 1, 0) "
            "WHERE id = ? AND state = 'in_flight'", [(id,) for id in event_ids]))

    async def _read(self, run: Callable[[sqlite3.Connection], T]) -> T:
        def on_reader() -> T:
            if self._reader_db is None:
                self._reader_db = _connect(str(self.path))
            return run(self._reader_db)
        return await asyncio.get_running_loop().run_in_executor(self._reader, on_reader)

    async def counts(self) -> dict[str, int]:
        """How many deliveries, and events in each state, as of the last commit."""
        def run(db: sqlite3.Connection) -> dict[str, int]:
            by_state = dict(db.execute("SELECT state, count(*) FROM events GROUP BY state").fetchall())
            return {
                "deliveries": db.execute("SELECT max(id) FROM deliveries").fetchone()[0] or 0,
                "pending": sum(by_state.get(state, 0) for state in ("pending", "in_flight", "waiting")),
                "in_flight": by_state.get("in_flight", 0),
                "waiting": by_state.get("waiting", 0),
                "records": by_state.get("done", 0),
                "failed": by_state.get("failed", 0),
                "dead_letters": db.execute("SELECT count(*) FROM dead_letters").fetchone()[0],
            }
        return await self._read(run)


def _read_only(path: Path) -> sqlite3.Connection:
    if not path.exists():
        raise FileNotFoundError(f"{path}: no such database")
    return _connect(f"{path.resolve().as_uri()}?mode=ro", uri=True)


def stored_records(path: Path) -> Iterator[str]:
    """The stored records as JSON text, in the order their events arrived; streamed, not loaded at once."""
    db = _read_only(path)
    try:
        for (text,) in db.execute("SELECT record FROM records JOIN events ON events.id = records.event_id "
                                  "ORDER BY events.id"):
            yield text
    finally:
        db.close()


def stored_failures(path: Path) -> Iterator[dict[str, Any]]:
    """Failed events, then dead letters, each with its reason."""
    db = _read_only(path)
    try:
        for key, delivery_id, account, field, attempts, reason in db.execute(
                "SELECT key, delivery_id, account, field, attempts, reason FROM events WHERE state = 'failed' "
                "ORDER BY id"):
            yield {"event": key, "delivery": delivery_id, "account": account, "field": field,
                   "attempts": attempts, "reason": reason}
        for delivery_id, reason in db.execute("SELECT delivery_id, reason FROM dead_letters ORDER BY delivery_id"):
            yield {"dead_letter": delivery_id, "reason": reason}
    finally:
        db.close()
