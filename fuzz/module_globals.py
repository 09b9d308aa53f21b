#!/usr/bin/env python3
"""The module globals re, json and datetime, and what the functions read from them, changed between calls,
against the twin (see rebinding)."""
import harness

with harness.instrumented([*harness.INSTRUMENTED, "rebinding"]):
    import rebinding


def test_one_input(data: bytes) -> None:
    rebinding.check(data)


if __name__ == "__main__":
    harness.main(test_one_input)
