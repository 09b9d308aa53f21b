"""`serve`: the receiver, the store, the pipeline and the admin endpoints in one process, from start to a clean stop."""
import argparse
import asyncio
import contextlib
import logging
import signal
import sys
import warnings
from typing import Any

import aiohttp
from aiohttp import web

from tavelmoor.webhooks.admin import Admin, CountsCache
from tavelmoor.webhooks.config import Secrets, configure_logging, read_secrets
from tavelmoor.webhooks.graph_api import GraphApiClient
from tavelmoor.webhooks.metrics import Metrics
from tavelmoor.webhooks.payloads import Account, read_accounts
from tavelmoor.webhooks.pipeline import Backoff, Pipeline
from tavelmoor.webhooks.receiver import WEBHOOK_PATH, AccessLogger, Receiver
from tavelmoor.webhooks.stand_in import RunningStandIn, StandIn, load_posts
from tavelmoor.webhooks.store.sqlite import SqliteStore

log = logging.getLogger("tavelmoor.webhooks.service")


async def _start_site(app: web.Application, host: str, port: int, **options: Any) -> tuple[web.AppRunner, str]:
    runner = web.AppRunner(app, handle_signals=False, **options)
    await runner.setup()
    try:
        await web.TCPSite(runner, host, port).start()
    except BaseException:
        await runner.cleanup()
        raise
    address, bound_port = runner.addresses[0][:2]
    return runner, f"http://{address}:{bound_port}"


async def serve(args: argparse.Namespace, secrets: Secrets, accounts: dict[str, Account],
                posts: dict[str, Any] | None) -> int:
    """Runs until SIGTERM or SIGINT, then stops cleanly and returns 0."""
    store = SqliteStore.open(args.database, synchronous=args.synchronous, busy_timeout=args.busy_timeout)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, stop.set)
    metrics = Metrics()
    pipeline: Pipeline | None = None
    state = "recovering"

    def status() -> dict[str, Any]:
        workers = pipeline.status() if pipeline is not None else {"live": 0, "busy": 0, "paused": False,
                                                                  "pause_reason": None}
        return {"workers": workers, "state": state}

    receiver = Receiver(store, secrets, metrics, lambda: pipeline.wake() if pipeline else None)
    admin = Admin(CountsCache(store), metrics, status)
    runners: list[web.AppRunner] = []
    try:
        runner, admin_url = await _start_site(admin.app(), args.admin_host, args.admin_port, access_log=None)
        runners.append(runner)
        runner, url = await _start_site(receiver.app(), args.host, args.port, access_log_class=AccessLogger,
                                        access_log=logging.getLogger("tavelmoor.webhooks.access"),
                                        shutdown_timeout=args.drain_timeout)
        runners.append(runner)
        print(f"listening on {url}{WEBHOOK_PATH}\nadmin on {admin_url}", flush=True)
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
            pipeline = Pipeline(store, client, access_token, accounts, metrics, concurrency=args.concurrency,
                                max_attempts=args.max_attempts, backoff=Backoff(base=args.retry_base),
                                lease=args.lease, max_work=args.lease + 2 * args.timeout)
            pipeline.start()
            state = "ready"
            log.info("ready: %d workers", args.concurrency)
            try:
                await stop.wait()
            finally:
                log.info("stopping: no new connections; deliveries being received are committed first")
                state = "draining"
                # Stops listening, then waits (up to the drain timeout) for requests in progress.
                await runners.pop().cleanup()
                await pipeline.stop(args.drain_timeout)
    finally:
        for runner in reversed(runners):
            await runner.cleanup()
        for signum in (signal.SIGTERM, signal.SIGINT):
            loop.remove_signal_handler(signum)
        await store.close()
    log.info("stopped")
    return 0


def run_serve(args: argparse.Namespace) -> int:
    accounts = read_accounts(args.settings)
    posts = None if args.graph_api_url else load_posts(args.posts)
    secrets = read_secrets(needs_access_token=posts is None)
    configure_logging(args.log_level, secrets.values())
    # extracting_common_details reads the clock through datetime.utcnow(), deprecated on 3.13; once a
    # process is enough to know that.
    warnings.filterwarnings("ignore", "datetime.datetime.utcnow", DeprecationWarning)
    # The event loop and the store's writer thread hand batches to each other all the time; a shorter
    # switch interval than the default 5 ms lets the writer get the GIL sooner (a few percent more events/s).
    sys.setswitchinterval(0.0005)
    return asyncio.run(serve(args, secrets, accounts, posts))
