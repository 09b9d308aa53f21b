"""The shared store: one PostgreSQL database that any number of service processes, on any number of hosts, use
at once, through psycopg 3 and a connection pool.

What keeps them apart:
- Every change is one statement in autocommit, so one round trip and its own transaction: nothing holds a
  transaction open across an await, and no session sits idle in one. Operator commands that need several
  statements keep their transaction short.
- A claim takes events with `FOR UPDATE SKIP LOCKED`, so two processes never take the same event and never
  wait for each other. Each kind of event it takes has its own arm and its own partial index (due waiting
  events, lapsed leases, pending events): no `OR` over states, so the claim stays an index probe however many
  finished events the table holds. Lease ends and due times come from the database's clock, so the hosts'
  clocks need not agree; times handed to and from the interface are converted by the difference between the
  two clocks, measured in the same statement.
- Every outcome is written where the event is still in flight under the claim's token; the record and the
  event's state change in one statement.
- Only a stored delivery must survive a crash of the database: it was answered 200. Claims, renewals and
  outcomes go through connections of their own that commit without waiting for the disk
  (`synchronous_commit` off): one lost in a crash leaves the event in flight, and its lease hands it out
  again, so that it gets its one record all the same, at the cost of a second Graph API call.
- New events are announced with `NOTIFY` (at most one per process per `NOTIFY_INTERVAL`, as a hint), in a
  transaction of its own once they are committed: a transaction that notifies holds a lock that every other
  notifying commit waits for, so it must not wait for the disk as well. Each process listens on a connection
  of its own and listens again after every reconnect. The pipeline polls as a
  backstop, and listening can be turned off, for a pooler in transaction mode, which cannot carry `LISTEN`.
- Sessions end a transaction left idle, give up on a lock or a statement that waits too long, and send TCP
  keepalives, so that a stopped or vanished process cannot hold the others up.

The schema carries its version in `tavelmoor_schema`; `migrate` brings it up to date under a transaction-level
advisory lock, so that processes starting together migrate it once, through a transaction pooler too.
Event and record JSON is stored as text, never `jsonb`, which refuses `\\u0000` and lone surrogates.
"""
import asyncio
import json
import logging
import re
import secrets
import time
from collections.abc import AsyncIterator, Callable, Collection, Sequence
from typing import Any

import psycopg
from psycopg.conninfo import conninfo_to_dict, make_conninfo
from psycopg_pool import AsyncConnectionPool, PoolTimeout

from tavelmoor.webhooks.payloads import Event, Rejected, event_from_json, stored_form
from tavelmoor.webhooks.store import (
    Accepted, Claim, Claimed, Counts, Parsed, Parser, Pruned, Requeued, StoreHealth, StoreUnavailable,
    StoreVersionError, is_postgresql,
)
from tavelmoor.webhooks.text import quoted

log = logging.getLogger("tavelmoor.webhooks.store")

CHANNEL = "tavelmoor_webhooks"
NOTIFY_INTERVAL = 0.05
# Any fixed number serves as the key of the migration's advisory lock; this one spells "tavelmoo".
MIGRATION_LOCK = 0x7461_7665_6C6D_6F6F
PAGE = 1000
LISTEN_RETRY_SECONDS = 1.0

# Set on every session, before the connection string's own `options`, which may override them.
SESSION_SETTINGS = {"idle_in_transaction_session_timeout": "10s", "lock_timeout": "5s", "statement_timeout": "30s"}
# Used unless the connection string says otherwise: a peer gone without a word is noticed within about 30 s.
CONNECTION_DEFAULTS = {"application_name": "tavelmoor-webhooks", "connect_timeout": "5", "keepalives": "1",
                       "keepalives_idle": "10", "keepalives_interval": "5", "keepalives_count": "3",
                       "tcp_user_timeout": "30000"}

# The database's clock, as a Unix time, fixed for the statement.
NOW = "extract(epoch FROM statement_timestamp())::float8"
_UNFINISHED = "('pending', 'in_flight', 'waiting')"

