"""Times tavelmoor.common_functions against plain Python and against the host's floors.

Usage: python bench/run.py [--quick] [--case SUBSTRING ...] [--peers] [--runs N]

For every case three statements run in this one process, interleaved repeat by repeat:
- native: the function of tavelmoor.common_functions;
- python: the plain-Python twin in tests/twin.py (same work, same result on the same input);
- floor: the host work that the function cannot avoid (a bare builtin call, re.findall and a join,
  datetime.utcnow().strftime(), json.loads, or the client's awaitable for a parent post).
With --peers, two more: the twin compiled with Cython and with mypyc (bench/peers.py builds them once
and caches them), run with the plain twin's statement. Without it nothing is built.
Each is timed with timeit; the figure is the fastest repeat divided by its loop count, in ns per call,
loop overhead included (the same for all). With --runs N the whole measurement of a case is made N
times and each figure is the median of the N. Results are checked equal before anything is timed.
"""

import argparse
import asyncio
import json
import os
import platform
import re
import statistics
import sys
import timeit
import warnings
from datetime import datetime
from pathlib import Path
from types import CodeType, FunctionType, SimpleNamespace

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import twin as plain  # noqa: E402

from tavelmoor import common_functions as native  # noqa: E402

# The implementations that a statement can call as `f`, by variant; load_peers() adds the peers.
IMPLEMENTATIONS = {"native": native, "python": plain}
PEERS = ("cython", "mypyc")
LABELS = {"native": "native", "python": "Python", "cython": "Cython", "mypyc": "mypyc", "floor": "floor"}


def load_peers():
    """Builds the compiled peers unless cached, and lets statements call them."""
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    import peers

    IMPLEMENTATIONS.update(peers.load_all())

FIELDS = plain.PARENT_POST_FIELDS
TIME_FORMAT = "%Y-%m-%dT%H:%M:%S"

CAPTION = (
    "Golden hour at the harbour \N{SUNRISE} Our new autumn collection lands this Friday: "
    "linen shirts, wool knits and the return of the waxed jacket you kept asking about. "
    "Tag a friend who needs a new coat! Free shipping over 50 EUR, link in bio. "
    "#autumn #newcollection #slowfashion #menswear #womenswear #madeinportugal "
    "#sustainablestyle #ootd #harbourlife #weekendvibes"
)

SETTING = {
    "AccountID": 48213,
    "BrandID": 1207,
    "BrandName": "Harbour & Loom",
    "CategoryID": 33,
    "CategoryName": "Apparel",
    "InstagramGraphApiID": "17841405822304914",
    "ProfilePic": "https://scontent.cdninstagram.com/v/t51.2885-19/44884218_345707102882519_n.jpg",
    "ScreenName": "harbourandloom",
    "AuthorName": "Harbour & Loom",
    "ChannelType": 3,
    "IsActive": True,
    "CreatedDate": "2023-11-02T09:14:55",
}

RECORDS = [{"BrandID": 1200 + i, "CategoryID": f"cat-{i % 7}", "BrandName": f"brand {i}"}
           for i in range(10)]
RECORDS += [{"BrandID": str(3400 + i), "CategoryID": 50 + i % 3, "BrandName": f"brand {i}"}
            for i in range(10)]


def parent_post():
    """A carousel post as the Graph API returns it for the parent post field list."""
    cdn = "https://scontent.cdninstagram.com/v/t51.29350-15/{}_n.jpg?stp=dst-jpg_e35&_nc_cat=104&ccb=1-7&_nc_sid=18de74&_nc_ohc=Qm3bJ8bQ9xQAX8&_nc_ht=scontent.cdninstagram.com&edm=AL-3X8kEAAAA&oh=00_AfB1rC&oe=6571A0C2"  # noqa: E501
    children = [{"media_type": "IMAGE", "media_url": cdn.format(f"40551{i}8823"),
                 "thumbnail_url": cdn.format(f"40551{i}8824"), "id": f"1797{i}0248813902"}
                for i in range(3)]
    return {
        "permalink": "https://www.instagram.com/p/C0kQm3bJ8bQ/",
        "id": "17985512345678901",
        "caption": CAPTION,
        "comments_count": 41,
        "like_count": 1873,
        "media_type": "CAROUSEL_ALBUM",
        "media_url": cdn.format("405518823"),
        "owner": {
            "name": "Harbour & Loom", "username": "harbourandloom", "ig_id": 5923041187,
            "id": "17841405822304914", "followers_count": 48211, "follows_count": 312,
            "media_count": 1045,
            "biography": "Slow fashion from the coast. Linen, wool, waxed cotton. Made in Portugal.",
            "profile_picture_url": cdn.format("44884218"), "website": "https://harbourandloom.example",
        },
        "ig_id": 3251122334455667788,
        "username": "harbourandloom",
        "shortcode": "C0kQm3bJ8bQ",
        "thumbnail_url": cdn.format("405518825"),
        "media_product_type": "FEED",
        "is_comment_enabled": True,
        "timestamp": "2023-12-08T17:42:10+0000",
        "children": {"data": children},
    }


