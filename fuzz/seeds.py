"""Writes seed inputs for the fuzz targets: the test suite's own inputs, encoded as the bytes from which
the targets build them. Run it with the test venv, then minimise into the corpora:

    .venv/test/bin/python -P fuzz/seeds.py SEEDS && scripts/fuzz --merge TARGET SEEDS/TARGET

Inputs of the suite that the builders cannot make (objects of the tests' own classes) are left out:
the fuzzer reaches those kinds by itself.
"""
import hashlib
import inspect
import itertools
import json
import sys
from pathlib import Path
from typing import Any, Iterator

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import coroutine_script  # noqa: E402
import fuzz_values as fv  # noqa: E402
import rebinding  # noqa: E402
import test_coroutine_protocol  # noqa: E402
import test_extract_brand_ids_and_category_ids  # noqa: E402
import test_extracting_common_details  # noqa: E402
import test_faults  # noqa: E402
import test_get_hashtags  # noqa: E402
import test_get_media_type  # noqa: E402
import test_service  # noqa: E402
import test_store  # noqa: E402
from media_names import TABLE  # noqa: E402

# The fuzzer's inputs are at most this long (scripts/fuzz); a longer seed would be cut short.
MAX_LEN = 4096


class Unencodable(Exception):
    pass


class Encoder:
    """The choices that make fuzz_values.Source give a wanted value, as bytes."""

    def __init__(self) -> None:
        self.out = bytearray()

    def choose(self, choice: int, n: int) -> "Encoder":
        assert 0 <= choice < n <= 256
        self.out.append(choice)
        return self

    def wide(self, number: int) -> "Encoder":
        self.out += number.to_bytes(3, "big")
        return self

    def pick(self, options: Any, item: Any) -> "Encoder":
        for index, option in enumerate(options):
            if option is item or (type(option) is type(item) and option == item):
                return self.choose(index, len(options))
        raise Unencodable(item)

    def text(self, text: str) -> "Encoder":
        length = next((n for n in fv.LENGTHS if n >= len(text)), None)
        if length is None:
            raise Unencodable(text)
        self.choose(fv.LENGTHS.index(length), len(fv.LENGTHS))
        for char in text:
            if char == "#":
                self.choose(0, 7)
            elif char in fv.ASCII:
                self.choose(1, 7).pick(fv.ASCII, char)
            elif char in fv.SCRIPTS:
                self.choose(2, 7).pick(fv.SCRIPTS, char)
            elif 32 <= ord(char) < 127:
                self.choose(5, 7).choose(ord(char) - 32, 95)
            else:
                self.choose(3, 7).wide(ord(char))
        for _ in range(length - len(text)):  # empty pieces
            self.choose(6, 7).choose(0, len(fv.SCRIPTS)).choose(0, len(fv.LENGTHS))
        return self

    def integer(self, number: int) -> "Encoder":
        if -128 <= number < 128:
            return self.choose(0, 4).choose(number + 128, 256)
        if -(1 << 23) <= number < 1 << 23:
            return self.choose(1, 4).wide(number + (1 << 23))
        return self.choose(3, 4).pick((0, 1, -1, 2**31, 2**63, -2**63 - 1, 2**64), number)

    def record(self, fields: dict, depth: int) -> "Encoder":
        keys = [key for key in fv.KEYS if key in fields]
        if type(fields) is not dict or list(fields) != keys:
            raise Unencodable(fields)
        self.choose(1, 4)
        for key in fv.KEYS:
            if key in fields:
                self.choose(1, 8).value(fields[key], depth + 1)
            else:
                self.choose(0, 8)
        return self

    def value(self, value: Any, depth: int = 0) -> "Encoder":
        kinds = 12 if depth < 3 else 7
        if value is None:
            return self.choose(0, kinds)
        if type(value) is bool:
            return self.choose(1, kinds).choose(int(value), 2)
        if type(value) is int:
            return self.choose(2, kinds).integer(value)
        if type(value) is str:
            return self.choose(3, kinds).text(value)
        if type(value) is bytes:
            return self.choose(5, kinds).text(value.decode("utf-8", "surrogatepass"))
        if type(value) is float:
            return self.choose(6, kinds).pick((0.0, -0.0, 1.5, 1e300, float("inf")), value)
        if type(value) is list and depth < 3 and len(value) < 5:
            self.choose(7, kinds).choose(len(value), 5)
            for item in value:
                self.value(item, depth + 1)
            return self
        if type(value) is dict and depth < 3:
            return self.choose(8, kinds).choose(0, 8).record(value, depth)
        raise Unencodable(value)


