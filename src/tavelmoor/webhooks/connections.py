"""The service's listening sockets: aiohttp serves the requests, and this module decides which connections it gets.

- At most `max_connections` are open at once. One more is answered 503 and closed at once, so that it holds a
  descriptor for a moment, not for as long as its client likes.
- A new connection must bring its first request's headers within `header_timeout` seconds; between requests,
  aiohttp's own keep-alive timeout applies (which also bounds a slow second request's headers).
- The process's descriptor limit is raised to its hard limit at start, and the caps are kept below it, so that
  accept() does not run out; should it fail anyway, the failure is logged once per interval, not once per try.
- A malformed request is one line at WARNING, not a traceback at ERROR.
"""
import asyncio
import logging
import math
import resource
from collections.abc import Awaitable, Callable
from dataclasses import dataclass
from typing import Any

from aiohttp import web
from aiohttp.http_exceptions import HttpProcessingError

log = logging.getLogger("tavelmoor.webhooks.connections")

_REFUSED_TEXT = b"too many connections; try again\r\n"
REFUSED = (b"HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nRetry-After: 5\r\nConnection: close\r\n"
           b"Content-Length: %d\r\n\r\n%s" % (len(_REFUSED_TEXT), _REFUSED_TEXT))
ACCEPT_ERROR = "socket.accept() out of system resource"
ACCEPT_ERROR_LOG_INTERVAL = 10.0
# aiohttp buffers about twice this of a body nobody reads yet before it stops reading the socket; its default
# (64 KiB) made a thousand stalled bodies hold three times the memory.
READ_BUFFER_BYTES = 1 << 14
# What an unlimited descriptor limit is taken for (the kernel's usual ceiling).
UNLIMITED_DESCRIPTORS = 1 << 20


@dataclass(frozen=True)
class ConnectionLimits:
    max_connections: int = 1000
    header_timeout: float = 10.0
    keepalive_timeout: float = 75.0


class _Refused(asyncio.Protocol):
    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        assert isinstance(transport, asyncio.Transport)
        transport.write(REFUSED)
        transport.close()


class ConnectionGuard:
    """The listening socket's protocol factory, in front of aiohttp's `web.Server`."""

    def __init__(self, limits: ConnectionLimits, on_refused: Callable[[], None]) -> None:
        self.server: web.Server | None = None
        self._limits = limits
        self._on_refused = on_refused
        # New connections by their aiohttp handler, with the timer that closes them if no request comes.
        self._first_request: dict[web.RequestHandler, asyncio.TimerHandle] = {}

        @web.middleware
        async def request_started(request: web.Request,
                                  handler: Callable[[web.Request], Awaitable[web.StreamResponse]]
                                  ) -> web.StreamResponse:
            timer = self._first_request.pop(request.protocol, None)
            if timer is not None:
                timer.cancel()
            return await handler(request)
        self.middleware = request_started

    def __call__(self) -> asyncio.BaseProtocol:
        assert self.server is not None
        if len(self.server.connections) >= self._limits.max_connections:
            self._on_refused()
            return _Refused()
        handler = self.server()
        self._first_request[handler] = asyncio.get_running_loop().call_later(
            self._limits.header_timeout, self._no_request, handler)
        return handler

    def _no_request(self, handler: web.RequestHandler) -> None:
        if self._first_request.pop(handler, None) is not None:
            handler.force_close()


class ServerLog(logging.LoggerAdapter):  # type: ignore[type-arg]
    """aiohttp's server logger, with a malformed request on one WARNING line instead of a traceback at ERROR."""

    def log(self, level: int, msg: object, *args: object, exc_info: Any = None, **kwargs: Any) -> None:
        if isinstance(exc_info, HttpProcessingError):
            self.logger.log(min(level, logging.WARNING), "malformed request (%s): %s",
                            str(msg) % args if args else msg, exc_info.message, **kwargs)
            return
        super().log(level, msg, *args, exc_info=exc_info, **kwargs)


class Listener:
    """One app served on one listening socket."""

    def __init__(self, runner: web.AppRunner, server: asyncio.Server) -> None:
        self._runner = runner
        self._server = server
        host, port = server.sockets[0].getsockname()[:2]
        self.url = f"http://{host}:{port}"

    async def close(self) -> None:
        """Stops listening, lets requests in progress finish (up to the runner's shutdown timeout), and closes
        every connection; the caller bounds the whole."""
        self._server.close()
        await self._runner.cleanup()


async def listen(app: web.Application, host: str, port: int, limits: ConnectionLimits,
                 on_refused: Callable[[], None] = lambda: None, **runner_options: Any) -> Listener:
    guard = ConnectionGuard(limits, on_refused)
    app.middlewares.append(guard.middleware)
    # No lingering: a request refused before its body was read is closed at once, not drained for seconds.
    runner = web.AppRunner(app, handle_signals=False, keepalive_timeout=limits.keepalive_timeout, lingering_time=0,
                           read_bufsize=READ_BUFFER_BYTES, logger=ServerLog(logging.getLogger("aiohttp.server")),
                           **runner_options)
    await runner.setup()
    guard.server = runner.server
    try:
        server = await asyncio.get_running_loop().create_server(guard, host, port, backlog=128)
    except BaseException:
        await runner.cleanup()
        raise
    return Listener(runner, server)


def raise_descriptor_limit() -> int:
    """Raises this process's limit on open descriptors to its hard limit; returns the limit in force."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    unlimited = resource.RLIM_INFINITY
    target = UNLIMITED_DESCRIPTORS if hard == unlimited else hard
    if soft == unlimited or soft >= target:
        return target
    try:
        resource.setrlimit(resource.RLIMIT_NOFILE, (target, hard))
    except (ValueError, OSError) as error:
        log.warning("could not raise the limit on open descriptors from %d to %d: %s", soft, target, error)
        return soft
    return target


class LoopErrors:
    """The event loop's exception handler: accept() out of descriptors or memory is logged once per interval, with
    the count of the others; everything else as asyncio logs it."""

    def __init__(self, interval: float = ACCEPT_ERROR_LOG_INTERVAL) -> None:
        self._interval = interval
        self._logged_at = -math.inf
        self._since = 0

    def __call__(self, loop: asyncio.AbstractEventLoop, context: dict[str, Any]) -> None:
        if context.get("message") != ACCEPT_ERROR:
            loop.default_exception_handler(context)
            return
        now = loop.time()
        if now - self._logged_at < self._interval:
            self._since += 1
            return
        log.error("cannot accept connections: %s (%d more times since the last report)", context.get("exception"),
                  self._since)
        self._logged_at, self._since = now, 0
