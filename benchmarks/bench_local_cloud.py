"""Load on the local Kavri Cloud: many pending approval requests, each polled by its own client.

The service runs in a subprocess (``python -m kavri_cloud local``) on a free
loopback port with a fresh data folder. The benchmark creates N attested
pending requests, then N asyncio clients (one ``AsyncKavriCloudClient``, so one
connection, each) poll one request apiece every ``--interval`` seconds for
``--seconds`` seconds. It counts errors (exceptions, wrong records, wrong
status) and lost requests (created but missing from the service afterwards),
prints the figures and writes them to ``benchmarks/results/local_cloud.json``.

    python benchmarks/bench_local_cloud.py [--clients 1000] [--seconds 30] [--interval 0.1]

On a two-core machine the service and the pollers share the cores, and the
package client's own CPU cost per poll caps what one process can offer, well
below N / interval polls a second; ``--client raw`` swaps in a bare HTTP/1.1
client so the service is the bottleneck instead. Either way a poll that is due
while the previous one is still out is sent as soon as that one returns.

Every request goes to 127.0.0.1, and the run stops by itself.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import platform
import re
import resource
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
for path in (ROOT, ROOT / "sdk"):
    if str(path) not in sys.path:
        sys.path.insert(0, str(path))

import kavri_core  # noqa: E402

from kavri_cloud.client import AsyncKavriCloudClient  # noqa: E402

RESULTS = ROOT / "benchmarks" / "results" / "local_cloud.json"


def _free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class CpuSplit:
    """Keeps the measured process and its peers (service, approvers) on separate CPUs.

    In production the Kavri Cloud service runs elsewhere. Here it shares the
    machine, and on two cores its bursts (a thousand creates, a thousand
    approvals) preempt the measured loop: the wall-clock delays the loop's ticker
    sees then include time the loop's thread was not even running. With two or
    more CPUs the measured process keeps the first one and every peer started
    through `peer` gets the rest; with one CPU nothing is pinned.
    """

    def __init__(self) -> None:
        cpus = sorted(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else []
        self.enabled = len(cpus) >= 2
        self._all = set(cpus)
        self.measured = set(cpus[:1])
        self.peers = set(cpus[1:])

    def __enter__(self) -> CpuSplit:
        # Threads inherit the mask of the thread that starts them: pin before any start.
        if self.enabled:
            os.sched_setaffinity(0, self.measured)
        return self

    def __exit__(self, *exc_info: object) -> None:
        if self.enabled:
            os.sched_setaffinity(0, self._all)

    def peer(self, process: subprocess.Popen) -> subprocess.Popen:
        """Moves a just-started peer to the other CPUs (before it starts threads of its own)."""
        if self.enabled:
            try:
                os.sched_setaffinity(process.pid, self.peers)
            except OSError:  # already gone: its own error shows soon enough
                pass
        return process


def _raise_fd_limit(needed: int) -> None:
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = min(hard, max(soft, needed))
    if wanted > soft:
        resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))


class Service:
    """``kavri-cloud local`` in a subprocess; its banner gives the URL and the keys."""

    def __init__(self, data_dir: Path, cpus: CpuSplit | None = None) -> None:
        self.data_dir = data_dir
        self.cpus = cpus
        self.process: subprocess.Popen[str] | None = None
        self.url = self.runtime_key = self.admin_key = ""
        self.startup_seconds = 0.0
        self._lines: list[str] = []

    def __enter__(self) -> Service:
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(
            p for p in (str(ROOT), str(ROOT / "sdk"), env.get("PYTHONPATH", "")) if p
        )
        started = time.monotonic()
        process = subprocess.Popen(
            [sys.executable, "-m", "kavri_cloud", "local", "--port", str(_free_port()),
             "--data", str(self.data_dir)],
            cwd=ROOT, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
        )
        self.process = self.cpus.peer(process) if self.cpus else process
        assert self.process.stdout is not None
        threading.Thread(
            target=lambda: self._lines.extend(iter(self.process.stdout.readline, "")), daemon=True
        ).start()
        deadline = started + 30
        while time.monotonic() < deadline:
            banner = "".join(self._lines)
            if "Press Ctrl+C" in banner:
                self.startup_seconds = time.monotonic() - started
                self.url = re.search(r"listening on (\S+)", banner).group(1)
                self.runtime_key = re.search(r"runtime key\s+(\S+)", banner).group(1)
                self.admin_key = re.search(r"admin key\s+(\S+)", banner).group(1)
                return self
            if self.process.poll() is not None:
                break
            time.sleep(0.02)
        self.__exit__()
        raise RuntimeError("the local service did not start:\n" + "".join(self._lines))

    def __exit__(self, *exc_info: object) -> None:
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(2)
            try:
                self.process.wait(15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


async def _create_all(url: str, key: str, count: int) -> list[str]:
    holder = kavri_core.SigningKey.generate()
    ids: list[str] = []
    sem = asyncio.Semaphore(32)
    async with AsyncKavriCloudClient(key, base_url=url) as client:

        async def create(i: int) -> str:
            arguments = {"invoice": i, "amount_cents": 1000 + i}
            cbor, attestation = kavri_core.py_build_approval_context_attestation(
                holder, f"wrt_bench_{i}", "pay_invoice", arguments, holder.public_key
            )
            async with sem:
                record = await client.create_request(
                    warrant_id=f"wrt_bench_{i}",
                    tool="pay_invoice",
                    request_hash=attestation["request_hash"],
                    holder_key=holder.public_key.to_bytes(),
                    args_canonical_cbor_b64=cbor,
                    approval_context_attestation=attestation,
                    metadata=arguments,
                    idempotency_key=f"bench-{i}",
                )
            return record["id"]

        ids = list(await asyncio.gather(*(create(i) for i in range(count))))
    return ids


class _RawClient:
    """A bare keep-alive HTTP/1.1 GET client on asyncio streams.

    With ``--client raw`` it stands in for the package client, whose per-request
    CPU cost otherwise caps the load that one benchmark process can offer; the
    service then becomes the bottleneck, which is what that mode measures.
    """

    def __init__(self, key: str, base_url: str, timeout: float) -> None:
        host_port = base_url.split("://", 1)[1]
        self._host, _, port = host_port.partition(":")
        self._port = int(port or 80)
        self._auth = f"Bearer {key}"
        self._timeout = timeout
        self._reader: asyncio.StreamReader | None = None
        self._writer: asyncio.StreamWriter | None = None

    async def __aenter__(self) -> _RawClient:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        if self._writer is not None:
            self._writer.close()
            try:
                await self._writer.wait_closed()
            except OSError:
                pass

    async def get_request(self, request_id: str) -> dict:
        return await asyncio.wait_for(self._get(f"/v1/approvals/requests/{request_id}"), self._timeout)

    async def _get(self, path: str) -> dict:
        if self._writer is None:
            self._reader, self._writer = await asyncio.open_connection(self._host, self._port)
        assert self._reader is not None
        self._writer.write(
            f"GET {path} HTTP/1.1\r\nHost: {self._host}\r\nAuthorization: {self._auth}\r\n"
            "Accept: application/json\r\n\r\n".encode()
        )
        head = await self._reader.readuntil(b"\r\n\r\n")
        status_line, *header_lines = head.decode("latin-1").split("\r\n")
        status = int(status_line.split(" ", 2)[1])
        length = 0
        for line in header_lines:
            name, _, value = line.partition(":")
            if name.strip().lower() == "content-length":
                length = int(value)
        body = await self._reader.readexactly(length)
        if status != 200:
            raise RuntimeError(f"HTTP {status}: {body[:200]!r}")
        return json.loads(body)


async def _poll(url: str, key: str, request_id: str, interval: float, start: asyncio.Event,
                window: list[float], warmed: list[int], latencies: list[float],
                errors: Counter, raw: bool) -> int:
    polls = 0
    loop = asyncio.get_running_loop()
    factory = _RawClient if raw else AsyncKavriCloudClient
    async with factory(key, base_url=url, timeout=30.0) as client:
        # One poll before the clock starts opens the connection: building a
        # client's connection pool costs milliseconds of the client's own CPU,
        # which is not what is measured here.
        try:
            await client.get_request(request_id)
        except Exception as exc:
            errors[type(exc).__name__] += 1
        warmed[0] += 1
        await start.wait()
        began, until = window
        # Spread the first polls over one interval, as independent pollers would be.
        next_at = began + interval * (int(request_id[-6:], 16) % 1000) / 1000
        await asyncio.sleep(max(0.0, next_at - loop.time()))
        while loop.time() < until:
            started = loop.time()
            try:
                record = await client.get_request(request_id)
            except Exception as exc:  # every failure is a figure, not a crash
                errors[type(exc).__name__] += 1
            else:
                if record.get("id") != request_id:
                    errors["wrong_record"] += 1
                elif record.get("status") != "pending":
                    errors["wrong_status"] += 1
            latencies.append(loop.time() - started)
            polls += 1
            next_at = max(next_at + interval, loop.time())
            await asyncio.sleep(max(0.0, next_at - loop.time()))
    return polls


async def _missing(url: str, key: str, ids: list[str]) -> int:
    pending: set[str] = set()
    async with AsyncKavriCloudClient(key, base_url=url) as client:
        cursor = None
        while True:  # lists come in pages of at most 500 summaries
            params = {"status": "pending", "limit": 500, **({"cursor": cursor} if cursor else {})}
            page = client._handle_response(await client._send("GET", "approvals/requests", params=params))
            pending.update(r["id"] for r in page["items"])
            if not (cursor := page.get("next_cursor")):
                break
    return sum(1 for request_id in ids if request_id not in pending)


async def _run(url: str, key: str, clients: int, seconds: float, interval: float, raw: bool) -> dict:
    created_at = time.monotonic()
    ids = await _create_all(url, key, clients)
    create_seconds = time.monotonic() - created_at
    latencies: list[float] = []
    errors: Counter = Counter()
    loop = asyncio.get_running_loop()
    start = asyncio.Event()
    window = [0.0, 0.0]
    warmed = [0]
    pollers = [
        asyncio.create_task(_poll(url, key, rid, interval, start, window, warmed, latencies, errors, raw))
        for rid in ids
    ]
    # Every poller has its connection before the measured window opens.
    warm_started = loop.time()
    while warmed[0] < len(ids) and loop.time() - warm_started < 120:
        await asyncio.sleep(0.05)
    warm_seconds = loop.time() - warm_started
    began = loop.time()
    window[:] = [began, began + seconds]
    start.set()
    polls = await asyncio.gather(*pollers)
    elapsed = loop.time() - began
    lost = await _missing(url, key, ids)
    ordered = sorted(latencies)

    def pct(p: float) -> float:
        return round(ordered[min(len(ordered) - 1, int(p * len(ordered)))] * 1000, 2) if ordered else 0.0

    total = sum(polls)
    return {
        "requests_created": len(ids),
        "create_seconds": round(create_seconds, 3),
        "connect_seconds": round(warm_seconds, 3),
        "clients": clients,
        "client": "raw" if raw else "package",
        "seconds": round(elapsed, 3),
        "interval_seconds": interval,
        "polls": total,
        "polls_per_second": round(total / elapsed, 1) if elapsed else 0.0,
        "offered_polls_per_second": round(clients / interval, 1),
        "min_polls_per_client": min(polls) if polls else 0,
        "latency_ms": {
            "p50": pct(0.50), "p90": pct(0.90), "p99": pct(0.99),
            "max": round(ordered[-1] * 1000, 2) if ordered else 0.0,
            "mean": round(statistics.fmean(ordered) * 1000, 2) if ordered else 0.0,
        },
        "errors": sum(errors.values()),
        "errors_by_kind": dict(errors),
        "lost_requests": lost,
    }


def measure(clients: int, seconds: float, interval: float, *, raw: bool = False,
            output: Path | None = RESULTS) -> dict:
    """Run one load test against a fresh service; print the figures and write them to ``output``."""
    _raise_fd_limit(2 * clients + 256)
    with tempfile.TemporaryDirectory(prefix="kavri-bench-") as data, Service(Path(data)) as service:
        figures = asyncio.run(_run(service.url, service.runtime_key, clients, seconds, interval, raw))
        figures["startup_seconds"] = round(service.startup_seconds, 3)
    figures["machine"] = {"cpus": os.cpu_count(), "python": platform.python_version(), "platform": platform.platform()}
    figures["ok"] = figures["errors"] == 0 and figures["lost_requests"] == 0

    lat = figures["latency_ms"]
    print(f"local Kavri Cloud: {figures['clients']} {figures['client']} clients polling "
          f"{figures['requests_created']} pending requests every {interval * 1000:.0f} ms for {figures['seconds']:.1f} s")
    print(f"  service start       {figures['startup_seconds']:.2f} s (subprocess, until its banner)")
    print(f"  created             {figures['requests_created']} requests in {figures['create_seconds']:.2f} s")
    print(f"  connected           {figures['clients']} clients in {figures['connect_seconds']:.2f} s")
    print(f"  polls               {figures['polls']} ({figures['polls_per_second']:.0f}/s served, "
          f"{figures['offered_polls_per_second']:.0f}/s offered; fewest by one client: {figures['min_polls_per_client']})")
    print(f"  latency             p50 {lat['p50']} ms, p90 {lat['p90']} ms, p99 {lat['p99']} ms, max {lat['max']} ms")
    print(f"  errors              {figures['errors']} {figures['errors_by_kind'] or ''}".rstrip())
    print(f"  lost requests       {figures['lost_requests']}")
    if output is not None:
        output.parent.mkdir(parents=True, exist_ok=True)
        output.write_text(json.dumps(figures, indent=2) + "\n")
        print(f"  written to          {output}")
    return figures


def run(quick: bool = False) -> list[dict]:
    """Figures for ``benchmarks/run.py``: the full load, or 100 clients for 5 s when quick.

    The report of the full run carries them; local_cloud.json is written only when this
    benchmark runs on its own.
    """
    clients, seconds = (100, 5.0) if quick else (1000, 30.0)
    f = measure(clients, seconds, 0.1, output=None)
    load = f"{clients} pollers, {seconds:.0f} s"

    def figure(name: str, unit: str, value: float, target: str, met: bool | None) -> dict:
        return {"name": f"{name} ({load})", "unit": unit, "native": value, "reference": None,
                "ratio": None, "target": target, "met": met}

    return [
        figure("local cloud errors", "count", f["errors"], "0", f["errors"] == 0),
        figure("local cloud lost requests", "count", f["lost_requests"], "0", f["lost_requests"] == 0),
        figure("local cloud start", "s", f["startup_seconds"], "< 2 s", f["startup_seconds"] < 2.0),
        figure("local cloud polls served", "polls/s", f["polls_per_second"], "-", None),
        figure("local cloud poll latency p99", "ms", f["latency_ms"]["p99"], "-", None),
    ]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--clients", type=int, default=1000, help="pending requests and pollers (default 1000)")
    parser.add_argument("--seconds", type=float, default=30.0, help="polling time (default 30)")
    parser.add_argument("--interval", type=float, default=0.1, help="seconds between polls of one client (default 0.1)")
    parser.add_argument(
        "--client", choices=("package", "raw"), default="package",
        help="pollers use AsyncKavriCloudClient (default) or a bare HTTP/1.1 client",
    )
    parser.add_argument("--output", type=Path, default=RESULTS, help="where the JSON figures go")
    args = parser.parse_args(argv)
    if args.clients < 1 or args.seconds <= 0 or args.interval <= 0:
        parser.error("--clients, --seconds and --interval must be positive")
    figures = measure(args.clients, args.seconds, args.interval, raw=args.client == "raw", output=args.output)
    return 0 if figures["ok"] else 1


if __name__ == "__main__":
    raise SystemExit(main())
