"""process_parent_post: the call, the fetch, the decoding, failures and event loops."""
import asyncio
import collections.abc
import gc
import inspect
import json
import traceback
import types
import warnings
import weakref

import pytest

import tavelmoor.common_functions as cf
from tavelmoor.common_functions import process_parent_post

# The one copy of the parent post field list in the tests, besides the twin's.
FIELDS = (
    "permalink,id,caption,comments_count,like_count,media_type,media_url,owner{name,username,ig_id,id,"
    "followers_count,follows_count,media_count,biography,profile_picture_url,website},ig_id,username,"
    "shortcode,thumbnail_url,media_product_type,is_comment_enabled,timestamp,children{media_type,"
    "media_url,thumbnail_url}"
)


class Client:
    """A Graph API client whose fetch answers `value` after one trip through the loop."""

    def __init__(self, value=None, error=None):
        self.value = value
        self.error = error
        self.calls = []
        self.events = []

    async def fetch_instagram_data(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        try:
            await asyncio.sleep(0)
            if self.error is not None:
                raise self.error
            return self.value
        except BaseException as exc:
            self.events.append(type(exc).__name__)
            raise


class Plain:
    """A client whose fetch is not asynchronous: it returns `value` itself."""

    def __init__(self, value):
        self.value = value

    def fetch_instagram_data(self, **kwargs):
        return self.value


def run(coro):
    """Drives a coroutine by hand, as a loop does, and returns its result."""
    try:
        while True:
            coro.send(None)
    except StopIteration as stop:
        return stop.value


def entries(exc):
    return [(frame.filename, frame.name, frame.lineno) for frame in traceback.extract_tb(exc.__traceback__)]


def raised_by(coro, expected):
    with pytest.raises(expected) as info:
        run(coro)
    return info.value


class StrSub(str):
    pass


class PosesAsStr:
    __class__ = str


class BadBool:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


class StrWithBadBool(str):
    def __bool__(self):
        raise ZeroDivisionError("no truth")


# The call

def test_call_returns_a_coroutine_and_touches_nothing(impl):
    class Untouchable:
        def __getattribute__(self, name):
            raise AssertionError(f"client touched: {name}")

    coro = impl.process_parent_post(1, Untouchable(), "token")
    assert inspect.getcoroutinestate(coro) == inspect.CORO_CREATED
    assert asyncio.iscoroutine(coro)
    assert isinstance(coro, collections.abc.Coroutine)
    assert isinstance(coro, collections.abc.Awaitable)
    coro.close()


@pytest.mark.parametrize("args, kwargs, message", [
    ((1, Client()), {}, "process_parent_post() takes exactly 3 positional arguments (2 given)"),
    ((1,), {"access_token": "t"}, "process_parent_post() takes exactly 3 positional arguments (1 given)"),
    ((1, 2, 3, 4), {}, "process_parent_post() takes exactly 3 positional arguments (4 given)"),
])
def test_binding_error_is_raised_by_the_call_and_makes_no_coroutine(args, kwargs, message):
    gc.collect()
    before = sum(type(o).__name__ == "coroutine" for o in gc.get_objects())
    with pytest.raises(TypeError) as info:
        process_parent_post(*args, **kwargs)
    assert str(info.value) == message
    assert entries(info.value)[-1] == ("tavelmoor/common_functions.py",
                                       "tavelmoor.common_functions.process_parent_post",
                                       process_parent_post.__code__.co_firstlineno)
    gc.collect()
    assert sum(type(o).__name__ == "coroutine" for o in gc.get_objects()) == before


def test_coroutine_names_and_code():
    coro = process_parent_post(1, Client(), "t")
    assert coro.__name__ == coro.__qualname__ == "process_parent_post"
    assert coro.__module__ == "tavelmoor.common_functions"
    assert coro.cr_code is process_parent_post.__code__
    assert coro.cr_code.co_flags & inspect.CO_COROUTINE
    assert coro.cr_frame.f_code is coro.cr_code
    # 3.14 frames name the generator running in them; none ever runs in this one.
    assert getattr(coro.cr_frame, "f_generator", None) is None
    assert repr(coro).startswith("<coroutine object process_parent_post at 0x")
    coro.__qualname__ = "renamed"
    assert "renamed" in repr(coro)
    with pytest.raises(TypeError, match="__name__ must be set to a string object"):
        coro.__name__ = 3
    coro.close()
    assert coro.cr_frame is None


# The fetch

def test_client_gets_three_keywords_in_order_with_the_same_objects(impl):
    post_id, token = object(), object()
    clients = [Client({}), Client({})]
    for client in clients:
        run(impl.process_parent_post(post_id, client, token))
    (args, kwargs), = clients[0].calls
    assert args == ()
    assert list(kwargs) == ["endpoint", "access_token", "fields"]
    assert kwargs["endpoint"] is post_id and kwargs["access_token"] is token
    assert kwargs["fields"] == FIELDS and len(FIELDS) == 309
    assert clients[1].calls[0][1]["fields"] is kwargs["fields"]


# The decoding

@pytest.mark.parametrize("answer, expected", [
    ('{"id": "17", "media_type": "IMAGE"}', {"id": "17", "media_type": "IMAGE"}),
    ("null", None),
    ("[]", []),
    ('"[1, 2]"', "[1, 2]"),
    (StrSub('{"x": 2}'), {"x": 2}),
    ("3.5", 3.5),
])
def test_json_text_is_decoded_once(impl, answer, expected):
    result = run(impl.process_parent_post(1, Client(answer), "t"))
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize("answer", [
    "", None, 0, False, {}, [], {"id": "1"}, b'{"a": 1}', 1.5, PosesAsStr(), StrSub(""),
], ids=repr)
def test_other_answers_come_back_as_the_same_object(impl, answer):
    assert run(impl.process_parent_post(1, Client(answer), "t")) is answer


def test_json_is_looked_up_when_decoding_starts(impl, monkeypatch):
    class FakeJson:
        @staticmethod
        def loads(text):
            return ("fake", text)

    client = Client('{"a": 1}')
    coro = impl.process_parent_post(1, client, "t")
    coro.send(None)
    monkeypatch.setattr(impl, "json", FakeJson)
    assert run(coro) == ("fake", '{"a": 1}')
    monkeypatch.undo()
    assert run(impl.process_parent_post(1, Client('{"a": 1}'), "t")) == {"a": 1}


@pytest.mark.parametrize("how", ["dict", "module __getattr__", "missing"])
def test_json_replaced_by_another_module(how, monkeypatch):
    fake = types.ModuleType("fake")
    if how == "dict":
        fake.loads = lambda text: ("dict", text)
    elif how == "module __getattr__":
        fake.__getattr__ = lambda name: lambda text: (name, text)
    monkeypatch.setattr(cf, "json", fake)
    if how == "missing":
        exc = raised_by(process_parent_post(1, Client("{}"), "t"), AttributeError)
        assert str(exc) == "module 'fake' has no attribute 'loads'"
        assert entries(exc)[-1] == ("tavelmoor/common_functions.py", "process_parent_post", 100)
    else:
        assert run(process_parent_post(1, Client("{}"), "t")) == ("dict" if how == "dict" else "loads", "{}")


# Failures inside the coroutine

def test_missing_fetch_method_fails_at_94():
    exc = raised_by(process_parent_post(1, None, "t"), AttributeError)
    assert entries(exc)[-1] == ("tavelmoor/common_functions.py", "process_parent_post", 94)


def test_client_error_reaches_the_caller_unchanged_at_94():
    error = LookupError("no such post")
    client = Client(error=error)
    exc = raised_by(process_parent_post(1, client, "t"), LookupError)
    assert exc is error
    names = [entry[1] for entry in entries(exc)]
    assert names[-1] == "fetch_instagram_data" and names[-2] == "process_parent_post"
    assert entries(exc)[-2][2] == 94


def test_refused_keywords_fail_at_94():
    class Narrow:
        async def fetch_instagram_data(self, endpoint):
            return None

    exc = raised_by(process_parent_post(1, Narrow(), "t"), TypeError)
    assert "access_token" in str(exc)
    assert entries(exc)[-1][1:] == ("process_parent_post", 94)


@pytest.mark.parametrize("answer, line", [("   ", 100), ("{bad", 100), (BadBool(), 99), (StrWithBadBool("1"), 99)])
def test_decoding_and_truth_errors_carry_their_line(answer, line):
    expected = ZeroDivisionError if line == 99 else json.JSONDecodeError
    exc = raised_by(process_parent_post(1, Client(answer), "t"), expected)
    step = [entry for entry in entries(exc) if entry[1] == "process_parent_post"]
    assert step == [("tavelmoor/common_functions.py", "process_parent_post", line)]


@pytest.mark.parametrize("replace, expected", [(None, NameError), (object(), AttributeError)])
def test_json_global_is_resolved_at_100(monkeypatch, replace, expected):
    if replace is None:
        monkeypatch.delattr(cf, "json")
    else:
        monkeypatch.setattr(cf, "json", replace)
    exc = raised_by(process_parent_post(1, Client("{}"), "t"), expected)
    assert replace is not None or str(exc) == "name 'json' is not defined"
    assert entries(exc)[-1][1:] == ("process_parent_post", 100)


class AwaitReturns:
    def __init__(self, value):
        self.value = value

    def __await__(self):
        return self.value


async def _native():
    return 1


@pytest.mark.parametrize("make, message", [
    (lambda: {"id": 1}, "object dict can't be used in 'await' expression"),
    (lambda: None, "object NoneType can't be used in 'await' expression"),
    (lambda: AwaitReturns(5), "__await__() returned non-iterator of type 'int'"),
    (lambda: AwaitReturns([1]), "__await__() returned non-iterator of type 'list'"),
    (lambda: AwaitReturns(process_parent_post(1, Client(), "t")), "__await__() returned a coroutine"),
])
def test_await_errors(make, message):
    value = make()
    exc = raised_by(process_parent_post(1, Plain(value), "t"), TypeError)
    assert str(exc) == message
    assert entries(exc)[-1][1:] == ("process_parent_post", 94)
    if isinstance(value, AwaitReturns) and hasattr(value.value, "close"):
        value.value.close()


def test_long_type_names_are_cut_at_200_characters():
    # CPython's own await cuts at 100 characters; this module's message allows 200.
    Long = type("L" * 300, (), {})
    exc = raised_by(process_parent_post(1, Plain(Long()), "t"), TypeError)
    assert str(exc) == f"object {'L' * 200} can't be used in 'await' expression"


def test_error_of_await_method_reaches_the_caller_unchanged():
    class Broken:
        def __await__(self):
            raise KeyError("inside __await__")

    exc = raised_by(process_parent_post(1, Plain(Broken()), "t"), KeyError)
    assert entries(exc)[-2][1:] == ("process_parent_post", 94)


@pytest.mark.parametrize("source", ["fetch", "json"])
def test_stop_iteration_escaping_becomes_runtime_error(source, monkeypatch):
    stop = StopIteration("early")
    if source == "fetch":
        class Api:
            def fetch_instagram_data(self, **kwargs):
                raise stop
        api, line = Api(), 94
    else:
        class Json:
            @staticmethod
            def loads(text):
                raise stop
        monkeypatch.setattr(cf, "json", Json)
        api, line = Client("{}"), 100
    exc = raised_by(process_parent_post(1, api, "t"), RuntimeError)
    assert str(exc) == "generator raised StopIteration"
    assert exc.__cause__ is stop and exc.__context__ is stop
    # The entry goes on the exception that leaves the coroutine.
    assert ("tavelmoor/common_functions.py", "process_parent_post", line) in entries(exc)


# Lifecycle

def test_each_new_coroutine_starts_afresh_after_others_ended():
    """Finished, never started and closed coroutines come and go in turn: every new one
    is unstarted, weakly referenced by nothing, and warns when dropped unstarted."""
    for ending in ["finished", "never awaited", "closed", "finished"]:
        coro = process_parent_post(1, Client({"n": 1}), "t")
        ref = weakref.ref(coro)
        if ending == "finished":
            assert run(coro) == {"n": 1}
        elif ending == "closed":
            coro.send(None)
            coro.close()
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            del coro
            gc.collect()
        assert ref() is None
        assert [str(w.message) for w in caught] == (
            ["coroutine 'process_parent_post' was never awaited"] if ending == "never awaited" else [])
        fresh = process_parent_post(1, Client(), "t")
        assert inspect.getcoroutinestate(fresh) == "CORO_CREATED" and ref() is None
        with pytest.warns(RuntimeWarning, match="was never awaited"):
            del fresh
            gc.collect()


def test_never_awaited_coroutine_warns_and_never_calls_the_client(impl):
    client = Client()
    coro = impl.process_parent_post(1, client, "t")
    with pytest.warns(RuntimeWarning, match=r"^coroutine 'process_parent_post' was never awaited$"):
        del coro
        gc.collect()
    assert client.calls == []


@pytest.mark.parametrize("finish", ["close", "run", "throw"])
def test_started_or_closed_coroutine_does_not_warn(impl, finish):
    coro = impl.process_parent_post(1, Client("1"), "t")
    if finish == "close":
        coro.close()
    elif finish == "run":
        run(coro)
    else:
        with pytest.raises(KeyError):
            coro.throw(KeyError)
    del coro
    gc.collect()


@pytest.mark.parametrize("how", ["close", "drop", "collect_cycle"])
def test_suspended_coroutine_closes_the_awaited_client(impl, how):
    client = Client("1")
    coro = impl.process_parent_post(1, client, "t")
    coro.send(None)
    awaited = weakref.ref(coro.cr_await)
    if how == "close":
        assert coro.close() is None
        assert inspect.getcoroutinestate(coro) == inspect.CORO_CLOSED
    elif how == "drop":
        del coro
    else:
        client.cycle = coro
        del coro, client.cycle
        gc.collect()
    assert client.events == ["GeneratorExit"]
    gc.collect()
    assert awaited() is None


def test_cycles_are_collected_and_weak_references_die():
    with pytest.warns(RuntimeWarning, match="never awaited"):
        client = Client()
        client.coro = process_parent_post(1, client, "t")
        ref = weakref.ref(client.coro)
        del client
        gc.collect()
    assert ref() is None
    coro = process_parent_post(1, Client(), "t")
    ref = weakref.ref(coro)
    coro.close()
    del coro
    assert ref() is None


# Real event loops

def test_asyncio_run(impl):
    assert asyncio.run(impl.process_parent_post("17", Client('{"id": "17"}'), "t")) == {"id": "17"}


def test_awaited_from_async_code_and_task(impl):
    async def main():
        direct = await impl.process_parent_post(1, Client("[1]"), "t")
        task = asyncio.create_task(impl.process_parent_post(2, Client("[2]"), "t"))
        return direct, await task, task

    direct, from_task, task = asyncio.run(main())
    assert (direct, from_task) == ([1], [2])
    assert "process_parent_post" in repr(task)


def test_gather_of_hundreds_of_pending_coroutines(impl):
    class Gate:
        def __init__(self, event, n):
            self.event, self.n = event, n

        async def fetch_instagram_data(self, endpoint, access_token, fields):
            await self.event.wait()
            return json.dumps({"n": endpoint})

    async def main():
        event = asyncio.Event()
        coros = [impl.process_parent_post(n, Gate(event, n), "t") for n in range(500)]
        gathered = asyncio.gather(*coros)
        await asyncio.sleep(0)
        assert not gathered.done()
        event.set()
        return await gathered

    assert asyncio.run(main()) == [{"n": n} for n in range(500)]


class Stuck(Client):
    async def fetch_instagram_data(self, **kwargs):
        try:
            await asyncio.Event().wait()
        except asyncio.CancelledError as exc:
            self.events.append(exc.args)
            raise


@pytest.mark.parametrize("how", ["cancel", "wait_for"])
def test_cancellation_while_awaiting_reaches_the_client(impl, how):
    client = Stuck()

    async def main():
        task = asyncio.create_task(impl.process_parent_post(1, client, "t"))
        await asyncio.sleep(0)
        assert task.get_coro().cr_await is not None
        if how == "cancel":
            task.cancel("stop now")
            with pytest.raises(asyncio.CancelledError):
                await task
        else:
            with pytest.raises(TimeoutError):
                await asyncio.wait_for(task, 0.01)
        assert task.cancelled()
        return await asyncio.wait_for(impl.process_parent_post(1, Client('{"a": 1}'), "t"), 5)

    assert asyncio.run(main()) == {"a": 1}
    assert client.events == [("stop now",) if how == "cancel" else ()]


def test_cancellation_before_the_first_step(impl):
    client = Client()

    async def main():
        task = asyncio.create_task(impl.process_parent_post(1, client, "t"))
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return task

    task = asyncio.run(main())
    assert task.cancelled()
    assert client.calls == []
    assert inspect.getcoroutinestate(task.get_coro()) == inspect.CORO_CLOSED


def test_loop_futures_pass_up_unchanged(impl):
    seen = []

    class FutureClient:
        async def fetch_instagram_data(self, **kwargs):
            future = asyncio.get_running_loop().create_future()
            asyncio.get_running_loop().call_soon(future.set_result, '{"ok": true}')
            seen.append(future)
            return await future

    async def main():
        coro = impl.process_parent_post(1, FutureClient(), "t")
        yielded = coro.send(None)
        assert yielded is seen[0] and yielded._asyncio_future_blocking
        while not yielded.done():
            await asyncio.sleep(0)
        with pytest.raises(StopIteration) as stop:
            coro.send(None)
        return stop.value.value

    assert asyncio.run(main()) == {"ok": True}


def test_a_million_chained_coroutines_are_freed_without_a_crash():
    # Each coroutine holds the previous one as its post_id (the second chain through
    # its __await__ wrapper); dropping the last frees the whole chain.
    from support import run_python
    out = run_python("""
        import warnings
        warnings.simplefilter("ignore", RuntimeWarning)
        from tavelmoor.common_functions import process_parent_post
        for through_wrapper in (False, True):
            chain = None
            for _ in range(1_000_000):
                chain = process_parent_post(chain, None, "token")
                if through_wrapper:
                    chain = chain.__await__()
            del chain
            print("freed")
    """).stdout
    assert out == "freed\nfreed\n"
