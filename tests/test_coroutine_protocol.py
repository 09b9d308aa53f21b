"""The coroutine object against an `async def` doing the same, step by step.

Each case drives one coroutine of process_parent_post and one of `reference`, the twin's,
with the same operations, each over its own client, and compares what every
step gives, what the client saw, and the state that inspect reports after it
(coroutine_script.trace). Messages are compared as the module words them (twin.as_native).
"""
import asyncio
import gc
import inspect
import sys
import traceback
import weakref

import pytest
from hypothesis import given, settings, strategies as st

from coroutine_script import KINDS, OPERATIONS, Scripted, make_client, state, trace
from outcomes import outcome
from tavelmoor.common_functions import process_parent_post
from twin import process_parent_post as reference

IMPLEMENTATIONS = {"native": process_parent_post, "reference": reference}


def assert_same(kind, yields, result, operations):
    ours = trace(process_parent_post, kind, yields, result, operations)
    theirs = trace(reference, kind, yields, result, operations)
    assert ours == theirs


ANSWERS = ['{"a": 1}', "", None, "   ", "null", 7]


@settings(max_examples=300, deadline=None)
@given(kind=st.sampled_from(KINDS), yields=st.lists(st.sampled_from(["a", None, 3]), max_size=3),
       result=st.sampled_from(ANSWERS), operations=st.lists(st.sampled_from(sorted(OPERATIONS)), max_size=7))
def test_any_sequence_of_operations_matches_async_def(kind, yields, result, operations):
    assert_same(kind, yields, result, operations)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("operations", [
    ["send_none", "send_text", "send_none", "send_none"],
    ["send_none", "throw_value_class", "throw_key"],
    ["send_none", "throw_exit", "send_none"],
    ["send_none", "throw_stop", "send_none"],
    ["send_none", "throw3", "throw3_key"],
    ["close", "send_none", "throw_key", "close"],
    ["next", "await_throw", "next"],
    ["send_none", "await_new", "next", "await_new", "await_send", "send_none", "await_new", "next"],
])
def test_operation_sequences_match_async_def(kind, operations):
    assert_same(kind, ["a", "b"], '{"a": 1}', operations)


@pytest.mark.parametrize("operation", ["send", "throw", "close", "__await__"])
def test_reentry_while_running_is_refused(operation):
    def run_with(impl):
        seen = []

        class Api:
            def fetch_instagram_data(self, **kwargs):
                seen.append(state(self.coro))
                try:
                    if operation == "send":
                        self.coro.send(None)
                    elif operation == "throw":
                        self.coro.throw(KeyError)
                    elif operation == "close":
                        self.coro.close()
                    else:
                        # Given while running too; only stepping it is refused.
                        self.coro.__await__().send(None)
                except ValueError as exc:
                    seen.append(str(exc))
                return Scripted([], ["tick"], "1")

        api = Api()
        api.coro = impl(1, api, "t")
        seen.append(outcome(lambda: api.coro.send(None)))
        api.coro.close()
        del api.coro
        return seen

    ours = run_with(process_parent_post)
    assert ours == run_with(reference)
    assert ours[0][0] == "CORO_RUNNING" and ours[1] == "coroutine already executing"


@pytest.mark.parametrize("args, message", [
    ((), "throw expected at least 1 argument, got 0"),
    ((KeyError, None, None, None), "throw expected at most 3 arguments, got 4"),
    ((KeyError("x"), 1), "instance exception may not have a separate value"),
    ((KeyError, None, 5), "throw() third argument must be a traceback object"),
    ((5,), "exceptions must be classes or instances deriving from BaseException, not int"),
])
@pytest.mark.parametrize("started", [False, True])
def test_throw_argument_errors_leave_the_coroutine_as_it_was(args, message, started):
    def run_with(impl):
        coro = impl(1, make_client("generator", impl, [], ["a"], "1"), "t")
        if started:
            coro.send(None)
        result = outcome(lambda: coro.throw(*args))
        after = state(coro)
        coro.close()
        return result, after

    ours = run_with(process_parent_post)
    assert ours == run_with(reference)
    assert ours[0][0][:3] == ("raise", TypeError, message) and ours[0][0][4] is type(None)
    if message.startswith("throw expected"):
        assert ours[0][1] == []


