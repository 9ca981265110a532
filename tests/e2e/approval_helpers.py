"""Helpers for end-to-end tests: a warrant whose approvers are the local Kavri
Cloud's own, and a human stand-in that resolves requests as they arrive."""

from __future__ import annotations

import threading
import time
from collections.abc import Callable
from typing import Any

import kavri_core
from kavri.approval import ApprovalGate, Warrant

from kavri_cloud.client import KavriCloudClient


def full_records(client: KavriCloudClient, status: str | None = None) -> list[dict[str, Any]]:
    """Every approval record the service holds, whole: its lists hold only summaries."""
    return [client.get_request(r["id"]) for r in client.list_requests(status=status)]


def gate_for(cloud: Any, *, approvers: int = 1, min_approvals: int = 1, ttl_seconds: int | None = None,
             tool: str = "send_email") -> ApprovalGate:
    keys = [kavri_core.PublicKey.from_bytes(a.public_key_bytes) for a in cloud.approvers[:approvers]]
    warrant = Warrant(
        id="wrt_e2e",
        holder_key=kavri_core.SigningKey.generate(),
        tools_requiring_approval={tool},
        approvers=keys,
        min_approvals=min_approvals,
        ttl_seconds=ttl_seconds,
    )
    return ApprovalGate(warrant)


class Human(threading.Thread):
    """Resolves each pending request once with `decide(cloud, request_id)`."""

    def __init__(self, cloud: Any, decide: Callable[[Any, str], None], *, delay: float = 0.05) -> None:
        super().__init__(daemon=True)
        self.cloud, self.decide, self.delay = cloud, decide, delay
        self.handled: set[str] = set()
        self.stopping = threading.Event()

    def run(self) -> None:
        with KavriCloudClient(self.cloud.admin_key, base_url=self.cloud.url) as client:
            while not self.stopping.is_set():
                for record in client.list_requests(status="pending"):
                    if record["id"] not in self.handled:
                        self.handled.add(record["id"])
                        time.sleep(self.delay)
                        self.decide(self.cloud, record["id"])
                time.sleep(0.02)

    def __enter__(self) -> Human:
        self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.stopping.set()
        self.join(5)


def approve_by(*names: str) -> Callable[[Any, str], None]:
    def decide(cloud: Any, request_id: str) -> None:
        for name in names:
            cloud.approve(request_id, approver=name)

    return decide


def deny_with(reason: str | None) -> Callable[[Any, str], None]:
    def decide(cloud: Any, request_id: str) -> None:
        cloud.deny(request_id, reason)

    return decide
