#!/usr/bin/env python3
"""The service's signature check on any header text and body (see signature_inputs)."""
import harness

with harness.instrumented(["tavelmoor", "signature_inputs"]):
    import signature_inputs


def test_one_input(data: bytes) -> None:
    signature_inputs.check(data)


if __name__ == "__main__":
    harness.main(test_one_input)
