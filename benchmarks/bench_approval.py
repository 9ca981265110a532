"""1,000 concurrent asyncio approvals, and 200 blocking ones, against the local Kavri Cloud.

For each handler that runs on the caller's loop (``async_cloud_approval`` and
``langgraph_cloud_approval``), native and plain-Python reference in the same
run: 1,000 approvals are started at once on one loop, left waiting while every
one polls at the handlers' default interval (2 s), then approved together by the
local approvers from another process. The reference handlers keep the earlier
design (a client with its own httpx pool per invocation, reference/client.py),
so the ratios show what the shared pools gain. Reported and judged:

- the synchronous work per approval before its first await: the loop's one
  iteration in which all 1,000 take their first step, divided by 1,000;
- the loop's worst delay (a 5 ms ticker on the same loop) while they wait and
  complete, from the moment all 1,000 requests exist on the service;

beside each of these two, the longest garbage collection in that window and the
number of full ones, and beside the second what a full collection of the heap
costs with no approval alive: a full collection walks the whole heap, LangChain's
included, so its pause is mostly the host's, whichever allocation set it off.
Each pass starts from a full collection, so the passes start alike;
- peak memory per waiting approval, all in (handler, client, pool and
  connections; tracemalloc, in a separate pass so tracing does not distort the
  timings);
- connections the service accepted during the pass (it counts them itself).

Then the blocking ``cloud_approval`` from 200 threads at once, each waiting for
its approval: the connections the service accepted.

The service and the approvers run in subprocesses, so their work does not land on
the measured loop, and on CPUs of their own where the machine has two or more
(bench_local_cloud.CpuSplit), so their bursts do not preempt it either: in
production the service is not on the agent's machine. Each side makes one pass of each kind: a pass is 1,000
approvals and thousands of ticks, and more of them would take the full run past
its ten minutes.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import gc
import subprocess
import sys
import tempfile
import threading
import time
import tracemalloc
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import kavri_core  # noqa: E402
from bench_local_cloud import CpuSplit, Service, _raise_fd_limit  # noqa: E402
from kavri.approval import ApprovalGate, Warrant  # noqa: E402

from kavri_cloud import approval  # noqa: E402
from kavri_cloud.client import POOL_CONNECTIONS, KavriCloudClient  # noqa: E402

POLL_INTERVAL = 2.0
HOLD = 2 * POLL_INTERVAL  # how long all of them wait before the approvers answer
TARGET_DELAY_MS = 100.0
TARGET_KIB = 10.0
TARGET_FIRST_STEP_US = 100.0
TARGET_CONNECTIONS = POOL_CONNECTIONS
THREADS = 200


def approve_all(url: str, key: str, expected: int) -> None:
    """Waits until `expected` requests are pending, holds them, then approves them all.

    Runs in a process of its own (``--approve``): in the measured one, its JSON
    decoding of 1,000 records would hold the GIL and show up as loop delay.
    Says "all pending" on stdout when they are all there. Its clients are the
    reference ones, a connection each (nine in all), so the passes can leave them
    out of the service's count.
    """
    from reference.client import KavriCloudClient
    with KavriCloudClient(key, base_url=url, timeout=60) as client:
        deadline = time.monotonic() + 120
        while True:
            pending = _all_pending(client)
            if len(pending) >= expected:
                break
            if time.monotonic() > deadline:
                raise RuntimeError(f"only {len(pending)} of {expected} requests arrived")
            time.sleep(0.2)
    print("all pending", flush=True)
    time.sleep(HOLD)
    ids = [r["id"] for r in pending]

    def approve(chunk: list[str]) -> None:
        with KavriCloudClient(key, base_url=url, timeout=60) as c:
            for request_id in chunk:
                c._handle_response(c._send("POST", f"approvals/requests/{request_id}/approve", json={}))

    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        list(pool.map(approve, [ids[i::8] for i in range(8)]))


def _all_pending(client: KavriCloudClient) -> list[dict]:
    """Every pending request's summary: lists come in pages of at most 500."""
    found: list[dict] = []
    cursor = None
    while True:
        params = {"status": "pending", "limit": 500, **({"cursor": cursor} if cursor else {})}
        page = client._handle_response(client._send("GET", "approvals/requests", params=params))
        found += page["items"]
        if not (cursor := page.get("next_cursor")):
            return found


