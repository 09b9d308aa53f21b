"""A small Graph API client on aiohttp, shaped as tavelmoor's process_parent_post expects."""
import asyncio
import email.utils
import json
import time
from collections.abc import Callable
from urllib.parse import quote

import aiohttp

from tavelmoor.webhooks.config import Redactor

# A post answer is a few kilobytes; anything far larger is not a post.
MAX_ANSWER_BYTES = 1 << 20


# The Graph API's error code for an access token it does not accept (sent with HTTP 400 or 401).
INVALID_TOKEN_CODE = 190
# Its codes for rate limits: application, user, page/account, and API-level throttling.
THROTTLING_CODES = frozenset({4, 17, 32, 613})


class GraphApiError(Exception):
    """A request the Graph API did not answer with a usable post.

    It keeps what the answer said (status, Graph error code and subcode, `is_transient`,
    `Retry-After` in seconds) so that the caller can decide whether to try again.
    `fatal` marks failures that every other request would meet too (the server
    cannot be reached, the token is refused), so a batch run stops instead of repeating them.
    `transport` marks a request that got no answer at all (a timeout, a refused or broken connection).
    """

    def __init__(self, message: str, *, status: int | None = None, code: int | None = None,
                 subcode: int | None = None, transient: bool = False, retry_after: float | None = None,
                 fatal: bool = False, transport: bool = False) -> None:
        super().__init__(message)
        self.status = status
        self.code = code
        self.subcode = subcode
        self.transient = transient
        self.retry_after = retry_after
        self.fatal = fatal
        self.transport = transport

    @property
    def unavailable(self) -> bool:
        """No answer, or a server fault: what an outage looks like from here."""
        return self.transport or (self.status is not None and self.status >= 500)

    @property
    def token_refused(self) -> bool:
        return self.status == 401 or self.code == INVALID_TOKEN_CODE

    @property
    def throttled(self) -> bool:
        return self.status == 429 or self.code in THROTTLING_CODES

    @property
    def retryable(self) -> bool:
        """Worth another try later: no answer, throttling, a server fault, or one the API calls transient."""
        if self.token_refused:
            return False
        return (self.status is None or self.status >= 500 or self.throttled or self.transient)


def _int_or_none(value: object) -> int | None:
    return value if isinstance(value, int) and not isinstance(value, bool) else None


def _error_details(body: str) -> tuple[str, int | None, int | None, bool]:
    # Graph API errors come as {"error": {"message": ..., "code": ..., "error_subcode": ..., "is_transient": ...}}.
    try:
        error = json.loads(body)["error"]
        code = _int_or_none(error.get("code"))
        return (f"{error['message']} (code {error.get('code', '?')})", code,
                _int_or_none(error.get("error_subcode")), error.get("is_transient") is True)
    except (ValueError, KeyError, TypeError, AttributeError):
        return body.strip()[:200] or "no details given", None, None, False


def retry_after_seconds(value: str | None, now: float | None = None) -> float | None:
    """The delay a Retry-After header asks for: seconds, or an HTTP date."""
    if value is None:
        return None
    value = value.strip()
    if value.isascii() and value.isdigit():
        return float(value)
    try:
        when = email.utils.parsedate_to_datetime(value)
    except (TypeError, ValueError):
        return None
    if when.tzinfo is None:
        return None
    return max(0.0, when.timestamp() - (time.time() if now is None else now))


class GraphApiClient:
    """`on_answer(status, code)` hears of every request: the HTTP status (None: no answer) and the error code."""

    def __init__(self, session: aiohttp.ClientSession, base_url: str, *, timeout: float = 10.0,
                 on_answer: Callable[[int | None, int | None], None] | None = None) -> None:
        self._session = session
        self._base_url = base_url.rstrip("/")
        self._timeout = aiohttp.ClientTimeout(total=timeout)
        self._on_answer = on_answer or (lambda status, code: None)

    @property
    def base_url(self) -> str:
        return self._base_url

    async def fetch_instagram_data(self, endpoint: str, access_token: str, fields: str) -> str:
        """GETs one Graph API node and returns the answer's text.

        The endpoint comes from webhook payloads, so it is quoted as a single path
        segment: an id such as "../me" must not reach another node. The token goes
        in the query as the Graph API expects, and never into an error message.
        """
        url = f"{self._base_url}/{quote(str(endpoint), safe='')}"
        params = {"fields": fields, "access_token": access_token}
        try:
            async with self._session.get(url, params=params, timeout=self._timeout) as response:
                status = response.status
                retry_after = retry_after_seconds(response.headers.get("Retry-After"))
                body = bytearray()
                async for chunk in response.content.iter_chunked(1 << 16):
                    body += chunk
                    if len(body) > MAX_ANSWER_BYTES:
                        break
        except asyncio.TimeoutError:
            self._on_answer(None, None)
            raise GraphApiError(f"no answer within {self._timeout.total:g} s", transport=True) from None
        except aiohttp.ClientConnectorError as error:
            self._on_answer(None, None)
            raise GraphApiError(f"cannot reach the Graph API at {self._base_url}: {error.os_error}",
                                fatal=True, transport=True) from None
        except aiohttp.ClientError as error:
            # The text of some client errors holds the request URL, and so the token.
            self._on_answer(None, None)
            raise GraphApiError(f"request failed: {type(error).__name__}", transport=True) from None
        if len(body) > MAX_ANSWER_BYTES:
            self._on_answer(status, None)
            raise GraphApiError(f"answer larger than {MAX_ANSWER_BYTES} bytes", status=status)
        text = body.decode("utf-8", errors="replace")
        if status >= 400:
            message, code, subcode, transient = _error_details(text)
            # An error page may echo the request's URL, and so the token: the message becomes a stored reason.
            message = Redactor([access_token])(message)
            self._on_answer(status, code)
            raise GraphApiError(f"HTTP {status}: {message}", status=status, code=code, subcode=subcode,
                                transient=transient, retry_after=retry_after,
                                fatal=status == 401 or code == INVALID_TOKEN_CODE)
        self._on_answer(status, None)
        return text
