"""The four plain functions on arguments built from arbitrary bytes, against the twin.

Any bytes decode to some arguments: past the end of the input every choice reads 0. A build is a
pure function of the bytes, so the native module and the twin each get their own equal copy, and
what a hostile object does to its copy during one call cannot reach the other's. The fuzz targets
and the property tests both call `check`.
"""
from __future__ import annotations

import collections
import types
from datetime import datetime, timezone
from typing import Any, Callable, Sequence

import tavelmoor.common_functions as native
import twin
from media_names import TABLE
from outcomes import outcome

KEYS = ("BrandID", "CategoryID", "brandId", "CategoryName", "BrandName", "AccountID", "InstagramGraphApiID",
        "ProfilePic", "ScreenName", "AuthorName")
MEDIA_NAMES = sorted(TABLE)
ASCII = " #_aZz09-./,\t\n"
# Letters of several scripts, marks, digits, emoji, blanks, and characters whose upper case is
# longer than they are or not a letter of the same script; lone surrogates and NUL too.
SCRIPTS = "aZé日한Дअ١\u0301\u0903😀＃ßﬁﬀİıſǅ\u0345ŉΐ\u00a0\u3000\ud800\udfff\x00_"
LENGTHS = (0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 12, 16, 20, 40, 100, 300)
ITEM_COUNTS = LENGTHS[:14]  # up to 40 records: more than the native pass keeps without allocating
FAILURES: tuple[Callable[[], BaseException], ...] = (
    lambda: ValueError("refused"), lambda: KeyError("BrandID"), lambda: TypeError("wrong"),
    lambda: StopIteration("stopped"), lambda: RuntimeError("failed"), lambda: LookupError("lost"),
    lambda: ZeroDivisionError(), lambda: GeneratorExit(), lambda: MemoryError(), lambda: KeyboardInterrupt(),
    lambda: StopAsyncIteration(), lambda: RecursionError("deep"),
)


class Source:
    """The bytes read as a stream of choices."""

    def __init__(self, data: bytes) -> None:
        self.data, self.at = data, 0

    def below(self, n: int) -> int:
        if self.at >= len(self.data):
            return 0
        self.at += 1
        return self.data[self.at - 1] % n

    def wide(self, n: int) -> int:
        return (self.below(256) << 16 | self.below(256) << 8 | self.below(256)) % n

    def pick(self, options: Sequence[Any]) -> Any:
        return options[self.below(len(options))]


class Scene:
    """One build: the objects it made, what the hostile ones were asked, and the mutations left."""

    def __init__(self) -> None:
        self.made: list[Any] = []
        self.labels: dict[int, int] = {}
        self.containers: list[list | dict] = []
        self.log: list[tuple] = []
        self.mutations = 8
        self.clock: Any = None

    def register(self, obj: Any) -> Any:
        self.labels[id(obj)] = len(self.made)
        self.made.append(obj)
        if type(obj) in (list, dict, Records, collections.OrderedDict, collections.defaultdict):
            self.containers.append(obj)
        return obj

    def mutate(self, index: int, operation: int, operand: Any) -> None:
        if not self.containers or not self.mutations:
            return
        self.mutations -= 1
        target = self.containers[index % len(self.containers)]
        self.log.append(("mutate", self.labels[id(target)], operation))
        if isinstance(target, list):
            if operation == 0 or (operation in (1, 4) and not target):
                target.append(operand)
            elif operation == 1:
                target.pop()
            elif operation == 2:
                target.clear()
            elif operation == 3:
                target.insert(0, operand)
            elif operation == 4:
                del target[0]
            else:
                target.extend([operand] * 3)
        elif operation < 3:
            target[KEYS[operation]] = operand
        elif operation == 3:
            target.pop("BrandID", None)
        elif operation == 4:
            target.clear()
        elif target:
            target.popitem()

    def shape(self, value: Any, path: frozenset = frozenset()) -> Any:
        """The value, with every built object named by its place in the build."""
        label = self.labels.get(id(value))
        kind = type(value)
        if kind in (type(None), bool, int, float, str, bytes):
            return kind.__name__, value
        if isinstance(value, Hostile):
            return kind.__name__, label, str.__str__(value) if isinstance(value, str) else None
        if id(value) in path:
            return "cycle", label
        inner = path | {id(value)}
        if isinstance(value, (list, tuple)):
            return kind.__name__, label, [self.shape(item, inner) for item in value]
        if isinstance(value, (dict, types.MappingProxyType, collections.ChainMap)):
            return kind.__name__, label, [(self.shape(k, inner), self.shape(v, inner)) for k, v in value.items()]
        return kind.__name__, label


