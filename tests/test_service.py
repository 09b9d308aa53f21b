"""The webhook service over real HTTP on loopback, with real SQLite files, in child processes."""
import asyncio
import contextlib
import dataclasses
import hashlib
import importlib.resources
import json
import os
import sqlite3
import subprocess
import sys
import urllib.error
import urllib.request

import pytest

DATA = importlib.resources.files("tavelmoor.webhooks") / "data"
APP_SECRET, VERIFY_TOKEN, ACCESS_TOKEN = "app-s3cret-ÆØ", "verify-t0ken-value", "graph-t0ken-value"
BUNDLED = json.loads((DATA / "webhooks.json").read_text(encoding="utf-8"))
BUNDLED_EVENTS = 8


def service_env():
    env = {key: value for key, value in os.environ.items() if not key.startswith(("INSTAGRAM_", "GRAPH_API_"))}
    env.update(INSTAGRAM_APP_SECRET=APP_SECRET, INSTAGRAM_VERIFY_TOKEN=VERIFY_TOKEN)
    return env


def serve_command(database, *options):
    return [sys.executable, "-P", "-m", "tavelmoor.webhooks", "serve", "--port", "0", "--admin-port", "0",
            "--database", str(database), "--log-level", "DEBUG", *map(str, options)]


def sign(body, secret=APP_SECRET):
    from tavelmoor.webhooks.signature import sign
    return sign(secret.encode(), body)


def fresh(delivery, copy_number):
    """The delivery with new comment and media ids, which the stand-in serves as copies of its posts."""
    text = json.dumps(delivery).replace('"179', f'"{copy_number}179').replace('"180', f'"{copy_number}180')
    return json.loads(text)


def counts(database):
    """The store's counts as they stand: the service's own may be up to a second old."""
    from tavelmoor.webhooks.store.sqlite import open_read_only, read_counts
    with contextlib.closing(open_read_only(database)) as db:
        return dataclasses.asdict(read_counts(db))


def stored(database, *options):
    """What `tavelmoor-webhooks records` prints for the database, decoded."""
    proc = subprocess.run([sys.executable, "-P", "-m", "tavelmoor.webhooks", "records", "--database", str(database),
                           *options], capture_output=True, text=True, env=service_env(), timeout=60, check=True)
    return [json.loads(line) for line in proc.stdout.splitlines()]


class Running:
    """`serve` with the embedded stand-in, used through blocking calls of urllib."""

    def __init__(self, tmp, *options, **popen):
        self.database = tmp / "inbox.db"
        self.log_path = tmp / "service.log"
        self._log = open(self.log_path, "w", encoding="utf-8")
        self.process = subprocess.Popen(serve_command(self.database, *options), stdout=subprocess.PIPE, stderr=self._log,
                                        text=True, env=service_env(), **popen)
        line = self.process.stdout.readline()
        assert line.startswith("listening on http://127.0.0.1:"), self.log_path.read_text()
        self.url = line.split()[-1]
        self.admin = self.process.stdout.readline().split()[-1]

    def request(self, url, data=None, headers=None):
        """The answer's status and body; status 0 when the service closed the connection before answering."""
        try:
            with urllib.request.urlopen(urllib.request.Request(url, data=data, headers=headers or {}),
                                        timeout=30) as answer:
                return answer.status, answer.read()
        except urllib.error.HTTPError as error:
            with error:
                return error.code, error.read()
        except (urllib.error.URLError, ConnectionError) as error:
            assert isinstance(getattr(error, "reason", error), ConnectionError), error
            return 0, b""

    def post(self, body, signature=None):
        headers = {"Content-Type": "application/json"}
        if signature is not False:
            headers["X-Hub-Signature-256"] = signature or sign(body)
        return self.request(self.url, body, headers)

    def health(self):
        status, body = self.request(f"{self.admin}/healthz")
        return {**json.loads(body), **counts(self.database)}

    def settle(self):
        while (health := self.health())["pending"]:
            pass
        return health

    def records(self, *options):
        return stored(self.database, *options)

    def stop(self):
        self.process.terminate()
        code = self.process.wait(timeout=30)
        self.process.stdout.close()
        self._log.close()
        return code


