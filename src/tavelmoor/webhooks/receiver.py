"""The public HTTP side: the verification handshake and signed deliveries.

A delivery is answered 200 only once it is committed, so the platform's retry covers every failure before
that point: a body that cannot be kept is answered 503. The receiver never waits for the Graph API.
"""
import hmac
import logging
from collections.abc import Callable

from aiohttp import web
from aiohttp.abc import AbstractAccessLogger

from tavelmoor.webhooks.config import Secrets
from tavelmoor.webhooks.metrics import Metrics
from tavelmoor.webhooks.payloads import parse_delivery
from tavelmoor.webhooks.signature import SIGNATURE_HEADER, signature_matches
from tavelmoor.webhooks.store import Store

WEBHOOK_PATH = "/webhooks/instagram"
# The platform's deliveries are small; a larger body is refused before more of it is read.
MAX_BODY_BYTES = 1 << 20

log = logging.getLogger("tavelmoor.webhooks.receiver")


class AccessLogger(AbstractAccessLogger):
    """One line per request with the path alone: the handshake's query carries the verify token.

    Lines for answered requests are at DEBUG: at thousands of deliveries a second, formatting and writing
    them costs more than storing the deliveries. Refusals and failures are logged by the handlers anyway.
    """

    @property
    def enabled(self) -> bool:
        return self.logger.isEnabledFor(logging.DEBUG)

    def log(self, request: web.BaseRequest, response: web.StreamResponse, time: float) -> None:
        self.logger.debug("%s %s %s %s %.4f", request.remote, request.method, request.path, response.status, time)


async def _read_limited(request: web.Request) -> bytes | None:
    """The body, or None once it passes MAX_BODY_BYTES (the rest is not read)."""
    if request.content_length is not None:
        if request.content_length > MAX_BODY_BYTES:
            return None
        # The length is known and allowed: one read, which stops at it.
        return await request.read()
    body = bytearray()
    async for chunk in request.content.iter_chunked(1 << 16):
        body += chunk
        if len(body) > MAX_BODY_BYTES:
            return None
    return bytes(body)


class Receiver:
    """The aiohttp application's handlers, over the store and a hook that wakes the workers."""

    def __init__(self, store: Store, secrets: Secrets, metrics: Metrics, on_stored: Callable[[], None]) -> None:
        self._store = store
        self._secrets = secrets
        self._metrics = metrics
        self._outcomes = metrics.delivery_outcome
        self._on_stored = on_stored

    def app(self) -> web.Application:
        # The size limit of request.read() too, should anything call it.
        app = web.Application(client_max_size=MAX_BODY_BYTES)
        app.router.add_get(WEBHOOK_PATH, self.handshake)
        app.router.add_post(WEBHOOK_PATH, self.delivery)
        return app

    async def handshake(self, request: web.Request) -> web.Response:
        query = request.query
        token = query.get("hub.verify_token", "").encode("utf-8")
        challenge = query.get("hub.challenge")
        if (query.get("hub.mode") != "subscribe" or challenge is None
                or not hmac.compare_digest(token, self._secrets.verify_token.encode("utf-8"))):
            log.warning("verification handshake refused")
            return web.Response(status=403, text="forbidden")
        log.info("verification handshake answered")
        return web.Response(text=challenge)

    async def delivery(self, request: web.Request) -> web.Response:
        body = await _read_limited(request)
        if body is None:
            self._outcomes["413"].inc()
            log.warning("delivery refused: body over %d bytes", MAX_BODY_BYTES)
            # The rest of the body was not read; the connection is not reused.
            return web.Response(status=413, text="payload too large", headers={"Connection": "close"})
        header = request.headers.get(SIGNATURE_HEADER)
        if header is None:
            self._outcomes["401"].inc()
            log.warning("delivery refused: no signature")
            return web.Response(status=401, text="signature missing")
        if not signature_matches(self._secrets.app_secret, body, header):
            self._outcomes["403"].inc()
            log.warning("delivery refused: signature does not match")
            return web.Response(status=403, text="signature does not match")
        events = parse_delivery(body)
        try:
            accepted = await self._store.accept(body, events)
        except Exception as error:
            self._outcomes["503"].inc()
            self._metrics.commit_failures.inc()
            log.error("delivery not kept, answered 503: %s", type(error).__name__)
            return web.Response(status=503, text="could not keep the delivery; try again",
                                headers={"Retry-After": "5"})
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
