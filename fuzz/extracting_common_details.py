#!/usr/bin/env python3
"""extracting_common_details on values built from the fuzzer's bytes, against the plain twin."""
import harness

with harness.instrumented():
    import fuzz_values


def test_one_input(data: bytes) -> None:
    fuzz_values.check("extracting_common_details", data)


if __name__ == "__main__":
    harness.main(test_one_input)
