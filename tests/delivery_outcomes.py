"""The service's delivery parser and event encoder on any bytes as a signed body.

The receiver hands the body to `parse_delivery` and the store keeps each item as `stored_form` gives it.
Whatever the bytes, that is a dead letter with a reason (only for a body that is no Instagram delivery, or one
nested too deeply), or one item per change of each usable entry and one for an entry it cannot use: an event
whose stored JSON is ASCII and decodes to the values `json.loads` reads from the body, lone surrogates and
NULs included, or a failure with an escaped reason. No text kept holds a control character or a lone
surrogate (PostgreSQL's text refuses NUL), and SQLite takes the rows as its store writes them.
The fuzz target `parse_delivery` calls `check`.
"""
import atexit
import json
import sqlite3
from pathlib import Path
from typing import Any

from tavelmoor.webhooks.payloads import Event, Rejected, event_from_json, parse_delivery, stored_form
from tavelmoor.webhooks.store.sqlite import _insert_events, migrate
from tavelmoor.webhooks.text import MAX_QUOTED_CHARS, escaped

TOO_DEEP = "delivery: nested too deeply to read"
NOT_JSON = object()


def _database() -> sqlite3.Connection:
    """An empty store's schema, in memory: each check writes into it and rolls back."""
    db = sqlite3.connect(":memory:", isolation_level=None)
    migrate(db, Path(":memory:"))
    atexit.register(db.close)
    return db


DATABASE = _database()


def check_reason(reason: Any) -> None:
    assert type(reason) is str and escaped(reason) == reason, reason
    assert len(reason) <= MAX_QUOTED_CHARS + 3, reason


def usable_entry(entry: Any) -> bool:
    """Whether the parser should look at the entry's changes one by one."""
    if not isinstance(entry, dict):
        return False
    account, time = entry.get("id"), entry.get("time")
    if type(account) is int:
        account = str(account)
    return (type(account) is str and account.isascii() and account.isdigit()
            and type(time) is int and time >= 0 and isinstance(entry.get("changes"), list))


def expected_event(account: Any, time: int, change: dict) -> dict:
    """The event's fields as the body has them, read without the parser."""
    value = change["value"]
    if change["field"] == "comments":
        media, author = value["media"], value.get("from", {})
        return {"account_id": str(account), "kind": "comments", "time": time, "post_id": str(media["id"]),
                "comment_id": str(value["id"]), "text": value.get("text"), "from_id": author.get("id"),
                "from_username": author.get("username"), "media_product_type": media.get("media_product_type")}
    assert change["field"] == "mentions", change
    comment_id = value.get("comment_id")
    return {"account_id": str(account), "kind": "mentions", "time": time, "post_id": str(value["media_id"]),
            "comment_id": None if comment_id is None else str(comment_id), "text": None, "from_id": None,
            "from_username": None, "media_product_type": None}


def typed(fields: dict) -> list:
    # True == 1 and 1 == 1.0: the types are compared too.
    return [(key, type(value), value) for key, value in fields.items()]


def check_item(item: Any, account: Any, time: int, change: Any) -> tuple:
    row = stored_form(item)
    key, account_id, field, event_json, reason = row
    assert type(key) is str and key.isascii(), row
    # No control character, NUL or lone surrogate in any text kept: every store's text type holds it.
    assert all(text is None or escaped(text) == text for text in row), row
    if isinstance(item, Rejected):
        assert event_json is None, row
        check_reason(reason)
        return row
    assert isinstance(item, Event), item
    if event_json is None:
        check_reason(reason)
        return row
    assert reason is None and event_json.isascii(), row
    assert typed(json.loads(event_json)) == typed(expected_event(account, time, change)), (row, change)
    assert event_from_json(event_json) == item, row
    return row


def check_stored(items: list, rows: list[tuple]) -> None:
    """The items go into SQLite as the store writes them and come back as `stored_form` gave them; a key seen
    again is a duplicate and is not stored twice."""
    DATABASE.execute("BEGIN")
    try:
        delivery = DATABASE.execute("INSERT INTO deliveries (received_at, body) VALUES (0, x'')").lastrowid
        firsts: dict[str, tuple] = {}
        for row in rows:
            firsts.setdefault(row[0], row)
        assert _insert_events(DATABASE, delivery, items) == len(firsts), rows
        kept = DATABASE.execute("SELECT key, account, field, event, reason FROM events").fetchall()
        assert sorted(kept) == sorted(firsts.values()), kept
    finally:
        DATABASE.execute("ROLLBACK")


def check(body: bytes) -> None:
    parsed = parse_delivery(body)
    try:
        document = json.loads(body)
    except (ValueError, RecursionError):
        document = NOT_JSON
    is_delivery = (isinstance(document, dict) and document.get("object") == "instagram"
                   and isinstance(document.get("entry"), list))
    if isinstance(parsed, str):
        check_reason(parsed)
        assert not is_delivery or parsed == TOO_DEEP, parsed
        return
    assert is_delivery and type(parsed) is list, parsed
    # Where each item came from: an entry the parser cannot use, or one change of a usable entry.
    sources = []
    for entry in document["entry"]:
        if usable_entry(entry):
            sources += [(entry["id"], entry["time"], change) for change in entry["changes"]]
        else:
            sources.append((None, 0, entry))
    assert len(parsed) == len(sources), (parsed, sources)
    rows = []
    for item, (account, time, source) in zip(parsed, sources):
        assert account is not None or (isinstance(item, Rejected) and item.account_id is None), (item, source)
        rows.append(check_item(item, account, time, source))
    check_stored(parsed, rows)
