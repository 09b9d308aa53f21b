"""What one call gave, as a value that compares equal between the native module and its twin."""
import traceback
import warnings
from typing import Any, Callable

import twin

FILES = {"tavelmoor/common_functions.py", twin.__file__}


def entries(exc: BaseException) -> list[tuple[str, int | None]]:
    """The module's own traceback entries: (function name without the module path, line)."""
    frames = [f for f in traceback.extract_tb(exc.__traceback__) if f.filename in FILES]
    if is_stop_iteration_guard(exc) and exc.__cause__ is not None:
        # The native body that turns a StopIteration into this RuntimeError names itself on it,
        # innermost; CPython's coroutines and generator expressions do not, so the twin's body that
        # did is read off the StopIteration, whose traceback it ends.
        made_in = traceback.extract_tb(exc.__cause__.__traceback__, limit=1)
        if made_in and made_in[0].filename == twin.__file__:
            frames.append(made_in[0])
    found = [(f.name.rpartition(".")[2].strip("<>"), f.lineno) for f in frames]
    # The native type test runs before the body and adds no entry; the twin's runs inside it.
    return [] if found and found[-1][0] == "_refuse" else found


def is_stop_iteration_guard(exc: BaseException) -> bool:
    return (type(exc) is RuntimeError and isinstance(exc.__cause__, StopIteration)
            and message(exc) == "generator raised StopIteration")


def message(exc: BaseException) -> str:
    """The exception's message as the module words it (twin.NATIVE_WORDING lists where it differs)."""
    return twin.as_native(str(exc))


def outcome(action: Callable[[], Any], shape: Callable[[Any], Any] = lambda value: value) -> tuple:
    """The value returned, the StopIteration's value or the exception raised, with the warnings issued.

    An exception is compared by type, message, notes, the types of its cause and context, and the
    module's traceback entries on it. The utcnow deprecation warning is not one of the warnings.
    """
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        warnings.filterwarnings("ignore", r"datetime\.datetime\.utcnow", DeprecationWarning)
        try:
            result: tuple = ("value", shape(action()))
        except StopIteration as stop:
            result = ("stop", shape(stop.value), type(stop.__context__))
        except BaseException as exc:  # noqa: BLE001 - compared by the caller
            result = ("raise", type(exc), message(exc), getattr(exc, "__notes__", None),
                      type(exc.__cause__), type(exc.__context__), entries(exc))
    return result, [(w.category, str(w.message)) for w in caught]