@pytest.fixture(scope="module")
def service(tmp_path_factory):
    running = Running(tmp_path_factory.mktemp("service"))
    yield running
    assert running.stop() == 0


def body_of(document):
    return json.dumps(document, ensure_ascii=False).encode()


NON_ASCII = body_of(fresh(BUNDLED[1], 7))      # holds "すごい! #日本": signed as the bytes sent


@pytest.mark.parametrize("body, signature, status, stored", [
    (body_of(fresh(BUNDLED[0], 1)), None, 200, True),
    (NON_ASCII, None, 200, True),
    (NON_ASCII, sign(NON_ASCII.decode().encode("utf-16")), 403, False),
    (body_of(fresh(BUNDLED[0], 2)), sign(b"other body"), 403, False),
    (body_of(fresh(BUNDLED[0], 3)), sign(b"x", "wrong secret"), 403, False),
    (body_of(fresh(BUNDLED[0], 4)), False, 401, False),
    (body_of(fresh(BUNDLED[0], 5)), "sha1=" + sign(body_of(fresh(BUNDLED[0], 5)))[7:], 403, False),
    (body_of(fresh(BUNDLED[0], 6)), "sha256=zz", 403, False),
    # Refused from its length and closed at once: urllib, sending all of it first, may not see the 413.
    (b"{" * (1 << 20) + b"}", None, (413, 0), False),
    (b"not json at all", None, 200, True),                       # kept as a dead letter
    (b"[" * 100_000, None, 200, True),                           # too deep for the parser: a dead letter
    (body_of({"object": "page", "entry": []}), None, 200, True),  # kept as a dead letter
], ids=["good", "non-ascii", "non-ascii-resigned", "bad", "wrong-secret", "missing", "wrong-prefix",
        "malformed", "too-large", "not-json", "nested-too-deeply", "not-instagram"])
def test_signature_and_size_decide_what_is_kept(service, body, signature, status, stored):
    before = service.health()
    answer, _ = service.post(body, signature)
    assert answer in (status if isinstance(status, tuple) else (status,))
    after = service.health()
    assert after["deliveries"] - before["deliveries"] == stored


@pytest.mark.parametrize("query, status, body", [
    ({"hub.mode": "subscribe", "hub.verify_token": VERIFY_TOKEN, "hub.challenge": "1158201444"}, 200, b"1158201444"),
    ({"hub.mode": "subscribe", "hub.verify_token": "guess", "hub.challenge": "1158201444"}, 403, None),
    ({"hub.mode": "unsubscribe", "hub.verify_token": VERIFY_TOKEN, "hub.challenge": "1"}, 403, None),
    ({"hub.mode": "subscribe", "hub.verify_token": VERIFY_TOKEN}, 403, None),
], ids=["echoed", "wrong-token", "wrong-mode", "no-challenge"])
def test_verification_handshake(service, query, status, body):
    from urllib.parse import urlencode
    answer, content = service.request(f"{service.url}?{urlencode(query)}")
    assert answer == status
    assert body is None or content == body


def test_a_delivery_that_cannot_be_committed_is_answered_503_and_kept_when_retried(tmp_path):
    running = Running(tmp_path, "--busy-timeout", "0.2")
    body = body_of(fresh(BUNDLED[0], 40))
    try:
        while running.health()["state"] != "ready":
            pass
        # Another connection holds the write lock longer than the service waits for it.
        with contextlib.closing(sqlite3.connect(running.database, isolation_level=None)) as other:
            other.execute("BEGIN IMMEDIATE")
            refused = running.post(body)
            assert running.health()["deliveries"] == 0
        assert refused == (503, b"could not keep the delivery; try again")
        assert running.post(body)[0] == 200
        assert running.settle()["records"] == 1
    finally:
        assert running.stop() == 0


