"""The platform's delivery signature: `X-Hub-Signature-256: sha256=<hex HMAC-SHA256 of the body as sent>`."""
import hashlib
import hmac

SIGNATURE_HEADER = "X-Hub-Signature-256"


def sign(app_secret: bytes, body: bytes) -> str:
    """The header value the platform sends with `body`."""
    return "sha256=" + hmac.new(app_secret, body, hashlib.sha256).hexdigest()


def signature_matches(app_secret: bytes, body: bytes, header: str) -> bool:
    """Whether `header` is "sha256=" and the hex HMAC-SHA256 of the body as received, compared in constant time."""
    prefix, _, digest = header.partition("=")
    if prefix != "sha256" or len(digest) != 64 or not digest.isascii():
        return False
    expected = hmac.new(app_secret, body, hashlib.sha256).hexdigest()
    return hmac.compare_digest(expected, digest.lower())
