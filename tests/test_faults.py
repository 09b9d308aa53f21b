"""The service under faults and attack: a full disk, a database gone from under it, hostile bodies and connections,
Graph API outages, a store that fails an outcome. `serve` runs in a child process, as in test_service."""
import asyncio
import concurrent.futures
import contextlib
import json
import os
import re
import resource
import sqlite3
import subprocess
import time
from urllib.parse import quote

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from test_service import (
    ACCESS_TOKEN, APP_SECRET, BUNDLED, DATA, Running, body_of, counts, fresh, health, post_bundled,
    run_with_stand_in, serve_command, service_env, sign, start_service, stored, until,
)

COMMENT = fresh(BUNDLED[0], 80)
NAN_POST = "17900000000000999"


@pytest.fixture(scope="module")
def service(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("faults")
    posts = json.loads((DATA / "posts.json").read_text(encoding="utf-8"))
    posts[NAN_POST] = {**posts["17900000000000101"], "id": NAN_POST, "like_count": float("nan")}
    (tmp / "posts.json").write_text(json.dumps(posts), encoding="utf-8")
    running = Running(tmp, "--posts", tmp / "posts.json")
    yield running
    assert running.stop() == 0


def healthz(running):
    status, body = running.request(f"{running.admin}/healthz")
    return status, json.loads(body)


def planted(place, value):
    """The comment delivery with `value` in one place."""
    delivery = json.loads(json.dumps(COMMENT))
    entry = delivery["entry"][0]
    change = entry["changes"][0]
    target, key = {"entry": (delivery, "entry"), "id": (entry, "id"), "time": (entry, "time"),
                   "changes": (entry, "changes"), "change": (entry["changes"], 0), "field": (change, "field"),
                   "value": (change, "value"), "text": (change["value"], "text"), "from": (change["value"], "from"),
                   "media": (change["value"]["media"], "id")}[place]
    target[key] = value
    return delivery


def assert_kept(running, body):
    before = counts(running.database)["deliveries"]
    status, answer = running.post(body)
    assert status == 200, answer
    assert json.loads(answer)["delivery"] == before + 1 == counts(running.database)["deliveries"]


JSON_VALUES = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(st.characters(exclude_categories=())),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=4), inner, max_size=3),
    max_leaves=6)


@settings(max_examples=60)
@given(place=st.sampled_from(["entry", "id", "time", "changes", "change", "field", "value", "text", "from", "media"]),
       value=JSON_VALUES)
@example("text", "\ud83d")
@example("field", "\ud83d\x00")
@example("time", 10 ** 4000)
def test_every_signed_delivery_is_kept_whatever_its_fields_hold(service, place, value):
    assert_kept(service, json.dumps(planted(place, value)).encode())


@settings(max_examples=60)
@given(st.binary(max_size=200))
@example(b"[" * 100_000)
@example(b'{"object": "instagram", "entry": [{"id": "1", "time": 1, "changes": [1]}]}')
def test_every_signed_body_is_kept_whatever_it_holds(service, body):
    assert_kept(service, body)


def test_stored_json_is_ascii_and_graph_api_nan_is_null(service):
    delivery = fresh(BUNDLED[0], 81)
    delivery["entry"][0]["changes"][0]["value"].update(text="\ud83d\x00 #ok", media={"id": NAN_POST})
    delivery["entry"][0]["changes"].append({"field": "\ud83d", "value": {}})
    assert service.post(json.dumps(delivery).encode())[0] == 200
    service.settle()
    records = [record for record in service.records() if record["post_id"] == NAN_POST]
    assert [(r["comment_text"], r["comment_hashtags"], r["post_like_count"]) for r in records] == [
        ("\ud83d\x00 #ok", "ok", None)]
    # Both commands print valid UTF-8 (stored() decodes strictly), the refused field escaped.
    assert any(failure.get("field") == "\\ud83d" for failure in service.records("--failed"))


