"""The admin endpoints, on a port of their own: `/healthz` (JSON) and `/metrics` (Prometheus text format).

Counting a large table takes a while, so both read the store's counts through a cache at most `max_age` old;
callers that come while it is refreshed share the one refresh.

`/healthz` answers 200 only while the service is ready, the store can take writes and the last write did not
fail; otherwise 503, with the reason in the answer.
"""
import asyncio
import contextlib
import dataclasses
from collections.abc import Callable
from typing import Any

from aiohttp import web
from prometheus_client import CONTENT_TYPE_LATEST

from tavelmoor.webhooks.health import Health, describe
from tavelmoor.webhooks.metrics import Metrics
from tavelmoor.webhooks.store import Counts, Store

# Seconds /healthz waits for the counts before it answers without them.
COUNTS_WAIT = 1.0


class CountsCache:
    def __init__(self, store: Store, max_age: float = 1.0) -> None:
        self._store = store
        self._max_age = max_age
        self._value: Counts | None = None
        self._taken_at = 0.0
        self._refresh: asyncio.Future[Counts] | None = None

    async def get(self) -> Counts:
        loop = asyncio.get_running_loop()
        if self._value is not None and loop.time() - self._taken_at < self._max_age:
            return self._value
        if self._refresh is None:
            self._refresh = asyncio.ensure_future(self._count())
        return await asyncio.shield(self._refresh)

    async def _count(self) -> Counts:
        try:
            started = asyncio.get_running_loop().time()
            self._value = await self._store.counts()
            self._taken_at = started
            return self._value
        finally:
            self._refresh = None


class Admin:
    """`status` gives the service's own part of the health answer: its state, and its workers."""

    def __init__(self, counts: CountsCache, metrics: Metrics, store: Store, health: Health,
                 status: Callable[[], dict[str, Any]]) -> None:
        self._counts = counts
        self._metrics = metrics
        self._store = store
        self._health = health
        self._status = status

    def app(self) -> web.Application:
        app = web.Application()
        app.router.add_get("/healthz", self.health)
        app.router.add_get("/metrics", self.metrics)
        return app

    async def health(self, request: web.Request) -> web.Response:
        store = self._store.health()
        status: dict[str, Any] = {**self._status(), "store": {
            "writable": store.writable, "problem": store.problem, "failing": self._health.failing,
            "last_failure": self._health.last_failure}}
        ready = status["state"] == "ready" and store.writable and not self._health.failing
        try:
            # A database that cannot be reached would keep the answer for as long as its pool waits.
            async with asyncio.timeout(COUNTS_WAIT):
                status.update(dataclasses.asdict(await self._counts.get()))
        except TimeoutError:
            status["store"]["counts"] = f"not counted within {COUNTS_WAIT:g} s"
            ready = False
        except Exception as error:
            status["store"]["counts"] = describe(error)
            ready = False
        return web.json_response(status, status=200 if ready else 503)

    async def metrics(self, request: web.Request) -> web.Response:
        with contextlib.suppress(Exception):
            self._metrics.set_counts(await self._counts.get())
        return web.Response(body=self._metrics.render(), headers={"Content-Type": CONTENT_TYPE_LATEST})
