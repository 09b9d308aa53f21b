"""`serve`: the receiver, the store, the pipeline and the admin endpoints in one process, from start to a clean stop.

The stop is bounded in every state: requests in progress and work in hand get `--drain-timeout` seconds, and
putting back what is left and closing the store at most `STOP_GRACE` more; whatever is still unsettled then
(a store that hangs) is left to the next start, as after `kill -9`.
"""
import argparse
import asyncio
import contextlib
import logging
import signal
import sys
import warnings
from typing import Any

import aiohttp

from tavelmoor.webhooks.admin import Admin, CountsCache
from tavelmoor.webhooks.config import ConfigError, Secrets, configure_logging, database_password, read_secrets
from tavelmoor.webhooks.connections import ConnectionLimits, Listener, LoopErrors, listen, raise_descriptor_limit
from tavelmoor.webhooks.graph_api import GraphApiClient
from tavelmoor.webhooks.health import Health
from tavelmoor.webhooks.metrics import Metrics
from tavelmoor.webhooks.pauses import OutagePolicy
from tavelmoor.webhooks.payloads import Account, read_accounts
from tavelmoor.webhooks.pipeline import Backoff, Limits, Pipeline
from tavelmoor.webhooks.receiver import WEBHOOK_PATH, AccessLogger, Receiver, ReceiverLimits
from tavelmoor.webhooks.stand_in import RunningStandIn, StandIn, load_posts
from tavelmoor.webhooks.store import StoreOptions, is_postgresql, open_store

log = logging.getLogger("tavelmoor.webhooks.service")

STOP_GRACE = 2.0
# Descriptors kept for everything but the public port's connections: the database, the Graph API client's
# connections beside one per worker, the admin port's.
RESERVED_DESCRIPTORS = 64
ADMIN_CONNECTIONS = 16


def _public_limits(args: argparse.Namespace) -> ConnectionLimits:
    """The public port's limits, with its connection cap kept under the descriptor limit."""
    descriptors = raise_descriptor_limit()
    room = descriptors - RESERVED_DESCRIPTORS - ADMIN_CONNECTIONS - args.concurrency
    if room < 1:
        raise ConfigError(f"the limit on open descriptors ({descriptors}) leaves no room for connections")
    if room < args.max_connections:
        log.warning("at most %d connections at once, not %d: the limit on open descriptors is %d", room,
                    args.max_connections, descriptors)
    return ConnectionLimits(min(args.max_connections, room), args.header_timeout, args.keepalive_timeout)