MIGRATIONS = [
    """
    CREATE TABLE bodies (
        hash bytea PRIMARY KEY,
        body bytea NOT NULL
    );
    CREATE TABLE deliveries (
        id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
        received_at double precision NOT NULL,
        body_hash bytea REFERENCES bodies (hash),
        pruned_at double precision
    );
    CREATE INDEX deliveries_by_body ON deliveries (body_hash);
    CREATE TABLE events (
        id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
        key text NOT NULL UNIQUE,
        delivery_id bigint NOT NULL REFERENCES deliveries (id),
        account text,
        field text,
        event text,
        state text NOT NULL CHECK (state IN ('pending', 'in_flight', 'waiting', 'done', 'failed')),
        attempts integer NOT NULL DEFAULT 0,
        next_attempt double precision,
        reason text,
        claim_token bigint,
        lease_until double precision
    );
    CREATE INDEX events_pending ON events (id) WHERE state = 'pending';
    CREATE INDEX events_waiting ON events (next_attempt) WHERE state = 'waiting';
    CREATE INDEX events_in_flight ON events (lease_until) WHERE state = 'in_flight';
    CREATE INDEX events_failed ON events (id) WHERE state = 'failed';
    CREATE INDEX events_by_delivery ON events (delivery_id);
    CREATE TABLE records (
        event_id bigint PRIMARY KEY REFERENCES events (id),
        record text NOT NULL
    );
    CREATE TABLE dead_letters (
        delivery_id bigint PRIMARY KEY REFERENCES deliveries (id),
        reason text NOT NULL
    );
    """,
]
SCHEMA_VERSION = len(MIGRATIONS)

_CLAIM = f"""
WITH due AS (
    SELECT id FROM events WHERE state = 'waiting' AND next_attempt <= {NOW}
    ORDER BY next_attempt LIMIT %(limit)s::integer FOR UPDATE SKIP LOCKED
), lapsed AS (
    SELECT id FROM events WHERE state = 'in_flight' AND lease_until <= {NOW}
    ORDER BY lease_until LIMIT %(limit)s::integer FOR UPDATE SKIP LOCKED
), pending AS (
    SELECT id FROM events WHERE state = 'pending' ORDER BY id LIMIT %(limit)s::integer FOR UPDATE SKIP LOCKED
), chosen AS (
    SELECT id, 0 AS arm FROM due UNION ALL SELECT id, 1 FROM lapsed UNION ALL SELECT id, 2 FROM pending
    LIMIT %(limit)s::integer
), claimed AS (
    UPDATE events AS e SET
        state = CASE WHEN e.attempts >= %(max_attempts)s::integer THEN 'failed' ELSE 'in_flight' END,
        attempts = CASE WHEN e.attempts >= %(max_attempts)s::integer THEN e.attempts ELSE e.attempts + 1 END,
        claim_token = CASE WHEN e.attempts >= %(max_attempts)s::integer THEN NULL ELSE %(token)s::bigint END,
        lease_until = CASE WHEN e.attempts >= %(max_attempts)s::integer THEN NULL ELSE {NOW} + %(lease)s::float8 END,
        reason = CASE WHEN e.attempts >= %(max_attempts)s::integer
                      THEN 'gave up after ' || e.attempts || ' attempts' || coalesce(': ' || e.reason, '')
                      ELSE e.reason END
    FROM chosen WHERE e.id = chosen.id
    RETURNING chosen.arm, e.id, e.key, e.delivery_id, e.attempts, e.event, e.state
)
SELECT arm, id, key, delivery_id, attempts, event, state, NULL::float8 FROM claimed
UNION ALL
SELECT 3, NULL, NULL, NULL, NULL, NULL, NULL, {NOW}
UNION ALL
SELECT 4, NULL, NULL, NULL, NULL, NULL, NULL, least(
    (SELECT min(next_attempt) FROM events WHERE state = 'waiting' AND next_attempt > {NOW}),
    (SELECT min(lease_until) FROM events WHERE state = 'in_flight' AND lease_until > {NOW}))
"""

# Rows travel as one JSON text (a list of lists): the JSON encoder costs far less than psycopg's array dumpers.
_EVENT_ROWS = ("(SELECT (e->>0)::bigint AS n, e->>1 AS key, e->>2 AS account, e->>3 AS field, e->>4 AS event, "
               "e->>5 AS state, e->>6 AS reason FROM json_array_elements({}::json) AS e) AS item")
