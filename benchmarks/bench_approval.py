"""1,000 concurrent asyncio approvals against the local Kavri Cloud.

All requests are created and left waiting, then approved at once by the local
approvers. Reported for the native handler and the plain-Python reference in
the same run: wall time, the event loop's worst delay (a 5 ms ticker on the
same loop), and the memory each waiting approval holds beyond its client's own
(tracemalloc, in a separate pass so tracing does not distort the timings).
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import sys
import tempfile
import time
import tracemalloc
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import kavri_core  # noqa: E402
from bench_local_cloud import Service, _raise_fd_limit  # noqa: E402
from kavri.approval import ApprovalGate, Warrant  # noqa: E402

from kavri_cloud import approval  # noqa: E402
from kavri_cloud.client import AsyncKavriCloudClient, KavriCloudClient  # noqa: E402


def approve_all(url: str, key: str, expected: int, stop_after: float) -> None:
    """Waits until `expected` requests are pending, then approves them all."""
    with KavriCloudClient(key, base_url=url, timeout=60) as client:
        deadline = time.monotonic() + stop_after
        while time.monotonic() < deadline:
            pending = client.list_requests(status="pending")
            if len(pending) >= expected:
                break
            time.sleep(0.2)
        ids = [r["id"] for r in pending]

    def approve(chunk: list[str]) -> None:
        with KavriCloudClient(key, base_url=url, timeout=60) as c:
            for request_id in chunk:
                c._handle_response(c._send("POST", f"approvals/requests/{request_id}/approve", json={}))

    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        list(pool.map(approve, [ids[i::8] for i in range(8)]))


async def one_pass(handler, requests, url: str, key: str, *, trace: bool) -> dict:
    loop = asyncio.get_running_loop()
    worst = 0.0
    stop = asyncio.Event()

    async def ticker() -> None:
        nonlocal worst
        while not stop.is_set():
            before = loop.time()
            await asyncio.sleep(0.005)
            worst = max(worst, loop.time() - before - 0.005)

    tick = asyncio.create_task(ticker())
    approver = loop.run_in_executor(None, approve_all, url, key, len(requests), 120)
    if trace:
        tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0] if trace else 0
    started = time.perf_counter()
    tasks = [asyncio.create_task(handler(r)) for r in requests]
    waiting_peak = 0
    while not approver.done():
        if trace:
            waiting_peak = max(waiting_peak, tracemalloc.get_traced_memory()[0] - base)
        await asyncio.sleep(0.05)
    results = await asyncio.gather(*tasks)
    wall = time.perf_counter() - started
    if trace:
        tracemalloc.stop()
    stop.set()
    await tick
    await approver
    assert all(type(r).__name__ == "SignedApproval" for r in results)
    return {"wall": wall, "worst_delay_ms": worst * 1000, "waiting_bytes": waiting_peak}


async def client_memory(url: str, key: str, count: int) -> int:
    """What `count` open clients that each made one request hold: the clients' own share."""
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    clients = [AsyncKavriCloudClient(key, base_url=url) for _ in range(count)]
    await asyncio.gather(*(c.health() for c in clients))
    used = tracemalloc.get_traced_memory()[0] - base
    tracemalloc.stop()
    await asyncio.gather(*(c.close() for c in clients))
    return used


def measure(count: int) -> dict:
    from reference.approval import async_cloud_approval as reference_factory

    _raise_fd_limit(4 * count + 256)
    holder = kavri_core.SigningKey.generate()
    gate = ApprovalGate(Warrant(id="wrt_bench", holder_key=holder, tools_requiring_approval={"send_email"}))
    out: dict = {}
    with tempfile.TemporaryDirectory() as tmp, Service(Path(tmp)) as service:
        url, key = service.url, service.runtime_key
        handlers = {
            "native": approval.async_cloud_approval(key, base_url=url, poll_interval=0.5, timeout=300.0),
            "reference": reference_factory(key, base_url=url, poll_interval=0.5, timeout=300.0),
        }
        out["client_bytes"] = asyncio.run(client_memory(url, key, count))
        for trace in (False, True):
            for name, handler in handlers.items():
                requests = [gate.request_for("send_email", {"n": i, "run": f"{name}-{trace}"}) for i in range(count)]
                result = asyncio.run(one_pass(handler, requests, url, key, trace=trace))
                for k, v in result.items():
                    if trace == (k == "waiting_bytes"):
                        out[f"{name}_{k}"] = v
    return out


def run(quick: bool = False) -> list[dict]:
    count = 100 if quick else 1000
    m = measure(count)
    client_kib = m["client_bytes"] / count / 1024
    figures = [
        {"name": f"{count} concurrent asyncio approvals, wall time", "unit": "s", "native": m["native_wall"],
         "reference": m["reference_wall"], "ratio": m["reference_wall"] / m["native_wall"],
         "target": "all complete", "met": True},
        {"name": "event loop's worst delay while they wait", "unit": "ms", "native": m["native_worst_delay_ms"],
         "reference": m["reference_worst_delay_ms"],
         "ratio": m["reference_worst_delay_ms"] / max(m["native_worst_delay_ms"], 1e-9), "target": "< 50 ms",
         "met": m["native_worst_delay_ms"] < 50},
    ]
    # Peak memory of all waiting approvals, client and connection included; the
    # target is on what exceeds an open client's own share.
    per = {name: m[f"{name}_waiting_bytes"] / count / 1024 for name in ("native", "reference")}
    figures.append({"name": f"peak memory per waiting approval (an open client alone: {client_kib:.1f} KiB)",
                    "unit": "KiB", "native": per["native"], "reference": per["reference"],
                    "ratio": per["reference"] / per["native"] if per["native"] > 0 else None,
                    "target": "< client + 20 KiB", "met": per["native"] - client_kib < 20})
    return figures


if __name__ == "__main__":
    for f in run(quick="--quick" in sys.argv):
        print(f)