def test_duplicate_and_rebatched_deliveries_store_each_event_once(service):
    first, second = fresh(BUNDLED[1], 20), fresh(BUNDLED[2], 20)
    rebatched = {"object": "instagram", "entry": [
        {**first["entry"][0], "time": first["entry"][0]["time"] + 60, "changes": first["entry"][0]["changes"][::-1]},
        second["entry"][0]]}
    before = service.settle()
    for document in (first, first, rebatched):
        assert service.post(body_of(document))[0] == 200
    after = service.settle()
    assert after["deliveries"] - before["deliveries"] == 3
    assert after["records"] - before["records"] == 3
    ids = [(r["comment_id"], r["post_id"]) for r in service.records()]
    assert len(ids) == len(set(ids))
    # The body sent twice is kept once.
    with contextlib.closing(sqlite3.connect(service.database)) as db:
        digest = hashlib.sha256(body_of(first)).digest()
        assert db.execute("SELECT (SELECT count(*) FROM bodies WHERE hash = ?), count(*) FROM deliveries "
                          "WHERE body_hash = ?", (digest, digest)).fetchone() == (1, 2)


def test_unhandled_change_fails_alone(service):
    delivery = fresh(BUNDLED[0], 30)
    delivery["entry"][0]["changes"] += [{"field": "story_insights", "value": {"media_id": "1", "reach": 3}},
                                        fresh(BUNDLED[3], 30)["entry"][0]["changes"][0]]
    before = service.settle()
    assert service.post(body_of(delivery))[0] == 200
    after = service.settle()
    assert (after["records"] - before["records"], after["failed"] - before["failed"]) == (2, 1)
    failure = [f for f in service.records("--failed") if f.get("field") == "story_insights"]
    assert len(failure) == 1
    assert "change 2: unsupported field 'story_insights'" in failure[0]["reason"]


def test_metrics_are_served_in_the_prometheus_format_on_the_admin_port_alone(service):
    from prometheus_client.parser import text_string_to_metric_families
    service.post(b"{}", False)
    service.post(b"[]")
    assert service.post(body_of(fresh(BUNDLED[0], 50)))[0] == 200
    service.settle()
    status, text = service.request(f"{service.admin}/metrics")
    assert status == 200
    samples = {(sample.name, *sample.labels.values()): sample.value
               for family in text_string_to_metric_families(text.decode()) for sample in family.samples}
    for outcome in ("stored", "dead_letter", "401"):
        assert samples["tavelmoor_webhooks_deliveries_total", outcome] >= 1
    assert samples["tavelmoor_webhooks_deliveries_total", "503"] == 0
    assert samples["tavelmoor_webhooks_graph_api_requests_total", "200"] >= 1
    assert samples["tavelmoor_webhooks_event_latency_seconds_count",] >= 1
    assert {"pending", "in_flight", "waiting", "done", "failed"} <= {key[1] for key in samples
                                                                     if key[0] == "tavelmoor_webhooks_events"}
    # The public port serves the webhook alone.
    public = service.url.removesuffix("/webhooks/instagram")
    assert [service.request(f"{public}/{path}")[0] for path in ("metrics", "healthz")] == [404, 404]


def test_secrets_stay_out_of_the_log(service):
    service.request(f"{service.url}?hub.mode=subscribe&hub.verify_token={VERIFY_TOKEN}&hub.challenge=7")
    service.request(f"{service.url}?hub.mode=subscribe&hub.verify_token=near-{VERIFY_TOKEN}&hub.challenge=7")
    service.post(b"{}", sign(b"{}", "x"))
    log = service.log_path.read_text(encoding="utf-8")
    assert "GET /webhooks/instagram 200" in log and "GET /webhooks/instagram 403" in log
    for secret in (APP_SECRET, VERIFY_TOKEN, "hub.verify_token"):
        assert secret not in log


# The stand-in in this process; the service in a child, pointed at it.

async def start_service(database, base_url, log, *options):
    env = {**service_env(), "GRAPH_API_ACCESS_TOKEN": ACCESS_TOKEN}
    process = await asyncio.create_subprocess_exec(
        *serve_command(database, "--graph-api-url", base_url, *options), stdout=asyncio.subprocess.PIPE,
        stderr=log, env=env)
    line = (await process.stdout.readline()).decode()
    assert line.startswith("listening on "), log.name
    admin = (await process.stdout.readline()).decode().split()[-1]
    return process, line.split()[-1], admin


async def health(session, admin):
    async with session.get(admin + "/healthz") as answer:
        return await answer.json()


async def post_bundled(session, url, deliveries=BUNDLED):
    for delivery in deliveries:
        body = body_of(delivery)
        async with session.post(url, data=body, headers={"X-Hub-Signature-256": sign(body)}) as answer:
            assert answer.status == 200