def connections_opened(url: str, admin_key: str) -> int:
    """Connections the service has accepted since it started (the probe's own included)."""
    with KavriCloudClient(admin_key, base_url=url, timeout=30) as client:
        return client._handle_response(client._send("GET", "_local/connections"))["opened"]


class Approver:
    """``approve_all`` in a subprocess; `all_pending` is set when it says so."""

    def __init__(self, url: str, key: str, expected: int, cpus: CpuSplit) -> None:
        self.all_pending = threading.Event()
        self.process = cpus.peer(subprocess.Popen(
            [sys.executable, __file__, "--approve", url, key, str(expected)],
            stdout=subprocess.PIPE, text=True,
        ))
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self) -> None:
        for line in self.process.stdout:
            if line.strip() == "all pending":
                self.all_pending.set()

    def done(self) -> bool:
        return self.process.poll() is not None

    def finish(self) -> None:
        if self.process.wait(60) != 0:
            raise RuntimeError(f"the approver exited with {self.process.returncode}")
        self._reader.join(5)


class GcPauses:
    """Every garbage collection of a pass, through gc.callbacks: when it began, how long, which generation."""

    def __init__(self) -> None:
        self.collections: list[tuple[float, float, int]] = []
        self._began = 0.0

    def __call__(self, phase: str, info: dict) -> None:
        if phase == "start":
            self._began = time.perf_counter()
        else:
            self.collections.append((self._began, time.perf_counter() - self._began, info["generation"]))

    def longest(self, since: float, until: float = float("inf")) -> tuple[float, int]:
        """The longest pause that began in [since, until), and how many of the window's were full ones."""
        window = [(took, gen) for began, took, gen in self.collections if since <= began < until]
        return max((took for took, _ in window), default=0.0), sum(gen == 2 for _, gen in window)


async def one_pass(handler, requests, url: str, admin_key: str, cpus: CpuSplit, *, trace: bool) -> dict:
    loop = asyncio.get_running_loop()
    approver = Approver(url, admin_key, len(requests), cpus)
    worst = {"start": 0.0, "waiting": 0.0}
    pauses = GcPauses()
    waiting_since = [float("inf")]
    stop = asyncio.Event()

    async def ticker() -> None:
        while not stop.is_set():
            before = loop.time()
            await asyncio.sleep(0.005)
            if approver.all_pending.is_set():
                waiting_since[0] = min(waiting_since[0], time.perf_counter())
                phase = "waiting"
            else:
                phase = "start"
            worst[phase] = max(worst[phase], loop.time() - before - 0.005)

    opened_before = await asyncio.to_thread(connections_opened, url, admin_key)
    # Every pass starts from a full collection, so whether one falls inside its first steps does
    # not depend on what the passes before it left for the collector.
    gc.collect()
    gc.callbacks.append(pauses)
    tick = asyncio.create_task(ticker())
    if trace:
        tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0] if trace else 0
    started = time.perf_counter()
    tasks = [asyncio.create_task(handler(r)) for r in requests]
    # Scheduled after every task's first step, so it runs as soon as the last of them yields.
    first_steps = loop.create_future()
    loop.call_soon(lambda: first_steps.set_result(time.perf_counter()))
    waiting_peak = 0
    try:
        while not approver.done():
            if trace and approver.all_pending.is_set():
                waiting_peak = max(waiting_peak, tracemalloc.get_traced_memory()[0] - base)
            await asyncio.sleep(0.05)
        approver.finish()
        results = await asyncio.gather(*tasks)
    finally:
        wall = time.perf_counter() - started
        if trace:
            tracemalloc.stop()
        stop.set()
        await tick
        gc.callbacks.remove(pauses)
        approver.process.kill()
    assert all(type(r).__name__ == "SignedApproval" for r in results)
    # Less the approver's own connections (9) and the two probes'.
    opened = await asyncio.to_thread(connections_opened, url, admin_key) - opened_before - 9 - 1
    first_gc, first_full = pauses.longest(started, first_steps.result())
    waiting_gc, waiting_full = pauses.longest(waiting_since[0])
    return {"wall": wall, "first_steps_s": first_steps.result() - started, "first_gc_ms": first_gc * 1000,
            "first_full_gcs": first_full, "start_delay_ms": worst["start"] * 1000,
            "waiting_delay_ms": worst["waiting"] * 1000, "gc_pause_ms": waiting_gc * 1000,
            "waiting_full_gcs": waiting_full, "waiting_bytes": waiting_peak, "connections": opened}


