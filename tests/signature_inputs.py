"""The service's signature check on any header text and body: a bool, never an exception, and true exactly
when the header is the expected "sha256=" and hex HMAC-SHA256 of the body, its hex digits in either case.

The bytes give a secret, a body and a header: either header text as a client may send it (decoded the way
aiohttp decodes header bytes) or the right signature, or that of another body, with a few characters changed.
The fuzz target `signature_matches` calls `check`.
"""
import hashlib
import hmac
import string

from fuzz_values import Source
from tavelmoor.webhooks.signature import sign, signature_matches, well_formed

SECRETS = (b"app-s3cret-\xc3\x86\xc3\x98", b"", b"k" * 100, b"\x00\xff")
# Hex digits in both cases, and what could pass for one after lower() or in a loose pattern: other digits,
# the Kelvin sign, the long s, blanks, line ends, NUL, a byte aiohttp could not decode.
CHARACTERS = "0aF9gG =\t\n\r\x00\u212a\u017f\uff10\u0663\u00b2\udc80"
EDITS = 8


def edited(header: str, edits: list[tuple[int, int, str]]) -> str:
    for at, operation, character in edits:
        at %= len(header) + 1
        if operation == 0:
            header = header[:at] + character + header[at + 1:]
        elif operation == 1:
            header = header[:at] + character + header[at:]
        elif operation == 2:
            header = header[:at] + header[at + 1:]
        else:
            header = header[:at] + header[at:at + 1].swapcase() + header[at + 1:]
    return header


def decode(data: bytes) -> tuple[bytes, bytes, str]:
    """(secret, body, header) from the fuzzer's bytes."""
    source = Source(data)
    secret = source.pick(SECRETS)
    mode = source.below(3)
    if mode == 0:
        size = source.below(128)
        rest = data[source.at:]
        return secret, rest[size:], rest[:size].decode("utf-8", "surrogateescape")
    edits = [(source.below(256), source.below(4), source.pick(CHARACTERS)) for _ in range(source.below(EDITS))]
    body = data[source.at:]
    return secret, body, edited(sign(secret, body if mode == 1 else body + b"."), edits)


def check(data: bytes) -> None:
    secret, body, header = decode(data)
    matches, formed = signature_matches(secret, body, header), well_formed(header)
    assert type(matches) is bool and type(formed) is bool
    expected = "sha256=" + hmac.new(secret, body, hashlib.sha256).hexdigest()
    plain = header.isascii() and hmac.compare_digest(expected, header[:7] + header[7:].lower())
    assert matches == plain, (secret, body, header)
    assert formed == (header.isascii() and len(header) == 71 and header.startswith("sha256=")
                      and all(c in string.hexdigits for c in header[7:])), header
    assert formed or not matches
