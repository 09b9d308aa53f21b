"""Webhook deliveries into events, and account settings, checked before any request is made.

The service's entry point is `parse_delivery`: the raw body of a signed delivery in, its events (or the
reason it is no delivery at all) out. It never raises, whatever the body holds, and its reasons are escaped
and bounded. A store keeps each item it gives as `stored_form` has it: an event's JSON is ASCII, and an event
the encoder cannot encode fails alone. The batch mode reads whole files with `read_events`. The bundled samples
are package data under `DATA`.
"""
import hashlib
import importlib.resources
import json
from collections.abc import Iterator
from dataclasses import dataclass
from importlib.resources.abc import Traversable
from typing import Any

from tavelmoor.webhooks.text import quoted

# The bundled deliveries, settings and posts, read as package data.
DATA = importlib.resources.files("tavelmoor.webhooks") / "data"


class PayloadError(Exception):
    """Input that cannot be processed; the message says where and why."""


@dataclass(frozen=True)
class Event:
    """One change of a webhook delivery: a comment on a post, or a mention of the account."""
    account_id: str
    kind: str
    time: int
    post_id: str
    comment_id: str | None
    text: str | None
    from_id: str | None
    from_username: str | None
    media_product_type: str | None


@dataclass(frozen=True)
class Account:
    """The service's setting for one Instagram account, with its brand and category assignments."""
    setting: dict[str, Any]
    channel_group_id: Any
    brands: list[dict[str, Any]]


def _load_json(path: Traversable) -> Any:
    try:
        text = path.read_text(encoding="utf-8")
    except OSError as error:
        raise PayloadError(f"{path}: cannot read: {error.strerror}") from None
    except UnicodeDecodeError:
        raise PayloadError(f"{path}: not UTF-8 text") from None
    try:
        return json.loads(text)
    except json.JSONDecodeError as error:
        raise PayloadError(f"{path}: not valid JSON: {error.msg} at line {error.lineno} column {error.colno}") from None


def _object(value: Any, where: str) -> dict[str, Any]:
    if not isinstance(value, dict):
        raise PayloadError(f"{where}: expected an object, got {type(value).__name__}")
    return value


def _list(value: Any, where: str) -> list[Any]:
    if not isinstance(value, list):
        raise PayloadError(f"{where}: expected a list, got {type(value).__name__}")
    return value


def _identifier(value: Any, where: str) -> str:
    # Graph API ids are digit strings; some senders give them as numbers.
    if isinstance(value, int) and not isinstance(value, bool):
        value = str(value)
    if not isinstance(value, str) or not value.isascii() or not value.isdigit():
        raise PayloadError(f"{where}: expected a numeric id, got {value!r}")
    return value


def _optional_str(value: Any, where: str) -> str | None:
    if value is not None and not isinstance(value, str):
        raise PayloadError(f"{where}: expected text, got {type(value).__name__}")
    return value


def _event(account_id: str, time: int, change: dict[str, Any], where: str) -> Event:
    kind = change.get("field")
    value = _object(change.get("value"), f"{where}: value")
    if kind == "comments":
        media = _object(value.get("media"), f"{where}: value.media")
        author = _object(value.get("from", {}), f"{where}: value.from")
        return Event(account_id, kind, time,
                     post_id=_identifier(media.get("id"), f"{where}: value.media.id"),
                     comment_id=_identifier(value.get("id"), f"{where}: value.id"),
                     text=_optional_str(value.get("text"), f"{where}: value.text"),
                     from_id=_optional_str(author.get("id"), f"{where}: value.from.id"),
                     from_username=_optional_str(author.get("username"), f"{where}: value.from.username"),
                     media_product_type=_optional_str(media.get("media_product_type"),
                                                      f"{where}: value.media.media_product_type"))
    if kind == "mentions":
        comment_id = value.get("comment_id")
        return Event(account_id, kind, time,
                     post_id=_identifier(value.get("media_id"), f"{where}: value.media_id"),
                     comment_id=None if comment_id is None else _identifier(comment_id, f"{where}: value.comment_id"),
                     text=None, from_id=None, from_username=None, media_product_type=None)
    raise PayloadError(f"{where}: unsupported field {kind!r} (expected 'comments' or 'mentions')")


@dataclass(frozen=True)
class Rejected:
    """An entry or change this consumer does not handle; it fails alone, with its reason."""
    key: str
    account_id: str | None
    kind: str | None
    reason: str


def event_key(event: Event) -> str:
    """The event's identity across deliveries: the platform may send an event again, batched differently.

    A comment, and a mention in a comment, are named by the comment; a mention in a caption by the media.
    """
    if event.comment_id is not None:
        return f"{event.account_id}/comment/{event.comment_id}"
    return f"{event.account_id}/media/{event.post_id}"