_CLAIM_ROWS = ("(SELECT (e->>0)::bigint AS id, (e->>1)::bigint AS token, e->>2 AS record "
               "FROM json_array_elements(%(claims)s::json) AS e) AS claim")
# Deliveries that arrive together are stored in one statement, so that they share a commit. The ids are drawn
# first, so that each event finds its delivery's, and each answer its delivery. A body is kept once, by its
# SHA-256, however often it is delivered.
_ACCEPT = f"""
WITH delivery AS MATERIALIZED (
    SELECT nextval(pg_get_serial_sequence('deliveries', 'id')) AS id, sha256(item.body) AS hash, item.body,
           item.reason, item.n
    FROM unnest(%(bodies)s::bytea[], %(dead)s::text[]) WITH ORDINALITY AS item (body, reason, n)
), body AS (
    INSERT INTO bodies (hash, body) SELECT hash, body FROM delivery ON CONFLICT (hash) DO NOTHING
), kept AS (
    INSERT INTO deliveries (id, received_at, body_hash) OVERRIDING SYSTEM VALUE
    SELECT id, {NOW}, hash FROM delivery ORDER BY n
), dead AS (
    INSERT INTO dead_letters (delivery_id, reason) SELECT id, reason FROM delivery WHERE reason IS NOT NULL
), new AS (
    INSERT INTO events (key, delivery_id, account, field, event, state, reason)
    SELECT item.key, delivery.id, item.account, item.field, item.event, item.state, item.reason
    FROM {_EVENT_ROWS.format("%(events)s")} JOIN delivery ON delivery.n = item.n
    ON CONFLICT (key) DO NOTHING
    RETURNING delivery_id, state
)
SELECT delivery.id, (SELECT count(*) FROM new WHERE new.delivery_id = delivery.id),
       (SELECT count(*) FROM new WHERE new.delivery_id = delivery.id AND state = 'pending')
FROM delivery ORDER BY delivery.n
"""
# Deliveries stored in one statement at most, and such statements under way at once.
ACCEPT_BATCH = 64
ACCEPT_WRITERS = 2

# Each takes the claims as arrays of event ids and tokens; only rows still in flight under their token change.
_HELD = f"FROM {_CLAIM_ROWS} " \
        "WHERE events.id = claim.id AND events.claim_token = claim.token AND events.state = 'in_flight'"
_RENEW = f"UPDATE events SET lease_until = {NOW} + %(lease)s::float8 {_HELD} RETURNING events.id, events.claim_token"
_PUT_BACK = ("UPDATE events SET state = 'pending', attempts = greatest(attempts - 1, 0), claim_token = NULL, "
             f"lease_until = NULL {_HELD} RETURNING events.id, events.claim_token")
_FINISH = f"""
WITH done AS (
    UPDATE events SET state = 'done', next_attempt = NULL, reason = NULL, claim_token = NULL, lease_until = NULL
    {_HELD} RETURNING events.id, claim.token, claim.record
), stored AS (
    INSERT INTO records (event_id, record) SELECT id, record FROM done
    ON CONFLICT (event_id) DO UPDATE SET record = excluded.record
)
SELECT id, token FROM done
"""
_SETTLE = (f"UPDATE events SET state = %(state)s, next_attempt = {NOW} + %(delay)s::float8, reason = %(reason)s, "
           "claim_token = NULL, lease_until = NULL "
           "WHERE id = %(id)s::bigint AND claim_token = %(token)s::bigint AND state = 'in_flight'")

_COUNTS = f"""
SELECT {NOW}, (SELECT count(*) FROM deliveries),
       (SELECT count(*) FROM events WHERE state = 'pending'),
       (SELECT count(*) FROM events WHERE state = 'in_flight'),
       (SELECT count(*) FROM events WHERE state = 'waiting'), (SELECT count(*) FROM events WHERE state = 'done'),
       (SELECT count(*) FROM events WHERE state = 'failed'), (SELECT count(*) FROM dead_letters),
       (SELECT min(received_at) FROM deliveries WHERE id IN (SELECT delivery_id FROM events WHERE id IN (
            (SELECT min(id) FROM events WHERE state = 'pending'),
            (SELECT min(id) FROM events WHERE state = 'in_flight'),
            (SELECT min(id) FROM events WHERE state = 'waiting'))))
"""