async def warm_up(url: str, key: str) -> None:
    """One request through each side's client: lazy imports are paid before any timed start."""
    from reference.client import AsyncKavriCloudClient as ReferenceClient

    from kavri_cloud.client import AsyncKavriCloudClient

    for cls in (AsyncKavriCloudClient, ReferenceClient):
        async with cls(key, base_url=url) as client:
            await client.health()


def blocking_pass(handler, requests, url: str, admin_key: str, cpus: CpuSplit) -> dict:
    """The blocking handler from one thread per request, all at once: connections the service accepted."""
    before = connections_opened(url, admin_key)
    approver = Approver(url, admin_key, len(requests), cpus)
    start = threading.Barrier(len(requests))
    results: list = []

    def one(request) -> None:
        start.wait()
        results.append(handler(request))

    started = time.perf_counter()
    threads = [threading.Thread(target=one, args=(r,)) for r in requests]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    wall = time.perf_counter() - started
    approver.finish()
    assert len(results) == len(requests) and all(type(r).__name__ == "SignedApproval" for r in results)
    return {"wall": wall, "connections": connections_opened(url, admin_key) - before - 9 - 1}


def factories(kind: str) -> dict[str, object]:
    """Native and reference factories of one handler kind.

    The LangGraph ones are imported only for their own passes: with LangChain
    loaded, every full collection walks its heap, and a plain asyncio user of
    ``async_cloud_approval`` does not carry it.
    """
    if kind == "async_cloud_approval":
        from reference import approval as reference_approval

        return {"native": approval.async_cloud_approval, "reference": reference_approval.async_cloud_approval}
    from reference import langgraph as reference_langgraph

    from kavri_cloud import langgraph

    import importlib

    try:  # what both sides import at their first gate, imported before the timed start
        importlib.import_module("langgraph.config")
    except ImportError:
        pass

    return {"native": langgraph.langgraph_cloud_approval, "reference": reference_langgraph.langgraph_cloud_approval}


def bare_collection_ms() -> float:
    """A full collection of the heap as it is, no approval alive: the floor of any pause one causes."""
    timings = []
    for _ in range(3):
        began = time.perf_counter()
        gc.collect()
        timings.append(time.perf_counter() - began)
    return min(timings) * 1000


def measure(count: int, threads: int) -> dict[str, dict]:
    _raise_fd_limit(4 * count + 256)
    holder = kavri_core.SigningKey.generate()
    gate = ApprovalGate(Warrant(id="wrt_bench", holder_key=holder, tools_requiring_approval={"send_email"}))
    out: dict[str, dict] = {}
    with CpuSplit() as cpus, tempfile.TemporaryDirectory() as tmp, Service(Path(tmp), cpus) as service:
        url, key = service.url, service.runtime_key
        options = {"base_url": url, "poll_interval": POLL_INTERVAL, "timeout": 300.0}
        asyncio.run(warm_up(url, key))
        for kind in ("async_cloud_approval", "langgraph_cloud_approval"):
            sides = factories(kind)
            slot = out.setdefault(kind, {"objects_at_start": len(gc.get_objects()), "bare_gc_ms": bare_collection_ms()})
            for trace in (False, True):
                for side, factory in sides.items():
                    handler = factory(key, **options)
                    requests = [gate.request_for("send_email", {"n": i, "run": f"{kind}-{side}-{trace}"})
                                for i in range(count)]
                    result = asyncio.run(one_pass(handler, requests, url, service.admin_key, cpus, trace=trace))
                    for name, value in result.items():
                        if trace == (name == "waiting_bytes"):
                            slot[f"{side}_{name}"] = value
        from reference import approval as reference_approval

        slot = out.setdefault("cloud_approval", {})
        for side, factory in {"native": approval.cloud_approval,
                              "reference": reference_approval.cloud_approval}.items():
            handler = factory(key, **options)
            requests = [gate.request_for("send_email", {"n": i, "run": f"blocking-{side}"}) for i in range(threads)]
            for name, value in blocking_pass(handler, requests, url, service.admin_key, cpus).items():
                slot[f"{side}_{name}"] = value
    return out


