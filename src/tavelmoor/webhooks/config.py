"""What the commands take from their environment: the secrets, and logging that never shows them.

Secrets come only from the environment, never from arguments: `$NAME`, or the file named by `$NAME_FILE`.
"""
import logging
import os
import sys
from dataclasses import dataclass, field
from pathlib import Path

PROG = "tavelmoor-webhooks"
APP_SECRET_VARIABLE = "INSTAGRAM_APP_SECRET"
VERIFY_TOKEN_VARIABLE = "INSTAGRAM_VERIFY_TOKEN"
ACCESS_TOKEN_VARIABLE = "GRAPH_API_ACCESS_TOKEN"


@dataclass
class Secrets:
    app_secret: bytes
    verify_token: str
    access_token: str | None = field(default=None)

    def values(self) -> list[str]:
        return [value for value in (self.app_secret.decode("utf-8", "replace"), self.verify_token,
                                    self.access_token) if value]


class ConfigError(Exception):
    """The service cannot start as configured; the message says why."""


def secret(name: str, *, required: bool = True) -> str | None:
    """`$NAME`, or the content of the file named by `$NAME_FILE` (one trailing newline dropped)."""
    value = os.environ.get(name)
    path = os.environ.get(f"{name}_FILE")
    if value and path:
        raise ConfigError(f"set ${name} or ${name}_FILE, not both")
    if path:
        try:
            value = Path(path).read_text(encoding="utf-8").removesuffix("\n")
        except (OSError, UnicodeDecodeError) as error:
            raise ConfigError(f"${name}_FILE: cannot read {path}: {error}") from None
    if required and not value:
        raise ConfigError(f"set ${name}, or ${name}_FILE to a file that holds it")
    return value or None


def read_secrets(needs_access_token: bool) -> Secrets:
    app_secret = secret(APP_SECRET_VARIABLE)
    verify_token = secret(VERIFY_TOKEN_VARIABLE)
    assert app_secret is not None and verify_token is not None
    return Secrets(app_secret.encode("utf-8"), verify_token,
                   secret(ACCESS_TOKEN_VARIABLE, required=needs_access_token))


class RedactingFormatter(logging.Formatter):
    """Replaces every secret in a finished log line, tracebacks included, as a last line of defence."""

    def __init__(self, secrets: list[str]) -> None:
        super().__init__("%(asctime)s %(levelname)s %(name)s: %(message)s")
        self._secrets = sorted(secrets, key=len, reverse=True)

    def format(self, record: logging.LogRecord) -> str:
        text = super().format(record)
        for value in self._secrets:
            text = text.replace(value, "[redacted]")
        return text


def configure_logging(level: str, secrets: list[str]) -> None:
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(RedactingFormatter(secrets))
    root = logging.getLogger()
    root.handlers[:] = [handler]
    root.setLevel(level)
    # aiohttp's own access logger is replaced by the receiver's; its server errors stay at WARNING and up.
    logging.getLogger("aiohttp").setLevel(max(logging.getLevelName(level), logging.WARNING))