_PRUNE = f"""
WITH chosen AS (
    SELECT id, body_hash FROM deliveries AS d
    WHERE id > %(after)s AND received_at < {NOW} - %(age)s AND pruned_at IS NULL
      AND NOT EXISTS (SELECT 1 FROM dead_letters WHERE delivery_id = d.id)
      AND NOT EXISTS (SELECT 1 FROM events WHERE delivery_id = d.id
                      AND (state IN {_UNFINISHED} OR (state = 'failed' AND event IS NULL)))
    ORDER BY id LIMIT %(batch)s FOR UPDATE
), dropped AS (
    DELETE FROM records WHERE event_id IN (SELECT id FROM events WHERE delivery_id IN (SELECT id FROM chosen))
    RETURNING 1
), emptied AS (
    UPDATE events SET event = NULL WHERE state = 'done' AND delivery_id IN (SELECT id FROM chosen)
), marked AS (
    UPDATE deliveries SET body_hash = NULL, pruned_at = {NOW} WHERE id IN (SELECT id FROM chosen)
)
SELECT (SELECT count(*) FROM chosen), (SELECT max(id) FROM chosen), (SELECT count(*) FROM dropped),
       (SELECT array_agg(DISTINCT body_hash) FROM chosen)
"""
# A body goes once no delivery names it. Locked first: a delivery of the same body stored meanwhile waits for
# the lock in its foreign key check and is then refused (503, and sent again), rather than naming a body gone.
_DROP_BODIES = ("DELETE FROM bodies WHERE hash = ANY(%(hashes)s) "
                "AND NOT EXISTS (SELECT 1 FROM deliveries WHERE body_hash = bodies.hash)")


def masked(database: str) -> str:
    """The connection string with its password, if it holds one, shown as ***: the form to log or print."""
    if not is_postgresql(database):
        return re.sub(r"\bpassword\s*=\s*('(?:[^'\\]|\\.)*'|\S+)", "password=***", database)
    database = re.sub(r"^([a-z]+://[^:/?#@]*:)[^/?#@]*@", r"\1***@", database)
    return re.sub(r"([?&])password=[^&#]*", r"\1password=***", database)


def connection_info(database: str, password: str | None = None, **settings: str) -> str:
    """The connection string with the session settings (and `settings`), keepalives and, unless it has one,
    `password`."""
    params: dict[str, Any] = {**CONNECTION_DEFAULTS, **conninfo_to_dict(database)}
    ours = " ".join(f"-c {name}={value}" for name, value in {**SESSION_SETTINGS, **settings}.items())
    params["options"] = f"{ours} {params['options']}" if params.get("options") else ours
    if password is not None:
        params.setdefault("password", password)
    conninfo: str = make_conninfo("", **params)
    return conninfo


def _rows(parsed: Sequence[Event | Rejected], owner: int = 0) -> list[list[Any]]:
    """The rows of the events of a parsed delivery, each tagged with `owner`, its delivery's place in a batch."""
    return [[owner, key, account, field, event, "pending" if reason is None else "failed", reason]
            for key, account, field, event, reason in map(stored_form, parsed)]


def _claims(claims: Sequence[Claim], records: Sequence[str] = ()) -> str:
    if records:
        return json.dumps([[claim.id, claim.token, record] for claim, record in zip(claims, records)])
    return json.dumps([[claim.id, claim.token] for claim in claims])


async def migrate(connection: psycopg.AsyncConnection[Any], where: str) -> tuple[int, int]:
    """Brings the schema up to date in one transaction under the migration lock; the versions before and after."""
    async with connection.transaction():
        await connection.execute("SELECT pg_advisory_xact_lock(%s)", (MIGRATION_LOCK,))
        await connection.execute("CREATE TABLE IF NOT EXISTS tavelmoor_schema (version integer NOT NULL)")
        row = await (await connection.execute("SELECT version FROM tavelmoor_schema")).fetchone()
        if row is None:
            await connection.execute("INSERT INTO tavelmoor_schema (version) VALUES (0)")
        version = 0 if row is None else row[0]
        if version > SCHEMA_VERSION:
            raise StoreVersionError(f"{where}: schema version {version} is newer than this service's "
                                    f"({SCHEMA_VERSION}); upgrade the service")
        for number in range(version, SCHEMA_VERSION):
            for statement in MIGRATIONS[number].split(";"):
                if statement.strip():
                    await connection.execute(statement)
        await connection.execute("UPDATE tavelmoor_schema SET version = %s", (SCHEMA_VERSION,))
    return version, SCHEMA_VERSION