def run(quick: bool = False) -> list[dict]:
    count = 100 if quick else 1000
    threads = 50 if quick else THREADS
    measured = measure(count, threads)
    figures = []
    for kind, m in measured.items():
        def pair(name: str, scale: float = 1.0) -> tuple[float, float]:
            return m[f"native_{name}"] * scale, m[f"reference_{name}"] * scale

        if kind == "cloud_approval":
            native, reference = pair("wall")
            figures.append({"name": f"cloud_approval (blocking): {threads} threads at once, wall time until all "
                                    "complete", "unit": "s", "native": native, "reference": reference,
                            "ratio": reference / native, "target": "all complete", "met": True})
            native, reference = pair("connections")
            figures.append({"name": f"cloud_approval (blocking): connections opened to the service by {threads} "
                                    "threads", "unit": "count", "native": native, "reference": reference,
                            "ratio": reference / max(native, 1), "target": f"<= {TARGET_CONNECTIONS}",
                            "met": native <= TARGET_CONNECTIONS})
            continue
        native, reference = pair("wall")
        figures.append({"name": f"{kind}: {count} concurrent approvals, wall time until all complete", "unit": "s",
                        "native": native, "reference": reference, "ratio": reference / native,
                        "target": "all complete", "met": True})
        native, reference = pair("first_steps_s", 1e6 / count)
        gc_native, gc_reference = pair("first_gc_ms")
        full_native, full_reference = pair("first_full_gcs")
        figures.append({"name": f"{kind}: synchronous work per approval before its first await (the loop's one "
                                f"iteration of {count} first steps / {count}; longest garbage collection in it: "
                                f"native {gc_native:.0f} ms, reference {gc_reference:.0f} ms; full ones: "
                                f"{full_native:.0f} and {full_reference:.0f})", "unit": "us",
                        "native": native, "reference": reference, "ratio": reference / max(native, 1e-9),
                        "target": f"<= {TARGET_FIRST_STEP_US:g} us", "met": native <= TARGET_FIRST_STEP_US})
        native, reference = pair("start_delay_ms")
        figures.append({"name": f"{kind}: loop's worst delay while the {count} start (first steps, connections, "
                                "creates)", "unit": "ms", "native": native, "reference": reference,
                        "ratio": reference / max(native, 1e-9), "target": None, "met": None})
        native, reference = pair("waiting_delay_ms")
        gc_native, gc_reference = pair("gc_pause_ms")
        full_native, full_reference = pair("waiting_full_gcs")
        figures.append({"name": f"{kind}: loop's worst delay while the {count} wait and complete (longest garbage "
                                f"collection in that window: native {gc_native:.0f} ms, reference "
                                f"{gc_reference:.0f} ms; full ones: {full_native:.0f} and {full_reference:.0f}; "
                                f"a full collection of the heap of {m['objects_at_start']:,} objects before the "
                                f"start, no approval alive: {m['bare_gc_ms']:.0f} ms)", "unit": "ms",
                        "native": native, "reference": reference, "ratio": reference / max(native, 1e-9),
                        "target": f"< {TARGET_DELAY_MS:g} ms", "met": native < TARGET_DELAY_MS})
        figures.append({"name": f"{kind}: longest garbage collection in that window", "unit": "ms",
                        "native": gc_native, "reference": gc_reference, "ratio": None, "target": None, "met": None})
        native, reference = pair("waiting_bytes", 1 / count / 1024)
        figures.append({"name": f"{kind}: peak memory per waiting approval, all in (client and pool included)",
                        "unit": "KiB", "native": native, "reference": reference,
                        "ratio": reference / native if native > 0 else None,
                        "target": f"<= {TARGET_KIB:g} KiB", "met": native <= TARGET_KIB})
        native, reference = pair("connections")
        figures.append({"name": f"{kind}: connections opened to the service by the {count}", "unit": "count",
                        "native": native, "reference": reference, "ratio": reference / max(native, 1),
                        "target": f"<= {TARGET_CONNECTIONS}", "met": native <= TARGET_CONNECTIONS})
    return figures


if __name__ == "__main__":
    if sys.argv[1:2] == ["--approve"]:
        approve_all(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    else:
        for f in run(quick="--quick" in sys.argv):
            print(f)