async def until(session, admin, database, condition):
    """The service's health with the store's counts as they stand, once `condition` holds for it."""
    while not condition(status := {**await health(session, admin), **counts(database)}):
        await asyncio.sleep(0.05)
    return status


def run_with_stand_in(scenario, **stand_in_options):
    import aiohttp
    from tavelmoor.webhooks.stand_in import RunningStandIn, StandIn, load_posts

    async def go():
        stand_in = StandIn(load_posts(DATA / "posts.json"), access_token=ACCESS_TOKEN, **stand_in_options)
        async with RunningStandIn(stand_in) as running, aiohttp.ClientSession() as session:
            async with asyncio.timeout(60):
                return await scenario(stand_in, running.base_url, session)
    return asyncio.run(go())


def test_kill_9_loses_nothing_and_a_restart_finishes_the_work(tmp_path):
    database = tmp_path / "inbox.db"

    async def scenario(stand_in, base_url, session):
        with open(tmp_path / "first.log", "w") as log:
            process, url, admin = await start_service(database, base_url, log, "--concurrency", "3")
            await post_bundled(session, url)
            # The stand-in holds every answer for a minute: events are certainly in flight and pending
            # (three in the workers' hands, as many claimed behind them).
            status = await until(session, admin, database, lambda s: s["in_flight"] == 6)
            assert (status["deliveries"], status["pending"]) == (len(BUNDLED), BUNDLED_EVENTS)
            second = subprocess.run(serve_command(database), capture_output=True, text=True, env=service_env(),
                                    timeout=60)
            assert second.returncode == 2 and "in use by another process" in second.stderr
            process.kill()
            assert await process.wait() == -9
        stand_in.latency = 0
        with open(tmp_path / "second.log", "w") as log:
            process, url, admin = await start_service(database, base_url, log)
            status = await until(session, admin, database, lambda s: s["state"] == "ready" and s["pending"] == 0)
            process.terminate()
            assert await process.wait() == 0
        assert (status["records"], status["failed"]) == (BUNDLED_EVENTS, 0)
        assert "6 events were in flight when the last run stopped" in (tmp_path / "second.log").read_text()

    run_with_stand_in(scenario, latency=60)
    records = stored(database)
    assert sorted(r["comment_id"] or r["post_id"] for r in records) == sorted(
        c["value"].get("id") or c["value"].get("comment_id") or c["value"]["media_id"]
        for d in BUNDLED for e in d["entry"] for c in e["changes"])


def test_retries_wait_at_least_as_long_as_retry_after(tmp_path):
    database = tmp_path / "inbox.db"
    # One post each: HTTP 429, HTTP 503, and the Graph API's throttling code 613 sent with HTTP 400.
    faults = {"17900000000000101": (429, None), "17900000000000201": (503, None), "17900000000000104": (400, 613)}

    async def scenario(stand_in, base_url, session):
        for post_id, (status, code) in faults.items():
            stand_in.fail(post_id, status, code=code, retry_after="1")
        with open(tmp_path / "service.log", "w") as log:
            process, url, admin = await start_service(database, base_url, log, "--retry-base", "0.01")
            await post_bundled(session, url)
            settled = await until(session, admin, database, lambda s: s["pending"] == 0)
            process.terminate()
            assert await process.wait() == 0
        assert (settled["records"], settled["failed"]) == (BUNDLED_EVENTS, 0)
        for post_id in faults:
            first, second = stand_in.request_times[post_id][:2]
            assert second - first >= 1.0, post_id

    run_with_stand_in(scenario)


def test_a_refused_token_pauses_the_workers_until_restart_and_deliveries_are_still_kept(tmp_path):
    database = tmp_path / "inbox.db"
    first, *others = BUNDLED

    async def scenario(stand_in, base_url, session):
        stand_in.access_token = "another-token"     # the service's is refused: HTTP 401, code 190
        with open(tmp_path / "service.log", "w") as log:
            process, url, admin = await start_service(database, base_url, log)
            await post_bundled(session, url, [first])
            await until(session, admin, database, lambda s: s["workers"]["paused"])
            requests = stand_in.requests
            await post_bundled(session, url, others)
            await asyncio.sleep(0.5)
            status = {**await health(session, admin), **counts(database)}
            process.terminate()
            assert await process.wait() == 0
        assert stand_in.requests == requests
        assert "refused the access token; restart the service" in status["workers"]["pause_reason"]
        assert status["workers"]["live"] == 8
        assert (status["deliveries"], status["pending"], status["records"]) == (len(BUNDLED), BUNDLED_EVENTS, 0)
        assert "CRITICAL tavelmoor.webhooks.pipeline: the Graph API refused the access token" in (
            tmp_path / "service.log").read_text()

    run_with_stand_in(scenario)