def content_key(account_id: str | None, kind: Any, value: Any) -> str:
    """The identity of a change that has no id of its own: a hash of what it says, never of the body."""
    canonical = json.dumps([account_id, kind, value], sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    # surrogatepass: a lone surrogate hashes too, and other text hashes as it always has.
    return f"{account_id}/hash/{hashlib.sha256(canonical.encode('utf-8', 'surrogatepass')).hexdigest()}"


def _entry_events(entry: Any, where: str) -> Iterator[Event | Rejected]:
    try:
        entry = _object(entry, where)
        account_id = _identifier(entry.get("id"), f"{where}: id")
        time = entry.get("time")
        if not isinstance(time, int) or isinstance(time, bool) or time < 0:
            raise PayloadError(f"{where}: time: expected a Unix time, got {time!r}")
        changes = _list(entry.get("changes"), f"{where}: changes")
    except PayloadError as error:
        yield Rejected(content_key(None, None, entry), None, None, quoted(str(error)))
        return
    for c, change in enumerate(changes, 1):
        change_where = f"{where}, change {c}"
        kind = change.get("field") if isinstance(change, dict) else None
        try:
            yield _event(account_id, time, _object(change, change_where), change_where)
        except PayloadError as error:
            value = change.get("value") if isinstance(change, dict) else change
            yield Rejected(content_key(account_id, kind, value), account_id,
                           quoted(kind) if isinstance(kind, str) else None, quoted(str(error)))


def delivery_events(document: Any, where: str) -> list[Event | Rejected]:
    """The events of one delivery; an entry or change it cannot use becomes a Rejected in its place.

    Raises PayloadError when the document is no Instagram delivery at all.
    """
    delivery = _object(document, where)
    if delivery.get("object") != "instagram":
        raise PayloadError(f"{where}: not an Instagram delivery (object is {delivery.get('object')!r})")
    events: list[Event | Rejected] = []
    for e, entry in enumerate(_list(delivery.get("entry"), f"{where}: entry"), 1):
        events.extend(_entry_events(entry, f"{where}, entry {e}"))
    return events


def parse_delivery(body: bytes) -> list[Event | Rejected] | str:
    """The events of one delivery's body, or the reason it cannot be used at all (it is then a dead letter)."""
    try:
        document = json.loads(body)
    except RecursionError:
        return "not JSON: nested too deeply to read"
    except Exception as error:
        return quoted(f"not JSON: {error}")
    try:
        return delivery_events(document, "delivery")
    except PayloadError as error:
        return quoted(str(error))
    except RecursionError:
        return "delivery: nested too deeply to read"
    except Exception as error:
        return quoted(f"delivery: cannot be read: {type(error).__name__}: {error}")


def stored_form(item: Event | Rejected) -> tuple[str, str | None, str | None, str | None, str | None]:
    """What a store keeps of one parsed item: (key, account, field, the event's JSON, the reason it failed).

    An event has its JSON and no reason, a refused change its reason and no JSON; an event that `event_to_json`
    cannot encode fails alone, with the encoder's error as its reason.
    """
    if isinstance(item, Rejected):
        return item.key, item.account_id, item.kind, None, item.reason
    key = event_key(item)
    try:
        return key, item.account_id, item.kind, event_to_json(item), None
    except Exception as error:
        return key, item.account_id, item.kind, None, quoted(f"cannot be stored: {type(error).__name__}: {error}")


def read_events(path: Traversable) -> list[Event | Rejected]:
    """The events of a file holding one webhook delivery or a list of them."""
    document = _load_json(path)
    deliveries = document if isinstance(document, list) else [document]
    events: list[Event | Rejected] = []
    for d, delivery in enumerate(deliveries, 1):
        events.extend(delivery_events(delivery, f"{path}: delivery {d}"))
    return events


def event_to_json(event: Event) -> str:
    """ASCII JSON: a lone surrogate or a NUL in a comment is an escape, which any store's text type can hold."""
    # Every field is a scalar, so the instance's own dict serves; asdict() would copy it deeply.
    return json.dumps(vars(event))


def event_from_json(text: str) -> Event:
    return Event(**json.loads(text))


def read_accounts(path: Traversable) -> dict[str, Account]:
    """The settings file's accounts by Instagram account id."""
    document = _object(_load_json(path), str(path))
    accounts = {}
    for a, account in enumerate(_list(document.get("accounts"), f"{path}: accounts"), 1):
        where = f"{path}: account {a}"
        account = _object(account, where)
        setting = _object(account.get("setting"), f"{where}: setting")
        brands = _list(account.get("brands"), f"{where}: brands")
        for b, brand in enumerate(brands, 1):
            brand = _object(brand, f"{where}: brand {b}")
            missing = {"BrandID", "CategoryID"} - brand.keys()
            if missing:
                raise PayloadError(f"{where}: brand {b}: missing {', '.join(sorted(missing))}")
        account_id = _identifier(setting.get("InstagramGraphApiID"), f"{where}: setting.InstagramGraphApiID")
        accounts[account_id] = Account(setting, account.get("channel_group_id"), brands)
    return accounts
