"""The platform's delivery signature: `X-Hub-Signature-256: sha256=<hex HMAC-SHA256 of the body as sent>`."""
import hashlib
import hmac
import re

SIGNATURE_HEADER = "X-Hub-Signature-256"
_WELL_FORMED = re.compile("sha256=[0-9a-fA-F]{64}")


def sign(app_secret: bytes, body: bytes) -> str:
    """The header value the platform sends with `body`."""
    return "sha256=" + hmac.new(app_secret, body, hashlib.sha256).hexdigest()


def well_formed(header: str) -> bool:
    """Whether `header` is "sha256=" and 64 hex digits: what can be told before the body is read."""
    return _WELL_FORMED.fullmatch(header) is not None


def signature_matches(app_secret: bytes, body: bytes, header: str) -> bool:
    """Whether `header` is "sha256=" and the hex HMAC-SHA256 of the body as received, compared in constant time."""
    if not well_formed(header):
        return False
    expected = hmac.new(app_secret, body, hashlib.sha256).hexdigest()
    return hmac.compare_digest(expected, header[7:].lower())
