"""The store, through its interface alone, so that every store runs the same tests (the `store` fixture)."""
import asyncio
import contextlib
import json
import shutil
import sqlite3
import time
from pathlib import Path

import pytest

from tavelmoor.webhooks.payloads import Event, parse_delivery
from tavelmoor.webhooks.records import record_json
from tavelmoor.webhooks.store import StoreVersionError, open_store
from tavelmoor.webhooks.store.sqlite import SCHEMA_VERSION, SqliteStore, stored_records

RELEASED_0_1_0 = Path(__file__).with_name("data") / "inbox-0.1.0.db"


def delivery(*changes, account="17841400000000001"):
    return json.dumps({"object": "instagram", "entry": [{"id": account, "time": 1796460000,
                                                          "changes": list(changes)}]}).encode()


def comment(number, media="17900000000000101"):
    return {"field": "comments", "value": {"id": str(18000000000000000 + number), "text": "#hi",
                                           "media": {"id": media}}}


STORY = {"field": "story_insights", "value": {"media_id": "17900000000000101", "reach": 3}}


def parse_stories_too(body):
    """A parser that has learnt story_insights, as after an upgrade."""
    parsed = parse_delivery(body)
    if isinstance(parsed, str):
        return parsed
    return [Event(item.account_id, "mentions", 1796460000, "17900000000000101", None, None, None, None, None)
            if item.kind == "story_insights" else item for item in parsed]


# A store over a connection pool belongs to the event loop it was opened in: a test's scenarios share one.
_runner: asyncio.Runner | None = None


@pytest.fixture(params=["sqlite", pytest.param("postgresql", marks=pytest.mark.postgresql)])
def store(request, tmp_path):
    global _runner
    database = tmp_path / "store.db" if request.param == "sqlite" else request.getfixturevalue("postgresql")
    with asyncio.Runner() as _runner:
        opened = _runner.run(open_store(database))
        yield opened
        _runner.run(opened.close())
    _runner = None


def run(coroutine):
    return (_runner.run if _runner else asyncio.run)(asyncio.wait_for(coroutine, 60))


async def accept_comments(store, count):
    await store.accept(b"{}", [parse_delivery(delivery(comment(n)))[0] for n in range(count)])


@pytest.mark.parametrize("outcome", ["finish", "fail", "wait", "put_back"])
def test_a_lapsed_claim_is_taken_again_and_only_the_new_claims_outcome_counts(store, outcome):
    async def scenario():
        await accept_comments(store, 1)
        [old] = (await store.claim(5, lease=0.0, max_attempts=8)).claims
        again = await store.claim(5, lease=60.0, max_attempts=8)
        [new] = again.claims
        assert (again.expired, new.id, new.attempts) == (1, old.id, 2) and new.token != old.token
        written = {"finish": lambda claim: store.finish([(claim, '{"late": true}')]),
                   "fail": lambda claim: store.fail(claim, "late"),
                   "wait": lambda claim: store.wait(claim, time.time(), "late"),
                   "put_back": lambda claim: store.put_back([claim])}[outcome]
        assert await written(old) in ([old], False)          # stale: handed back, nothing written
        assert (await store.counts()).in_flight == 1
        assert await store.renew([old, new], 60.0) == [old]
        assert await store.finish([(new, '{"record": 1}')]) == []
        counts = await store.counts()
        assert (counts.records, counts.pending, counts.failed) == (1, 0, 0)
        assert [record async for record in store.records()] == ['{"record": 1}']
    run(scenario())


def test_renewed_claims_stay_and_spent_attempts_fail(store):
    async def scenario():
        await accept_comments(store, 3)
        first = (await store.claim(2, lease=0.0, max_attempts=2)).claims
        assert await store.renew(first, 60.0) == []
        # The renewed two stay held; the third is pending.
        assert [c.id for c in (await store.claim(5, lease=0.0, max_attempts=2)).claims] == [3]
        await store.claim(5, lease=0.0, max_attempts=2)      # the third's second attempt, lapsed at once
        last = await store.claim(5, lease=0.0, max_attempts=2)
        assert (last.claims, last.gave_up) == ([], 1)
        counts = await store.counts()
        assert (counts.in_flight, counts.failed) == (2, 1)
        assert [failure["reason"] async for failure in store.failures()] == ["gave up after 2 attempts"]
    run(scenario())


def test_requeue_puts_failed_events_back_and_parses_refused_changes_and_dead_letters_again(store):
    async def scenario():
        await store.accept(delivery(comment(1), STORY), parse_delivery(delivery(comment(1), STORY)))
        await store.accept(b"not json", parse_delivery(b"not json"))
        await store.accept(delivery(comment(2)), parse_delivery(delivery(comment(2))))
        for claim in (await store.claim(5, lease=60.0, max_attempts=8)).claims:
            await store.fail(claim, "HTTP 404")
        assert (await store.counts()).failed == 3
        # By key: one event. Then all, with the old parser: the story is still refused, the dead letter too.
        one = await store.requeue(parse_delivery, failed=True, keys=["17841400000000001/comment/18000000000000001"],
                                  dead_letters=False)
        rest = await store.requeue(parse_delivery, failed=True, dead_letters=True)
        assert (one.events, rest.events, rest.deliveries, rest.new_events, rest.dead_letters) == (1, 1, 2, 0, 1)
        counts = await store.counts()
        assert (counts.pending, counts.failed, counts.dead_letters) == (2, 1, 1)
        claims = (await store.claim(5, lease=60.0, max_attempts=8)).claims
        assert [claim.attempts for claim in claims] == [1, 1]
        # After an upgrade the story is an event of its own; the dead letter stays one.
        learnt = await store.requeue(parse_stories_too, failed=True, fields=["story_insights"], dead_letters=False)
        assert (learnt.events, learnt.deliveries, learnt.new_events) == (0, 1, 1)
        counts = await store.counts()
        assert (counts.pending, counts.in_flight, counts.failed, counts.dead_letters) == (3, 2, 0, 1)
    run(scenario())