POST_TEXT = json.dumps(parent_post(), ensure_ascii=False)

# Goals: (kind, bound); kind "speedup" is Python/native >= bound, "overhead" is native/floor <= bound.
SPEEDUP, OVERHEAD = "Python/native >=", "native/floor <="


class Case:
    def __init__(self, name, function, args, native_stmt, python_stmt, floor_stmt, floor_name, goal,
                 raises=None, per=1):
        self.name = name
        self.per = per  # calls made by one run of the statement
        self.function = function
        self.args = args
        # The peers run the plain twin's statement.
        self.stmts = {"native": native_stmt, "python": python_stmt, "floor": floor_stmt,
                      **dict.fromkeys(PEERS, python_stmt)}
        self.floor_name = floor_name
        self.goal = goal
        self.raises = raises  # the exception type of a failing-call case


def drive(coro):
    try:
        while True:
            coro.send(None)
    except StopIteration as stop:
        return stop.value


DRIVE = """\
c = f(post_id, api, token)
try:
    while True:
        c.send(None)
except StopIteration as stop:
    r = stop.value
"""

AWAIT_CLIENT = """\
a = api.fetch_instagram_data(endpoint=post_id, access_token=token, fields=fields).__await__()
try:
    while True:
        a.send(None)
except StopIteration as stop:
    r = stop.value
"""


def finished_client(loop, value):
    """A Graph API client whose fetch gives an already finished future holding `value`."""
    future = loop.create_future()
    future.set_result(value)

    def fetch_instagram_data(endpoint, access_token, fields):
        return future

    return SimpleNamespace(fetch_instagram_data=fetch_instagram_data)


def build_cases(loop):
    cases = []
    for label, name, goal in [
        ("ASCII known", "carousel_album", (SPEEDUP, 25)),
        ("ASCII unknown", "image/webp", (SPEEDUP, 25)),
        ("non-ASCII", "vid\N{LATIN SMALL LETTER E WITH ACUTE}o", (SPEEDUP, 10)),
    ]:
        cases.append(Case(f"get_media_type, {label}", "get_media_type", {"x": name},
                          "f(x)", "f(x)", "callable(x)", "callable(x)", goal))
    cases.append(Case(f"get_hashtags, caption ({len(CAPTION)} chars)", "get_hashtags",
                      {"x": CAPTION, "re": re, "pattern": r"(?<=#)\w+"},
                      "f(x)", "f(x)", '",".join(re.findall(pattern, x))', "re.findall + join",
                      (OVERHEAD, 1.05)))
    cases.append(Case('get_hashtags, ""', "get_hashtags", {"x": ""},
                      "f(x)", "f(x)", "callable(x)", "callable(x)", (SPEEDUP, 1.3)))
    cases.append(Case("extract, 20 dict records", "extract_brand_ids_and_category_ids",
                      {"x": RECORDS}, "f(x)", "f(x)", "callable(x)", "callable(x)", (SPEEDUP, 3)))
    cases.append(Case("common details, full setting", "extracting_common_details",
                      {"s": SETTING, "ct": 3, "gid": "17841400001112223", "datetime": datetime},
                      "f(s, ct, gid)", "f(s, ct, gid)", "datetime.utcnow()", "utcnow()", (SPEEDUP, 2.5)))
    cases += error_cases()
    post = parent_post()
    cases.append(Case("parent post, no JSON (dict)", "process_parent_post",
                      {"post_id": "17985512345678901", "api": finished_client(loop, post),
                       "token": "EAAG-token", "fields": FIELDS},
                      DRIVE, DRIVE, AWAIT_CLIENT, "client + await", (SPEEDUP, 1.15)))
    cases.append(Case(f"parent post, JSON ({len(POST_TEXT)} chars)", "process_parent_post",
                      {"post_id": "17985512345678901", "api": finished_client(loop, POST_TEXT),
                       "token": "EAAG-token", "fields": FIELDS, "loads": json.loads},
                      DRIVE, DRIVE, AWAIT_CLIENT + "r = loads(r)\n", "client + json.loads", (OVERHEAD, 1.15)))
    cases += await_cases(loop)
    return cases


