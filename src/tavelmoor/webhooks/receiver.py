"""The public HTTP side: the verification handshake and signed deliveries.

A delivery is answered 200 only once it is committed, so the platform's retry covers every failure before
that point: a body that cannot be kept is answered 503. The receiver never waits for the Graph API.

What the headers can tell is decided before a byte of the body is read: a missing or malformed signature, a
declared length over the limit (an `Expect: 100-continue` too). Such a refusal closes the connection at once.
A body must arrive within `body_timeout` seconds; one over `SMALL_BODY_BYTES` (or of unknown length) first
waits for one of `bodies_at_once` reading slots, so that stalled large bodies hold a bounded amount of memory,
while the platform's small deliveries never wait behind them. The commit has a deadline too.
"""
import asyncio
import hmac
import logging
from collections.abc import Callable
from dataclasses import dataclass

from aiohttp import HttpVersion11, hdrs, web
from aiohttp.abc import AbstractAccessLogger

from tavelmoor.webhooks.config import Secrets
from tavelmoor.webhooks.health import Health, describe
from tavelmoor.webhooks.metrics import Metrics
from tavelmoor.webhooks.payloads import parse_delivery
from tavelmoor.webhooks.signature import SIGNATURE_HEADER, signature_matches, well_formed
from tavelmoor.webhooks.store import Store

WEBHOOK_PATH = "/webhooks/instagram"
# The platform's deliveries are small; a larger body is refused before more of it is read.
MAX_BODY_BYTES = 1 << 20
# Bodies up to this size are read without a slot: stalled, one holds about what aiohttp reads ahead of any body.
SMALL_BODY_BYTES = 1 << 16

log = logging.getLogger("tavelmoor.webhooks.receiver")


@dataclass(frozen=True)
class ReceiverLimits:
    body_timeout: float = 10.0
    commit_timeout: float = 5.0
    bodies_at_once: int = 64


class _Busy(Exception):
    """No reading slot came free before the body's deadline."""


class _TooLarge(Exception):
    pass


class AccessLogger(AbstractAccessLogger):
    """One line per request with the path alone, as sent (percent-encoded): the handshake's query carries the
    verify token, and a decoded path could carry a line break.

    Lines for answered requests are at DEBUG: at thousands of deliveries a second, formatting and writing
    them costs more than storing the deliveries. Refusals and failures are logged by the handlers anyway.
    """

    @property
    def enabled(self) -> bool:
        return self.logger.isEnabledFor(logging.DEBUG)

    def log(self, request: web.BaseRequest, response: web.StreamResponse, time: float) -> None:
        self.logger.debug("%s %s %s %s %.4f", request.remote, request.method, request.rel_url.raw_path,
                          response.status, time)


async def _read_limited(request: web.Request) -> bytes:
    """The body; raises _TooLarge once it passes MAX_BODY_BYTES (the rest is not read)."""
    if request.content_length is not None:
        # The length is known and allowed: one read, which stops at it.
        return await request.read()
    body = bytearray()
    async for chunk in request.content.iter_chunked(1 << 16):
        body += chunk
        if len(body) > MAX_BODY_BYTES:
            raise _TooLarge
    return bytes(body)


