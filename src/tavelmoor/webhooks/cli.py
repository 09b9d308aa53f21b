"""The command line, `tavelmoor-webhooks COMMAND`: parses the arguments and dispatches to the command's module.

It imports no command module before the arguments are parsed, so that `--help` works and a missing
`webhooks` extra is reported in one line, whatever the command.
"""
import argparse
import contextlib
import importlib
import importlib.util
import os
import re
import sqlite3
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from tavelmoor.webhooks.config import ACCESS_TOKEN_VARIABLE, APP_SECRET_VARIABLE, PROG, VERIFY_TOKEN_VARIABLE
from tavelmoor.webhooks.payloads import DATA, PayloadError

EXTRA_MODULES = ("aiohttp", "prometheus_client")
POSTGRESQL_MODULES = ("psycopg", "psycopg_pool")
POSTGRESQL_SCHEMES = ("postgresql://", "postgres://")
AGE_UNITS = {"s": 1, "m": 60, "h": 3600, "d": 86400}


def _positive(kind: type[int] | type[float]) -> Any:
    def parse(text: str) -> int | float:
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
        if not value > 0:
            raise argparse.ArgumentTypeError(f"must be greater than 0: {text!r}")
        return value
    return parse


def _duration(text: str) -> float:
    """A duration such as 72h, 3d, 90m or 259200 (seconds)."""
    match = re.fullmatch(r"(\d+(?:\.\d+)?)([smhd]?)", text.strip())
    if match is None or not float(match.group(1)) > 0:
        raise argparse.ArgumentTypeError(f"expected a positive number with s, m, h or d, such as 72h: {text!r}")
    return float(match.group(1)) * AGE_UNITS[match.group(2) or "s"]


def _age(text: str) -> float:
    """AGE such as 72h, 3d, 90m or 259200 (seconds); under 48 hours is refused."""
    from tavelmoor.webhooks.maintenance import MIN_PRUNE_AGE
    seconds = _duration(text)
    if seconds < MIN_PRUNE_AGE:
        raise argparse.ArgumentTypeError(f"{text!r} is under 48 hours: the platform may still send those "
                                         "deliveries again")
    return seconds


def _fault(text: str) -> tuple[str, int, int | None, str | None, int]:
    """POST_ID:STATUS[:CODE][@RETRY_AFTER][xTIMES], such as 17900000000000101:429@2 or 17900000000000104:400:613."""
    rest, _, times = text.partition("x")
    rest, _, retry_after = rest.partition("@")
    post_id, _, answer = rest.partition(":")
    status, _, code = answer.partition(":")
    try:
        return post_id, int(status), int(code) if code else None, retry_after or None, int(times or 1)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected POST_ID:STATUS[:CODE][@RETRY_AFTER][xTIMES], got {text!r}")


def _deliveries_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("payloads", nargs="*", type=Path, metavar="DELIVERIES",
                        help="JSON files with one webhook delivery or a list of them (default: the bundled samples)")


def _settings_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--settings", type=Path, default=DATA / "settings.json",
                        help="account settings with their brand and category lists (default: the bundled ones)")


