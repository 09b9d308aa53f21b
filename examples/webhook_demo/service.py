"""`serve`: the receiver, the inbox and the pipeline in one process, from start to a clean stop."""
import argparse
import asyncio
import contextlib
import logging
import os
import signal
import sys
import warnings
from pathlib import Path
from typing import Any

import aiohttp
from aiohttp import web

from webhook_demo.graph_api import GraphApiClient
from webhook_demo.inbox import Inbox
from webhook_demo.payloads import Account
from webhook_demo.pipeline import Backoff, Pipeline
from webhook_demo.receiver import WEBHOOK_PATH, AccessLogger, Receiver, Secrets
from webhook_demo.stand_in import RunningStandIn, StandIn

log = logging.getLogger("webhook_demo.service")

APP_SECRET_VARIABLE = "INSTAGRAM_APP_SECRET"
VERIFY_TOKEN_VARIABLE = "INSTAGRAM_VERIFY_TOKEN"
ACCESS_TOKEN_VARIABLE = "GRAPH_API_ACCESS_TOKEN"


class ConfigError(Exception):
    """The service cannot start as configured; the message says why."""


def secret(name: str, *, required: bool = True) -> str | None:
    """`$NAME`, or the content of the file named by `$NAME_FILE` (one trailing newline dropped)."""
    value = os.environ.get(name)
    path = os.environ.get(f"{name}_FILE")
    if value and path:
        raise ConfigError(f"set ${name} or ${name}_FILE, not both")
    if path:
        try:
            value = Path(path).read_text(encoding="utf-8").removesuffix("\n")
        except (OSError, UnicodeDecodeError) as error:
            raise ConfigError(f"${name}_FILE: cannot read {path}: {error}") from None
    if required and not value:
        raise ConfigError(f"set ${name}, or ${name}_FILE to a file that holds it")
    return value or None


def read_secrets(needs_access_token: bool) -> Secrets:
    app_secret = secret(APP_SECRET_VARIABLE)
    verify_token = secret(VERIFY_TOKEN_VARIABLE)
    assert app_secret is not None and verify_token is not None
    return Secrets(app_secret.encode("utf-8"), verify_token,
                   secret(ACCESS_TOKEN_VARIABLE, required=needs_access_token))


class RedactingFormatter(logging.Formatter):
    """Replaces every secret in a finished log line, tracebacks included, as a last line of defence."""

    def __init__(self, secrets: list[str]) -> None:
        super().__init__("%(asctime)s %(levelname)s %(name)s: %(message)s")
        self._secrets = sorted(secrets, key=len, reverse=True)

    def format(self, record: logging.LogRecord) -> str:
        text = super().format(record)
        for value in self._secrets:
            text = text.replace(value, "[redacted]")
        return text


def configure_logging(level: str, secrets: list[str]) -> None:
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(RedactingFormatter(secrets))
    root = logging.getLogger()
    root.handlers[:] = [handler]
    root.setLevel(level)
    # aiohttp's own access logger is replaced by the receiver's; its server errors stay at WARNING and up.
    logging.getLogger("aiohttp").setLevel(max(logging.getLevelName(level), logging.WARNING))


async def _status(inbox: Inbox, pipeline: Pipeline | None) -> dict[str, Any]:
    status: dict[str, Any] = await inbox.counts()
    status["workers"] = pipeline.status() if pipeline is not None else {"live": 0, "paused": False,
                                                                         "pause_reason": None}
    return status


async def serve(args: argparse.Namespace, secrets: Secrets, accounts: dict[str, Account],
                posts: dict[str, Any] | None) -> int:
    """Runs until SIGTERM or SIGINT, then stops cleanly and returns 0."""
    inbox = Inbox.open(args.database, synchronous=args.synchronous, busy_timeout=args.busy_timeout)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, stop.set)
    pipeline: Pipeline | None = None
    receiver = Receiver(inbox, secrets, lambda: pipeline.wake() if pipeline else None,
                        lambda: _status(inbox, pipeline))
    runner = web.AppRunner(receiver.app(), access_log_class=AccessLogger,
                           access_log=logging.getLogger("webhook_demo.access"),
                           handle_signals=False, shutdown_timeout=args.drain_timeout)
    try:
        await runner.setup()
        site = web.TCPSite(runner, args.host, args.port)
        await site.start()
        host, port = runner.addresses[0][:2]
        print(f"listening on http://{host}:{port}{WEBHOOK_PATH}", flush=True)
        recovered = await inbox.recover()
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
            client = GraphApiClient(session, base_url, timeout=args.timeout)
            pipeline = Pipeline(inbox, client, access_token, accounts, concurrency=args.concurrency,
                                max_attempts=args.max_attempts, backoff=Backoff(base=args.retry_base))
            pipeline.start()
            receiver.state = "ready"
            log.info("ready: %d workers", args.concurrency)
            try:
                await stop.wait()
            finally:
                log.info("stopping: no new connections; deliveries being received are committed first")
                receiver.state = "draining"
                # Stops listening, then waits (up to the drain timeout) for requests in progress.
                await runner.cleanup()
                await pipeline.stop(args.drain_timeout)
    finally:
        if runner.server is not None:
            await runner.cleanup()
        for signum in (signal.SIGTERM, signal.SIGINT):
            loop.remove_signal_handler(signum)
        inbox.close()
    log.info("stopped")
    return 0


def run_serve(args: argparse.Namespace, accounts: dict[str, Account], posts: dict[str, Any] | None) -> int:
    secrets = read_secrets(needs_access_token=posts is None)
    configure_logging(args.log_level, secrets.values())
    # extracting_common_details reads the clock through datetime.utcnow(), deprecated on 3.13; once a
    # process is enough to know that.
    warnings.filterwarnings("ignore", "datetime.datetime.utcnow", DeprecationWarning)
    # The event loop and the inbox's writer thread hand batches to each other all the time; a shorter
    # switch interval than the default 5 ms lets the writer get the GIL sooner (a few percent more events/s).
    sys.setswitchinterval(0.0005)
    return asyncio.run(serve(args, secrets, accounts, posts))