# The await rows: the coroutine awaited from inside an `async def`, AWAITS times in a loop, as a
# service awaits it; the floor is the same loop awaiting the client alone.
AWAITS = 100


class AsyncClient:
    """A Graph API client whose fetch is an `async def` that returns at once."""

    def __init__(self, answer):
        self.answer = answer

    async def fetch_instagram_data(self, endpoint, access_token, fields):
        return self.answer


async def await_in_loop(f, post_id, api, token, n):
    for _ in range(n):
        r = await f(post_id, api, token)
    return r


async def await_client_in_loop(loads, post_id, api, token, n):
    for _ in range(n):
        r = await api.fetch_instagram_data(endpoint=post_id, access_token=token, fields=FIELDS)
        if loads:
            r = loads(r)
    return r


def await_cases(loop):
    post = parent_post()
    cases = []
    for label, api, goal in [
        ("async client (dict)", AsyncClient(post), (SPEEDUP, 1.15)),
        ("finished future (dict)", finished_client(loop, post), (SPEEDUP, 1.1)),
        ("async client (JSON)", AsyncClient(POST_TEXT), (SPEEDUP, 1.0)),
        ("finished future (JSON)", finished_client(loop, POST_TEXT), (SPEEDUP, 1.0)),
    ]:
        cases.append(Case(f"parent post await, {label}", "process_parent_post",
                          {"post_id": "17985512345678901", "api": api, "token": "EAAG-token",
                           "n": AWAITS, "loads": json.loads if "JSON" in label else None,
                           "awaits": await_in_loop, "awaits_client": await_client_in_loop, "drive": drive},
                          "drive(awaits(f, post_id, api, token, n))", "drive(awaits(f, post_id, api, token, n))",
                          "drive(awaits_client(loads, post_id, api, token, n))", "client in the loop",
                          goal, per=AWAITS))
    return cases


def error_cases():
    """Failing calls, each caught as a service's handler would; the floor raises and catches the
    same exception in Python. Native and plain Python must raise the same type (and, but for the
    binding error, whose wording differs, the same text)."""
    def failing(name, function, args, call, exc, floor_raise):
        stmt = f"try:\n    f({', '.join(args)})\nexcept {exc.__name__}:\n    pass\n"
        floor = f"try:\n    raise {floor_raise}\nexcept {exc.__name__}:\n    pass\n"
        case = Case(name, function, {**args, exc.__name__: exc}, stmt, stmt, floor, "raise + except",
                    (SPEEDUP, 1.0), exc)
        case.call = call
        return case

    gid = "17841400001112223"
    return [
        failing("extract, record without its key", "extract_brand_ids_and_category_ids",
                {"x": [{"CategoryID": 33, "BrandName": "Harbour & Loom"}]}, lambda f, a: f(a["x"]),
                KeyError, "KeyError('BrandID')"),
        failing("get_hashtags(), binding error", "get_hashtags", {}, lambda f, a: f(), TypeError,
                "TypeError('f')"),
        failing("common details, None setting", "extracting_common_details", {"s": None, "ct": 3, "gid": gid},
                lambda f, a: f(a["s"], a["ct"], a["gid"]), AttributeError, "AttributeError('get')"),
        failing("get_hashtags, bytes text", "get_hashtags", {"x": b"#autumn #ootd"}, lambda f, a: f(a["x"]),
                TypeError, "TypeError('bytes')"),
    ]


