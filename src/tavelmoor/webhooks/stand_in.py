"""A local stand-in for the Graph API: serves bundled posts by id on 127.0.0.1.

It answers as the Graph API does for a media node, with Graph-style error
bodies, and refuses any field selection other than the one the client is
expected to send, so a change in what is asked for shows up as a failure.
"""
import argparse
import asyncio
import json
import secrets
import time
from collections.abc import Mapping
from dataclasses import dataclass
from importlib.resources.abc import Traversable
from typing import Any

from aiohttp import web

# The selection tavelmoor's process_parent_post sends for a parent post.
PARENT_POST_FIELDS = (
    "permalink,id,caption,comments_count,like_count,media_type,media_url,"
    "owner{name,username,ig_id,id,followers_count,follows_count,media_count,biography,profile_picture_url,website},"
    "ig_id,username,shortcode,thumbnail_url,media_product_type,is_comment_enabled,timestamp,"
    "children{media_type,media_url,thumbnail_url}"
)


# Ids that differ from a bundled post's id only by a multiple of this name copies of that post, so that a
# run can send the bundled events many times over as distinct events whose posts are all served.
FRESH_ID_STEP = 10 ** 17


def _graph_error(status: int, message: str, code: int, *, headers: Mapping[str, str] | None = None,
                 transient: bool | None = None) -> web.Response:
    error: dict[str, Any] = {"message": message,
                             "type": "OAuthException" if status == 401 else "GraphMethodException", "code": code}
    if transient is not None:
        error["is_transient"] = transient
    return web.json_response({"error": error}, status=status, headers=headers)


@dataclass
class Fault:
    """An error answer for the next `times` requests for one post."""
    status: int
    code: int
    retry_after: str | None = None
    times: int = 1

    def response(self) -> web.Response:
        headers = {"Retry-After": self.retry_after} if self.retry_after is not None else None
        message = {429: "Too many calls.", 503: "Service temporarily unavailable."}.get(
            self.status, "Application request limit reached.")
        return _graph_error(self.status, message, self.code, headers=headers, transient=self.status >= 500)


class StandIn:
    """The stand-in's state: its posts, its token, and what it has seen."""

    def __init__(self, posts: Mapping[str, Any], *, access_token: str | None = None,
                 latency: float = 0.0, fields: str = PARENT_POST_FIELDS) -> None:
        self.posts = posts
        self.access_token = access_token or secrets.token_urlsafe(16)
        self.latency = latency
        self.fields = fields
        self.requests = 0
        self.in_flight = 0
        self.peak_in_flight = 0
        self.faults: dict[str, list[Fault]] = {}
        # When each request for a post with faults came, for checking how a client spaced its retries.
        self.request_times: dict[str, list[float]] = {}

    def fail(self, post_id: str, status: int, *, code: int | None = None, retry_after: str | None = None,
             times: int = 1) -> None:
        """Answers the next `times` requests for `post_id` with an error: 429, 503, or with `code`
        4, 17, 32 or 613 the Graph API's throttling error (HTTP 400 unless `status` says otherwise)."""
        default_code = {429: 4, 503: 2}.get(status, 100)
        self.faults.setdefault(post_id, []).append(Fault(status, code or default_code, retry_after, times))

    def _fault(self, post_id: str) -> Fault | None:
        queued = self.faults.get(post_id)
        if not queued:
            return None
        fault = queued[0]
        fault.times -= 1
        if fault.times <= 0:
            queued.pop(0)
        return fault

    async def _media(self, request: web.Request) -> web.Response:
        self.requests += 1
        self.in_flight += 1
        self.peak_in_flight = max(self.peak_in_flight, self.in_flight)
        try:
            if self.latency:
                await asyncio.sleep(self.latency)
            return self._answer(request)
        finally:
            self.in_flight -= 1

    def _answer(self, request: web.Request) -> web.Response:
        if request.query.get("access_token") != self.access_token:
            return _graph_error(401, "Invalid OAuth access token.", 190)
        fields = request.query.get("fields")
        if fields != self.fields:
            return _graph_error(400, f"Unexpected field selection: {fields!r}", 100)
        post_id = request.match_info["node_id"]
        if post_id in self.faults:
            self.request_times.setdefault(post_id, []).append(time.monotonic())
        fault = self._fault(post_id)
        if fault is not None:
            return fault.response()
        post = self._post(post_id)
        if post is None:
            return _graph_error(404, f"Object with ID '{post_id}' does not exist.", 100)
        return web.Response(text=json.dumps(post), content_type="application/json")

    def _post(self, post_id: str) -> Any:
        post = self.posts.get(post_id)
        if post is not None or not (post_id.isascii() and post_id.isdigit()) or int(post_id) < FRESH_ID_STEP:
            return post
        post = self.posts.get(str(int(post_id) % FRESH_ID_STEP))
        return None if post is None else {**post, "id": post_id}

    def app(self) -> web.Application:
        app = web.Application()
        app.router.add_get("/{version}/{node_id}", self._media)
        return app


class RunningStandIn:
    """The stand-in served on a free port of 127.0.0.1 for as long as the context lasts."""

    def __init__(self, stand_in: StandIn, port: int = 0) -> None:
        self.stand_in = stand_in
        self._port = port
        # Answers still pending at exit (the client gave up on them) are not waited for long.
        self._runner = web.AppRunner(stand_in.app(), access_log=None, shutdown_timeout=0.5)
        self.base_url = ""

    async def __aenter__(self) -> "RunningStandIn":
        await self._runner.setup()
        site = web.TCPSite(self._runner, "127.0.0.1", self._port)
        await site.start()
        host, port = self._runner.addresses[0][:2]
        self.base_url = f"http://{host}:{port}/v21.0"
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self._runner.cleanup()


def load_posts(path: Traversable) -> dict[str, Any]:
    posts = json.loads(path.read_text(encoding="utf-8"))
    if not isinstance(posts, dict):
        raise ValueError(f"{path}: expected an object of posts by id")
    return posts


def run_stand_in(args: argparse.Namespace) -> int:
    """`stand-in`: serves the posts on its own until interrupted, after printing its base URL and token."""
    stand_in = StandIn(load_posts(args.posts), access_token=args.access_token, latency=args.latency)
    for post_id, status, code, retry_after, times in args.fail:
        stand_in.fail(post_id, status, code=code, retry_after=retry_after, times=times)

    async def serve() -> None:
        async with RunningStandIn(stand_in, args.port) as running:
            print(running.base_url, stand_in.access_token, flush=True)
            await asyncio.Event().wait()
    try:
        asyncio.run(serve())
    except KeyboardInterrupt:
        pass
    return 0