class Hostile:
    """Each of its methods, as built: may mutate a container of the build, then raise or answer."""

    scene: Scene
    plans: dict[str, tuple]

    def act(self, method: str, key: Any = None) -> Any:
        self.scene.log.append((self.scene.labels[id(self)], method, key if type(key) is str else None))
        mutation, failure, failing_key, answer = self.plans[method]
        if mutation:
            self.scene.mutate(*mutation)
        if failure and (failing_key is None or failing_key == key):
            raise failure()
        return answer

    def __bool__(self) -> bool:
        return self.act("bool")

    def __str__(self) -> Any:
        return self.act("str")

    def __repr__(self) -> str:
        return f"{type(self).__name__}{self.scene.labels[id(self)]}"


class Trap(Hostile):
    """A record and a setting: subscription and `get` answer from its own mapping."""

    def __init__(self, scene: Scene, plans: dict[str, tuple], mapping: dict) -> None:
        self.scene, self.plans, self.mapping = scene, plans, mapping

    def get(self, key: Any) -> Any:
        self.act("get", key)
        return self.mapping.get(key)

    def __getitem__(self, key: Any) -> Any:
        self.act("getitem", key)
        return self.mapping[key]


class Text(Hostile, str):
    """A str subclass with a hostile truth test and str()."""

    def __new__(cls, content: str, scene: Scene, plans: dict[str, tuple]) -> Text:
        self = super().__new__(cls, content)
        self.scene, self.plans = scene, plans
        return self


class Records(list):
    """A list subclass, refused where an exact list is required."""


def text(src: Source) -> str:
    pieces = []
    for _ in range(src.pick(LENGTHS)):
        mode = src.below(7)
        if mode == 0:
            pieces.append("#")
        elif mode == 1:
            pieces.append(src.pick(ASCII))
        elif mode == 2:
            pieces.append(src.pick(SCRIPTS))
        elif mode == 3:
            pieces.append(chr(src.wide(0x110000)))
        elif mode == 4:
            name, mask = src.pick(MEDIA_NAMES), src.below(256)
            pieces.append("".join(c.lower() if mask >> (i % 8) & 1 else c for i, c in enumerate(name)))
        elif mode == 5:
            pieces.append(chr(32 + src.below(95)))
        else:
            pieces.append(src.pick(SCRIPTS) * src.pick(LENGTHS))
    return "".join(pieces)


def integer(src: Source) -> int:
    kind = src.below(4)
    if kind == 0:
        return src.below(256) - 128
    if kind == 1:
        return src.wide(1 << 24) - (1 << 23)
    if kind == 2:
        return (src.wide(1 << 24) - (1 << 23)) * 10 ** src.below(40)
    return src.pick((0, 1, -1, 2**31, 2**63, -2**63 - 1, 2**64))


def plan(src: Source, scene: Scene, method: str, depth: int) -> tuple:
    mutation = (src.below(16), src.below(6), value(src, scene, 3)) if src.below(4) == 0 else None
    failure = src.pick(FAILURES) if src.below(4) == 0 else None
    failing_key = src.pick(KEYS) if src.below(2) else None
    if method == "bool":
        answer: Any = bool(src.below(2))
    elif method == "str":
        answer = text(src) if src.below(6) else value(src, scene, depth + 1)
    else:
        answer = None
    return mutation, failure, failing_key, answer


def record(src: Source, scene: Scene, depth: int) -> dict:
    """A dict holding each of the keys of the records and settings, most of the time."""
    fields = scene.register({})
    for key in KEYS if src.below(4) else [src.pick(KEYS + ("",)) for _ in range(src.below(4))]:
        if src.below(8):
            fields[key] = value(src, scene, depth + 1)
    return fields


def mapping(src: Source, scene: Scene, depth: int) -> Any:
    kind = src.below(8)
    if kind < 4:
        return record(src, scene, depth)
    if kind == 4:
        return scene.register(collections.defaultdict(str, record(src, scene, depth)))
    if kind == 5:
        return scene.register(collections.OrderedDict(record(src, scene, depth)))
    if kind == 6:
        return scene.register(types.MappingProxyType(record(src, scene, depth)))
    return scene.register(collections.ChainMap(record(src, scene, depth), record(src, scene, depth)))


