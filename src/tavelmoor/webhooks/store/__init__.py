"""The service's store: deliveries, their events and states, records, and dead letters.

`Store` is the one interface that the receiver, the pipeline and the operator commands use; `sqlite.SqliteStore`
is the embedded implementation, `postgres.PostgresStore` the one that several processes share; `open_store`
opens either from the `--database` argument. Every method is a coroutine that returns once its change is
committed.

An event is in one of five states:

    pending ──claim──> in_flight ──finish──> done
      ^  ^              │  │  └──fail───> failed ──requeue──> pending
      │  └──put_back────┘  └──wait───> waiting ──claim, once due──> in_flight
      └── in_flight whose lease has passed: taken again by the next claim, as it stands

The claim model:
- `claim` takes up to `limit` events: waiting ones whose retry is due, then in-flight ones whose lease has
  passed (their worker stalled or died), then pending ones, oldest first. Each is marked in flight, its
  attempt counted, with a fresh claim token and a lease end `lease` seconds from the store's clock. An event
  whose attempts are used up fails instead of being claimed.
- `renew` moves the lease end of claims still held; a worker's claims are renewed while it works on them.
- Every outcome (`finish` with the record, `wait`, `fail`, `put_back`) is written only where the event is still
  in flight under the claim's token, each in one transaction. A stale outcome (the lease passed and another
  claim took the event) changes nothing and is handed back, for the caller to count and log. So each event gets
  at most one record however late or duplicated a worker is.
- `recover` puts every in-flight event back to pending. Only a store that one process owns alone does so at
  start (SQLite); where several processes share a store, leases take stalled work back instead.

Deliveries are never deleted: `prune` drops the bodies and records of finished ones but keeps every event key,
so that a delivery sent again is still recognised. A body is kept once however often it is delivered. Times are
Unix times in seconds.

Faults, and what callers do about them:
- Any write may fail (a full disk, a lock held elsewhere, a lost connection) and raises; the caller answers 503
  or tries again later. A store raises only for such failures: it keeps each parsed item as
  `payloads.stored_form` gives it, whose JSON and reasons are ASCII or escaped (a lone surrogate or a NUL fits
  any text type) and which turns an event the encoder refuses into a failed one.
- A store need not time out by itself: callers bound every call with a deadline of their own (the receiver's
  commit deadline, the service's stop), so a call cancelled by its deadline may still be committed.
- `health()` says, cheaply and without waiting, whether the store can take writes at all, and why not (its
  writer stopped; the SQLite file was deleted or replaced under it). The callers keep the last write failure.
"""
from collections.abc import AsyncIterator, Callable, Collection, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Protocol

from tavelmoor.webhooks.payloads import Event, Rejected

# What parsing a delivery gives: its events (some perhaps refused), or the reason it is a dead letter.
Parsed = list[Event | Rejected] | str
Parser = Callable[[bytes], Parsed]


class StoreLocked(Exception):
    """Another process owns the store."""


class StoreVersionError(Exception):
    """The store was written by a newer version of the service than this one."""


class StoreUnavailable(Exception):
    """The store cannot be reached; the message says which (with no password) and why."""


@dataclass(frozen=True)
class Accepted:
    delivery_id: int
    new_events: int
    duplicates: int


@dataclass(frozen=True)
class Claim:
    """An event taken for work under `token`; it stays in flight until an outcome is written or its lease passes."""
    id: int
    key: str
    delivery_id: int
    attempts: int
    event: Event
    token: int


@dataclass(frozen=True)
class Claimed:
    claims: list[Claim]
    # How many of the claims were taken back from a lease that had passed, and how many events failed instead
    # of being claimed because their attempts were used up.
    expired: int
    gave_up: int
    # When to claim again at the latest: now if `limit` events were taken (more may be due), else when the
    # next retry or lease falls due, or None when nothing waits.
    next_due: float | None


@dataclass(frozen=True)
class Counts:
    """The deliveries, and the events in each state, as of the last commit."""
    deliveries: int
    pending: int            # pending, in flight and waiting: not yet done or failed
    in_flight: int
    waiting: int
    records: int            # done
    failed: int
    dead_letters: int
    oldest_pending: float | None   # when the delivery of the oldest event not yet done or failed came


@dataclass(frozen=True)
class StoreHealth:
    writable: bool
    problem: str | None = None      # why it cannot take writes


@dataclass(frozen=True)
class Requeued:
    events: int             # failed events put back to pending
    deliveries: int         # deliveries parsed again: dead letters, and those of changes the parser refused
    new_events: int         # events those deliveries gave that were not stored yet
    dead_letters: int       # dead letters left, still refused by the parser


@dataclass(frozen=True)
class Pruned:
    deliveries: int
    records: int


