"""The service while clients hold connections open: what a signed delivery waits, and what the service holds.

Two scenarios against `tavelmoor-webhooks serve` (the installed package of this interpreter), each in a fresh
child process with a temporary database:
- a mix of held connections, as the test of held connections opens them: idle ones, ones whose headers stall,
  ones whose body stalls (a well-formed signature, a declared 1 MiB, 60 KB sent), kept-alive ones gone idle;
- stalled bodies alone: a well-formed signature, a declared 1 MiB, and as much of it as the service takes
  before it stops reading, then nothing (the worst an attacker can do without the app secret).
While they are held, signed deliveries are posted one at a time on fresh connections; the table gives their
latency and the service's resident memory (VmRSS, and its peak VmHWM) once every connection has sent what it
will. The service runs with its defaults but for the header and body timeouts (a minute, so that nothing is
closed while the connections are opened and measured) and the connection cap (the connections held plus 100, so
that the deliveries find room).

    python -P bench/held_connections.py                  # 350 mixed, then 1000 stalled bodies
    python -P bench/held_connections.py --stalled 200    # a quicker look
"""
import argparse
import asyncio
import json
import os
import platform
import re
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from tavelmoor.webhooks.signature import sign

APP_SECRET = "bench-app-secret"
DELIVERY = {"object": "instagram", "entry": [{"id": "17841400000000001", "time": 1796460000, "changes": [
    {"field": "comments",
     "value": {"id": "18000000000000001", "text": "#bench", "media": {"id": "17900000000000101"}}}]}]}
MIB = 1 << 20


def memory(pid: int) -> tuple[float, float]:
    """VmRSS and VmHWM of the process, in MiB."""
    status = Path(f"/proc/{pid}/status").read_text()
    return tuple(int(re.search(rf"^{name}:\s+(\d+) kB", status, re.MULTILINE).group(1)) / 1024  # type: ignore
                 for name in ("VmRSS", "VmHWM"))


class Service:
    def __init__(self, workdir: Path, connections: int) -> None:
        env = {**os.environ, "INSTAGRAM_APP_SECRET": APP_SECRET, "INSTAGRAM_VERIFY_TOKEN": "bench-verify-token"}
        self.process = subprocess.Popen(
            [sys.executable, "-P", "-m", "tavelmoor.webhooks", "serve", "--port", "0", "--admin-port", "0",
             "--database", str(workdir / "inbox.db"), "--log-level", "WARNING", *self.options(connections)],
            stdout=subprocess.PIPE, stderr=open(workdir / "service.log", "w"), text=True, env=env)
        assert self.process.stdout is not None
        url = self.process.stdout.readline().split()[-1]
        self.host, port = url.split("/")[2].split(":")
        self.port = int(port)

    @staticmethod
    def options(connections: int) -> list[str]:
        probe = subprocess.run([sys.executable, "-P", "-m", "tavelmoor.webhooks", "serve", "--help"],
                               capture_output=True, text=True).stdout
        if "--max-connections" not in probe:
            return []       # a service from before these options: it has no such limits
        return ["--header-timeout", "60", "--body-timeout", "60", "--max-connections", str(connections + 100)]

    def stop(self) -> None:
        self.process.terminate()
        self.process.wait(60)


async def post(service: Service, number: int) -> float:
    """Posts one signed delivery on a fresh connection; returns its latency, or raises on anything but 200."""
    delivery = json.loads(json.dumps(DELIVERY))
    delivery["entry"][0]["changes"][0]["value"]["id"] = str(18000000000000000 + number)
    body = json.dumps(delivery).encode()
    started = time.monotonic()
    reader, writer = await asyncio.open_connection(service.host, service.port)
    writer.write(f"POST /webhooks/instagram HTTP/1.1\r\nHost: bench\r\nContent-Length: {len(body)}\r\n"
                 f"X-Hub-Signature-256: {sign(APP_SECRET.encode(), body)}\r\nConnection: close\r\n\r\n".encode()
                 + body)
    answer = await reader.read()
    writer.close()
    if not answer.startswith(b"HTTP/1.1 200 "):
        raise RuntimeError(f"delivery answered {answer[:40]!r}")
    return time.monotonic() - started


async def hold(service: Service, head: bytes, body: int) -> asyncio.StreamWriter:
    """A connection that sends `head`, then up to `body` bytes for as long as the service takes them."""
    _, writer = await asyncio.open_connection(service.host, service.port)
    writer.write(head)
    sent, chunk = 0, b"{" * (1 << 16)
    while sent < body:
        part = chunk[:body - sent]
        writer.write(part)
        try:
            await asyncio.wait_for(writer.drain(), 0.05)
        except TimeoutError:
            break
        sent += len(part)
    return writer


async def scenario(service: Service, held: list[tuple[int, bytes, int]], deliveries: int) -> dict[str, float]:
    writers = []
    for count, head, body in held:
        writers += await asyncio.gather(*(hold(service, head, body) for _ in range(count)))
    await asyncio.sleep(1)
    rss, _ = memory(service.process.pid)
    latencies = [await post(service, number) for number in range(deliveries)]
    _, peak = memory(service.process.pid)
    for writer in writers:
        writer.close()
    return {"connections": len(writers), "rss": rss, "peak": peak, "median": statistics.median(latencies),
            "worst": max(latencies)}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--stalled", type=int, default=1000, help="stalled bodies in the second scenario")
    parser.add_argument("--deliveries", type=int, default=5, help="signed deliveries posted while they are held")
    args = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    signature = sign(APP_SECRET.encode(), b"").encode()
    head = b"POST /webhooks/instagram HTTP/1.1\r\nHost: bench\r\nX-Hub-Signature-256: " + signature + b"\r\n"
    stalled_body = head + f"Content-Length: {MIB}\r\n\r\n".encode()
    scenarios = {
        "mixed": [(150, b"", 0), (100, head, 0), (80, stalled_body, 60_000),
                  (20, b"GET /webhooks/instagram HTTP/1.1\r\nHost: bench\r\n\r\n", 0)],
        "stalled bodies": [(args.stalled, stalled_body, MIB - 1)],
    }
    print(f"{platform.machine()}, {os.cpu_count()} CPUs, Python {platform.python_version()}, load average "
          f"{os.getloadavg()[0]:.1f} at start; descriptors {hard}")
    print()
    print("| held | connections | service RSS MiB | peak RSS MiB | delivery latency median s | worst s |")
    print("|---|---:|---:|---:|---:|---:|")
    for name, held in scenarios.items():
        with tempfile.TemporaryDirectory(prefix="tavelmoor-bench-") as workdir:
            service = Service(Path(workdir), sum(count for count, _, _ in held))
            try:
                row = asyncio.run(scenario(service, held, args.deliveries))
            finally:
                service.stop()
        print(f"| {name} | {row['connections']:.0f} | {row['rss']:.1f} | {row['peak']:.1f} | {row['median']:.3f} "
              f"| {row['worst']:.3f} |", flush=True)


if __name__ == "__main__":
    main()
