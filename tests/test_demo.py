"""The webhook demo end to end: bundled deliveries through the local Graph API stand-in to JSON lines."""
import asyncio
import importlib.resources
import json
import os
import socket
import subprocess
import sys
import time

import pytest

DATA = importlib.resources.files("tavelmoor.webhooks") / "data"
ACCOUNT_A, ACCOUNT_B = "17841400000000001", "17841400000000002"
COMMON_KEYS = ["in_time", "channel_group_id", "channel_type", "category_id", "category_name", "brand_id",
               "brand_name", "setting_id", "author_social_id", "user_profile_pic", "author_user_name", "m_author_name"]


def demo(*args, env=None, timeout=120):
    """The batch mode, `tavelmoor-webhooks batch ARGS`."""
    full_env = {key: value for key, value in os.environ.items() if key != "GRAPH_API_ACCESS_TOKEN"}
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-P", "-m", "tavelmoor.webhooks", "batch", *map(str, args)],
                          capture_output=True, text=True, env=full_env, timeout=timeout)


def records(text):
    return [json.loads(line) for line in text.splitlines()]


def assert_clean_failure(proc, code, *phrases):
    assert proc.returncode == code, proc.stderr
    assert "Traceback" not in proc.stderr
    for phrase in phrases:
        assert phrase in proc.stderr


# (event, account, post, comment, post media type, children's media types, caption hashtags, comment hashtags)
BUNDLED = [
    ("comments", ACCOUNT_A, "17900000000000101", "18000000000000001", 2, [],
     "coffee,PourOver,café,morning,ritual,coffee", "yum,coffee,coffeetime"),
    ("comments", ACCOUNT_A, "17900000000000102", "18000000000000002", 21, [],
     "reels,latteart,日本,barista_life,2026", "日本,latteart"),
    ("mentions", ACCOUNT_A, "17900000000000103", "18000000000000003", 2, [2, 3, 2],
     "Ethiopia,Colombia,Kenya,singleorigin,box,fresh", ""),
    ("mentions", ACCOUNT_A, "17900000000000104", None, 3, [], "", ""),
    ("comments", ACCOUNT_B, "17900000000000201", "18000000000000004", 2, [],
     "nordlys,Norway,hiking,fjord,NORDLYS", ""),
    ("comments", ACCOUNT_B, "17900000000000202", "18000000000000005", 21, [],
     "skiing,winter2026,Ski,ski,skiing", "skiing,Powder,Day"),
    ("comments", ACCOUNT_A, "17900000000000103", "18000000000000006", 2, [2, 3, 2],
     "Ethiopia,Colombia,Kenya,singleorigin,box,fresh", "Kenya"),
    ("mentions", ACCOUNT_B, "17900000000000202", "18000000000000007", 21, [],
     "skiing,winter2026,Ski,ski,skiing", ""),
]

ACCOUNT_DETAILS = {
    ACCOUNT_A: {"channel_group_id": 5001, "category_id": 31, "category_name": "Food & Drink", "brand_id": 7,
                "brand_name": "Tavelmoor Coffee", "setting_id": 1001, "author_social_id": ACCOUNT_A,
                "user_profile_pic": "https://example.com/pics/tavelmoor-coffee.jpg",
                "author_user_name": "tavelmoor.coffee", "m_author_name": "Tavelmoor Coffee Roasters",
                "category_ids": "31,31,44", "brand_ids": "7,12,12"},
    ACCOUNT_B: {"channel_group_id": "cg-nordic", "category_id": "OUT", "category_name": "Outdoor & Sport",
                "brand_id": "NL-3", "brand_name": "Nordlys", "setting_id": 1002, "author_social_id": ACCOUNT_B,
                "user_profile_pic": None, "author_user_name": "nordlys.outdoor", "m_author_name": "Nordlys Outdoor",
                "category_ids": "OUT", "brand_ids": "NL-3"},
}


@pytest.fixture(scope="module")
def bundled_run(tmp_path_factory):
    output = tmp_path_factory.mktemp("demo") / "records.jsonl"
    proc = demo("--output", output)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == ""
    return records(output.read_text(encoding="utf-8")), proc.stderr


class TestBundledRun:
    def test_one_record_per_event_in_delivery_order(self, bundled_run):
        found, stderr = bundled_run
        assert [(r["event"], r["post_id"], r["comment_id"]) for r in found] == [(row[0], row[2], row[3])
                                                                                for row in BUNDLED]
        assert "8 records, 0 failed" in stderr
        assert "stand-in answered 8 requests" in stderr

    @pytest.mark.parametrize("index", range(len(BUNDLED)))
    def test_record_fields(self, bundled_run, index):
        event, account, post_id, _, media_type, children, caption_tags, comment_tags = BUNDLED[index]
        record = bundled_run[0][index]
        assert list(record)[:12] == COMMON_KEYS
        assert record["channel_type"] == {"comments": "instagram_comment", "mentions": "instagram_mention"}[event]
        assert {key: record[key] for key in ACCOUNT_DETAILS[account]} == ACCOUNT_DETAILS[account]
        assert (record["post_media_type"], record["post_children_media_types"]) == (media_type, children)
        assert (record["post_caption_hashtags"], record["comment_hashtags"]) == (caption_tags, comment_tags)
        assert record["post_permalink"].startswith("https://www.instagram.com/")