def _stand_in_arguments(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("embedded Graph API stand-in (the default)")
    group.add_argument("--posts", type=Path, default=DATA / "posts.json",
                       help="posts it serves by id (default: the bundled ones)")
    group.add_argument("--latency", type=float, default=0.0, help="seconds it waits before each answer")


def _database(text: str) -> Path | str:
    """A SQLite file's path, or a PostgreSQL connection string (kept as text)."""
    return text if text.startswith(POSTGRESQL_SCHEMES) else Path(text)


def _database_arguments(parser: argparse.ArgumentParser, *, busy_timeout: bool = True) -> None:
    parser.add_argument("--database", type=_database, required=True, metavar="PATH|URL",
                        help="the service's SQLite file, or a PostgreSQL database that several services share, as "
                        "postgresql://USER@HOST[:PORT]/DATABASE[?PARAMETERS] (a libpq connection string; the "
                        "password from $PGPASSWORD, the file named by $PGPASSWORD_FILE, or libpq's password file)")
    if busy_timeout:
        parser.add_argument("--busy-timeout", type=_positive(float), default=5.0,
                            help="SQLite: seconds a write waits for a lock held by another process (default 5)")


def _batch_parser(commands: Any) -> None:
    parser = commands.add_parser(
        "batch", help="delivery files to records, without the service",
        description="Turn Instagram webhook deliveries into flat records, one JSON line per event, in input order.",
        epilog="Exit status: 0 when every event gave a record; 1 when some events failed (the Graph API failed "
        "for them, or a change is of a kind or shape this consumer does not handle; the other records are "
        "still written) or the Graph API could not be used at all; 2 for input it cannot read.")
    _deliveries_argument(parser)
    _settings_argument(parser)
    parser.add_argument("-o", "--output", type=Path, help="write the records here instead of to stdout")
    parser.add_argument("--concurrency", type=_positive(int), default=8, help="posts fetched at once (default 8)")
    parser.add_argument("--timeout", type=_positive(float), default=10.0, help="seconds per request (default 10)")
    parser.add_argument("--repeat", type=_positive(int), default=1, help="process the events N times over")
    parser.add_argument("--progress", action=argparse.BooleanOptionalAction,
                        help="progress line on stderr (default: on a terminal, once a run takes over half a second)")
    _stand_in_arguments(parser)
    real = parser.add_argument_group("a real Graph API instead")
    real.add_argument("--graph-api-url", metavar="URL", help="base URL, such as https://graph.facebook.com/v21.0")
    real.add_argument("--access-token", help=f"its access token (default: ${ACCESS_TOKEN_VARIABLE})")


def _serve_parser(commands: Any) -> None:
    parser = commands.add_parser(
        "serve", help="receive deliveries over HTTP and store a record per event",
        description="Receive Instagram webhook deliveries over HTTP, keep every one in SQLite or PostgreSQL, and "
        "turn each event into a stored record; any number of services may share one PostgreSQL database. Secrets "
        f"come from the environment: ${APP_SECRET_VARIABLE}, "
        f"${VERIFY_TOKEN_VARIABLE} and (with --graph-api-url) ${ACCESS_TOKEN_VARIABLE}, or from the files named "
        "by the same variables with _FILE added.")
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=8080, help="port to listen on; 0 picks a free one (default 8080)")
    parser.add_argument("--admin-host", default="127.0.0.1",
                        help="address of /healthz and /metrics (default 127.0.0.1)")
    parser.add_argument("--admin-port", type=int, default=8081,
                        help="port of /healthz and /metrics; 0 picks a free one (default 8081)")
    _database_arguments(parser)
    _settings_argument(parser)
    parser.add_argument("--concurrency", type=_positive(int), default=8, help="workers (default 8)")
    parser.add_argument("--timeout", type=_positive(float), default=10.0, help="seconds per request (default 10)")
    parser.add_argument("--max-attempts", type=_positive(int), default=8,
                        help="attempts per event before it fails (default 8)")
    parser.add_argument("--retry-base", type=_positive(float), default=0.5,
                        help="first retry delay in seconds, doubled per attempt up to a minute (default 0.5)")
    parser.add_argument("--lease", type=_positive(float), default=60.0,
                        help="seconds a claim on an event lasts unless renewed; a worker's claims are renewed "
                        "while it works, and its call is cancelled should its lease run out (default 60; "
                        "longer than --timeout)")
    parser.add_argument("--renew-every", type=_positive(float), metavar="SECONDS",
                        help="seconds between renewals of the claims in hand (default: a third of the lease)")
    group = parser.add_argument_group("PostgreSQL")
    group.add_argument("--pool-size", type=_positive(int), default=10,
                       help="connections to the database at most (default 10)")
    group.add_argument("--listen", action=argparse.BooleanOptionalAction, default=True,
                       help="LISTEN for the events other services store (default on; off behind a connection "
                       "pooler in transaction mode, which cannot carry it)")
    group.add_argument("--poll-interval", type=_positive(float), default=1.0,
                       help="seconds between claims at the most while idle, whatever LISTEN hears (default 1)")
    parser.add_argument("--max-age", type=_duration, default=72 * 3600.0, metavar="AGE",
                        help="an event that still fails this long after it happened (time paused not counted) "
                        "fails for good, such as 72h (the default) or 7d")
    parser.add_argument("--max-retry-after", type=_positive(float), default=3600.0,
                        help="seconds a Retry-After may make an event or the workers wait at most (default 3600)")
    outage = parser.add_argument_group(
        "Graph API outages", "After ERRORS transport errors or 5xx answers for at least three different posts "
        "within WINDOW seconds, all workers pause, spending no attempts, and one event is tried every PROBE seconds "
        "until the Graph API answers.")
    outage.add_argument("--outage-errors", type=_positive(int), default=5, metavar="ERRORS", help="default 5")
    outage.add_argument("--outage-window", type=_positive(float), default=30.0, metavar="WINDOW", help="default 30")
    outage.add_argument("--outage-probe", type=_positive(float), default=10.0, metavar="PROBE", help="default 10")
    parser.add_argument("--drain-timeout", type=_positive(float), default=5.0,
                        help="seconds that requests in progress and work in hand may take to finish at stop "
                        "(default 5)")
    parser.add_argument("--synchronous", choices=["FULL", "NORMAL"], default="FULL",
                        help="SQLite durability: FULL (default) keeps every answered delivery through a power loss")
    parser.add_argument("--max-database-mib", type=_positive(float), metavar="MIB",
                        help="the database may grow to this many MiB; beyond, deliveries are answered 503 as on a "
                        "full disk (default: no limit)")
    parser.add_argument("--commit-timeout", type=_positive(float), default=5.0,
                        help="seconds a delivery waits for its commit before it is answered 503 (default 5)")
    connections = parser.add_argument_group("connections to the webhook port")
    connections.add_argument("--max-connections", type=_positive(int), default=1000,
                             help="open at once; one more is answered 503 and closed (default 1000, kept under the "
                             "limit on open descriptors)")
    connections.add_argument("--header-timeout", type=_positive(float), default=10.0,
                             help="seconds a new connection has to send its request's headers (default 10)")
    connections.add_argument("--body-timeout", type=_positive(float), default=10.0,
                             help="seconds a delivery's body has to arrive, else 408 (default 10)")
    connections.add_argument("--keepalive-timeout", type=_positive(float), default=75.0,
                             help="seconds an idle connection is kept open; keep a reverse proxy's upstream "
                             "keep-alive below it (default 75)")
    connections.add_argument("--max-body-reads", type=_positive(int), default=64,
                             help="bodies over 64 KiB read at once; others wait for room up to the body timeout, "
                             "then get 503 (default 64)")
    parser.add_argument("--log-level", choices=["DEBUG", "INFO", "WARNING", "ERROR"], default="INFO")
    _stand_in_arguments(parser)
    parser.add_argument_group("a real Graph API instead").add_argument(
        "--graph-api-url", metavar="URL", help="base URL, such as https://graph.facebook.com/v21.0")


