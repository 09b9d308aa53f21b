"""The service's Prometheus metrics: one registry of its own, and the families updated where things happen.

Every label has a fixed, small set of values, so that no input can grow the number of series: Graph API
statuses and error codes outside the known ones are counted as "other".
"""
import time

from prometheus_client import CollectorRegistry, Counter, Gauge, Histogram, generate_latest

from tavelmoor.webhooks.store import Counts

PREFIX = "tavelmoor_webhooks"
DELIVERY_OUTCOMES = ("stored", "duplicate", "dead_letter", "401", "403", "408", "413", "503", "busy")
EVENT_STATES = ("pending", "in_flight", "waiting", "done", "failed")
PAUSE_REASONS = ("throttled", "token_refused", "outage")
GRAPH_API_STATUSES = frozenset({200, 400, 401, 403, 404, 429, 500, 502, 503, 504})
# Codes the service acts on (throttling, the refused token, transient faults) and the common refusals.
GRAPH_API_ERROR_CODES = frozenset({1, 2, 4, 10, 17, 32, 100, 190, 200, 368, 613})
CLAIM_BUCKETS = (0.0005, 0.001, 0.002, 0.003, 0.005, 0.0075, 0.01, 0.015, 0.02, 0.03, 0.05, 0.075, 0.1, 0.25, 0.5,
                 1.0, 2.5, 5.0)
LATENCY_BUCKETS = (0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0, 30.0, 60.0, 300.0, 3600.0)


class Metrics:
    def __init__(self) -> None:
        registry = self.registry = CollectorRegistry()
        self.deliveries = Counter(f"{PREFIX}_deliveries", "Deliveries answered, by outcome: stored, duplicate "
                                  "(every event known already), dead letter, busy (no room to read the body), or "
                                  "the HTTP status of a refusal", ["outcome"], registry=registry)
        self.connections_refused = Counter(f"{PREFIX}_connections_refused", "Connections closed at once because "
                                           "as many as allowed were open", registry=registry)
        self.events = Gauge(f"{PREFIX}_events", "Events by state", ["state"], registry=registry)
        self.dead_letters = Gauge(f"{PREFIX}_dead_letters", "Deliveries kept as dead letters", registry=registry)
        self.oldest_pending = Gauge(f"{PREFIX}_oldest_pending_event_age_seconds",
                                    "Age of the oldest event not yet done or failed (0 when there is none)",
                                    registry=registry)
        self.latency = Histogram(f"{PREFIX}_event_latency_seconds", "From an event's claim to its stored record",
                                 buckets=LATENCY_BUCKETS, registry=registry)
        self.claim_latency = Histogram(f"{PREFIX}_claim_seconds", "Round trip of one claim of events from the store",
                                       buckets=CLAIM_BUCKETS, registry=registry)
        self.graph_api_requests = Counter(f"{PREFIX}_graph_api_requests", "Graph API requests by HTTP status "
                                          "(none: no answer)", ["status"], registry=registry)
        self.graph_api_errors = Counter(f"{PREFIX}_graph_api_errors", "Graph API error answers by error code",
                                        ["code"], registry=registry)
        self.retries = Counter(f"{PREFIX}_retries", "Events made to wait for another attempt", registry=registry)
        self.pauses = Counter(f"{PREFIX}_pauses", "Times all workers were paused, by reason", ["reason"],
                              registry=registry)
        self.commit_failures = Counter(f"{PREFIX}_commit_failures", "Store writes that failed", registry=registry)
        self.expired_claims = Counter(f"{PREFIX}_expired_claims", "Events claimed again after their lease passed",
                                      registry=registry)
        self.stale_outcomes = Counter(f"{PREFIX}_stale_outcomes", "Outcomes not stored, and calls cancelled, because "
                                      "the claim's lease passed or the event had been claimed again",
                                      registry=registry)
        # Every series exists from the start, so that a rate or an alert has something to read at zero; the
        # children are looked up once, not per request.
        self.delivery_outcome = {outcome: self.deliveries.labels(outcome) for outcome in DELIVERY_OUTCOMES}
        for reason in PAUSE_REASONS:
            self.pauses.labels(reason)
        self._by_status = {status: self.graph_api_requests.labels(str(status)) for status in GRAPH_API_STATUSES}
        self._by_code = {code: self.graph_api_errors.labels(str(code)) for code in GRAPH_API_ERROR_CODES}

    def graph_api_answer(self, status: int | None, code: int | None) -> None:
        """Counts one Graph API request: its HTTP status (None: no answer) and, for an error, its code."""
        by_status = self._by_status.get(status) if status is not None else None
        (by_status or self.graph_api_requests.labels("none" if status is None else "other")).inc()
        if status is not None and status >= 400:
            by_code = self._by_code.get(code) if code is not None else None
            (by_code or self.graph_api_errors.labels("none" if code is None else "other")).inc()

    def set_counts(self, counts: Counts) -> None:
        for state, value in zip(EVENT_STATES, (counts.pending - counts.in_flight - counts.waiting, counts.in_flight,
                                               counts.waiting, counts.records, counts.failed)):
            self.events.labels(state).set(value)
        self.dead_letters.set(counts.dead_letters)
        self.oldest_pending.set(0 if counts.oldest_pending is None else max(0.0, time.time() - counts.oldest_pending))

    def render(self) -> bytes:
        return generate_latest(self.registry)