def hostile(src: Source, scene: Scene, depth: int) -> Any:
    if src.below(3) == 0:
        content = text(src)
        return scene.register(Text(content, scene, {m: plan(src, scene, m, depth) for m in ("bool", "str")}))
    plans = {m: plan(src, scene, m, depth) for m in ("bool", "str", "get", "getitem")}
    return scene.register(Trap(scene, plans, record(src, scene, depth)))


def value(src: Source, scene: Scene, depth: int = 0) -> Any:
    """Any of the values a payload or a caller might hand over, hostile objects among them."""
    kind = src.below(12 if depth < 3 else 7)
    if kind == 0:
        return None
    if kind == 1:
        return bool(src.below(2))
    if kind == 2:
        return integer(src)
    if kind in (3, 4):
        return text(src)
    if kind == 5:
        return text(src).encode("utf-8", "surrogatepass")
    if kind == 6:
        return src.pick((0.0, -0.0, 1.5, 1e300, float("inf")))
    if kind == 7:
        return scene.register([value(src, scene, depth + 1) for _ in range(src.below(5))])
    if kind == 8:
        return mapping(src, scene, depth)
    return hostile(src, scene, depth)


def text_or_value(src: Source, scene: Scene) -> list:
    return [text(src) if src.below(3) else value(src, scene)]


def identifier_lists(src: Source, scene: Scene) -> list:
    kind = src.below(8)
    if kind == 0:
        return [value(src, scene)]
    items = scene.register(Records() if kind == 1 else [])
    for _ in range(src.pick(ITEM_COUNTS)):
        kind = src.below(8)
        items.append(mapping(src, scene, 1) if kind < 5 else hostile(src, scene, 1) if kind < 7 else value(src, scene, 1))
    return [items]


def clock(src: Source, scene: Scene) -> Any:
    """A datetime class whose utcnow() gives a time read from the bytes, or a clock that fails."""
    year = src.pick((2026, 1, 999, 1000, 9999, 1970)) if src.below(2) else 1 + src.wide(9999)
    stamp: Any = datetime(year, 1 + src.below(12), 1 + src.below(28), src.below(24), src.below(60),
                          src.below(60), src.wide(1_000_000), timezone.utc if src.below(4) == 0 else None)
    kind = src.below(16)
    if kind == 0:
        stamp = types.SimpleNamespace(strftime=lambda form, answer=value(src, scene): answer)
    elif kind == 1:
        stamp = None
    elif kind == 2:
        stamp = type("Stamp", (datetime,), {})(*stamp.timetuple()[:6])
    return type("Clock", (datetime,), {"utcnow": classmethod(lambda cls: stamp)})


def common_details(src: Source, scene: Scene) -> list:
    scene.clock = clock(src, scene)
    kind = src.below(8)
    setting = mapping(src, scene, 0) if kind < 5 else hostile(src, scene, 0) if kind < 7 else value(src, scene)
    return [setting, value(src, scene), value(src, scene)]


BUILDERS: dict[str, Callable[[Source, Scene], list]] = {
    "get_hashtags": text_or_value,
    "get_media_type": text_or_value,
    "extract_brand_ids_and_category_ids": identifier_lists,
    "extracting_common_details": common_details,
}


def run(module: Any, name: str, data: bytes) -> tuple:
    """What calling `module`'s function on the arguments built from `data` gives, and does to them."""
    scene, src = Scene(), Source(data)
    arguments = BUILDERS[name](src, scene)
    function = getattr(module, name)
    by_keyword = src.below(2)
    parameters = native.__dict__[name].__code__.co_varnames
    call = (lambda: function(**dict(zip(parameters, arguments)))) if by_keyword else (lambda: function(*arguments))
    real_clock = module.datetime
    module.datetime = scene.clock or real_clock
    try:
        result = outcome(call, scene.shape)
    finally:
        module.datetime = real_clock
    return result, scene.log, scene.shape(arguments)


def check(name: str, data: bytes) -> None:
    ours, theirs = run(native, name, data), run(twin, name, data)
    if ours != theirs:
        raise AssertionError(f"{name} differs from the twin on {data!r}\nnative: {ours!r}\ntwin:   {theirs!r}")
