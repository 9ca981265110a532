"""Soak: mixed approvals for minutes under injected faults, watching the client's memory.

The local Kavri Cloud runs in one subprocess with 10% of its approval traffic
faulted (dropped connections, 500s, 503s, cut-short JSON, records without
"status" or "id"). A second subprocess, the client, keeps the three handler
kinds busy at once: two threads of the blocking ``cloud_approval``, eight
asyncio tasks of ``async_cloud_approval`` on one loop, and one thread of the
Temporal handler in ``temporalio.testing.ActivityEnvironment``, retried with its
heartbeat details as Temporal would. Every approval it gets is checked by the
SDK's gate. This process plays the human (approving most requests, denying
some) and samples the client's resident set size once a second.

After a warm-up (the first 30% of the run, at most 2 minutes: rare faults keep
sending calls down error paths they have not taken before for a while) the RSS
curve should be flat: the report gives its least-squares slope, the growth it
adds up to and what that comes to per handler call, and calls the curve flat
when that is under 512 bytes a call (a leak of one small object per call would
already be close; RSS noise of a few hundred KiB over thousands of calls is not). It writes ``benchmarks/results/soak.json`` and
``soak.md`` (the curve as a table and a sparkline, and the slope for other
warm-up lengths).

    python benchmarks/bench_soak.py [--seconds 300] [--fault-rate 0.10]

Every request goes to 127.0.0.1, and the run stops by itself.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import random
import re
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parents[1]
for _path in (ROOT, ROOT / "sdk"):
    if str(_path) not in sys.path:
        sys.path.insert(0, str(_path))

RESULTS = ROOT / "benchmarks" / "results"
# Five minutes: `./dev bench soak` runs it; the full run leaves it out.
IN_FULL_RUN = False
DENY_SHARE = 0.1
WARMUP_SHARE, WARMUP_MAX = 0.3, 120.0
# Growth after warm-up per handler call below which the curve counts as flat.
FLAT_BYTES_PER_CALL = 512


def fault_settings(rate: float) -> dict[str, Any]:
    """Spread `rate` over the fault kinds: transport and server errors first, damaged records less often."""
    shares = {"drop_rate": 0.2, "http_503_rate": 0.2, "http_500_rate": 0.2, "malformed_json_rate": 0.2,
              "missing_status_rate": 0.1, "missing_id_rate": 0.1}
    return {kind: rate * share for kind, share in shares.items()} | {"seed": 7}


# ---------------------------------------------------------------- the service


class Service:
    """``kavri-cloud local`` in a subprocess; its banner gives the URL, the keys and the approvers."""

    def __init__(self, data_dir: Path) -> None:
        self.data_dir = data_dir
        self.process: subprocess.Popen[str] | None = None
        self.url = self.admin_key = self.runtime_key = ""
        self.approvers: dict[str, str] = {}
        self._lines: list[str] = []

    def __enter__(self) -> Service:
        self.process = subprocess.Popen(
            [sys.executable, "-m", "kavri_cloud", "local", "--port", "0", "--data", str(self.data_dir)],
            cwd=ROOT, env=_child_env(), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
            stdin=subprocess.DEVNULL,
        )
        assert self.process.stdout is not None
        threading.Thread(target=lambda: self._lines.extend(iter(self.process.stdout.readline, "")),
                         daemon=True).start()
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            banner = "".join(self._lines)
            if "Press Ctrl+C" in banner:
                self.url = re.search(r"listening on (\S+)", banner).group(1)
                self.admin_key = re.search(r"admin key\s+(\S+)", banner).group(1)
                self.runtime_key = re.search(r"runtime key\s+(\S+)", banner).group(1)
                self.approvers = dict(re.findall(r"^\s+(alice|bob|carol)\s+([0-9a-f]{64})$", banner, re.M))
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


def _child_env() -> dict[str, str]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (str(ROOT), str(ROOT / "sdk"), env.get("PYTHONPATH", "")) if p)
    return env


def approver_loop(service: Service, stop: threading.Event, decisions: Counter) -> None:
    """The human: resolves every pending request, denying about one in ten. Faults only delay it."""
    from kavri_cloud.client import KavriCloudClient
    from kavri_cloud.exceptions import KavriCloudError

    chooser = random.Random(11)
    done: set[str] = set()
    with KavriCloudClient(service.admin_key, base_url=service.url, timeout=5.0) as client:
        while not stop.is_set():
            try:
                pending = client.list_requests(status="pending")
            except KavriCloudError:
                decisions["list failed"] += 1
                stop.wait(0.02)
                continue
            for record in pending:
                request_id = record.get("id")
                if not request_id or request_id in done:
                    continue
                verb = "deny" if chooser.random() < DENY_SHARE else "approve"
                body = {"reason": "soak says no"} if verb == "deny" else {}
                try:
                    client._handle_response(client._send("POST", f"approvals/requests/{request_id}/{verb}", json=body))
                    done.add(request_id)
                    decisions[verb] += 1
                except KavriCloudError as exc:
                    if exc.status_code == 409:  # resolved meanwhile (an earlier faulted answer went through)
                        done.add(request_id)
                    decisions[f"{verb} failed"] += 1
            stop.wait(0.02)


# ---------------------------------------------------------------- the client (its own process)


def client_main(args: argparse.Namespace) -> int:
    """The measured process: the three handler kinds at once, until the time is up."""
    import asyncio
    import dataclasses
    import gc

    import kavri_core
    from kavri.approval import ApprovalDenied, ApprovalGate, Warrant
    from temporalio.exceptions import ApplicationError
    from temporalio.testing import ActivityEnvironment

    from kavri_cloud import approval

    approvers = [kavri_core.PublicKey.from_bytes(bytes.fromhex(args.approver))]
    gate = ApprovalGate(Warrant(id="wrt_soak", holder_key=kavri_core.SigningKey.generate(),
                                tools_requiring_approval={"pay_invoice"}, approvers=approvers))
    counts: Counter = Counter()
    lock = threading.Lock()
    deadline = time.monotonic() + args.seconds
    serial = iter(range(10**9))

    def request() -> Any:
        with lock:
            n = next(serial)
        return gate.request_for("pay_invoice", {"invoice": n, "amount_cents": 1000 + n % 977})

    def record(kind: str, outcome: str) -> None:
        with lock:
            counts[f"{kind}: {outcome}"] += 1

    def judge(kind: str, req: Any, result: Any = None, error: BaseException | None = None) -> None:
        if isinstance(error, ApprovalDenied):
            record(kind, "timed out" if (error.reason or "").startswith("timed out") else "denied")
        elif isinstance(error, ApplicationError):
            record(kind, f"ApplicationError {error.type}")
        elif error is not None:  # injected faults surface as the client's errors
            record(kind, f"error {type(error).__name__}")
        else:
            try:
                gate.verify(result, req)
                record(kind, "approved and verified")
            except ApprovalDenied:
                record(kind, "APPROVAL FAILED VERIFICATION")

    def attempt(kind: str, req: Any, call: Any) -> None:
        try:
            result = call()
        except Exception as exc:  # noqa: BLE001 - every failure is counted by kind
            judge(kind, req, error=exc)
        else:
            judge(kind, req, result)

    blocking = approval.cloud_approval(args.key, base_url=args.url, poll_interval=0.05, timeout=10.0)

    def blocking_worker() -> None:
        while time.monotonic() < deadline:
            req = request()
            attempt("blocking", req, lambda: blocking(req))

    asynchronous = approval.async_cloud_approval(args.key, base_url=args.url, poll_interval=0.05, timeout=10.0)

    async def asyncio_worker() -> None:
        while time.monotonic() < deadline:
            req = request()
            try:
                result = await asynchronous(req)
            except Exception as exc:  # noqa: BLE001
                judge("asyncio", req, error=exc)
            else:
                judge("asyncio", req, result)

    async def asyncio_main() -> None:
        await asyncio.gather(*(asyncio_worker() for _ in range(8)))

    temporal = approval.temporal_cloud_approval(args.key, gate.warrant.holder_key, base_url=args.url,
                                                fast_poll_seconds=0.05, fast_poll_attempts=10)

    def temporal_attempts(req: Any) -> Any:
        # Temporal's part: retry a pending approval with the last heartbeat, a few times.
        env = ActivityEnvironment()
        beats: list[Any] = []
        env.on_heartbeat = lambda *details: beats.append(details)
        env.info = dataclasses.replace(env.info, workflow_id="wf-soak", workflow_run_id=req.request_id)
        for attempt in range(1, 21):
            env.info = dataclasses.replace(env.info, attempt=attempt,
                                           heartbeat_details=list(beats[-1]) if beats else [])
            try:
                return env.run(temporal, req)
            except ApplicationError as exc:
                if exc.non_retryable or attempt == 20:
                    raise
                record("temporal", f"retried after {exc.type}")

    def temporal_worker() -> None:
        while time.monotonic() < deadline:
            req = request()
            attempt("temporal", req, lambda: temporal_attempts(req))

    def heap_sampler() -> None:
        # What RSS alone cannot tell apart: Python objects kept alive (allocated
        # blocks), memory of native code and large buffers (malloc in use), or
        # neither (allocator fragmentation). The calls made so far give the rate.
        started = time.monotonic()
        while time.monotonic() < deadline:
            with lock:
                calls = sum(v for k, v in counts.items() if "retried" not in k)
            gc.collect()  # count what is alive, not what awaits the next collection
            in_use, held = malloc_stats()
            print(f"SOAK-HEAP {time.monotonic() - started:.2f} {calls} {sys.getallocatedblocks()} {in_use} {held} "
                  f"{threading.active_count()}", flush=True)
            time.sleep(2.0)

    threads = [threading.Thread(target=blocking_worker, name=f"blocking-{i}") for i in range(2)]
    threads.append(threading.Thread(target=heap_sampler, name="heap", daemon=True))
    threads.append(threading.Thread(target=temporal_worker, name="temporal"))
    threads.append(threading.Thread(target=lambda: asyncio.run(asyncio_main()), name="asyncio"))
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    print("SOAK-COUNTS " + json.dumps(dict(counts)), flush=True)
    # Memory the C allocator keeps after it was freed comes back on a trim; a leak does not.
    before = rss_kib(os.getpid())
    gc.collect()
    try:
        import ctypes

        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):
        pass
    print(f"SOAK-TRIM {before} {rss_kib(os.getpid())}", flush=True)
    return 0


# ---------------------------------------------------------------- measuring and reporting


def malloc_stats() -> tuple[int, int]:
    """(bytes the C allocator has handed out and not got back, bytes it holds from the system), or -1s.

    glibc's mallinfo2: in use is ``uordblks + hblkhd``, held is ``arena + hblkhd``
    over all arenas; held growing while in use does not is fragmentation.
    """
    import ctypes

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
            "keepcost")]

    try:
        libc = ctypes.CDLL(None)
        libc.mallinfo2.restype = MallInfo2
        info = libc.mallinfo2()
    except (OSError, AttributeError):
        return -1, -1
    return int(info.uordblks + info.hblkhd), int(info.arena + info.hblkhd)


def rss_kib(pid: int) -> int | None:
    try:
        for line in Path(f"/proc/{pid}/status").read_text().splitlines():
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    except OSError:
        return None
    return None


def slope_per_minute(points: list[tuple[float, float]]) -> float:
    """Least-squares slope of (seconds, KiB) points, in KiB per minute."""
    n = len(points)
    if n < 2:
        return 0.0
    mean_t = sum(t for t, _ in points) / n
    mean_v = sum(v for _, v in points) / n
    var = sum((t - mean_t) ** 2 for t, _ in points)
    if var == 0:
        return 0.0
    return 60.0 * sum((t - mean_t) * (v - mean_v) for t, v in points) / var


def sparkline(values: list[float], width: int = 60) -> str:
    """The curve in block characters, bucketed to `width` columns, scaled to its own range."""
    if not values:
        return ""
    bars = "▁▂▃▄▅▆▇█"
    step = max(1, -(-len(values) // width))
    buckets = [sum(values[i:i + step]) / len(values[i:i + step]) for i in range(0, len(values), step)]
    low, high = min(buckets), max(buckets)
    span = (high - low) or 1.0
    return "".join(bars[min(len(bars) - 1, int((v - low) / span * len(bars)))] for v in buckets)


def measure(seconds: float, fault_rate: float, output: Path | None) -> dict[str, Any]:
    warmup = min(WARMUP_MAX, seconds * WARMUP_SHARE)
    decisions: Counter = Counter()
    with tempfile.TemporaryDirectory(prefix="kavri-soak-") as data, Service(Path(data)) as service:
        from kavri_cloud.client import KavriCloudClient

        with KavriCloudClient(service.admin_key, base_url=service.url) as admin:
            admin._handle_response(admin._send("POST", "_local/faults", json=fault_settings(fault_rate)))
        stop = threading.Event()
        human = threading.Thread(target=approver_loop, args=(service, stop, decisions), daemon=True)
        human.start()
        client = subprocess.Popen(
            [sys.executable, str(Path(__file__).resolve()), "--client", "--url", service.url,
             "--key", service.runtime_key, "--approver", service.approvers["alice"], "--seconds", str(seconds)],
            cwd=ROOT, env=_child_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            stdin=subprocess.DEVNULL,
        )
        out_lines: list[str] = []
        err_lines: list[str] = []
        threading.Thread(target=lambda: out_lines.extend(iter(client.stdout.readline, "")), daemon=True).start()
        threading.Thread(target=lambda: err_lines.extend(iter(client.stderr.readline, "")), daemon=True).start()
        started = time.monotonic()
        samples: list[tuple[float, int]] = []
        while client.poll() is None:
            value = rss_kib(client.pid)
            if value is not None:
                samples.append((round(time.monotonic() - started, 2), value))
            if time.monotonic() - started > seconds + 120:
                client.kill()
                break
            time.sleep(max(0.0, 1.0 - (time.monotonic() - started) % 1.0))
        client.wait()
        stop.set()
        human.join(10)
    time.sleep(0.1)  # let the reader threads drain the pipes
    counts: dict[str, int] = {}
    trim: list[int] = []
    # seconds, calls, Python allocated blocks, malloc in use, malloc held, threads
    heap: list[tuple[float, int, int, int, int, int]] = []
    for line in out_lines:
        if line.startswith("SOAK-COUNTS "):
            counts = json.loads(line.removeprefix("SOAK-COUNTS "))
        elif line.startswith("SOAK-TRIM "):
            trim = [int(n) for n in line.split()[1:]]
        elif line.startswith("SOAK-HEAP "):
            t, *numbers = line.split()[1:]
            heap.append((float(t), *(int(n) for n in numbers)))
    heap_after = [h for h in heap if h[0] >= warmup]
    heap_calls = heap_after[-1][1] - heap_after[0][1] if len(heap_after) > 1 else 0

    def per_call(index: int) -> float | None:
        if not heap_calls:
            return None
        points = [(h[1], h[index]) for h in heap_after]  # growth against calls, not time
        return slope_per_minute(points) / 60
    after = [(t, v) for t, v in samples if t >= warmup]
    slope = slope_per_minute(after)
    span_min = (after[-1][0] - after[0][0]) / 60 if len(after) > 1 else 0.0
    growth = slope * span_min
    calls = sum(v for k, v in counts.items() if "retried" not in k)
    calls_after = calls * span_min * 60 / seconds if seconds else 0
    figures = {
        "seconds": seconds,
        "fault_rate": fault_rate,
        "faults": fault_settings(fault_rate),
        "warmup_seconds": warmup,
        "samples": samples,
        "rss_kib": {
            "first": samples[0][1] if samples else None,
            "at_warmup_end": after[0][1] if after else None,
            "last": samples[-1][1] if samples else None,
            "max": max(v for _, v in samples) if samples else None,
        },
        "slope_kib_per_min_after_warmup": slope,
        "growth_kib_after_warmup": growth,
        "handler_calls": calls,
        "growth_bytes_per_call_after_warmup": growth * 1024 / calls_after if calls_after else None,
        "slope_kib_per_min_by_warmup": {
            f"{w:.0f}": slope_per_minute([(t, v) for t, v in samples if t >= w])
            for w in sorted({seconds * share for share in (0.1, 0.2, 0.3, 0.4, 0.5)} | {warmup})
        },
        "heap_samples": heap,
        "python_blocks_per_call_after_warmup": per_call(2),
        "malloc_bytes_per_call_after_warmup": per_call(3),
        "malloc_held_bytes_per_call_after_warmup": per_call(4),
        "client_threads": sorted({h[5] for h in heap}),
        "rss_kib_before_and_after_malloc_trim": trim,
        "flat": bool(after) and calls_after > 0 and growth * 1024 / calls_after < FLAT_BYTES_PER_CALL,
        "client_exit_code": client.returncode,
        "client_stderr_tail": "".join(err_lines[-20:]),
        "outcomes": dict(sorted(counts.items())),
        "approver": dict(sorted(decisions.items())),
        "machine": {"python": platform.python_version(), "cpus": os.cpu_count(), "platform": platform.platform()},
        "when": time.strftime("%Y-%m-%d %H:%M:%S"),
    }
    verified = sum(v for k, v in counts.items() if k.endswith("approved and verified"))
    forged = sum(v for k, v in counts.items() if "FAILED VERIFICATION" in k)
    figures["approvals_verified"] = verified
    figures["approvals_failing_verification"] = forged
    figures["ok"] = figures["flat"] and client.returncode == 0 and verified > 0 and forged == 0
    print(f"soak: {len(samples)} RSS samples, slope after warm-up {slope:+.1f} KiB/min, "
          f"{verified} verified approvals, client exit {client.returncode}", flush=True)
    if output is not None:
        output.mkdir(parents=True, exist_ok=True)
        (output / "soak.json").write_text(json.dumps(figures, indent=2) + "\n")
        (output / "soak.md").write_text(report(figures))
    return figures


def reading(f: dict[str, Any]) -> str:
    """One sentence on what the per-call figures say the RSS growth is made of."""
    blocks, in_use = f["python_blocks_per_call_after_warmup"], f["malloc_bytes_per_call_after_warmup"]
    held, trim = f["malloc_held_bytes_per_call_after_warmup"], f["rss_kib_before_and_after_malloc_trim"]
    if blocks is None:
        return "no heap samples."
    if abs(blocks) < 0.5 and in_use < 64 and held > 64:
        returned = f" (malloc_trim gave back {(trim[0] - trim[1]) / 1024:.1f} MiB)" if len(trim) == 2 else ""
        return ("no live Python objects and no native allocations pile up per call; what RSS gains is memory the "
                f"C allocator keeps after it was freed{returned}, which is fragmentation, not a leak.")
    if abs(blocks) >= 0.5:
        return f"Python objects stay alive at {blocks:+.2f} blocks a call: look for a reference leak."
    if in_use >= 64:
        return f"native allocations stay in use at {in_use:+.0f} bytes a call: look for a native leak."
    return "neither Python objects nor native allocations grow."


def report(f: dict[str, Any]) -> str:
    samples = f["samples"]
    mib = [v / 1024 for _, v in samples]
    after = [v / 1024 for t, v in samples if t >= f["warmup_seconds"]]
    rss = f["rss_kib"]
    lines = [
        "# Soak: mixed approvals under injected faults",
        "",
        f"{f['seconds']:.0f} s on Python {f['machine']['python']} ({f['machine']['cpus']} CPUs), {f['when']}. "
        f"Client: 2 blocking threads, 8 asyncio tasks and 1 Temporal handler thread against the local Kavri Cloud "
        f"in another process, {f['fault_rate']:.0%} of its approval traffic faulted.",
        "",
        "## Client RSS",
        "",
        f"Whole run ({len(samples)} samples, one a second), {min(mib):.1f} to {max(mib):.1f} MiB:",
        "",
        "    " + sparkline(mib),
        "",
        f"After the {f['warmup_seconds']:.0f} s warm-up, {min(after):.1f} to {max(after):.1f} MiB:"
        if after else "No samples after the warm-up.",
        "",
        "    " + sparkline(after),
        "",
        f"- RSS at start {rss['first'] / 1024:.1f} MiB, at the end of warm-up {rss['at_warmup_end'] / 1024:.1f} MiB, "
        f"at the end {rss['last'] / 1024:.1f} MiB, peak {rss['max'] / 1024:.1f} MiB." if samples else "- no samples",
        f"- Least-squares slope after warm-up: **{f['slope_kib_per_min_after_warmup']:+.1f} KiB/min**, "
        f"{f['growth_kib_after_warmup']:+.0f} KiB over the measured span, "
        + (f"{f['growth_bytes_per_call_after_warmup']:+.0f} bytes per handler call "
           if f["growth_bytes_per_call_after_warmup"] is not None else "")
        + f"({f['handler_calls']} calls in the run). Flat means under {FLAT_BYTES_PER_CALL} bytes a call: "
        f"**{'flat' if f['flat'] else 'NOT flat'}**.",
        "- Slope by warm-up length: " + ", ".join(
            f"{w} s: {v:+.0f} KiB/min" for w, v in f["slope_kib_per_min_by_warmup"].items()) + ".",
        "- Where growth would come from, per handler call after warm-up (least squares against the call count): "
        + (f"Python allocated blocks {f['python_blocks_per_call_after_warmup']:+.3f}, "
           f"C allocator in use {f['malloc_bytes_per_call_after_warmup']:+.1f} bytes, held from the system "
           f"{f['malloc_held_bytes_per_call_after_warmup']:+.1f} bytes; client threads seen: "
           f"{', '.join(map(str, f['client_threads']))}."
        + (f" At the end, gc plus malloc_trim(0) took the RSS from {f['rss_kib_before_and_after_malloc_trim'][0] / 1024:.1f}"
           f" to {f['rss_kib_before_and_after_malloc_trim'][1] / 1024:.1f} MiB."
           if len(f["rss_kib_before_and_after_malloc_trim"]) == 2 else "")
           if f["python_blocks_per_call_after_warmup"] is not None else "not measured."),
        "- Reading: " + reading(f),
        f"- Approvals verified by the SDK's gate: {f['approvals_verified']}; "
        f"approvals that failed verification: {f['approvals_failing_verification']}.",
        "",
        "| seconds | RSS (MiB) |",
        "|---:|---:|",
    ]
    every = max(1, len(samples) // 30)
    rows = samples[::every] + ([samples[-1]] if samples and samples[-1] not in samples[::every] else [])
    lines += [f"| {t:.0f} | {v / 1024:.2f} |" for t, v in rows]
    lines += ["", "## Outcomes in the client", "", "| handler: outcome | count |", "|---|---:|"]
    lines += [f"| {k} | {v} |" for k, v in f["outcomes"].items()]
    lines += ["", "## The approver (this process)", "", "| decision | count |", "|---|---:|"]
    lines += [f"| {k} | {v} |" for k, v in f["approver"].items()]
    lines += ["", "Injected fault rates: " + ", ".join(
        f"{k} {v:.3f}" for k, v in f["faults"].items() if k.endswith("_rate")) + "."]
    return "\n".join(lines) + "\n"


def run(quick: bool = False) -> list[dict]:
    """Figures for ``benchmarks/run.py``: 20 s when quick (report not written), else the full 300 s soak."""
    seconds = 20.0 if quick else 300.0
    f = measure(seconds, 0.10, output=None if quick else RESULTS)
    load = f"{seconds:.0f} s, 10% faults"

    def figure(name: str, unit: str, value: Any, target: str, met: bool | None) -> dict:
        return {"name": f"{name} ({load})", "unit": unit, "native": value, "reference": None, "ratio": None,
                "target": target, "met": met}

    return [
        figure("soak RSS growth after warm-up", "KiB", f["growth_kib_after_warmup"],
               f"< {FLAT_BYTES_PER_CALL} B per call", f["flat"]),
        figure("soak approvals verified", "count", f["approvals_verified"], "> 0", f["approvals_verified"] > 0),
        figure("soak approvals failing verification", "count", f["approvals_failing_verification"], "0",
               f["approvals_failing_verification"] == 0),
    ]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=300.0, help="length of the soak (default 300)")
    parser.add_argument("--fault-rate", type=float, default=0.10, help="share of faulted requests (default 0.10)")
    parser.add_argument("--output", type=Path, default=RESULTS, help="folder of soak.json and soak.md")
    parser.add_argument("--client", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--url", help=argparse.SUPPRESS)
    parser.add_argument("--key", help=argparse.SUPPRESS)
    parser.add_argument("--approver", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.client:
        return client_main(args)
    if args.seconds <= 0 or not 0 <= args.fault_rate <= 1:
        parser.error("--seconds must be positive and --fault-rate between 0 and 1")
    return 0 if measure(args.seconds, args.fault_rate, args.output)["ok"] else 1


if __name__ == "__main__":
    raise SystemExit(main())