def _records_parser(commands: Any) -> None:
    parser = commands.add_parser("records", help="print the stored records",
                                 description="Print the records a service stored, as JSON lines in event order.")
    _database_arguments(parser, busy_timeout=False)
    parser.add_argument("--failed", action="store_true", help="the failed events and dead letters instead")


def _demo_parser(commands: Any) -> None:
    parser = commands.add_parser(
        "demo", help="the service end to end on this machine",
        description="Run the service on a free loopback port with a temporary database, POST the deliveries to "
        "it signed, wait until nothing is pending, and print the stored records.")
    _deliveries_argument(parser)
    _settings_argument(parser)
    parser.add_argument("-o", "--output", type=Path, help="write the records here instead of to stdout")
    parser.add_argument("--repeat", type=_positive(int), default=1,
                        help="send the deliveries N times, each time with fresh comment and media ids")
    parser.add_argument("--concurrency", type=_positive(int), default=8, help="the service's workers (default 8)")
    parser.add_argument("--post-concurrency", type=_positive(int), default=16,
                        help="deliveries POSTed at once (default 16)")
    parser.add_argument("--timeout", type=_positive(float), default=10.0)
    parser.add_argument("--synchronous", choices=["FULL", "NORMAL"], default="FULL",
                        help="the store's durability: SQLite's synchronous, or for a throwaway cluster fsync and "
                        "synchronous_commit both on (FULL, the default) or synchronous_commit off (NORMAL)")
    parser.add_argument("--database", default="sqlite", metavar="sqlite|postgresql|URL",
                        help="the store: a temporary SQLite file (the default), a throwaway PostgreSQL cluster "
                        "(needs the server installed), or a PostgreSQL database as postgresql://...")
    parser.add_argument("--processes", type=_positive(int), default=1,
                        help="services sharing the store, the deliveries spread over them (PostgreSQL; default 1)")
    parser.add_argument("--listen", action=argparse.BooleanOptionalAction, default=True,
                        help="the services LISTEN for each other's new events (PostgreSQL; default on)")
    parser.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                        help="progress line on stderr (default: on a terminal)")
    _stand_in_arguments(parser)