class Receiver:
    """The aiohttp application's handlers, over the store and a hook that wakes the workers."""

    def __init__(self, store: Store, secrets: Secrets, metrics: Metrics, health: Health,
                 on_stored: Callable[[], None], limits: ReceiverLimits = ReceiverLimits()) -> None:
        self._store = store
        self._secrets = secrets
        self._outcomes = metrics.delivery_outcome
        self._health = health
        self._on_stored = on_stored
        self._limits = limits
        self._reading = asyncio.Semaphore(limits.bodies_at_once)

    def app(self) -> web.Application:
        # The size limit of request.read() too, should anything call it.
        app = web.Application(client_max_size=MAX_BODY_BYTES)
        app.router.add_get(WEBHOOK_PATH, self.handshake)
        app.router.add_post(WEBHOOK_PATH, self.delivery, expect_handler=self.expect)
        return app

    async def handshake(self, request: web.Request) -> web.Response:
        query = request.query
        token = query.get("hub.verify_token", "").encode("utf-8", "surrogatepass")
        challenge = query.get("hub.challenge")
        if (query.get("hub.mode") != "subscribe" or challenge is None
                or not hmac.compare_digest(token, self._secrets.verify_token.encode("utf-8"))):
            log.warning("verification handshake refused")
            return web.Response(status=403, text="forbidden")
        log.info("verification handshake answered")
        return web.Response(text=challenge)

    def _refuse(self, outcome: str, status: int, text: str, why: str, retry_after: int | None = None
                ) -> web.Response:
        self._outcomes[outcome].inc()
        log.warning("delivery refused: %s", why)
        response = web.Response(status=status, text=text,
                                headers=None if retry_after is None else {"Retry-After": str(retry_after)})
        # The rest of the body stays unread, so the connection cannot carry another request.
        response.force_close()
        return response

    def _refusal(self, request: web.Request) -> web.Response | None:
        """The answer the headers alone decide, before any of the body is read."""
        header = request.headers.get(SIGNATURE_HEADER)
        if header is None:
            return self._refuse("401", 401, "signature missing", "no signature")
        if not well_formed(header):
            return self._refuse("403", 403, "signature does not match", "malformed signature")
        if request.content_length is not None and request.content_length > MAX_BODY_BYTES:
            return self._refuse("413", 413, "payload too large", f"body over {MAX_BODY_BYTES} bytes")
        return None

    async def expect(self, request: web.Request) -> web.StreamResponse | None:
        """`Expect: 100-continue`: refused from the headers, or told to send the body."""
        refusal = self._refusal(request)
        if refusal is not None:
            return refusal
        expectation = request.headers.get(hdrs.EXPECT, "")
        if expectation.lower() != "100-continue":
            raise web.HTTPExpectationFailed(text=f"unknown expectation {expectation!r}")
        if request.version == HttpVersion11 and request.transport is not None:
            request.transport.write(b"HTTP/1.1 100 Continue\r\n\r\n")
        return None

    async def _read(self, request: web.Request) -> bytes:
        """The body, within the body deadline; a large one waits for a reading slot first."""
        loop = asyncio.get_running_loop()
        deadline = loop.time() + self._limits.body_timeout
        length = request.content_length
        if length is not None and length <= SMALL_BODY_BYTES:
            if request.content.is_eof():
                return await request.read()     # all of it came with the headers, as most deliveries do
            async with asyncio.timeout_at(deadline):
                return await request.read()
        try:
            async with asyncio.timeout_at(deadline):
                await self._reading.acquire()
        except TimeoutError:
            raise _Busy from None
        try:
            async with asyncio.timeout_at(deadline):
                return await _read_limited(request)
        finally:
            self._reading.release()

    async def delivery(self, request: web.Request) -> web.Response:
        refusal = self._refusal(request)
        if refusal is not None:
            return refusal
        timeout = self._limits.body_timeout
        try:
            body = await self._read(request)
        except _TooLarge:
            return self._refuse("413", 413, "payload too large", f"body over {MAX_BODY_BYTES} bytes")
        except _Busy:
            return self._refuse("busy", 503, "too many deliveries being received; try again",
                                f"no room to read the body within {timeout:g} s", retry_after=5)
        except TimeoutError:
            return self._refuse("408", 408, "the body did not arrive in time", f"body not in within {timeout:g} s")
        except (web.RequestPayloadError, ConnectionError) as error:
            log.warning("delivery refused: the body could not be read: %s", error)
            response = web.Response(status=400, text="the body could not be read")
            response.force_close()
            return response
        if not signature_matches(self._secrets.app_secret, body, request.headers[SIGNATURE_HEADER]):
            return self._refuse("403", 403, "signature does not match", "signature does not match")
        events = parse_delivery(body)
        try:
            async with asyncio.timeout(self._limits.commit_timeout):
                accepted = await self._store.accept(body, events)
        except Exception as error:
            self._outcomes["503"].inc()
            self._health.write_failed(error)
            log.error("delivery not kept, answered 503: %s", describe(error))
            return web.Response(status=503, text="could not keep the delivery; try again",
                                headers={"Retry-After": "5"})
        self._health.written()
        if isinstance(events, str):
            self._outcomes["dead_letter"].inc()
            log.warning("dead letter: delivery=%d %s", accepted.delivery_id, events)
        else:
            self._outcomes["duplicate" if accepted.duplicates and not accepted.new_events else "stored"].inc()
            log.debug("delivery=%d stored: %d new events, %d duplicates", accepted.delivery_id,
                      accepted.new_events, accepted.duplicates)
            if accepted.new_events:
                self._on_stored()
        # Three integers: formatted directly, which is cheaper than json_response's encoder per delivery.
        return web.Response(text=f'{{"delivery": {accepted.delivery_id}, "new_events": {accepted.new_events}, '
                                 f'"duplicates": {accepted.duplicates}}}', content_type="application/json")
