#!/usr/bin/env python3
"""The coroutine of process_parent_post, stepped as the fuzzer's bytes say, against the twin's async def."""
import harness

with harness.instrumented():
    import coroutine_script


def test_one_input(data: bytes) -> None:
    coroutine_script.check(data)


if __name__ == "__main__":
    harness.main(test_one_input)