def test_concurrent_fetches_are_bounded_and_output_keeps_event_order():
    proc = demo("--latency", "0.05", "--repeat", "4", "--concurrency", "3", "--progress")
    assert proc.returncode == 0, proc.stderr
    assert [r["comment_id"] for r in records(proc.stdout)] == [row[3] for row in BUNDLED] * 4
    assert "at most 3 at once" in proc.stderr
    assert "32/32 events (100%)" in proc.stderr


def delivery(change=None, account=ACCOUNT_A):
    change = change or {"field": "mentions", "value": {"media_id": "17900000000000101"}}
    return {"object": "instagram", "entry": [{"id": account, "time": 1796460000, "changes": [change]}]}


def comment_on(media_id):
    return {"field": "comments", "value": {"id": "18000000000000001", "text": "#hi", "media": {"id": media_id}}}


@pytest.mark.parametrize("content, message", [
    ('{"object": "instagram", "entry": [', "not valid JSON: Expecting value at line 1 column 35"),
    ({"object": "page", "entry": []}, "delivery 1: not an Instagram delivery"),
    (delivery(account="123"), "no setting for Instagram account 123"),
    ([delivery(), "oops"], "delivery 2: expected an object, got str"),
], ids=["truncated", "other-object", "unknown-account", "delivery-not-object"])
def test_bad_payload_file_is_refused_before_any_fetch(tmp_path, content, message):
    path = tmp_path / "deliveries.json"
    path.write_text(content if isinstance(content, str) else json.dumps(content), encoding="utf-8")
    proc = demo(path)
    assert_clean_failure(proc, 2, f"{path}: " if "account" not in message else "", message)
    assert proc.stdout == ""


def test_unhandled_changes_fail_alone_and_the_others_go_on(tmp_path):
    path = tmp_path / "deliveries.json"
    story = {"field": "story_insights", "value": {"media_id": "1", "reach": 5}}
    mixed = delivery(comment_on("17900000000000101"))
    mixed["entry"][0]["changes"] += [story, comment_on("../me")]
    mixed["entry"].append({"id": "x"})
    path.write_text(json.dumps([mixed, delivery()]), encoding="utf-8")
    proc = demo(path)
    assert_clean_failure(proc, 1, "2 records, 3 failed",
                         "event 2: " + f"{path}: delivery 1, entry 1, change 2: unsupported field 'story_insights'",
                         "event 3: " + f"{path}: delivery 1, entry 1, change 3: value.media.id: expected a numeric id",
                         "event 4: " + f"{path}: delivery 1, entry 2: id: expected a numeric id, got 'x'")
    assert [r["post_id"] for r in records(proc.stdout)] == ["17900000000000101"] * 2


def test_missing_payload_file(tmp_path):
    assert_clean_failure(demo(tmp_path / "absent.json"), 2, "absent.json: cannot read: No such file or directory")


def test_unknown_post_fails_its_event_and_keeps_the_others(tmp_path):
    path = tmp_path / "deliveries.json"
    path.write_text(json.dumps([delivery(comment_on("999")), delivery()]))
    proc = demo(path)
    assert_clean_failure(proc, 1, "event 1: comments on post 999: HTTP 404: Object with ID '999' does not exist.",
                         "1 records, 1 failed")
    assert [r["post_id"] for r in records(proc.stdout)] == ["17900000000000101"]


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def test_unreachable_graph_api_stops_the_run():
    proc = demo("--graph-api-url", f"http://127.0.0.1:{free_port()}/v21.0", "--access-token", "t")
    assert_clean_failure(proc, 1, "error: cannot reach the Graph API at http://127.0.0.1:")
    assert proc.stdout == ""


def test_slow_answers_time_out_per_event():
    started = time.monotonic()
    proc = demo("--latency", "5", "--timeout", "0.3")
    assert_clean_failure(proc, 1, "0 records, 8 failed")
    assert proc.stderr.count("no answer within 0.3 s") == 8
    assert time.monotonic() - started < 5


@pytest.fixture
def separate_stand_in():
    server = subprocess.Popen([sys.executable, "-P", "-m", "tavelmoor.webhooks", "stand-in", "--access-token", "s3cret"],
                              stdout=subprocess.PIPE, text=True)
    try:
        base_url, token = server.stdout.readline().split()
        yield base_url, token
    finally:
        server.terminate()
        server.wait(timeout=10)
        server.stdout.close()