def test_leases_are_renewed_while_a_worker_waits_for_a_slow_answer(tmp_path):
    database = tmp_path / "inbox.db"

    async def scenario(stand_in, base_url, session):
        with open(tmp_path / "service.log", "w") as log:
            process, url, admin = await start_service(database, base_url, log, "--lease", "1.5", "--timeout", "1.2",
                                                      "--renew-every", "0.2", "--concurrency", "2")
            await post_bundled(session, url)
            status = await until(session, admin, database, lambda s: s["pending"] == 0)
            process.terminate()
            assert await process.wait() == 0
        # Two claims wait behind the two calls of a second each: had a lease lapsed, its event would have been
        # fetched twice.
        assert (stand_in.requests, status["records"]) == (BUNDLED_EVENTS, BUNDLED_EVENTS)
        assert "claimed again" not in (tmp_path / "service.log").read_text()

    run_with_stand_in(scenario, latency=1.0)


def test_demo_drives_the_service_end_to_end(tmp_path):
    output = tmp_path / "records.jsonl"
    proc = subprocess.run([sys.executable, "-P", "-m", "tavelmoor.webhooks", "demo", "--repeat", "3", "--output", output],
                          capture_output=True, text=True, env=service_env(), timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert "15 deliveries posted" in proc.stderr and "24 records, 0 failed, 0 dead letters" in proc.stderr
    found = [json.loads(line) for line in output.read_text(encoding="utf-8").splitlines()]
    assert len({(r["comment_id"], r["post_id"]) for r in found}) == 3 * BUNDLED_EVENTS
    assert all(r["post_permalink"].startswith("https://www.instagram.com/") for r in found)


def test_a_stop_stores_the_work_in_hand_and_puts_back_the_rest(tmp_path):
    database = tmp_path / "inbox.db"

    async def scenario(stand_in, base_url, session):
        with open(tmp_path / "service.log", "w") as log:
            process, url, admin = await start_service(database, base_url, log, "--concurrency", "3")
            await post_bundled(session, url)
            await until(session, admin, database, lambda s: s["in_flight"] == 6)
            process.terminate()
            assert await process.wait() == 0

    # Each answer takes a second: three events are in the workers' hands at the stop, three claimed behind.
    run_with_stand_in(scenario, latency=1)
    with contextlib.closing(sqlite3.connect(database)) as db:
        states = db.execute("SELECT state, attempts, count(*) FROM events GROUP BY state, attempts").fetchall()
    assert sorted(states) == [("done", 1, 3), ("pending", 0, BUNDLED_EVENTS - 3)]
    assert len(stored(database)) == 3


def test_a_worker_whose_claim_was_taken_cancels_its_call_and_writes_nothing(tmp_path):
    running = Running(tmp_path, "--latency", "2", "--lease", "4", "--timeout", "3", "--renew-every", "0.2")
    try:
        assert running.post(body_of(fresh(BUNDLED[0], 60)))[0] == 200
        while running.health()["in_flight"] == 0:
            pass
        # As another process would after the lease had passed: the event is claimed under another token.
        with contextlib.closing(sqlite3.connect(running.database, isolation_level=None, timeout=10)) as other:
            other.execute("UPDATE events SET claim_token = claim_token + 1 WHERE state = 'in_flight'")
            taken = other.execute("SELECT claim_token FROM events").fetchall()
            while "lease lost" not in running.log_path.read_text(encoding="utf-8"):
                pass
            assert other.execute("SELECT claim_token, state FROM events").fetchall() == [(taken[0][0], "in_flight")]
        status, text = running.request(f"{running.admin}/metrics")
        assert "tavelmoor_webhooks_stale_outcomes_total 1.0" in text.decode()
    finally:
        assert running.stop() == 0
    assert running.records() == []