def _stand_in_parser(commands: Any) -> None:
    parser = commands.add_parser(
        "stand-in", help="the Graph API stand-in on its own",
        description="Serve the posts as a Graph API stand-in on 127.0.0.1; prints its base URL and access token.")
    _stand_in_arguments(parser)
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default: a free one)")
    parser.add_argument("--access-token", help="token to require (default: a random one, printed)")
    parser.add_argument("--fail", type=_fault, action="append", default=[], metavar="POST_ID:STATUS[:CODE][@S][xN]",
                        help="answer the next N (default 1) requests for a post with an error: 429, 503, or a "
                        "throttling code such as 400:613, with Retry-After S if given; may be repeated")


def _requeue_parser(commands: Any) -> None:
    parser = commands.add_parser(
        "requeue", help="put failed events and dead letters back",
        description="Put failed events back to pending with their attempts reset, and parse dead letters again, "
        "for after an outage or an upgrade that handles a new kind of change. Without --field, --key or "
        "--dead-letters: every failed event and every dead letter. May run beside the service.")
    _database_arguments(parser)
    parser.add_argument("--field", action="append", default=[], help="failed events of this field; may be repeated")
    parser.add_argument("--key", action="append", default=[], help="the failed event with this key; may be repeated")
    parser.add_argument("--dead-letters", action="store_true", help="the dead letters")


def _prune_parser(commands: Any) -> None:
    parser = commands.add_parser(
        "prune", help="drop old finished deliveries' bodies and records",
        description="Delete the bodies and records of finished deliveries older than AGE, in batches, keeping "
        "every event key so that a delivery sent again is still recognised. May run beside the service.")
    _database_arguments(parser)
    parser.add_argument("--older-than", type=_age, required=True, metavar="AGE",
                        help="such as 72h or 30d; at least 48 hours")
    parser.add_argument("--batch", type=_positive(int), default=500, help="deliveries per transaction (default 500)")


def _migrate_parser(commands: Any) -> None:
    parser = commands.add_parser(
        "migrate", help="bring the store's schema up to date",
        description="Bring the store's schema up to date, and nothing else: for an upgrade done apart from the "
        "services (serve migrates too when it starts; several may start at once).")
    _database_arguments(parser)


