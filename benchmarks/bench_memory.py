"""Leak check: 100,000 calls of each pure public function must grow the process
by under 1 MiB (after a warm-up that fills the allocator's pools)."""

from __future__ import annotations

import base64
import gc
import json
import resource
from collections.abc import Callable

CALLS = 100_000


def rss_kib() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() // 1024


def growth(fn: Callable[[], object], calls: int) -> float:
    for _ in range(calls // 10):
        fn()
    gc.collect()
    before = rss_kib()
    for _ in range(calls):
        fn()
    gc.collect()
    return (rss_kib() - before) / 1024


def cases() -> dict[str, Callable[[], object]]:
    out: dict[str, Callable[[], object]] = {}
    from kavri_cloud import redaction

    text = "user=alice token kavri_ct_abc123 Authorization: Bearer abc.def " * 4
    record = {"api_key": "k", "items": [{"msg": text, "n": 1}, ("tc_12345678", None)]}
    out["redact_text"] = lambda: redaction.redact_text(text)
    out["redact"] = lambda: redaction.redact(record)

    from kavri_cloud import connect

    body = json.dumps({"endpoint": "localhost:8080/api", "api_key": "k_1", "agent_id": "a"}).encode()
    token = "kavri_ct_" + base64.urlsafe_b64encode(body).decode().rstrip("=")
    out["parse_connect_token + connect_config_from_token"] = lambda: (
        connect.parse_connect_token(token), connect.connect_config_from_token(token))

    import kavri_core
    from kavri.approval import ApprovalGate, Warrant

    from kavri_cloud import payload_forge

    gate = ApprovalGate(Warrant(id="w", holder_key=kavri_core.SigningKey.generate(), tools_requiring_approval={"t"}))
    request = gate.request_for("t", {"a": 1})
    out["build_approval_request_payload"] = lambda: payload_forge.build_approval_request_payload(request)

    from kavri_cloud import approval, langgraph

    class Req:
        tool = "t"
        request_id = b"\x01\xab"

    out["idempotency keys"] = lambda: (
        approval._build_temporal_approval_idempotency_key(Req(), workflow_id="w", workflow_run_id="r", activity_id="a"),
        langgraph._get_idempotency_key(Req()))
    return out


def run(quick: bool = False) -> list[dict]:
    calls = CALLS // 10 if quick else CALLS
    figures = []
    for name, fn in cases().items():
        mib = growth(fn, calls)
        figures.append({"name": f"RSS growth, {calls:,} calls of {name}", "unit": "MiB", "native": round(mib, 3),
                        "reference": None, "ratio": None, "target": "< 1 MiB", "met": mib < 1})
    return figures


if __name__ == "__main__":
    for f in run():
        print(f)
