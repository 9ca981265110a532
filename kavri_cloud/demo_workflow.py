"""The demo's Temporal side: one workflow whose only activity is the guarded tool.

Temporal needs workflows at module level, and this module imports temporalio at
once, so :mod:`kavri_cloud.demo` imports it only for ``./dev demo temporal``.
"""

from __future__ import annotations

from datetime import timedelta

from temporalio import activity, workflow
from temporalio.common import RetryPolicy

__all__ = ["TOOL", "SendQuarterlyNumbers", "send_email"]

TOOL = "send_email"


@activity.defn(name=TOOL)
def send_email(to: str, subject: str, body: str) -> str:
    """The guarded tool: it only says what it would send."""
    from kavri_cloud.demo import _tool_run

    with _tool_run(TOOL):
        return f"email to {to} queued: {subject!r} ({len(body)} characters)"


@workflow.defn(name="SendQuarterlyNumbers")
class SendQuarterlyNumbers:
    @workflow.run
    async def run(self, arguments: dict) -> str:
        return await workflow.execute_activity(
            TOOL,
            args=[arguments["to"], arguments["subject"], arguments["body"]],
            start_to_close_timeout=timedelta(seconds=60),
            # A pending approval fails the attempt after a few short polls; Temporal
            # retries every second until a human decides, without holding a slot.
            retry_policy=RetryPolicy(
                initial_interval=timedelta(seconds=1), backoff_coefficient=1.0, maximum_attempts=0
            ),
        )