class Store(Protocol):
    # The schema's versions before and after the store was opened (and so migrated).
    migrated: tuple[int, int]

    async def accept(self, body: bytes, parsed: Parsed) -> Accepted:
        """Stores a delivery with its events, or (given a reason instead) keeps it as a dead letter.

        An event whose key is stored already is a duplicate and is not stored again; a refused change is stored
        as a failed event with its reason.
        """

    async def claim(self, limit: int, *, lease: float, max_attempts: int) -> Claimed:
        """Takes up to `limit` events for work (see the module's notes)."""

    async def renew(self, claims: Sequence[Claim], lease: float) -> list[Claim]:
        """Moves the lease end of `claims` to `lease` seconds from now; returns those no longer held."""

    async def finish(self, done: Sequence[tuple[Claim, str]]) -> list[Claim]:
        """Stores each claim's record (JSON text) and marks its event done; returns the stale claims."""

    async def fail(self, claim: Claim, reason: str) -> bool:
        """Marks the event failed with `reason`; False when the claim was stale."""

    async def wait(self, claim: Claim, until: float, reason: str) -> bool:
        """Makes the event wait until `until` before it is claimed again; False when the claim was stale."""

    async def put_back(self, claims: Sequence[Claim]) -> list[Claim]:
        """Returns events taken but not worked on to pending, their attempt not counted; returns the stale claims."""

    async def recover(self) -> int:
        """Puts every in-flight event back to pending; how many there were."""

    async def requeue(self, parse: Parser, *, failed: bool, fields: Collection[str] = (),
                      keys: Collection[str] = (), dead_letters: bool) -> Requeued:
        """Puts failed events back to pending with their attempts reset, and parses dead letters again.

        With `failed`, the failed events are chosen: all, or those whose field is in `fields` or whose key is in
        `keys`. A chosen event that the parser refused has no event to retry: its delivery is parsed again
        with `parse`, as is every dead letter's with `dead_letters`, and the events found are stored as if
        just delivered.
        """

    async def prune(self, received_before: float, *, batch: int = 500) -> Pruned:
        """Drops the bodies and records of finished deliveries received before `received_before`.

        A delivery is finished when none of its events is pending, in flight or waiting, none failed in the
        parser (that one may be parsed again), and it is no dead letter. Event keys stay. Works in batches of
        `batch` deliveries, one transaction each.
        """

    async def counts(self) -> Counts:
        """How many deliveries, events in each state, and dead letters there are."""

    def records(self) -> AsyncIterator[str]:
        """The records (JSON text) in the order their events arrived."""

    def failures(self) -> AsyncIterator[dict[str, Any]]:
        """The failed events ("event", "delivery", "account", "field", "attempts", "reason"), then the dead letters
        ("dead_letter", "reason")."""

    def watch(self, wake: Callable[[], None]) -> None:
        """Calls `wake` when another process may have stored events to claim: a hint, which may come late or
        never, so the caller claims now and then anyway."""

    def health(self) -> StoreHealth:
        """Whether the store can take writes now; answers at once, for `/healthz`."""

    async def close(self) -> None:
        """Lets queued work finish, then closes the store; the caller bounds how long it may take."""


@dataclass(frozen=True)
class StoreOptions:
    """How to open a store; each store reads its own."""
    owner: bool = True              # SQLite: the service, which holds the file for itself and may create it
    synchronous: str = "FULL"       # SQLite
    busy_timeout: float = 5.0       # SQLite: seconds a write waits for a lock held elsewhere
    max_bytes: int | None = None    # SQLite: the file may grow to this size; beyond, writes fail as on a full disk
    pool_size: int = 10             # PostgreSQL: connections at most
    wait: float = 5.0               # PostgreSQL: seconds a caller waits for a connection
    listen: bool = True             # PostgreSQL: LISTEN for new events (off behind a pooler in transaction mode)
    password: str | None = None     # PostgreSQL: unless the connection string or libpq's environment gives one


def is_postgresql(database: str | Path) -> bool:
    """Whether `--database` names a PostgreSQL database (a postgresql:// connection string) or a SQLite file."""
    return isinstance(database, str) and database.startswith(("postgresql://", "postgres://"))


async def open_store(database: str | Path, options: StoreOptions = StoreOptions()) -> Store:
    """The store that `database` names, opened and migrated to the current schema."""
    if is_postgresql(database):
        from tavelmoor.webhooks.store.postgres import PostgresStore
        return await PostgresStore.open(str(database), password=options.password, pool_size=options.pool_size,
                                        wait=options.wait, listen=options.listen)
    from tavelmoor.webhooks.store.sqlite import SqliteStore
    return SqliteStore.open(Path(database), synchronous=options.synchronous, busy_timeout=options.busy_timeout,
                            owner=options.owner, max_bytes=options.max_bytes)
