"""What the service knows of its writes beyond the store's counts: whether they are failing, and the last failure.

The receiver and the pipeline report every write here; `/healthz` is not ready while the last write failed.
"""
import time
from typing import Any

from tavelmoor.webhooks.metrics import Metrics
from tavelmoor.webhooks.text import quoted


def describe(error: BaseException) -> str:
    if isinstance(error, TimeoutError):
        return "no commit within the deadline"
    return quoted(f"{type(error).__name__}: {error}")


class Health:
    def __init__(self, metrics: Metrics) -> None:
        self._failures = metrics.commit_failures
        self.failing = False
        self.last_failure: dict[str, Any] | None = None

    def written(self) -> None:
        self.failing = False

    def write_failed(self, error: BaseException) -> None:
        self._failures.inc()
        self.failing = True
        self.last_failure = {"at": time.time(), "error": describe(error)}