class PostgresStore:
    def __init__(self, pool: AsyncConnectionPool, work_pool: AsyncConnectionPool, conninfo: str, where: str, *,
                 listen: bool, migrated: tuple[int, int]) -> None:
        self._pool = pool
        self._work_pool = work_pool
        self._conninfo = conninfo
        self.where = where
        self.migrated = migrated
        self._listen = listen
        # Why the database cannot be written, as the last statement found; None while it can.
        self._problem: str | None = None
        self._listener: asyncio.Task[None] | None = None
        # NOTIFY at most once per NOTIFY_INTERVAL: at once for the first new events of an interval, and should
        # more come in the same interval, once more at its end.
        self._sender = secrets.token_hex(8)
        self._notified_at = -NOTIFY_INTERVAL
        self._trailing: asyncio.TimerHandle | None = None
        self._tasks: set[asyncio.Task[Any]] = set()
        self._accepts: list[tuple[bytes, Parsed, asyncio.Future[Accepted]]] = []
        self._writers: set[asyncio.Task[None]] = set()

    @classmethod
    async def open(cls, database: str, *, password: str | None = None, pool_size: int = 10, wait: float = 5.0,
                   listen: bool = True) -> "PostgresStore":
        """Connects, migrates the schema, and opens up to `pool_size` connections in two pools: one for
        deliveries and the operator's changes, one for claims and outcomes.

        A caller waits at most `wait` seconds for a connection from a pool.
        """
        where = masked(database)
        conninfo = connection_info(database, password)
        pools: list[AsyncConnectionPool] = []
        try:
            async with await psycopg.AsyncConnection.connect(conninfo, autocommit=True) as connection:
                migrated = await migrate(connection, where)
            durable = max(1, pool_size // 2)
            for size, info in ((durable, conninfo), (max(1, pool_size - durable),
                                                     connection_info(database, password, synchronous_commit="off"))):
                pools.append(AsyncConnectionPool(info, min_size=size, max_size=size, timeout=wait, open=False,
                                                 kwargs={"autocommit": True}, name="tavelmoor-webhooks",
                                                 reconnect_timeout=float("inf")))
                await pools[-1].open(wait=True, timeout=wait)
        except (psycopg.OperationalError, PoolTimeout) as error:
            for pool in pools:
                await pool.close()
            raise StoreUnavailable(f"{where}: cannot connect: {str(error).strip()}") from None
        return cls(pools[0], pools[1], conninfo, where, listen=listen, migrated=migrated)

    async def close(self) -> None:
        # Deliveries on their way in are stored first.
        await asyncio.gather(*self._writers, return_exceptions=True)
        if self._trailing is not None:
            self._trailing.cancel()
        for task in [*self._tasks, *([self._listener] if self._listener else [])]:
            task.cancel()
        await asyncio.gather(*self._tasks, *([self._listener] if self._listener else []), return_exceptions=True)
        await self._pool.close()
        await self._work_pool.close()

    async def _fetch(self, query: str, params: dict[str, Any] | Sequence[Any] | None = None, *,
                     work: bool = False) -> list[Any]:
        """The rows of one statement, on a connection for claims and outcomes with `work`."""
        rows, _ = await self._execute(query, params, work)
        return rows

    async def _count(self, query: str, params: dict[str, Any]) -> int:
        """How many rows a change of claims or outcomes changed."""
        _, count = await self._execute(query, params, True)
        return count

    async def _execute(self, query: str, params: dict[str, Any] | Sequence[Any] | None,
                       work: bool) -> tuple[list[Any], int]:
        # A pooled connection that broke while idle (the server restarted, a peer dropped it) fails its next
        # statement at once; the pool then drops it, and the statement is given to the next connection, until
        # every connection the pool held has been tried.
        pool = self._work_pool if work else self._pool
        tries = pool.max_size + 1
        while True:
            tries -= 1
            try:
                async with pool.connection() as connection:
                    try:
                        cursor = await connection.execute(query, params)
                        result = await cursor.fetchall() if cursor.description is not None else [], cursor.rowcount
                    except psycopg.OperationalError as error:
                        if not connection.closed:
                            raise
                        self._problem = quoted(f"{self.where} cannot be reached: {str(error).strip()}")
                        if not tries:
                            raise
                        continue
            except PoolTimeout as error:
                self._problem = quoted(f"{self.where}: {str(error).strip()}")
                raise
            self._problem = None
            return result

    def health(self) -> StoreHealth:
        # As the last statement found the database: one that could not reach it makes the store unwritable
        # until a statement gets through again (the pools reconnect by themselves meanwhile).
        return StoreHealth(self._problem is None, self._problem)

    def watch(self, wake: Callable[[], None]) -> None:
        if self._listen and self._listener is None:
            self._listener = asyncio.ensure_future(self._listen_loop(wake))

    async def _listen_loop(self, wake: Callable[[], None]) -> None:
        while True:
            try:
                async with await psycopg.AsyncConnection.connect(self._conninfo, autocommit=True) as connection:
                    await connection.execute(f"LISTEN {CHANNEL}")
                    # Whatever was announced while no one listened is claimed now.
                    wake()
                    async for notice in connection.notifies():
                        if notice.payload != self._sender:
                            wake()
            except psycopg.Error as error:
                log.warning("listening for new events on %s failed, listening again in %.0f s: %s", self.where,
                            LISTEN_RETRY_SECONDS, str(error).strip())
            await asyncio.sleep(LISTEN_RETRY_SECONDS)

    def _announce(self) -> None:
        """New events were stored: NOTIFY now, or at the end of the interval if one was sent within it."""
        loop = asyncio.get_running_loop()
        if self._trailing is not None:
            return
        if loop.time() - self._notified_at >= NOTIFY_INTERVAL:
            self._notify()
        else:
            self._trailing = loop.call_at(self._notified_at + NOTIFY_INTERVAL, self._notify)

    def _notify(self) -> None:
        self._trailing = None
        self._notified_at = asyncio.get_running_loop().time()
        task = asyncio.ensure_future(self._fetch(f"SELECT pg_notify('{CHANNEL}', %s)", (self._sender,), work=True))
        self._tasks.add(task)
        task.add_done_callback(self._notified)

    def _notified(self, task: "asyncio.Task[Any]") -> None:
        self._tasks.discard(task)
        if not task.cancelled() and task.exception() is not None:
            log.debug("NOTIFY failed: %s", task.exception())

    async def accept(self, body: bytes, parsed: Parsed) -> Accepted:
        done: asyncio.Future[Accepted] = asyncio.get_running_loop().create_future()
        self._accepts.append((body, parsed, done))
        if len(self._writers) < ACCEPT_WRITERS:
            writer = asyncio.ensure_future(self._write_accepts())
            self._writers.add(writer)
            writer.add_done_callback(self._writers.discard)
        return await done

    async def _write_accepts(self) -> None:
        """Stores the deliveries waiting, a batch at a time; should the database refuse a batch, each of it is
        tried alone, so that one delivery it refuses fails alone. When the database cannot be reached, all fail."""
        while self._accepts:
            batch, self._accepts = self._accepts[:ACCEPT_BATCH], self._accepts[ACCEPT_BATCH:]
            try:
                outcomes: list[Accepted | BaseException] = list(await self._store_deliveries(batch))
            except (psycopg.OperationalError, PoolTimeout) as error:
                outcomes = [error] * len(batch)
            except Exception as error:
                outcomes = [error] if len(batch) == 1 else [await self._store_delivery(item) for item in batch]
            for (_, _, done), outcome in zip(batch, outcomes):
                if done.done():
                    continue
                if isinstance(outcome, BaseException):
                    done.set_exception(outcome)
                else:
                    done.set_result(outcome)

    async def _store_delivery(self, item: tuple[bytes, Parsed, Any]) -> Accepted | BaseException:
        try:
            [accepted] = await self._store_deliveries([item])
            return accepted
        except Exception as error:
            return error

    async def _store_deliveries(self, batch: list[tuple[bytes, Parsed, Any]]) -> list[Accepted]:
        events: list[list[Any]] = []
        bodies, dead, sizes = [], [], []
        for n, (body, parsed, _) in enumerate(batch, 1):
            bodies.append(body)
            dead.append(parsed if isinstance(parsed, str) else None)
            items = [] if isinstance(parsed, str) else parsed
            sizes.append(len(items))
            events += _rows(items, n)
        rows = await self._fetch(_ACCEPT, {"bodies": bodies, "dead": dead, "events": json.dumps(events)})
        if any(pending for *_, pending in rows):
            self._announce()
        return [Accepted(delivery_id, new, size - new) for (delivery_id, new, _), size in zip(rows, sizes)]

    async def recover(self) -> int:
        # Other processes may be working on the events in flight: leases take back those of a process gone.
        return 0

    async def claim(self, limit: int, *, lease: float, max_attempts: int) -> Claimed:
        asked_at = time.time()
        rows = await self._fetch(_CLAIM, {"limit": max(limit, 0), "lease": lease, "max_attempts": max_attempts,
                                          "token": (token := secrets.randbits(63))}, work=True)
        rows.sort(key=lambda row: (row[0], row[1] or 0))
        *taken, (*_, now), (*_, due) = rows
        claims = [Claim(id, key, delivery_id, attempts, event_from_json(event), token)
                  for _, id, key, delivery_id, attempts, event, state, _ in taken if state == "in_flight"]
        expired = sum(1 for row in taken if row[0] == 1 and row[6] == "in_flight")
        if len(taken) >= limit:
            return Claimed(claims, expired, len(taken) - len(claims), asked_at)
        return Claimed(claims, expired, len(taken) - len(claims), None if due is None else asked_at + due - now)

    @staticmethod
    def _stale(claims: Sequence[Claim], rows: list[Any]) -> list[Claim]:
        held = {(id, token) for id, token in rows}
        return [claim for claim in claims if (claim.id, claim.token) not in held]

    async def renew(self, claims: Sequence[Claim], lease: float) -> list[Claim]:
        return self._stale(claims, await self._fetch(_RENEW, {"claims": _claims(claims), "lease": lease}, work=True))

    async def finish(self, done: Sequence[tuple[Claim, str]]) -> list[Claim]:
        claims = [claim for claim, _ in done]
        rows = await self._fetch(_FINISH, {"claims": _claims(claims, [record for _, record in done])}, work=True)
        return self._stale(claims, rows)

    async def _settle(self, claim: Claim, state: str, delay: float | None, reason: str) -> bool:
        return await self._count(_SETTLE, {"state": state, "delay": delay, "reason": reason, "id": claim.id,
                                           "token": claim.token}) == 1

    async def fail(self, claim: Claim, reason: str) -> bool:
        return await self._settle(claim, "failed", None, reason)

    async def wait(self, claim: Claim, until: float, reason: str) -> bool:
        return await self._settle(claim, "waiting", until - time.time(), reason)

    async def put_back(self, claims: Sequence[Claim]) -> list[Claim]:
        return self._stale(claims, await self._fetch(_PUT_BACK, {"claims": _claims(claims)}, work=True))

    async def requeue(self, parse: Parser, *, failed: bool, fields: Collection[str] = (),
                      keys: Collection[str] = (), dead_letters: bool) -> Requeued:
        async with self._pool.connection() as connection, connection.transaction():
            run = connection.execute
            events, reparse = 0, set[int]()
            if failed:
                chosen = "state = 'failed'"
                if fields or keys:
                    chosen += " AND (field = ANY(%(fields)s::text[]) OR key = ANY(%(keys)s::text[]))"
                params = {"fields": list(fields), "keys": list(keys)}
                events = (await run("UPDATE events SET state = 'pending', attempts = 0, next_attempt = NULL, "
                                    f"reason = NULL WHERE {chosen} AND event IS NOT NULL", params)).rowcount
                # A change the parser refused has no event to retry: its delivery is parsed again below.
                refused = await (await run(f"DELETE FROM events WHERE {chosen} AND event IS NULL "
                                           "RETURNING delivery_id", params)).fetchall()
                reparse.update(delivery_id for (delivery_id,) in refused)
            if dead_letters:
                reparse.update(id for (id,) in await (await run("SELECT delivery_id FROM dead_letters")).fetchall())
            new = 0
            for delivery_id in sorted(reparse):
                row = await (await run("SELECT bodies.body, pruned_at FROM deliveries LEFT JOIN bodies "
                                       "ON bodies.hash = deliveries.body_hash WHERE deliveries.id = %s",
                                       (delivery_id,))).fetchone()
                assert row is not None
                if row[1] is not None:
                    continue
                parsed = parse(bytes(row[0]))
                if isinstance(parsed, str):
                    await run("UPDATE dead_letters SET reason = %s WHERE delivery_id = %s", (parsed, delivery_id))
                    continue
                await run("DELETE FROM dead_letters WHERE delivery_id = %s", (delivery_id,))
                cursor = await run(
                    "INSERT INTO events (key, delivery_id, account, field, event, state, reason) "
                    "SELECT key, %(delivery)s, account, field, event, state, reason FROM "
                    f"{_EVENT_ROWS.format('%(events)s')} ON CONFLICT (key) DO NOTHING RETURNING state",
                    {"delivery": delivery_id, "events": json.dumps(_rows(parsed))})
                new += sum(1 for (state,) in await cursor.fetchall() if state == "pending")
            [(left,)] = await (await run("SELECT count(*) FROM dead_letters")).fetchall()
        return Requeued(events, len(reparse), new, left)

    async def prune(self, received_before: float, *, batch: int = 500) -> Pruned:
        deliveries = records = after = 0
        age = time.time() - received_before
        while True:
            async with self._pool.connection() as connection, connection.transaction():
                [(count, last, dropped, hashes)] = await (await connection.execute(
                    _PRUNE, {"after": after, "age": age, "batch": batch})).fetchall()
                if hashes:
                    await connection.execute("SELECT FROM bodies WHERE hash = ANY(%s) FOR UPDATE", (hashes,))
                    await connection.execute(_DROP_BODIES, {"hashes": hashes})
            deliveries += count
            records += dropped
            if count < batch:
                return Pruned(deliveries, records)
            after = last

    async def settings(self, *names: str) -> dict[str, str]:
        """The server's settings of these names, such as fsync and synchronous_commit."""
        rows = await self._fetch("SELECT name, setting FROM pg_settings WHERE name = ANY(%s)", (list(names),))
        return dict(rows)

    async def unfinished(self) -> int:
        """How many events are pending, in flight or waiting; cheap while they are few (their partial indexes)."""
        [(count,)] = await self._fetch("SELECT (SELECT count(*) FROM events WHERE state = 'pending') + "
                                       "(SELECT count(*) FROM events WHERE state = 'in_flight') + "
                                       "(SELECT count(*) FROM events WHERE state = 'waiting')")
        return int(count)

    async def counts(self) -> Counts:
        asked_at = time.time()
        [(now, deliveries, pending, in_flight, waiting, done, failed, dead_letters, oldest)] = \
            await self._fetch(_COUNTS)
        return Counts(deliveries=deliveries, pending=pending + in_flight + waiting, in_flight=in_flight,
                      waiting=waiting, records=done, failed=failed, dead_letters=dead_letters,
                      oldest_pending=None if oldest is None else asked_at - (now - oldest))

    async def _pages(self, query: str) -> AsyncIterator[tuple[Any, ...]]:
        """The rows of `query`, which takes the last key seen as %s and gives the key first, a page at a time."""
        after = 0
        while rows := await self._fetch(query, (after, PAGE)):
            for row in rows:
                yield row
            after = rows[-1][0]

    async def records(self) -> AsyncIterator[str]:
        async for _, record in self._pages("SELECT event_id, record FROM records WHERE event_id > %s "
                                           "ORDER BY event_id LIMIT %s"):
            yield record

    async def failures(self) -> AsyncIterator[dict[str, Any]]:
        async for _, key, delivery_id, account, field, attempts, reason in self._pages(
                "SELECT id, key, delivery_id, account, field, attempts, reason FROM events "
                "WHERE state = 'failed' AND id > %s ORDER BY id LIMIT %s"):
            yield {"event": key, "delivery": delivery_id, "account": account, "field": field, "attempts": attempts,
                   "reason": reason}
        async for delivery_id, reason in self._pages("SELECT delivery_id, reason FROM dead_letters "
                                                     "WHERE delivery_id > %s ORDER BY delivery_id LIMIT %s"):
            yield {"dead_letter": delivery_id, "reason": reason}
