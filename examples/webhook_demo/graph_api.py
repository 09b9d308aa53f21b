"""A small Graph API client on aiohttp, shaped as tavelmoor's process_parent_post expects."""
import asyncio
import json
from urllib.parse import quote

import aiohttp

# A post answer is a few kilobytes; anything far larger is not a post.
MAX_ANSWER_BYTES = 1 << 20


class GraphApiError(Exception):
    """A request the Graph API did not answer with a usable post.

    `fatal` marks failures that every other request would meet too (the server
    cannot be reached, the token is refused), so a run stops instead of repeating them.
    """

    def __init__(self, message: str, *, status: int | None = None, fatal: bool = False) -> None:
        super().__init__(message)
        self.status = status
        self.fatal = fatal


# The Graph API's error code for an access token it does not accept (sent with HTTP 400 or 401).
INVALID_TOKEN_CODE = 190


def _error_details(body: str) -> tuple[str, object]:
    # Graph API errors come as {"error": {"message": ..., "code": ...}}.
    try:
        error = json.loads(body)["error"]
        return f"{error['message']} (code {error.get('code', '?')})", error.get("code")
    except (ValueError, KeyError, TypeError):
        return body.strip()[:200] or "no details given", None


class GraphApiClient:
    def __init__(self, session: aiohttp.ClientSession, base_url: str, *, timeout: float = 10.0) -> None:
        self._session = session
        self._base_url = base_url.rstrip("/")
        self._timeout = aiohttp.ClientTimeout(total=timeout)

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
                body = bytearray()
                async for chunk in response.content.iter_chunked(1 << 16):
                    body += chunk
                    if len(body) > MAX_ANSWER_BYTES:
                        break
        except asyncio.TimeoutError:
            raise GraphApiError(f"no answer within {self._timeout.total:g} s") from None
        except aiohttp.ClientConnectorError as error:
            raise GraphApiError(f"cannot reach the Graph API at {self._base_url}: {error.os_error}",
                                fatal=True) from None
        except aiohttp.ClientError as error:
            raise GraphApiError(f"request failed: {error}") from None
        if len(body) > MAX_ANSWER_BYTES:
            raise GraphApiError(f"answer larger than {MAX_ANSWER_BYTES} bytes", status=status)
        text = body.decode("utf-8", errors="replace")
        if status >= 400:
            message, code = _error_details(text)
            raise GraphApiError(f"HTTP {status}: {message}", status=status,
                                fatal=status == 401 or code == INVALID_TOKEN_CODE)
        return text