def call_once(case, function):
    """Runs `function` once on the case's arguments as the timed statement does."""
    a = case.args
    if case.raises:
        try:
            case.call(function, a)
        except case.raises as exc:
            return type(exc), None if "binding" in case.name else str(exc)
        raise SystemExit(f"{case.name}: no {case.raises.__name__} raised")
    if case.function == "process_parent_post":
        return drive(function(a["post_id"], a["api"], a["token"]))
    if case.function == "extracting_common_details":
        return function(a["s"], a["ct"], a["gid"])
    return function(a["x"])


class FixedClock:
    @staticmethod
    def utcnow():
        return datetime(2024, 3, 5, 7, 8, 9, 123456)


def check_equal(case, variants):
    """Every implementation must agree with plain Python on the case's input; the clock is fixed."""
    modules = [IMPLEMENTATIONS[v] for v in variants if v in IMPLEMENTATIONS]
    saved = [m.datetime for m in modules]
    for m in modules:
        m.datetime = FixedClock
    try:
        want = call_once(case, getattr(plain, case.function))
        for variant in variants:
            if variant in ("python", "floor"):
                continue
            got = call_once(case, getattr(IMPLEMENTATIONS[variant], case.function))
            if type(got) is not type(want) or got != want or (
                    isinstance(got, dict) and list(got.items()) != list(want.items())):
                raise SystemExit(f"{case.name}: {LABELS[variant]} gave {got!r}, plain Python {want!r}")
    finally:
        for m, value in zip(modules, saved):
            m.datetime = value


def landed(case):
    try:
        call_once(case, getattr(native, case.function))
    except NotImplementedError:
        return False
    return True


# A module body that makes one function with MAKE_FUNCTION, as a def does; its code constant is
# swapped for the code to copy. A function made otherwise has no version, and the interpreter
# never specialises a call of it.
_MAKER = compile("def _(): pass", "<copy>", "exec")


def own_copy(value):
    """A function of this file or of the plain twin, with a code object of its own for each timer:
    the interpreter tunes a call site to the callables and clients that it meets, so a function
    shared by the rows and variants would be tuned to whichever ran last and slow the others."""
    if (not isinstance(value, FunctionType) or value.__closure__ or value.__defaults__ or value.__kwdefaults__
            or not any(value.__globals__ is g for g in (globals(), vars(plain)))):
        return value
    code = value.__code__.replace()
    maker = _MAKER.replace(co_consts=tuple(code if isinstance(c, CodeType) else c for c in _MAKER.co_consts))
    made = {}
    exec(maker, value.__globals__, made)
    return made["_"]


def make_timer(case, variant):
    namespace = {name: own_copy(value) for name, value in case.args.items()}
    if variant != "floor":
        namespace["f"] = own_copy(getattr(IMPLEMENTATIONS[variant], case.function))
    setup = "; ".join(f"{name} = _ns[{name!r}]" for name in namespace)
    return timeit.Timer(case.stmts[variant], setup=setup, globals={"_ns": namespace})


def loops_for(timer, target):
    number = 1
    while True:
        if timer.timeit(number) >= target / 4 or number >= 10**7:
            return max(1, int(number * 4))
        number *= 4


def measure(case, variants, repeats, target, runs=1):
    """ns per call of each variant: the median over `runs` of the fastest of `repeats`."""
    timers = {v: make_timer(case, v) for v in variants}
    loops = {v: loops_for(t, target) for v, t in timers.items()}
    per_run = {v: [] for v in variants}
    for _ in range(runs):
        best = dict.fromkeys(variants, float("inf"))
        for _ in range(repeats):
            for v in variants:
                best[v] = min(best[v], timers[v].timeit(loops[v]) / loops[v])
        for v in variants:
            per_run[v].append(best[v] * 1e9 / case.per)
    return {v: statistics.median(values) for v, values in per_run.items()}


def goal_status(goal, py_ratio, floor_ratio):
    kind, bound = goal
    value = py_ratio if kind == SPEEDUP else floor_ratio
    if value is None:
        return f"{kind} {bound}", "n/a"
    met = value >= bound if kind == SPEEDUP else value <= bound
    return f"{kind} {bound}", "met" if met else "MISSED"


def cpu_model():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith(("model name", "Model", "Hardware")):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def fmt_ns(value):
    return "n/a" if value is None else f"{value:,.0f}" if value >= 100 else f"{value:.1f}"


