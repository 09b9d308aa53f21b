"""What the commands take from their environment: the secrets, and logging that never shows them.

Secrets come only from the environment, never from arguments: `$NAME`, or the file named by `$NAME_FILE`.
"""
import logging
import os
import re
import sys
from dataclasses import dataclass, field
from pathlib import Path
from urllib.parse import quote, quote_plus

from tavelmoor.webhooks.text import escaped

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


def database_password() -> str | None:
    """The PostgreSQL password from $PGPASSWORD or the file named by $PGPASSWORD_FILE (libpq reads the former and
    its password file itself); None when neither is set."""
    return secret("PGPASSWORD", required=False)


def read_secrets(needs_access_token: bool) -> Secrets:
    app_secret = secret(APP_SECRET_VARIABLE)
    verify_token = secret(VERIFY_TOKEN_VARIABLE)
    assert app_secret is not None and verify_token is not None
    return Secrets(app_secret.encode("utf-8"), verify_token,
                   secret(ACCESS_TOKEN_VARIABLE, required=needs_access_token))


MIN_SECRET_CHARS = 4
# Any access token in a URL's query, whoever's it is.
_ACCESS_TOKEN_PARAMETER = re.compile(r"(access_token=)[^&\s\"'<>]+")


class Redactor:
    """Takes secrets out of a text: as they are, percent-encoded as a URL or a form carries them (either case of
    hex digits), and any `access_token=` query value."""

    def __init__(self, secrets: list[str]) -> None:
        forms: set[str] = set()
        # A few characters are no secret, and replacing them everywhere would garble every line.
        for value in (value for value in secrets if len(value) >= MIN_SECRET_CHARS):
            for encoded in (value, quote(value, safe=""), quote_plus(value, safe="")):
                forms.update((encoded, re.sub("%[0-9A-F]{2}", lambda match: match.group().lower(), encoded)))
        self._forms = sorted(forms - {""}, key=len, reverse=True)

    def __call__(self, text: str) -> str:
        for form in self._forms:
            if form in text:
                text = text.replace(form, "[redacted]")
        return _ACCESS_TOKEN_PARAMETER.sub(r"\1[redacted]", text)


class RedactingFormatter(logging.Formatter):
    """One line per message whatever it quotes (control characters are escaped), and every secret replaced in
    the finished text, tracebacks included, as a last line of defence."""

    def __init__(self, secrets: list[str]) -> None:
        super().__init__("%(asctime)s %(levelname)s %(name)s: %(message)s")
        self._redact = Redactor(secrets)

    def formatMessage(self, record: logging.LogRecord) -> str:
        record.message = escaped(record.message)
        return super().formatMessage(record)

    def format(self, record: logging.LogRecord) -> str:
        return self._redact(super().format(record))


def configure_logging(level: str, secrets: list[str]) -> None:
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(RedactingFormatter(secrets))
    root = logging.getLogger()
    root.handlers[:] = [handler]
    root.setLevel(level)
    # aiohttp's own access logger is replaced by the receiver's; its server errors stay at WARNING and up.
    logging.getLogger("aiohttp").setLevel(max(logging.getLevelName(level), logging.WARNING))