def test_throw_takes_no_keywords():
    coro = process_parent_post(1, None, "t")
    with pytest.raises(TypeError, match=r"^coroutine\.throw\(\) takes no keyword arguments$"):
        coro.throw(typ=KeyError)
    coro.close()


def test_throw_into_unstarted_coroutine_names_the_def_line():
    coro = process_parent_post(1, None, "t")
    with pytest.raises(KeyError) as info:
        coro.throw(KeyError("early"))
    last = traceback.extract_tb(info.value.__traceback__)[-1]
    assert (last.name, last.lineno) == ("process_parent_post", process_parent_post.__code__.co_firstlineno)
    assert inspect.getcoroutinestate(coro) == inspect.CORO_CLOSED


class ClosingRaises:
    def __init__(self, error):
        self.error = error

    def __await__(self):
        return self

    def __next__(self):
        return "tick"

    def __iter__(self):
        return self

    def close(self):
        raise self.error


@pytest.mark.parametrize("error", [OSError("close failed"), StopIteration('{"late": 1}'), GeneratorExit()],
                         ids=repr)
@pytest.mark.parametrize("how", ["close", "throw_exit"])
def test_close_when_the_awaited_close_fails(error, how):
    def run_with(impl):
        class Api:
            def fetch_instagram_data(self, **kwargs):
                return ClosingRaises(type(error)(*error.args))

        coro = impl(1, Api(), "t")
        coro.send(None)
        action = coro.close if how == "close" else (lambda: coro.throw(GeneratorExit))
        return outcome(action), state(coro)

    assert run_with(process_parent_post) == run_with(reference)


def test_finished_coroutine_cannot_be_awaited_again():
    async def main(impl):
        coro = impl(1, make_client("native", impl, [], [None], '"once"'), "t")
        first = await coro
        with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
            await coro
        return first, coro.close()

    assert asyncio.run(main(process_parent_post)) == asyncio.run(main(reference)) == ("once", None)


def test_coroutine_being_awaited_cannot_be_awaited_elsewhere():
    def run_with(impl):
        coro = impl(1, make_client("generator", impl, [], ["a"], "1"), "t")
        waiters = []

        async def waiter():
            return await coro

        waiters.append(waiter())
        waiters[0].send(None)
        second = waiter()
        result = outcome(lambda: second.send(None))
        waiters[0].close()
        return result

    ours = run_with(process_parent_post)
    assert ours == run_with(reference)
    assert ours[0][:3] == ("raise", RuntimeError, "coroutine is being awaited already")


def test_client_awaiting_a_suspended_coroutine_is_refused():
    def run_with(impl):
        busy = impl(1, make_client("generator", impl, [], ["a"], "1"), "t")
        busy.send(None)

        class Api:
            def fetch_instagram_data(self, **kwargs):
                return busy

        result = outcome(lambda: impl(2, Api(), "t").send(None))
        busy.close()
        return result

    assert run_with(process_parent_post) == run_with(reference)


def test_a_chain_of_coroutines_awaiting_each_other_stops_at_the_recursion_limit():
    class Api:
        def fetch_instagram_data(self, **kwargs):
            return process_parent_post(1, self, "t")

    async def main():
        return await process_parent_post(1, Api(), "t")

    with pytest.raises(RecursionError):
        asyncio.run(main())


def test_await_wrapper_is_an_iterator_over_the_coroutine():
    coro = process_parent_post(1, make_client("generator", None, [], ["a", "b"], '{"x": 1}'), "t")
    wrapper = coro.__await__()
    assert type(wrapper).__name__ == "coroutine_wrapper"
    assert iter(wrapper) is wrapper
    assert next(wrapper) == "a"
    assert wrapper.send("s") == "b"
    with pytest.raises(StopIteration) as stop:
        next(wrapper)
    assert stop.value.value == {"x": 1}
    assert wrapper.close() is None