async def serve(args: argparse.Namespace, secrets: Secrets, accounts: dict[str, Account],
                posts: dict[str, Any] | None, database_password: str | None = None) -> int:
    """Runs until SIGTERM or SIGINT, then stops cleanly and returns 0."""
    loop = asyncio.get_running_loop()
    loop.set_exception_handler(LoopErrors())
    limits = _public_limits(args)
    max_bytes = None if args.max_database_mib is None else round(args.max_database_mib * 2**20)
    shared = is_postgresql(args.database)
    store = await open_store(args.database, StoreOptions(
        synchronous=args.synchronous, busy_timeout=args.busy_timeout, max_bytes=max_bytes, pool_size=args.pool_size,
        listen=args.listen, password=database_password))
    stop = asyncio.Event()
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, stop.set)
    metrics = Metrics()
    health = Health(metrics)
    pipeline: Pipeline | None = None
    state = "recovering"

    def status() -> dict[str, Any]:
        workers = pipeline.status() if pipeline is not None else {"live": 0, "busy": 0, "paused": False,
                                                                  "pause_reason": None}
        return {"workers": workers, "state": state}

    receiver = Receiver(store, secrets, metrics, health, lambda: pipeline.wake() if pipeline else None,
                        ReceiverLimits(args.body_timeout, args.commit_timeout, args.max_body_reads))
    admin = Admin(CountsCache(store), metrics, store, health, status)
    listeners: list[Listener] = []
    stop_by: float | None = None
    try:
        listeners.append(await listen(admin.app(), args.admin_host, args.admin_port,
                                      ConnectionLimits(ADMIN_CONNECTIONS, args.header_timeout, args.keepalive_timeout),
                                      access_log=None, shutdown_timeout=1.0))
        listeners.append(await listen(receiver.app(), args.host, args.port, limits,
                                      on_refused=metrics.connections_refused.inc, access_log_class=AccessLogger,
                                      access_log=logging.getLogger("tavelmoor.webhooks.access"),
                                      shutdown_timeout=args.drain_timeout))
        print(f"listening on {listeners[1].url}{WEBHOOK_PATH}\nadmin on {listeners[0].url}", flush=True)
        if shared:
            from tavelmoor.webhooks.store.postgres import masked
            log.info("events stored in %s, shared with any other service there", masked(str(args.database)))
        recovered = await store.recover()
        if recovered:
            log.warning("%d events were in flight when the last run stopped; back to pending", recovered)
        async with contextlib.AsyncExitStack() as stack:
            if posts is not None:
                stand_in = StandIn(posts, latency=args.latency)
                running = await stack.enter_async_context(RunningStandIn(stand_in))
                base_url, access_token = running.base_url, stand_in.access_token
            else:
                assert secrets.access_token is not None
                base_url, access_token = args.graph_api_url, secrets.access_token
            session = await stack.enter_async_context(aiohttp.ClientSession())
            client = GraphApiClient(session, base_url, timeout=args.timeout, on_answer=metrics.graph_api_answer)
            pipeline = Pipeline(store, client, access_token, accounts, metrics, health, concurrency=args.concurrency,
                                limits=Limits(args.max_attempts, args.max_age, args.max_retry_after),
                                backoff=Backoff(base=args.retry_base),
                                outage=OutagePolicy(args.outage_errors, args.outage_window, args.outage_probe),
                                lease=args.lease, renew_every=args.renew_every,
                                max_work=args.lease + 2 * args.timeout, poll=args.poll_interval if shared else None)
            pipeline.start()
            store.watch(pipeline.wake)
            state = "ready"
            log.info("ready: %d workers, at most %d connections", args.concurrency, limits.max_connections)
            try:
                await stop.wait()
            finally:
                log.info("stopping: no new connections; deliveries being received are committed first")
                state = "draining"
                drained_by = loop.time() + args.drain_timeout
                stop_by = drained_by + STOP_GRACE
                # Stops listening, then waits for requests in progress; work in hand meanwhile goes on.
                with contextlib.suppress(TimeoutError):
                    async with asyncio.timeout_at(drained_by):
                        await listeners.pop().close()
                try:
                    async with asyncio.timeout_at(stop_by):
                        await pipeline.stop(max(0.0, drained_by - loop.time()))
                except TimeoutError:
                    log.error("the pipeline did not stop in time; the events in hand are taken up again at the "
                              "next start")
    finally:
        # The store gets a moment to close even when the pipeline took all the time there was.
        closed_by = max(stop_by or loop.time() + STOP_GRACE, loop.time() + 0.5)
        for listener in reversed(listeners):
            with contextlib.suppress(TimeoutError):
                async with asyncio.timeout_at(closed_by):
                    await listener.close()
        for signum in (signal.SIGTERM, signal.SIGINT):
            loop.remove_signal_handler(signum)
        try:
            async with asyncio.timeout_at(closed_by):
                await store.close()
        except TimeoutError:
            log.error("the store did not close in time: %s", store.health().problem or "its writer is busy")
    log.info("stopped")
    return 0


def run_serve(args: argparse.Namespace) -> int:
    accounts = read_accounts(args.settings)
    posts = None if args.graph_api_url else load_posts(args.posts)
    secrets = read_secrets(needs_access_token=posts is None)
    password = database_password() if is_postgresql(args.database) else None
    configure_logging(args.log_level, secrets.values() + ([password] if password else []))
    # extracting_common_details reads the clock through datetime.utcnow(), deprecated on 3.13; once a
    # process is enough to know that.
    warnings.filterwarnings("ignore", "datetime.datetime.utcnow", DeprecationWarning)
    # The event loop and the store's writer thread hand batches to each other all the time; a shorter
    # switch interval than the default 5 ms lets the writer get the GIL sooner (a few percent more events/s).
    sys.setswitchinterval(0.0005)
    return asyncio.run(serve(args, secrets, accounts, posts, password))
