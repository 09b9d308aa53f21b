#!/usr/bin/env python3
"""The service's delivery parser and event encoder on any bytes as a signed body (see delivery_outcomes)."""
import harness

with harness.instrumented(["tavelmoor", "delivery_outcomes"]):
    import delivery_outcomes


def test_one_input(data: bytes) -> None:
    delivery_outcomes.check(data)


if __name__ == "__main__":
    harness.main(test_one_input)