def test_collector_sees_what_the_coroutine_holds():
    token = object()
    coro = process_parent_post(1, make_client("generator", None, [], ["a"], "1"), token)
    assert gc.is_tracked(coro)
    assert token in gc.get_referents(coro)
    coro.send(None)
    assert coro.cr_await in gc.get_referents(coro)
    coro.close()
    assert token not in gc.get_referents(coro)


def test_dropping_suspended_coroutine_closes_a_native_awaited_coroutine():
    def run_with(impl):
        log = []
        coro = impl(1, make_client("native", impl, log, ["a"], "1"), "t")
        coro.send(None)
        del coro
        gc.collect()
        return log

    assert run_with(process_parent_post) == run_with(reference) == [
        ("fetch", ("endpoint", "access_token", "fields")), ("raised", "GeneratorExit")]


def test_error_in_finalising_close_is_reported_as_unraisable():
    class Api:
        def fetch_instagram_data(self, **kwargs):
            return ClosingRaises(OSError("close failed"))

    seen = []
    old_hook = sys.unraisablehook
    sys.unraisablehook = lambda info: seen.append((type(info.exc_value), info.object))
    try:
        coro = process_parent_post(1, Api(), "t")
        coro.send(None)
        del coro
        gc.collect()
    finally:
        sys.unraisablehook = old_hook
    assert len(seen) == 1 and seen[0][0] is OSError


class Fresh:
    """A plain class: only its instances' own references keep them alive."""


class FreshClient:
    async def fetch_instagram_data(self, **kwargs):
        return Fresh()


@pytest.mark.parametrize("impl", IMPLEMENTATIONS.values(), ids=IMPLEMENTATIONS)
def test_awaited_result_is_not_kept_alive_after_the_await(impl):
    async def main():
        result = weakref.ref(await impl(1, FreshClient(), "t"))
        return result() is None

    gc.disable()
    try:
        assert asyncio.run(main())
    finally:
        gc.enable()


# The step that finishes the body, on a coroutine suspended in its await of a
# generator that yields once and returns after a send or a caught ValueError.
ENDINGS = {
    "send": lambda c, w: c.send(None),
    "throw": lambda c, w: c.throw(ValueError),
    "next": lambda c, w: next(w),
    "await_send": lambda c, w: w.send(None),
    "await_throw": lambda c, w: w.throw(ValueError),
}


@pytest.mark.parametrize("impl", IMPLEMENTATIONS.values(), ids=IMPLEMENTATIONS)
@pytest.mark.parametrize("ending", ENDINGS.values(), ids=ENDINGS)
@pytest.mark.parametrize("handling", [False, True], ids=["plain", "in_except"])
def test_end_raises_exactly_stop_iteration_with_the_handled_context(impl, ending, handling):
    result = {"post": 1}
    coro = impl(1, make_client("generator", impl, [], ["a"], result), "t")
    wrapper = coro.__await__()
    coro.send(None)
    handled = KeyError("being handled")
    try:
        if handling:
            try:
                raise handled
            except KeyError:
                ending(coro, wrapper)
        else:
            ending(coro, wrapper)
    except StopIteration as stop:
        assert type(stop) is StopIteration and stop.args == (result,) and stop.value is result
        # CPython chains the handled exception up to 3.13.1 and raises the result bare from 3.13.2 on.
        chained = handling and sys.version_info < (3, 13, 2)
        assert stop.__context__ is (handled if chained else None) and stop.__cause__ is None
    else:
        pytest.fail("no StopIteration")


@pytest.mark.parametrize("impl", IMPLEMENTATIONS.values(), ids=IMPLEMENTATIONS)
@pytest.mark.parametrize("use", [next, iter], ids=["next", "iter"])
def test_the_coroutine_itself_is_no_iterator(impl, use):
    coro = impl(1, None, "t")
    with pytest.raises(TypeError, match=r"object is not (an iterator|iterable)$"):
        use(coro)
    coro.close()
