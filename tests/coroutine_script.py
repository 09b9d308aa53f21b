"""A coroutine of process_parent_post driven step by step beside the twin's `async def`.

`trace` drives one coroutine through a client of some kind and a list of operations, and records
what every step gave, what the client and its awaitable saw, and the state that inspect reports.
The protocol tests and the coroutine's fuzz target compare two traces, native and twin.
"""
import inspect
import sys
import types
from typing import Any, Callable

import tavelmoor.common_functions as native
import twin
from fuzz_values import Scene, Source, text, value
from outcomes import outcome


def finish(result: Any) -> Any:
    """The awaited object's final value; an exception given as the result is raised, afresh each time."""
    if isinstance(result, BaseException):
        raise type(result)(*result.args)
    return result


def script(log, yields, result, catch=(ValueError,)):
    """The awaited object's steps: yields each item, logging what comes down."""
    try:
        for item in yields:
            try:
                sent = yield item
                log.append(("sent", sent))
            except catch as exc:
                log.append(("caught", type(exc).__name__))
    except BaseException as exc:
        log.append(("raised", type(exc).__name__))
        raise
    return finish(result)


@types.coroutine
def legacy_script(log, yields, result):
    return (yield from script(log, yields, result))


class Scripted:
    def __init__(self, *args):
        self.args = args

    def __await__(self):
        return script(*self.args)


class Ticker:
    """A bare iterator: no send, throw or close."""

    def __init__(self, log, yields, result):
        self.items = iter(yields)
        self.log = log
        self.result = result

    def __iter__(self):
        return self

    def __next__(self):
        for item in self.items:
            self.log.append(("next",))
            return item
        raise StopIteration(finish(self.result))


class FullIterator(Ticker):
    """An iterator class with its own send, throw and close."""

    def send(self, value):
        self.log.append(("sent", value))
        return next(self)

    def throw(self, *args):
        self.log.append(("thrown", len(args), type(args[0]).__name__))
        if isinstance(args[0], ValueError) or args[0] is ValueError:
            return "recovered"
        raise args[0]

    def close(self):
        self.log.append(("closed",))


class ClosingTicker(Ticker):
    """A bare iterator whose close fails."""

    def close(self):
        self.log.append(("close failed",))
        raise ValueError("close failed")


class Awaits:
    def __init__(self, iterator):
        self.iterator = iterator

    def __await__(self):
        return self.iterator


def make_client(kind, impl, log, yields, result):
    """A client whose fetch gives an awaitable of `kind`, raises, or first re-enters the coroutine.

    `extras` holds the other coroutines it makes, for the driver to close at the end.
    """

    class Client:
        coro = None
        extras: list = []

        def fetch_instagram_data(self, **kwargs):
            log.append(("fetch", tuple(kwargs)))
            if kind == "native":
                async def fetch():
                    return await Scripted(log, yields, result)
                return fetch()
            if kind == "generator":
                return Scripted(log, yields, result)
            if kind == "ticker":
                return Awaits(Ticker(log, yields, result))
            if kind == "full_iterator":
                return Awaits(FullIterator(log, yields, result))
            if kind == "closing_ticker":
                return Awaits(ClosingTicker(log, yields, result))
            if kind == "legacy":
                return legacy_script(log, yields, result)
            if kind == "raising":
                raise finish(result) if isinstance(result, BaseException) else LookupError("no post")
            if kind == "not_awaitable":
                return result
            if kind == "await_non_iterator":
                return Awaits(result)
            if kind == "await_coroutine":
                return Awaits(legacy_script(log, yields, result))
            if kind == "itself":
                return self.coro
            if kind == "suspended_sibling":
                sibling = impl(3, make_client("generator", impl, log, ["s"], result), "sibling")
                self.extras = [sibling]
                sibling.send(None)
                return sibling
            if kind in REENTRY:
                log.append((kind, outcome(lambda: REENTRY[kind](self.coro))))
                return Scripted(log, yields, result)
            assert kind == "nested"
            inner = impl(2, make_client("generator", impl, log, yields, result), "inner")
            self.extras = [inner]
            return inner

    return Client()


# The client steps the very coroutine that is running its fetch.
REENTRY: dict[str, Callable[[Any], Any]] = {
    "reenter_send": lambda c: c.send(None),
    "reenter_throw": lambda c: c.throw(KeyError("again")),
    "reenter_close": lambda c: c.close(),
    "reenter_await": lambda c: c.__await__().send(None),
}
KINDS = ["native", "generator", "ticker", "full_iterator", "legacy", "nested", "raising", *REENTRY,
         "closing_ticker", "not_awaitable", "await_non_iterator", "await_coroutine", "itself", "suspended_sibling"]


async def awaiting(coro):
    """A caller's coroutine that awaits ours: the await expression's path, not __await__()."""
    return await coro


class Held:
    """The objects that steps act on besides the coroutine: its __await__() wrappers and callers' coroutines."""

    def __init__(self, coro):
        self.wrappers = [coro.__await__()]
        self.callers = [awaiting(coro)]