def parameters(function: Any, name: str) -> list:
    """The values a parametrized test of the suite takes for `name`."""
    for mark in function.pytestmark:
        names = [n.strip() for n in mark.args[0].split(",")]
        if mark.name == "parametrize" and name in names:
            rows = mark.args[1]
            return [row[names.index(name)] if len(names) > 1 else row for row in rows]
    raise LookupError(name)


def encoded(build: Any, *args: Any) -> bytes | None:
    encoder = Encoder()
    try:
        build(encoder, *args)
    except Unencodable:
        return None
    return bytes(encoder.out)


def text_or_value(encoder: Encoder, value: Any) -> None:
    if type(value) is str:
        encoder.choose(1, 3).text(value)
    else:
        encoder.choose(0, 3).value(value)
    encoder.choose(0, 2)  # by position


def identifier_lists(encoder: Encoder, data: Any) -> None:
    if type(data) is not list or len(data) not in fv.ITEM_COUNTS:
        encoder.choose(0, 8).value(data)
    else:
        encoder.choose(2, 8).pick(fv.ITEM_COUNTS, len(data))
        for item in data:
            if type(item) is dict:
                encoder.choose(0, 8).choose(0, 8).record(item, 1)
            else:
                encoder.choose(7, 8).value(item, 1)
    encoder.choose(0, 2)


def common_details(encoder: Encoder, setting: Any, channel_type: Any, group_id: Any) -> None:
    encoder.choose(1, 2).choose(0, 6)  # 2026
    for choice, n in [(11, 12), (7, 28), (6, 24), (30, 60), (0, 60)]:  # December 8th, 06:30:00
        encoder.choose(choice, n)
    encoder.wide(0).choose(1, 4).choose(3, 16)  # no fraction, no zone, a datetime
    if type(setting) is dict:
        encoder.choose(0, 8).choose(0, 8).record(setting, 0)
    else:
        encoder.choose(7, 8).value(setting)
    encoder.value(channel_type).value(group_id).choose(0, 2)


def coroutine(encoder: Encoder, kind: str, answer: Any, operations: list[str]) -> None:
    encoder.pick(coroutine_script.KINDS, kind)
    encoder.choose(2, 5)
    for item in ("a", "b"):
        encoder.choose(0, 2).value(item)
    encoder.choose(0, 4).pick(coroutine_script.ANSWERS, answer)
    encoder.choose(len(operations), 12)
    for operation in operations:
        encoder.pick(sorted(coroutine_script.OPERATIONS), operation).choose(1, 4)
    encoder.choose(1, 4)  # closed at the end, not dropped


def seeds() -> Iterator[tuple[str, bytes | None]]:
    for text, _ in test_get_hashtags.RESULTS:
        yield "get_hashtags", encoded(text_or_value, text)
    spellings = parameters(test_get_media_type.test_every_name_in_any_case, "spelling")
    for name in TABLE:
        for spelling in spellings:
            yield "get_media_type", encoded(text_or_value, spelling(name))
    for name in parameters(test_get_media_type.test_unknown_and_non_ascii_names, "name") + [None, b"IMAGE", 2]:
        yield "get_media_type", encoded(text_or_value, name)
    for data in parameters(test_extract_brand_ids_and_category_ids.test_results, "data") + [None, ()]:
        yield "extract_brand_ids_and_category_ids", encoded(identifier_lists, data)
    full = {key: "v" for key in fv.KEYS if key in test_extracting_common_details.KEYS}
    for setting in [{}, full, {"BrandID": 7, "AccountID": 1001}, {"brandid": 1}, None, [], "setting"]:
        yield "extracting_common_details", encoded(common_details, setting, "instagram_comment", 5001)
    operations = parameters(test_coroutine_protocol.test_operation_sequences_match_async_def, "operations")
    for kind in coroutine_script.KINDS:
        for answer in coroutine_script.ANSWERS:
            for steps in operations:
                yield "process_parent_post", encoded(coroutine, kind, answer, steps)


