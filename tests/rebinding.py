"""The module globals `re`, `json` and `datetime` rebound between calls, against the twin.

The module keeps what it last read of `re.findall` and `json.loads` for as long as the dicts it read them from
stay unchanged, so any change must show in the next call: the global rebound or deleted (the builtins are then
looked in), the attribute replaced or deleted on the object bound, whether that is the real module or a
stand-in (a module, one with a module `__getattr__`, a plain object, a class). Each step is taken on the module
and the twin alike, on the same objects; each call is compared. The date-time class is a clock that stands
still, so that both calls see the same time. Everything is put back at the end.
"""
import builtins
import json
import re
import types
from datetime import datetime
from typing import Any, Callable

import coroutine_script
import tavelmoor.common_functions as native
import twin
from fuzz_values import Source
from outcomes import outcome

NAMES = ("datetime", "json", "re")
ATTRIBUTE = {"re": "findall", "json": "loads", "datetime": "utcnow"}
ANSWERS = {
    "re": (["a", "b"], [], "not a list", None, ["x", 5]),
    "json": ({"x": 1}, [1], None, "text"),
    "datetime": (datetime(2026, 12, 8, 6, 30), None, types.SimpleNamespace(strftime=lambda form: "then")),
}
STEPS = 24


class Refused(Exception):
    pass


def function(src: Source, name: str) -> Callable[..., Any]:
    """What a stand-in's `findall`, `loads` or `utcnow` is: it answers as the bytes say, or raises."""
    answers = ANSWERS[name]
    choice = src.below(len(answers) + 1)
    if choice == len(answers):
        def refuse(*args: Any, **kwargs: Any) -> Any:
            raise Refused(name)
        return refuse
    answer = answers[choice]
    return lambda *args, **kwargs: answer


def stand_in(src: Source, name: str) -> Any:
    attribute, kind = ATTRIBUTE[name], src.below(5)
    if kind == 0:
        module = types.ModuleType("stand_in")
        setattr(module, attribute, function(src, name))
        return module
    if kind == 1:
        module = types.ModuleType("stand_in")
        module.__getattr__ = lambda wanted, answer=function(src, name): answer  # type: ignore[method-assign]
        return module
    if kind == 2:
        return types.SimpleNamespace(**{attribute: function(src, name)})
    if kind == 3:
        return type("StandIn", (), {attribute: staticmethod(function(src, name))})
    return types.ModuleType("stand_in")     # without the attribute


def bound(name: str) -> Any:
    """The object a call finds under `name`: the module's global, else the builtin."""
    return native.__dict__[name] if name in native.__dict__ else getattr(builtins, name, None)


def call(module: Any, name: str, choice: int) -> Any:
    if name == "re":
        text = ("#a #b", "", "no tags", "#日本")[choice % 4]
        return outcome(lambda: module.get_hashtags(text))
    if name == "json":
        return coroutine_script.trace(module.process_parent_post, "generator", [], ('{"a": 1}', "[2]")[choice % 2],
                                      ["send_none"])
    return outcome(lambda: module.extracting_common_details({"BrandID": 1}, "instagram_comment", 5))


def step(src: Source, name: str, real: dict[str, Any]) -> Any:
    """One change to what the functions find, made on both modules, or a call of each; what it gave."""
    kind = src.below(7)
    if kind == 0:
        value = real[name] if src.below(2) else stand_in(src, name)
        for module in (native, twin):
            setattr(module, name, value)
        return "bind"
    if kind == 1:
        for module in (native, twin):
            module.__dict__.pop(name, None)
        return "delete"
    if kind == 2:
        if src.below(2):
            setattr(builtins, name, stand_in(src, name))
        else:
            builtins.__dict__.pop(name, None)
        return "builtin"
    if kind == 3:
        replacement = function(src, name)
        return outcome(lambda: setattr(bound(name), ATTRIBUTE[name], replacement))
    if kind == 4:
        return outcome(lambda: delattr(bound(name), ATTRIBUTE[name]))
    choice = src.below(4)
    ours, theirs = call(native, name, choice), call(twin, name, choice)
    if ours != theirs:
        raise AssertionError(f"{name} after rebinding differs from the twin\nnative: {ours!r}\ntwin:   {theirs!r}")
    return ours


def fixed_clock() -> type:
    """A date-time class whose clock stands still (the real one may tick between the two calls), and whose
    base's clock stands still too, a minute later: deleting `utcnow` from the class shows in the next call."""
    base = type("clock", (), {"utcnow": classmethod(lambda cls: datetime(2026, 12, 8, 6, 31))})
    return type("datetime", (base,), {"utcnow": classmethod(lambda cls: datetime(2026, 12, 8, 6, 30))})


def check(data: bytes) -> list:
    src = Source(data)
    real = {"re": re, "json": json, "datetime": fixed_clock()}
    saved = [(module, {name: getattr(module, name) for name in NAMES}) for module in (native, twin)]
    originals = {module: getattr(module, ATTRIBUTE[module.__name__]) for module in (re, json)}
    try:
        for module in (native, twin):
            module.datetime = real["datetime"]
        return [step(src, src.pick(NAMES), real) for _ in range(src.below(STEPS))]
    finally:
        for module, original in originals.items():
            setattr(module, ATTRIBUTE[module.__name__], original)
        for name in NAMES:
            builtins.__dict__.pop(name, None)
        for module, globals_ in saved:
            module.__dict__.update(globals_)