OPERATIONS = {
    "send_none": lambda c: c.send(None),
    "send_text": lambda c: c.send("text"),
    "throw_key": lambda c: c.throw(KeyError("k")),
    "throw_value_class": lambda c: c.throw(ValueError),
    "throw_exit": lambda c: c.throw(GeneratorExit),
    "throw_stop": lambda c: c.throw(StopIteration('"stopped"')),
    "throw3": lambda c: c.throw(ValueError, ValueError("v"), None),
    "throw3_key": lambda c: c.throw(KeyError, "k"),
    "throw_bad": lambda c: c.throw(5),
    "throw_bad_traceback": lambda c: c.throw(KeyError, None, 5),
    "throw_instance_and_value": lambda c: c.throw(KeyError("x"), 1),
    "close": lambda c: c.close(),
    # On the latest of the coroutine's __await__() wrappers; "await_new" takes another.
    "next": lambda c, h: next(h.wrappers[-1]),
    "await_send": lambda c, h: h.wrappers[-1].send(None),
    "await_throw": lambda c, h: h.wrappers[-1].throw(KeyError),
    "await_close": lambda c, h: h.wrappers[-1].close(),
    "await_new": lambda c, h: type(h.wrappers.append(c.__await__()) or h.wrappers[-1]).__name__,
    # On the latest caller's coroutine that awaits ours; "caller_new" makes another.
    "caller_send": lambda c, h: h.callers[-1].send(None),
    "caller_throw": lambda c, h: h.callers[-1].throw(KeyError("caller")),
    "caller_close": lambda c, h: h.callers[-1].close(),
    "caller_new": lambda c, h: h.callers.append(awaiting(c)),
}


class Handled(Exception):
    """The exception that the driver is handling while it takes a step marked so."""


def state(coro):
    return inspect.getcoroutinestate(coro), coro.cr_running, coro.cr_suspended, type(coro.cr_await).__name__


def step(action, handling, shape):
    if handling:
        try:
            raise Handled
        except Handled:
            return step(action, False, shape)
    return outcome(action, shape)


def dropped(held: list) -> tuple:
    """Lets go of the coroutine in `held`, its last reference: what its finaliser warns, and reports
    as unraisable. Nothing here holds it in a cycle, so no collection is needed, and none is made:
    collecting on every drop would starve the collector's own schedule."""
    unraisable = []
    hook, sys.unraisablehook = sys.unraisablehook, lambda u: unraisable.append((type(u.exc_value), str(u.exc_value)))
    try:
        return outcome(held.clear), unraisable
    finally:
        sys.unraisablehook = hook


def trace(impl, kind, yields, result, operations, shape=lambda value: value, drop=False):
    """Each operation is a name of OPERATIONS, or (name, True) to take it while handling an exception.
    The coroutine is closed at the end, or with `drop` let go of."""
    log = []
    client = make_client(kind, impl, log, yields, result)
    coro = client.coro = impl(1, client, "token")
    held = Held(coro)
    steps = [("created", state(coro))]
    for name, handling in (o if isinstance(o, tuple) else (o, False) for o in operations):
        operation = OPERATIONS[name]
        action = (lambda: operation(coro, held)) if operation.__code__.co_argcount == 2 else (
            lambda: operation(coro))
        steps.append((name, handling, step(action, handling, shape), state(coro)))
    steps += [("close other", step(other.close, False, shape)) for other in client.extras + held.callers]
    client.coro = client.extras = held = None
    if drop:
        refs = [coro]
        del coro
        steps.append(("drop", dropped(refs)))
    else:
        steps.append(("final close", step(coro.close, False, shape), state(coro)))
    return steps, log


ANSWERS = ('{"a": 1}', "", None, "   ", "null", 7, '"x"', "[1, 2]", b"{}", {"x": 2}, KeyError("late"),
           StopIteration("early"), ValueError("bad post"))


def plan(src: Source, scene: Scene) -> tuple:
    """A client kind, what its awaitable yields and ends with, and the steps, read from the bytes."""
    kind = src.pick(KINDS)
    yields = [src.pick(("a", None, 3)) if src.below(2) else value(src, scene) for _ in range(src.below(5))]
    answer = src.below(4)
    result = src.pick(ANSWERS) if answer < 2 else text(src) if answer == 2 else value(src, scene)
    names = sorted(OPERATIONS)
    operations = [(src.pick(names), src.below(4) == 0) for _ in range(src.below(12))]
    return kind, yields, result, operations, src.below(4) == 0


def run(impl: Any, data: bytes) -> tuple:
    scene = Scene()
    kind, yields, result, operations, drop = plan(Source(data), scene)
    steps, log = trace(impl, kind, yields, result, operations, scene.shape, drop)
    return steps, log, scene.log


def check(data: bytes) -> None:
    ours, theirs = run(native.process_parent_post, data), run(twin.process_parent_post, data)
    if ours != theirs:
        raise AssertionError(f"process_parent_post differs from the twin on {data!r}\nnative: {ours!r}\ntwin:   {theirs!r}")
