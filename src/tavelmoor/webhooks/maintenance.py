"""The operator's commands over a store: `records`, `requeue`, `prune` and `migrate`, run beside the services or
without them."""
import argparse
import asyncio
import json
import sys
import time
from collections.abc import Awaitable, Callable
from typing import TypeVar

from tavelmoor.webhooks.config import PROG, database_password
from tavelmoor.webhooks.payloads import parse_delivery
from tavelmoor.webhooks.store import Store, StoreOptions, is_postgresql, open_store
from tavelmoor.webhooks.store.sqlite import stored_failures, stored_records

# The platform sends a delivery again for up to 36 hours; what is younger than this may still be needed.
MIN_PRUNE_AGE = 48 * 3600.0

T = TypeVar("T")


def _with_store(args: argparse.Namespace, work: Callable[[Store], Awaitable[T]]) -> T:
    """Runs `work` over the store that --database names, opened as an operator command opens it."""
    async def run() -> T:
        store = await open_store(args.database, StoreOptions(
            owner=False, busy_timeout=getattr(args, "busy_timeout", 5.0), pool_size=2, listen=False,
            password=database_password()))
        try:
            return await work(store)
        finally:
            await store.close()
    return asyncio.run(run())


def run_records(args: argparse.Namespace) -> int:
    """The stored records as JSON lines in event order, or with --failed the failed events and dead letters."""
    if not is_postgresql(args.database):
        # Read-only, so that it runs beside the service that owns the file and never migrates it.
        lines = (json.dumps(failure, ensure_ascii=False) for failure in stored_failures(args.database)) \
            if args.failed else stored_records(args.database)
        for line in lines:
            sys.stdout.write(line + "\n")
        sys.stdout.flush()
        return 0

    async def write(store: Store) -> None:
        if args.failed:
            async for failure in store.failures():
                sys.stdout.write(json.dumps(failure, ensure_ascii=False) + "\n")
        else:
            async for text in store.records():
                sys.stdout.write(text + "\n")
        sys.stdout.flush()
    _with_store(args, write)
    return 0


def run_requeue(args: argparse.Namespace) -> int:
    """Failed events back to pending (all, or by field or key) and dead letters through the parser again."""
    chosen = bool(args.field or args.key)
    done = _with_store(args, lambda store: store.requeue(
        parse_delivery, failed=chosen or not args.dead_letters, fields=args.field, keys=args.key,
        dead_letters=args.dead_letters or not chosen))
    print(f"{PROG}: {done.events} failed events put back to pending; {done.deliveries} deliveries parsed "
          f"again gave {done.new_events} new events; {done.dead_letters} dead letters left")
    return 0


def run_prune(args: argparse.Namespace) -> int:
    """Drops finished deliveries' bodies and records older than --older-than, keeping every event key."""
    done = _with_store(args, lambda store: store.prune(time.time() - args.older_than, batch=args.batch))
    print(f"{PROG}: pruned {done.deliveries} deliveries and {done.records} records")
    return 0


def run_migrate(args: argparse.Namespace) -> int:
    """Brings the schema up to date (opening the store does) and says from which version to which."""
    async def versions(store: Store) -> tuple[int, int]:
        return store.migrated
    before, after = _with_store(args, versions)
    print(f"{PROG}: schema at version {after}" + (f" (was {before})" if before != after else " already"))
    return 0