def parse_args(argv: Sequence[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog=PROG, description="Instagram webhook deliveries into flat records: "
                                     "the service, its operator commands, and a batch mode over files.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for add in (_serve_parser, _records_parser, _requeue_parser, _prune_parser, _migrate_parser, _demo_parser,
                _batch_parser, _stand_in_parser):
        add(commands)
    args = parser.parse_args(argv)
    sub = commands.choices[args.command]
    if getattr(args, "latency", 0) < 0:
        sub.error("--latency must not be negative")
    if args.command == "demo":
        if args.database not in ("sqlite", "postgresql") and not args.database.startswith(POSTGRESQL_SCHEMES):
            sub.error(f"--database: expected sqlite, postgresql or a postgresql:// URL, got {args.database!r}")
        if args.processes > 1 and args.database == "sqlite":
            sub.error("--processes: several services need a store they can share: --database postgresql")
    if args.command == "serve":
        if args.timeout >= args.lease:
            sub.error("--timeout must be shorter than --lease: a call must end before its claim may")
        if args.renew_every is not None and args.renew_every >= args.lease:
            sub.error("--renew-every must be shorter than --lease")
    if args.command == "batch":
        if args.graph_api_url:
            args.access_token = args.access_token or os.environ.get(ACCESS_TOKEN_VARIABLE)
            if not args.access_token:
                sub.error(f"--graph-api-url needs --access-token or ${ACCESS_TOKEN_VARIABLE}")
        elif args.access_token:
            sub.error("--access-token goes with --graph-api-url")
    return args


def _reader_gone() -> int:
    """The reader went away (`| head`): stop quietly, without the interpreter's own complaint at exit."""
    os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return 1


# Each command's module and function, imported only once the extra is known to be there; those that write
# records take the output file as well.
COMMANDS = {
    "serve": ("service", "run_serve", False),
    "records": ("maintenance", "run_records", False),
    "requeue": ("maintenance", "run_requeue", False),
    "prune": ("maintenance", "run_prune", False),
    "migrate": ("maintenance", "run_migrate", False),
    "demo": ("demo", "run_demo", True),
    "batch": ("batch", "run_batch", True),
    "stand-in": ("stand_in", "run_stand_in", False),
}


def _run(args: argparse.Namespace) -> int:
    module, name, writes_records = COMMANDS[args.command]
    command = getattr(importlib.import_module(f"tavelmoor.webhooks.{module}"), name)
    if not writes_records:
        result: int = command(args)
        return result
    with contextlib.ExitStack() as stack:
        out = sys.stdout
        if args.output:
            try:
                out = stack.enter_context(open(args.output, "w", encoding="utf-8"))
            except OSError as error:
                raise PayloadError(f"{args.output}: cannot write: {error.strerror}") from None
        result = command(args, out)
        return result


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(sys.argv[1:] if argv is None else argv)
    missing = [name for name in EXTRA_MODULES if importlib.util.find_spec(name) is None]
    if missing:
        print(f"{PROG}: {' and '.join(missing)} missing: install the service with pip install 'tavelmoor[webhooks]'",
              file=sys.stderr)
        return 2
    database = str(getattr(args, "database", ""))
    if database == "postgresql" or database.startswith(POSTGRESQL_SCHEMES):
        missing = [name for name in POSTGRESQL_MODULES if importlib.util.find_spec(name) is None]
        if missing:
            print(f"{PROG}: {' and '.join(missing)} missing: install PostgreSQL support with "
                  "pip install 'tavelmoor[postgresql]'", file=sys.stderr)
            return 2
    from tavelmoor.webhooks.config import ConfigError
    from tavelmoor.webhooks.graph_api import GraphApiError
    from tavelmoor.webhooks.store import StoreLocked, StoreUnavailable, StoreVersionError
    try:
        return _run(args)
    except (PayloadError, ConfigError, StoreLocked, StoreVersionError, StoreUnavailable) as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 2
    except GraphApiError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        return _reader_gone()
    except KeyboardInterrupt:
        return 130
    except (OSError, ValueError, sqlite3.Error) as error:
        # SQLite's messages do not say which file; the others name it themselves.
        where = f"{args.database}: " if isinstance(error, sqlite3.Error) else ""
        print(f"{PROG}: error: {where}{error}", file=sys.stderr)
        return 2
