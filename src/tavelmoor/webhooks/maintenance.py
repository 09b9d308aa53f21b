"""The operator's commands over a store: `records`, `requeue` and `prune`, run beside the service or without it."""
import argparse
import asyncio
import json
import sys
import time

from tavelmoor.webhooks.config import PROG
from tavelmoor.webhooks.payloads import parse_delivery
from tavelmoor.webhooks.store.sqlite import SqliteStore, stored_failures, stored_records

# The platform sends a delivery again for up to 36 hours; what is younger than this may still be needed.
MIN_PRUNE_AGE = 48 * 3600.0


def run_records(args: argparse.Namespace) -> int:
    """The stored records as JSON lines in event order, or with --failed the failed events and dead letters."""
    if args.failed:
        for failure in stored_failures(args.database):
            sys.stdout.write(json.dumps(failure, ensure_ascii=False) + "\n")
    else:
        for text in stored_records(args.database):
            sys.stdout.write(text + "\n")
    sys.stdout.flush()
    return 0


def run_requeue(args: argparse.Namespace) -> int:
    """Failed events back to pending (all, or by field or key) and dead letters through the parser again."""
    chosen = bool(args.field or args.key)

    async def requeue() -> str:
        store = SqliteStore.open(args.database, busy_timeout=args.busy_timeout, owner=False)
        try:
            done = await store.requeue(parse_delivery, failed=chosen or not args.dead_letters, fields=args.field,
                                       keys=args.key, dead_letters=args.dead_letters or not chosen)
        finally:
            await store.close()
        return (f"{PROG}: {done.events} failed events put back to pending; {done.deliveries} deliveries parsed "
                f"again gave {done.new_events} new events; {done.dead_letters} dead letters left")
    print(asyncio.run(requeue()))
    return 0


def run_prune(args: argparse.Namespace) -> int:
    """Drops finished deliveries' bodies and records older than --older-than, keeping every event key."""
    async def prune() -> str:
        store = SqliteStore.open(args.database, busy_timeout=args.busy_timeout, owner=False)
        try:
            done = await store.prune(time.time() - args.older_than, batch=args.batch)
        finally:
            await store.close()
        return f"{PROG}: pruned {done.deliveries} deliveries and {done.records} records"
    print(asyncio.run(prune()))
    return 0