def test_graph_api_url_flag_points_the_client_at_another_server(separate_stand_in):
    base_url, token = separate_stand_in
    proc = demo("--graph-api-url", base_url, env={"GRAPH_API_ACCESS_TOKEN": token})
    assert proc.returncode == 0, proc.stderr
    assert [r["post_id"] for r in records(proc.stdout)] == [row[2] for row in BUNDLED]
    assert "stand-in answered" not in proc.stderr

    refused = demo("--graph-api-url", base_url, "--access-token", "wrong")
    assert_clean_failure(refused, 1, "error: HTTP 401: Invalid OAuth access token.")
    assert "wrong" not in refused.stderr


class TestClientAgainstStandIn:
    """The client's answers and errors, in process, against the stand-in."""

    def fetch(self, endpoint, fields=None, token=None, posts=None):
        import aiohttp
        from tavelmoor.webhooks.graph_api import GraphApiClient
        from tavelmoor.webhooks.stand_in import PARENT_POST_FIELDS, RunningStandIn, StandIn, load_posts

        async def go():
            stand_in = StandIn(posts or load_posts(DATA / "posts.json"), access_token="t")
            async with RunningStandIn(stand_in) as running, aiohttp.ClientSession() as session:
                client = GraphApiClient(session, running.base_url, timeout=5)
                return await client.fetch_instagram_data(endpoint=endpoint, access_token=token or "t",
                                                         fields=fields or PARENT_POST_FIELDS)
        return asyncio.run(go())

    def test_known_post_comes_back_as_its_json_text(self):
        text = self.fetch("17900000000000103")
        assert isinstance(text, str)
        assert json.loads(text) == json.loads((DATA / "posts.json").read_text(encoding="utf-8"))["17900000000000103"]

    @pytest.mark.parametrize("endpoint, fields, token, status, fatal, message", [
        ("17900000000000101", "id,caption", None, 400, False, "Unexpected field selection: 'id,caption'"),
        ("404404", None, None, 404, False, "Object with ID '404404' does not exist."),
        ("../17900000000000101", None, None, 404, False, "Object with ID '../17900000000000101' does not exist."),
        ("17900000000000101", None, "bad", 401, True, "Invalid OAuth access token."),
    ], ids=["other-fields", "unknown-id", "id-stays-one-segment", "bad-token"])
    def test_http_failures_raise_graph_api_error(self, endpoint, fields, token, status, fatal, message):
        from tavelmoor.webhooks.graph_api import GraphApiError
        with pytest.raises(GraphApiError) as caught:
            self.fetch(endpoint, fields, token)
        assert (caught.value.status, caught.value.fatal) == (status, fatal)
        assert str(caught.value).startswith(f"HTTP {status}: {message}")

    def test_oversized_answer_is_refused(self):
        from tavelmoor.webhooks.graph_api import MAX_ANSWER_BYTES, GraphApiError
        with pytest.raises(GraphApiError, match=f"answer larger than {MAX_ANSWER_BYTES} bytes"):
            self.fetch("1", posts={"1": {"id": "1", "caption": "#big " * (MAX_ANSWER_BYTES // 5)}})


@pytest.mark.filterwarnings("ignore:datetime.datetime.utcnow:DeprecationWarning")
def test_streaming_pipeline_holds_a_bounded_number_of_tasks_and_buffered_records():
    """However many events there are, tasks and reordered records stay within what the concurrency allows."""
    import io
    import random
    from tavelmoor.webhooks import batch as cli
    from tavelmoor.webhooks.payloads import read_accounts, read_events

    concurrency, events = 3, read_events(DATA / "webhooks.json") * 60
    posts = json.loads((DATA / "posts.json").read_text(encoding="utf-8"))
    rng = random.Random(7)
    peak_tasks = 0

    class Client:
        async def fetch_instagram_data(self, endpoint, access_token, fields):
            nonlocal peak_tasks
            peak_tasks = max(peak_tasks, len(asyncio.all_tasks()))
            # Now and then a slow answer, so later events finish first and wait in the reorder buffer.
            await asyncio.sleep(0.02 if rng.random() < 0.1 else 0)
            return json.dumps(posts[endpoint])

    out = io.StringIO()
    output = cli.OrderedOutput(out)
    asyncio.run(cli._process(iter(events), read_accounts(DATA / "settings.json"), Client(), "t", concurrency,
                             output, cli.Progress(len(events), enabled=False)))
    assert [r["comment_id"] for r in records(out.getvalue())] == [e.comment_id for e in events]
    assert peak_tasks <= concurrency + 2          # the workers, the feeder and the run itself
    assert 1 < output.peak_buffered <= cli.outstanding_limit(concurrency)