def explicit_examples(test: Any) -> list[dict]:
    """The arguments of a hypothesis test's @example cases, by name (its fixture `service` aside)."""
    names = [name for name in inspect.signature(test.hypothesis.inner_test).parameters if name != "service"]
    return [{**dict(zip(names, example.args)), **example.kwargs} for example in test.hypothesis_explicit_examples]


def bodies() -> Iterator[bytes]:
    """The bodies of deliveries the service tests post, and the bundled ones."""
    for document in test_service.BUNDLED:
        yield json.dumps(document).encode()
        yield test_service.body_of(document)
    yield from parameters(test_service.test_signature_and_size_decide_what_is_kept, "body")
    for example in explicit_examples(test_faults.test_every_signed_delivery_is_kept_whatever_its_fields_hold):
        yield json.dumps(test_faults.planted(example["place"], example["value"])).encode()
    for example in explicit_examples(test_faults.test_every_signed_body_is_kept_whatever_it_holds):
        yield example["body"]
    yield test_store.delivery(test_store.comment(1), test_store.STORY)


def signed(body: bytes, signature: Any) -> bytes | None:
    """The signature_matches input for a body and the header a test sends with it (None: the right one)."""
    if signature is None:
        return bytes([0, 1, 0]) + body          # the suite's secret, signed, no edits
    if signature is False:                      # no header: refused before the check
        return None
    header = signature.encode("utf-8", "surrogateescape")
    if len(header) >= 128:
        return None
    return bytes([0, 0, len(header)]) + header + body


def service_seeds() -> Iterator[tuple[str, bytes | None]]:
    for body in bodies():
        yield "parse_delivery", body
    table = test_service.test_signature_and_size_decide_what_is_kept
    for body, signature in zip(parameters(table, "body"), parameters(table, "signature")):
        yield "signature_matches", signed(body, signature)
    for head in parameters(test_faults.test_refusals_from_the_headers_come_before_the_body_and_close_the_connection,
                           "head"):
        for line in head.split("\r\n"):
            name, _, value = line.partition(": ")
            if name == "X-Hub-Signature-256":
                yield "signature_matches", signed(b"", value)


def rebinding_seeds() -> Iterator[tuple[str, bytes | None]]:
    """What the suite's rebinding tests do, for each global: a stand-in of each kind, a deleted global and
    the builtin found instead, the attribute replaced or deleted after a first call; each followed by a call."""
    call, delete = (5, 0), (1,)
    for name in range(len(rebinding.NAMES)):
        scenarios = [[call], [delete, call], [delete, (2, 1, 0, 0), call], [call, (3, 0), call],
                     [call, (4,), call], [(0, 0, 0, 0), call, (3, 1), call], [(0, 1), (4,), call, (0, 1), call]]
        scenarios += [[(0, 0, kind, 0), call] for kind in range(4)] + [[(0, 0, 4), call]]
        for steps in scenarios:
            yield "module_globals", bytes([len(steps)] + [byte for step in steps for byte in (name, *step)])


def main(folder: Path) -> None:
    made: dict[str, int] = {}
    for target, data in itertools.chain(seeds(), rebinding_seeds(), service_seeds()):
        if data is not None and len(data) <= MAX_LEN:
            (folder / target).mkdir(parents=True, exist_ok=True)
            (folder / target / hashlib.sha1(data).hexdigest()).write_bytes(data)
            made[target] = made.get(target, 0) + 1
    print(made)


if __name__ == "__main__":
    main(Path(sys.argv[1]))
