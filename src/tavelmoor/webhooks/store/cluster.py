"""A throwaway PostgreSQL cluster on 127.0.0.1, for the demo, the benchmark and the tests.

It runs the server installed on this machine (`initdb` and `pg_ctl` on PATH, or under
/usr/lib/postgresql/*/bin) in a directory of its own under the system's temporary folder. The server refuses
to run as root, so under root every server command runs as the `postgres` user through `runuser`, and the
directory is made over to that user. Sanitizer and allocator settings meant for this interpreter are taken out
of the server's environment: under an AddressSanitizer preload the server hangs.
"""
import contextlib
import glob
import os
import pwd
import shutil
import socket
import subprocess
import tempfile
from pathlib import Path
from types import TracebackType

INSTALL_HINT = "no PostgreSQL server found (initdb, pg_ctl); on Debian: apt-get install postgresql"
# Variables of this process that must not reach the server.
FOREIGN_ENVIRONMENT = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "PYTHONMALLOC")
SERVER_USER = "postgres"
START_SECONDS = 60


class ClusterUnavailable(Exception):
    """No PostgreSQL server can be run here; the message says how to get one."""


def server_binaries() -> Path:
    """The folder that holds initdb and pg_ctl."""
    found = shutil.which("initdb")
    if found and shutil.which("pg_ctl", path=str(Path(found).resolve().parent)):
        return Path(found).resolve().parent
    for folder in sorted(glob.glob("/usr/lib/postgresql/*/bin"), key=lambda p: int(Path(p).parent.name), reverse=True):
        if (Path(folder) / "initdb").exists() and (Path(folder) / "pg_ctl").exists():
            return Path(folder)
    raise ClusterUnavailable(INSTALL_HINT)


def free_port() -> int:
    with contextlib.closing(socket.socket()) as probe:
        probe.bind(("127.0.0.1", 0))
        port: int = probe.getsockname()[1]
        return port


class Cluster:
    """A cluster made by `create`, served by `start`, halted by `stop` and removed by `remove` (or `with`).

    `fsync` and `synchronous_commit` on make a server as durable as a production one; off, one fit for tests.
    With a `password`, connections over TCP must give it (as the superuser `postgres`).
    """

    def __init__(self, directory: Path, binaries: Path, port: int, settings: dict[str, str]) -> None:
        self.directory = directory
        self.data = directory / "data"
        self.port = port
        self._binaries = binaries
        self._settings = settings
        self._running = False

    @classmethod
    def create(cls, *, fsync: bool = False, synchronous_commit: bool | None = None, password: str | None = None,
               settings: dict[str, str] | None = None) -> "Cluster":
        binaries = server_binaries()
        directory = Path(tempfile.mkdtemp(prefix="tavelmoor-postgresql-"))
        try:
            server_settings = {
                "listen_addresses": "127.0.0.1", "unix_socket_directories": str(directory),
                "fsync": "on" if fsync else "off", "full_page_writes": "on" if fsync else "off",
                "synchronous_commit": "on" if (fsync if synchronous_commit is None else synchronous_commit) else "off",
                "max_connections": "300", "log_min_messages": "warning", **(settings or {})}
            cluster = cls(directory, binaries, free_port(), server_settings)
            if os.geteuid() == 0:
                user = pwd.getpwnam(SERVER_USER)
                os.chown(directory, user.pw_uid, user.pw_gid)
            command = [str(binaries / "initdb"), "-D", str(cluster.data), "-U", "postgres", "-E", "UTF8",
                       "--locale=C", "--auth-local=trust", "--no-instructions"]
            if not fsync:
                command.append("--no-sync")
            if password is None:
                command.append("--auth-host=trust")
            else:
                pwfile = directory / "pwfile"
                pwfile.write_text(password + "\n", encoding="utf-8")
                if os.geteuid() == 0:
                    os.chown(pwfile, user.pw_uid, user.pw_gid)
                command += ["--auth-host=scram-sha-256", f"--pwfile={pwfile}"]
            cluster._run(command)
            if password is not None:
                pwfile.unlink()
        except BaseException:
            shutil.rmtree(directory, ignore_errors=True)
            raise
        return cluster

    def _run(self, command: list[str]) -> None:
        env = {key: value for key, value in os.environ.items() if key not in FOREIGN_ENVIRONMENT}
        if os.geteuid() == 0:
            command = ["runuser", "-u", SERVER_USER, "--", *command]
        try:
            proc = subprocess.run(command, env=env, cwd=self.directory, stdin=subprocess.DEVNULL,
                                  capture_output=True, text=True, timeout=START_SECONDS + 30)
        except FileNotFoundError as error:
            raise ClusterUnavailable(f"{INSTALL_HINT} ({error.filename} missing)") from None
        if proc.returncode != 0:
            log = self.directory / "server.log"
            tail = log.read_text(errors="replace")[-2000:] if log.exists() else ""
            raise RuntimeError(f"{Path(command[-1] if command[-1] != 'start' else 'pg_ctl').name} failed "
                               f"({proc.returncode}): {proc.stderr.strip()}\n{tail}")

    def start(self) -> None:
        if self._running:
            return
        options = " ".join(f"-c {name}={value}" for name, value in {**self._settings, "port": str(self.port)}.items())
        self._run([str(self._binaries / "pg_ctl"), "-D", str(self.data), "-l", str(self.directory / "server.log"),
                   "-w", "-t", str(START_SECONDS), "-o", options, "start"])
        self._running = True

    def stop(self, mode: str = "fast") -> None:
        """Halts the server ("fast": sessions are ended; "immediate": as after a crash); the data stay."""
        if self._running:
            self._run([str(self._binaries / "pg_ctl"), "-D", str(self.data), "-m", mode, "-w", "stop"])
            self._running = False

    def remove(self) -> None:
        try:
            self.stop("immediate")
        finally:
            shutil.rmtree(self.directory, ignore_errors=True)

    def url(self, database: str = "postgres") -> str:
        return f"postgresql://postgres@127.0.0.1:{self.port}/{database}"

    def __enter__(self) -> "Cluster":
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.remove()