def test_prune_drops_finished_bodies_and_records_and_keeps_every_key(store):
    finished = delivery(comment(1))

    async def scenario():
        await store.accept(finished, parse_delivery(finished))
        await store.accept(delivery(comment(2)), parse_delivery(delivery(comment(2))))
        await store.accept(b"not json", parse_delivery(b"not json"))
        [claim, _] = (await store.claim(5, lease=60.0, max_attempts=8)).claims
        await store.finish([(claim, "{}")])
        assert (await store.prune(time.time() - 3600)).deliveries == 0
        pruned = await store.prune(time.time() + 1, batch=1)
        assert (pruned.deliveries, pruned.records) == (1, 1)
        assert (await store.prune(time.time() + 1)).deliveries == 0
        # The pruned delivery sent again is still known; in-flight work and dead letters are untouched.
        again = await store.accept(finished, parse_delivery(finished))
        assert (again.new_events, again.duplicates) == (0, 1)
        counts = await store.counts()
        assert (counts.records, counts.in_flight, counts.dead_letters) == (1, 1, 1)
    run(scenario())


def test_a_body_delivered_twice_is_kept_until_its_last_delivery_is_pruned(tmp_path):
    body = delivery(comment(1))
    store = SqliteStore.open(tmp_path / "inbox.db")

    def bodies():
        with contextlib.closing(sqlite3.connect(tmp_path / "inbox.db")) as db:
            return db.execute("SELECT delivery_count FROM bodies").fetchall()
    try:
        async def scenario():
            for _ in range(2):
                await store.accept(body, parse_delivery(body))
            assert bodies() == [(2,)]
            # The second delivery brought no new event: it is pruned first, and the body stays for the first.
            assert (await store.prune(time.time() + 1)).deliveries == 1
            assert bodies() == [(1,)]
            [claim] = (await store.claim(5, lease=60.0, max_attempts=8)).claims
            await store.finish([(claim, "{}")])
            assert (await store.prune(time.time() + 1)).deliveries == 1
            assert bodies() == []
        asyncio.run(scenario())
    finally:
        asyncio.run(store.close())


def test_nul_and_lone_surrogates_come_back_as_they_were_sent(store):
    odd = "\ud83d\x00 #ok"
    body = delivery({"field": "comments", "value": {"id": "18000000000000001", "text": odd,
                                                    "media": {"id": "17900000000000101"}}}, {"field": odd, "value": {}})

    async def scenario():
        await store.accept(body, parse_delivery(body))
        await store.accept(b"\x00\xed\xa0\xbd", parse_delivery(b"\x00\xed\xa0\xbd"))
        [claim] = (await store.claim(5, lease=60.0, max_attempts=8)).claims
        assert claim.event.text == odd
        assert await store.finish([(claim, record_json({"comment_text": odd}))]) == []
        assert [json.loads(record) async for record in store.records()] == [{"comment_text": odd}]
        failures = [failure async for failure in store.failures()]
        assert [failure["field"] if "field" in failure else "dead" for failure in failures] == [
            "\\ud83d\\x00 #ok", "dead"]
    run(scenario())


def test_a_database_of_0_1_0_is_migrated_in_place(tmp_path):
    path = tmp_path / "inbox.db"
    shutil.copy(RELEASED_0_1_0, path)
    before = list(stored_records(path))
    store = SqliteStore.open(path)
    try:
        async def scenario():
            assert (await store.recover()) == 1
            counts = await store.counts()
            assert (counts.deliveries, counts.pending, counts.waiting, counts.records, counts.failed,
                    counts.dead_letters) == (8, 4, 1, 3, 2, 1)
            claimed = await store.claim(10, lease=60.0, max_attempts=8)
            assert [(c.key, c.attempts) for c in claimed.claims] == [
                ("17841400000000002/comment/18000000000000005", 2),
                ("17841400000000001/comment/18000000000000006", 1),
                ("17841400000000002/comment/18000000000000007", 1)]
            assert await store.finish([(claimed.claims[0], "{}")]) == []
        run(scenario())
    finally:
        asyncio.run(store.close())
    assert len(before) == 3 and list(stored_records(path))[:3] == before
    with contextlib.closing(sqlite3.connect(path, isolation_level=None)) as db:
        assert db.execute("PRAGMA user_version").fetchone()[0] == SCHEMA_VERSION
        db.execute(f"PRAGMA user_version = {SCHEMA_VERSION + 1}")
    with pytest.raises(StoreVersionError, match="newer than this service's"):
        SqliteStore.open(path)