@pytest.mark.parametrize("head, body, status", [
    ("Content-Length: 1000000", b"", 401),
    (f"X-Hub-Signature-256: sha256={'g' * 64}\r\nContent-Length: 1000000", b"", 403),
    (f"X-Hub-Signature-256: {sign(b'')}\r\nContent-Length: 2000000\r\nExpect: 100-continue", b"", 413),
    (f"X-Hub-Signature-256: {sign(b'')}\r\nContent-Length: {10 ** 12}", b"{" * (1 << 16), 413),
], ids=["unsigned", "malformed", "expect-too-large", "too-large-streamed"])
def test_refusals_from_the_headers_come_before_the_body_and_close_the_connection(service, head, body, status):
    async def scenario():
        reader, writer = await connect(service.url)
        writer.write(f"POST /webhooks/instagram HTTP/1.1\r\nHost: t\r\n{head}\r\n\r\n".encode())

        async def stream():
            with contextlib.suppress(ConnectionError):
                while body:     # a client that goes on sending: the service must not go on reading
                    writer.write(body)
                    await writer.drain()
        sender = asyncio.ensure_future(stream())
        answer, seconds = await read_until_closed(reader, 3)
        sender.cancel()
        writer.close()
        return answer, seconds
    answer, seconds = asyncio.run(scenario())
    # Closed at once means not reading on: a client still sending may get a reset instead of the answer.
    assert answer.startswith(f"HTTP/1.1 {status} ".encode()) or (body and not answer)
    assert b"100 Continue" not in answer and seconds is not None, "the connection was not closed"


async def connect(url):
    host, port = url.split("/")[2].split(":")
    return await asyncio.open_connection(host, int(port))


async def read_until_closed(reader, timeout):
    """What the service sent, and how long it took to close the connection (None: it did not within `timeout`)."""
    started, data = time.monotonic(), b""
    try:
        async with asyncio.timeout(timeout):
            while chunk := await reader.read(1 << 16):
                data += chunk
    except TimeoutError:
        return data, None
    except ConnectionError:
        pass
    return data, time.monotonic() - started