def fmt_ratio(value):
    return "n/a" if value is None else f"{value:.2f}"


def header(peers):
    """The table's columns: figures of each implementation, the plain twin's time over each, the
    native time over the floor, then the goal. Returns the header and the indices of numeric columns."""
    timed = ["native", *peers, "python", "floor"]
    over = ["native", *peers]
    columns = ["case", *(f"{LABELS[v]} ns" for v in timed), *(f"Python/{LABELS[v]}" for v in over),
               "native/floor", "floor", "goal", "status"]
    return columns, set(range(1, 2 + len(timed) + len(over)))


def print_markdown(columns, numeric, rows):
    print("| " + " | ".join(columns) + " |")
    print("|" + "|".join("---:" if i in numeric else "---" for i in range(len(columns))) + "|")
    for row in rows:
        print("| " + " | ".join(str(c).replace("|", "\\|") for c in row) + " |")


def print_table(columns, numeric, rows):
    widths = [max(len(str(row[i])) for row in [columns, *rows]) for i in range(len(columns))]
    line = lambda row: "  ".join(  # noqa: E731
        str(c).rjust(w) if i in numeric else str(c).ljust(w) for i, (c, w) in enumerate(zip(row, widths)))
    print(line(columns))
    print("  ".join("-" * w for w in widths))
    for row in rows:
        print(line(row))


def ratio_of(a, b):
    return a / b if a and b else None


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a short smoke run (a few seconds)")
    parser.add_argument("--case", action="append", default=[],
                        help="run only the cases whose name holds this text (repeatable)")
    parser.add_argument("--markdown", action="store_true", help="print the table as Markdown")
    parser.add_argument("--peers", action="store_true",
                        help="also time the twin compiled with Cython and with mypyc (built once, then cached)")
    parser.add_argument("--runs", type=int, default=1, help="the median of this many measurements")
    options = parser.parse_args(argv)
    repeats, target = (10, 0.001) if options.quick else (300, 0.001)
    peers = PEERS if options.peers else ()
    if peers:
        load_peers()

    print(f"machine: {cpu_model()}, {platform.machine()}, {os.cpu_count()} CPUs, {platform.system()} {platform.release()}")
    print(f"python:  {platform.python_implementation()} {sys.version.split()[0]} ({sys.executable})")
    print(f"mode:    {'quick' if options.quick else 'full'}: min of {repeats} repeats of ~{target * 1e3:g} ms"
          f" each, ns per call, timeit loop overhead included"
          + (f"; median of {options.runs} runs" if options.runs > 1 else ""))
    if peers:
        print("peers:   " + ", ".join(f"{LABELS[p]} {IMPLEMENTATIONS[p].__file__}" for p in peers))
    print()

    loop = asyncio.new_event_loop()
    rows, missed = [], 0
    try:
        for case in build_cases(loop):
            if options.case and not any(s in case.name for s in options.case):
                continue
            with warnings.catch_warnings():
                # datetime.utcnow() warns on 3.13; every side of the comparison pays the same
                # ignored warning.
                warnings.filterwarnings("ignore", category=DeprecationWarning)
                is_landed = landed(case)
                variants = ["native"] if is_landed else []
                variants += [*peers, "python", "floor"]
                check_equal(case, variants)
                ns = measure(case, variants, repeats, target, options.runs)
            nat, py, floor = ns.get("native"), ns["python"], ns["floor"]
            py_ratio = ratio_of(py, nat)
            floor_ratio = ratio_of(nat, floor)
            goal, status = goal_status(case.goal, py_ratio, floor_ratio)
            if not is_landed:
                status = "not implemented"
            missed += status == "MISSED"
            rows.append((case.name, fmt_ns(nat), *(fmt_ns(ns[p]) for p in peers), fmt_ns(py), fmt_ns(floor),
                         fmt_ratio(py_ratio), *(fmt_ratio(ratio_of(py, ns[p])) for p in peers),
                         fmt_ratio(floor_ratio), case.floor_name, goal, status))
    finally:
        loop.close()
    columns, numeric = header(peers)
    (print_markdown if options.markdown else print_table)(columns, numeric, rows)
    print()
    short = [row[0] for row in rows if row[-1] == "MISSED"]
    print(f"goals missed: {missed}" + (f" ({'; '.join(short)})" if short else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
