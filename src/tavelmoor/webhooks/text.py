"""Text that came from outside, made safe to write on one log line or to store as a reason."""
import re

# Control characters (C0, DEL, C1), the line and paragraph separators, and lone surrogates.
_UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\ud800-\udfff]")


def _escape(match: re.Match[str]) -> str:
    return match.group().encode("unicode_escape").decode("ascii")


def escaped(text: str) -> str:
    """`text` with the characters that could start a new line, hide text or fail to encode as UTF-8 written
    as Python escapes (`\\n`, `\\x00`, `\\u2028`, `\\ud83d`); everything else is left as it is."""
    return _UNSAFE.sub(_escape, text)


# A reason or a quoted error says enough in a few hundred characters.
MAX_QUOTED_CHARS = 500


def quoted(text: str) -> str:
    """`text` escaped, and cut short after MAX_QUOTED_CHARS characters: fit for a stored reason or a log line."""
    text = escaped(text)
    return text if len(text) <= MAX_QUOTED_CHARS else text[:MAX_QUOTED_CHARS] + "..."