def test_held_connections_keep_no_delivery_out_and_close_at_their_timeouts(tmp_path):
    # Started with fewer descriptors than it will hold connections: it raises the limit to the hard one.
    def few_descriptors():
        resource.setrlimit(resource.RLIMIT_NOFILE, (256, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
    running = Running(tmp_path, "--header-timeout", "3", "--body-timeout", "4", "--keepalive-timeout", "5",
                      "--max-body-reads", "40", preexec_fn=few_descriptors)
    head = f"POST /webhooks/instagram HTTP/1.1\r\nHost: t\r\nX-Hub-Signature-256: {sign(b'')}\r\n"
    held = {"idle": (150, b"", 3), "slow header": (100, head.encode(), 3),
            "slow body": (80, f"{head}Content-Length: {1 << 20}\r\n\r\n".encode() + b"{" * 60_000, 4),
            "kept alive": (20, b"GET /webhooks/instagram HTTP/1.1\r\nHost: t\r\n\r\n", 5)}

    async def scenario():
        connections = []
        for kind, (count, data, _) in held.items():
            for _ in range(count):
                reader, writer = await connect(running.url)
                writer.write(data)
                connections.append((kind, time.monotonic(), reader, writer))
        posted = time.monotonic()
        status, _ = await asyncio.to_thread(running.post, body_of(fresh(BUNDLED[0], 82)))
        latency = time.monotonic() - posted
        closed = await asyncio.gather(*(read_until_closed(reader, 15) for _, _, reader, _ in connections))
        for *_, writer in connections:
            writer.close()
        return status, latency, [(kind, answer[:12], seconds and seconds + posted - opened)
                                 for (kind, opened, *_), (answer, seconds) in zip(connections, closed)]
    try:
        status, latency, closings = asyncio.run(scenario())
    finally:
        assert running.stop() == 0
    assert (status, latency < 10) == (200, True)
    for kind, answer, seconds in closings:
        assert seconds is not None and held[kind][2] - 0.5 < seconds < held[kind][2] + 4, (kind, seconds)
        assert kind != "slow body" or answer in (b"HTTP/1.1 408", b"HTTP/1.1 503"), answer
    log = running.log_path.read_text()
    assert "Traceback" not in log and "out of system resource" not in log


def test_a_connection_over_the_cap_gets_a_whole_503_at_once_and_a_freed_place_takes_a_delivery(tmp_path):
    running = Running(tmp_path, "--max-connections", "3")

    async def scenario():
        held = [await connect(running.url) for _ in range(3)]
        for reader, writer in held:     # answered, so surely accepted, and kept alive
            writer.write(b"GET /webhooks/instagram HTTP/1.1\r\nHost: t\r\n\r\n")
            await reader.readuntil(b"\r\n\r\n")
        reader, writer = await connect(running.url)
        answer, seconds = await read_until_closed(reader, 3)
        for _, writer in [*held, (reader, writer)]:
            writer.close()
        await asyncio.sleep(0.3)
        return answer, seconds
    try:
        answer, seconds = asyncio.run(scenario())
        assert running.post(body_of(fresh(BUNDLED[0], 85)))[0] == 200
    finally:
        assert running.stop() == 0
    head, _, body = answer.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 503 ") and seconds is not None
    assert f"Content-Length: {len(body)}\r\n".encode() in head + b"\r\n" and body.startswith(b"too many connections")


def test_a_full_disk_or_a_held_lock_fails_deliveries_with_503_and_the_service_goes_on(tmp_path):
    running = Running(tmp_path, "--max-database-mib", "8", "--busy-timeout", "30", "--commit-timeout", "1",
                      "--drain-timeout", "2")
    dead_letter = iter(body_of({"object": "page", "n": n, "pad": "x" * 900_000}) for n in range(1000))
    try:
        with contextlib.closing(sqlite3.connect(running.database, isolation_level=None)) as other:
            other.execute("BEGIN IMMEDIATE")
            started = time.monotonic()
            assert running.post(next(dead_letter))[0] == 503       # at the commit deadline, not the busy timeout
            assert time.monotonic() - started < 5
            other.execute("ROLLBACK")
            # On a full disk SQLite rolls a large transaction back by itself; the writer carries on.
            with concurrent.futures.ThreadPoolExecutor(24) as pool:
                answers = {status for status, _ in pool.map(running.post, [next(dead_letter) for _ in range(24)])}
            assert answers == {200, 503}
            while running.post(next(dead_letter))[0] == 200:
                pass
            status, health = healthz(running)
            assert status == 503 and "full" in health["store"]["last_failure"]["error"]
            other.execute("DELETE FROM bodies")         # space freed
            assert running.post(next(dead_letter))[0] == 200
            assert healthz(running)[0] == 200
    finally:
        started = time.monotonic()
        assert running.stop() == 0
        assert time.monotonic() - started < 6


def test_a_stop_right_after_a_burst_ends_within_the_drain_deadline(tmp_path):
    database = tmp_path / "inbox.db"

    async def scenario(stand_in, base_url, session):
        with open(tmp_path / "service.log", "w") as log:
            process, url, admin = await start_service(database, base_url, log, "--drain-timeout", "1")
            # Kept-alive connections on both ports, and workers waiting for slow answers, at the stop.
            await health(session, admin)
            await asyncio.gather(*(post_bundled(session, url, [fresh(delivery, 90 + n)])
                                   for n in range(4) for delivery in BUNDLED))
            started = time.monotonic()
            process.terminate()
            assert await process.wait() == 0
            # The drain timeout and the few seconds of grace the stop allows after it.
            assert time.monotonic() - started < 1 + 2 + 1

    run_with_stand_in(scenario, latency=10)


def test_a_database_deleted_under_the_service_is_noticed_and_a_symlink_finds_the_lock(tmp_path):
    running = Running(tmp_path)
    try:
        (tmp_path / "link.db").symlink_to(running.database)
        second = subprocess.run(serve_command(tmp_path / "link.db"), capture_output=True, text=True,
                                env=service_env(), timeout=60)
        assert second.returncode == 2 and "in use by another process" in second.stderr
        os.unlink(running.database)
        assert running.post(body_of(fresh(BUNDLED[0], 83)))[0] == 503
        status, health = healthz(running)
        assert status == 503 and "no longer the database this process opened (deleted)" in health["store"]["problem"]
    finally:
        assert running.stop() == 0


def test_logs_take_what_clients_send_on_one_line_and_no_secret_in_any_form(service):
    async def send(request):
        reader, writer = await connect(service.url)
        writer.write(request)
        await read_until_closed(reader, 2)
        writer.close()
    for request in (f"GET /webhooks/instagram?hub.verify_token={quote(APP_SECRET)}&x={'x' * 9000} HTTP/1.1\r\n",
                    "GET /x%0Aforged-line HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n",
                    "POST /webhooks/instagram HTTP/1.1\r\nContent-Length: x\r\n\r\n"):
        asyncio.run(send(request.encode()))
    log = service.log_path.read_text(encoding="utf-8")
    assert not any(line.startswith("forged-line") for line in log.splitlines())
    assert "Traceback" not in log and log.count("WARNING aiohttp.server: malformed request") == 2
    for secret in (APP_SECRET, quote(APP_SECRET), quote(APP_SECRET).lower()):
        assert secret not in log


def post_ids(deliveries):
    return {change["value"].get("media", {}).get("id") or change["value"].get("media_id")
            for delivery in deliveries for entry in delivery["entry"] for change in entry["changes"]}


def test_an_outage_pauses_the_workers_without_spending_attempts(tmp_path):
    database = tmp_path / "inbox.db"

    async def scenario(stand_in, base_url, session):
        for post_id in post_ids(BUNDLED):
            stand_in.fail(post_id, 503, times=10 ** 6)
        with open(tmp_path / "service.log", "w") as log:
            process, url, admin = await start_service(database, base_url, log, "--max-attempts", "3", "--retry-base",
                                                      "0.01", "--outage-errors", "3", "--outage-probe", "0.2")
            await post_bundled(session, url)
            await until(session, admin, database, lambda s: "unavailable" in (s["workers"]["pause_reason"] or ""))
            await asyncio.sleep(2)          # ten probes, each with a real event, none spending an attempt
            stand_in.faults.clear()
            settled = await until(session, admin, database, lambda s: s["pending"] == 0)
            process.terminate()
            assert await process.wait() == 0
        # Without the pause, three attempts would have gone in a fraction of a second.
        assert (settled["records"], settled["failed"]) == (8, 0)

    run_with_stand_in(scenario)


def test_one_posts_errors_spend_its_attempts_and_retry_after_and_age_are_capped(tmp_path):
    database = tmp_path / "inbox.db"
    failing, throttled = "17900000000000101", "17900000000000102"

    async def scenario(stand_in, base_url, session):
        stand_in.fail(failing, 503, times=10 ** 6)
        stand_in.fail(throttled, 429, retry_after="99999999")
        with open(tmp_path / "service.log", "w") as log:
            process, url, admin = await start_service(database, base_url, log, "--retry-base", "0.2", "--max-age",
                                                      "2s", "--max-retry-after", "1")
            await post_bundled(session, url, BUNDLED[:2])
            settled = await until(session, admin, database, lambda s: s["pending"] == 0)
            process.terminate()
            assert await process.wait() == 0
        assert (settled["records"], settled["failed"]) == (2, 1)

    run_with_stand_in(scenario)
    [failure] = stored(database, "--failed")
    assert failure["attempts"] > 1 and re.match(r"gave up after \d s: comments on post", failure["reason"])
    assert "Retry-After of 99999999 s capped to 1 s" in (tmp_path / "service.log").read_text()


def test_an_outcome_the_store_could_not_write_is_written_later(tmp_path):
    database = tmp_path / "inbox.db"
    unknown = json.loads(json.dumps(BUNDLED[2]))
    unknown["entry"][0]["changes"][0]["value"]["media_id"] = "404404"     # no such post: the event fails

    async def scenario(stand_in, base_url, session):
        with open(tmp_path / "service.log", "w") as log:
            process, url, admin = await start_service(database, base_url, log, "--busy-timeout", "0.2")
            await post_bundled(session, url, [unknown])
            await until(session, admin, database, lambda s: s["in_flight"] == 1)
            with contextlib.closing(sqlite3.connect(database, isolation_level=None)) as other:
                other.execute("BEGIN IMMEDIATE")   # held while the worker waits for its answer and after
                await asyncio.sleep(2.5)
            async with asyncio.timeout(5):      # long before its lease (30 s) would have passed
                settled = await until(session, admin, database, lambda s: s["pending"] == 0)
            process.terminate()
            assert await process.wait() == 0
        assert settled["failed"] == 1

    run_with_stand_in(scenario, latency=1)
    assert "could not store an event's outcome (failed), trying again" in (tmp_path / "service.log").read_text()


def test_a_graph_api_error_page_that_echoes_the_url_leaves_no_token_in_the_reason(tmp_path):
    import aiohttp
    from aiohttp import web
    database = tmp_path / "inbox.db"

    async def scenario():
        async def echo(request):
            return web.Response(status=400, text=f"<h1>Bad request</h1> ?access_token={request.query['access_token']}")
        app = web.Application()
        app.router.add_get("/{path:.*}", echo)
        runner = web.AppRunner(app)
        await runner.setup()
        site = web.TCPSite(runner, "127.0.0.1", 0)
        await site.start()
        try:
            with open(tmp_path / "service.log", "w") as log:
                port = runner.addresses[0][1]
                process, url, admin = await start_service(database, f"http://127.0.0.1:{port}/v21.0", log)
                async with aiohttp.ClientSession() as session:
                    await post_bundled(session, url, BUNDLED[:1])
                while counts(database)["failed"] < 1:
                    await asyncio.sleep(0.05)
                process.terminate()
                assert await process.wait() == 0
        finally:
            await runner.cleanup()
    asyncio.run(asyncio.wait_for(scenario(), 60))
    reasons = [failure["reason"] for failure in stored(database, "--failed")]
    assert len(reasons) == 1 and "access_token=[redacted]" in reasons[0]
    assert ACCESS_TOKEN not in json.dumps(reasons) + (tmp_path / "service.log").read_text()
