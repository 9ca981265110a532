"""Temporal support: gate guarded activities on signed approvals.

`KavriPlugin` is a `temporalio` worker plugin and worker interceptor. Pass it
as ``Worker(..., plugins=[plugin])`` (it then also registers the configured
activities) or as ``Worker(..., interceptors=[plugin])``. For each activity
that the configured warrant guards, it builds the attested `ApprovalRequest`
(tool: the activity type; arguments: the call's arguments by parameter name),
calls the approval handler, verifies the signed approvals against the
warrant's approvers and threshold, and only then runs the activity.

Where the handler runs: approval handlers are synchronous and may block. For a
synchronous activity the gate runs in the activity's own executor thread, next
to the activity; for an ``async def`` activity it runs on the worker's event
loop thread, which it holds for as long as the handler blocks. Handlers meant
for Temporal therefore wait only briefly and ask Temporal to retry instead.

A denial (`ApprovalDenied`, or a Temporal ``ApplicationError`` of type
"ApprovalDenied") follows `KavriPluginConfig.on_denial`: "raise" fails the
activity with a non-retryable ``ApplicationError`` of type "ApprovalDenied";
"skip" returns None without running it. With ``dry_run`` a denial is logged
and the activity runs anyway. Any other error of the handler (a retry request,
a transport failure) propagates unchanged, so Temporal's retry policy applies.
"""

from __future__ import annotations

import concurrent.futures
import dataclasses
import inspect
import logging
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any

import temporalio.activity
import temporalio.worker
from temporalio.exceptions import ApplicationError

from .approval import ApprovalDenied, ApprovalGate, Warrant

logger = logging.getLogger("kavri.temporal")

ON_DENIAL_CHOICES = ("raise", "skip")


@dataclass
class KavriPluginConfig:
    """What the plugin needs to gate activities.

    Attributes:
        signing_key: the worker's `SigningKey`; it attests the approval
            requests of warrants derived from `clearance_requirements`.
        control_plane: a `ControlPlaneClient`; when set, every gate decision
            is issued as a signed receipt.
        approval_handler: called with each `ApprovalRequest`; returns a
            `SignedApproval` or a list, or raises.
        trusted_roots: public keys that may approve the activities of
            `clearance_requirements`.
        activity_fns: activities the plugin registers with the worker.
        on_denial: "raise" or "skip".
        dry_run: observe only: log denials and run the activity anyway.
        clearance_requirements: activity name -> approvals needed from
            `trusted_roots`, for workers without a warrant of their own.
        gate: the `ApprovalGate` of the warrant that guards the activities;
            it takes precedence over `clearance_requirements`.
    """

    signing_key: Any = None
    control_plane: Any = None
    approval_handler: Callable[..., Any] | None = None
    trusted_roots: list[Any] | None = None
    activity_fns: list[Callable[..., Any]] = field(default_factory=list)
    on_denial: str = "raise"
    dry_run: bool = False
    clearance_requirements: dict[str, int] = field(default_factory=dict)
    gate: ApprovalGate | None = None

    def __post_init__(self) -> None:
        if self.on_denial not in ON_DENIAL_CHOICES:
            raise ValueError(f"on_denial must be one of {ON_DENIAL_CHOICES}, got {self.on_denial!r}")
        if self.activity_fns is None:
            self.activity_fns = []
        elif not isinstance(self.activity_fns, list):
            self.activity_fns = list(self.activity_fns)
        if self.trusted_roots is not None and not isinstance(self.trusted_roots, list):
            self.trusted_roots = list(self.trusted_roots)
        self.clearance_requirements = dict(self.clearance_requirements or {})
        for name, count in self.clearance_requirements.items():
            if not isinstance(count, int) or isinstance(count, bool) or count < 1:
                raise ValueError(f"clearance_requirements[{name!r}] must be an integer >= 1, got {count!r}")

    def gate_for(self, activity: str) -> ApprovalGate | None:
        """The gate that guards `activity`, or None when nothing does."""
        if self.gate is not None:
            return self.gate if self.gate.needs_approval(activity) else None
        needed = self.clearance_requirements.get(activity)
        if needed is None:
            return None
        if self.signing_key is None:
            raise ApprovalDenied(None, reason=f"activity {activity!r} needs clearance but no signing_key is set")
        return ApprovalGate(
            Warrant(
                id=f"clearance:{activity}",
                holder_key=self.signing_key,
                tools_requiring_approval={activity},
                approvers=list(self.trusted_roots or []),
                min_approvals=needed,
            )
        )


def _arguments(fn: Callable[..., Any], args: Sequence[Any]) -> dict[str, Any]:
    """The call's arguments by parameter name, as the approver will see them."""
    try:
        bound = inspect.signature(fn).bind(*args)
    except (TypeError, ValueError):
        return {"args": list(args)}
    return dict(bound.arguments)


def _is_denial(exc: BaseException) -> bool:
    if isinstance(exc, ApprovalDenied):
        return True
    return isinstance(exc, ApplicationError) and exc.type == "ApprovalDenied"


class _GateInbound(temporalio.worker.ActivityInboundInterceptor):
    def __init__(self, next: temporalio.worker.ActivityInboundInterceptor, config: KavriPluginConfig) -> None:
        super().__init__(next)
        self._config = config

    def _check(self, fn: Callable[..., Any], args: Sequence[Any]) -> bool:
        """Run the gate of this activity; True when the activity may run."""
        config = self._config
        tool = temporalio.activity.info().activity_type
        try:
            gate = config.gate_for(tool)
            if gate is None:
                return True
            if config.approval_handler is None:
                raise ApprovalDenied(None, reason=f"activity {tool!r} needs approval but no approval_handler is set")
            gate.authorize(tool, _arguments(fn, args), config.approval_handler)
        except Exception as exc:
            if not _is_denial(exc):
                raise
            return self._denied(tool, exc)
        self._receipt(tool, "approved")
        return True

    def _denied(self, tool: str, exc: Exception) -> bool:
        reason = getattr(exc, "reason", None) or str(exc)
        if self._config.dry_run:
            logger.warning("dry run: activity %s would be denied (%s); running it anyway", tool, reason)
            self._receipt(tool, "dry_run_denied", reason=reason)
            return True
        self._receipt(tool, "denied", reason=reason)
        if self._config.on_denial == "skip":
            logger.warning("activity %s denied (%s); skipped", tool, reason)
            return False
        if isinstance(exc, ApplicationError):
            raise exc
        raise ApplicationError(f"activity {tool} denied: {reason}", type="ApprovalDenied", non_retryable=True) from exc

    def _receipt(self, tool: str, decision: str, **details: Any) -> None:
        if self._config.control_plane is not None:
            self._config.control_plane.emit_receipt(tool, decision, **details)

    async def execute_activity(self, input: temporalio.worker.ExecuteActivityInput) -> Any:
        fn = input.fn
        is_async = inspect.iscoroutinefunction(fn) or inspect.iscoroutinefunction(getattr(fn, "__call__", None))
        # A process pool needs a picklable function, so there the gate stays on the loop.
        if is_async or not isinstance(input.executor, concurrent.futures.ThreadPoolExecutor):
            if not self._check(fn, input.args):
                return None
            return await self.next.execute_activity(input)

        # Synchronous activity: gate in its executor thread, where the
        # activity context (info, heartbeat) is available too.
        def gated(*args: Any) -> Any:
            if not self._check(fn, args):
                return None
            return fn(*args)

        return await self.next.execute_activity(dataclasses.replace(input, fn=gated))


class KavriPlugin(temporalio.worker.Plugin, temporalio.worker.Interceptor):
    """Worker plugin and interceptor that gates activities on signed approvals.

    Args:
        config: the `KavriPluginConfig`.
    """

    def __init__(self, config: KavriPluginConfig) -> None:
        if not isinstance(config, KavriPluginConfig):
            raise TypeError(f"KavriPlugin needs a KavriPluginConfig, got {type(config).__name__}")
        self.config = config

    def name(self) -> str:
        return "kavri.KavriPlugin"

    def configure_worker(self, config: temporalio.worker.WorkerConfig) -> temporalio.worker.WorkerConfig:
        interceptors = list(config.get("interceptors") or [])
        if self not in interceptors:
            interceptors.append(self)
        config["interceptors"] = interceptors
        activities = list(config.get("activities") or [])
        activities.extend(fn for fn in self.config.activity_fns if fn not in activities)
        config["activities"] = activities
        return config

    async def run_worker(self, worker: temporalio.worker.Worker, next: Callable[..., Any]) -> None:
        await next(worker)

    def configure_replayer(self, config: temporalio.worker.ReplayerConfig) -> temporalio.worker.ReplayerConfig:
        return config

    def run_replayer(self, replayer: Any, histories: Any, next: Callable[..., Any]) -> Any:
        return next(replayer, histories)

    def intercept_activity(
        self, next: temporalio.worker.ActivityInboundInterceptor
    ) -> temporalio.worker.ActivityInboundInterceptor:
        return _GateInbound(next, self.config)

    def __repr__(self) -> str:
        return f"KavriPlugin(guarded={sorted(self._guarded())!r}, dry_run={self.config.dry_run})"

    def _guarded(self) -> set[str]:
        if self.config.gate is not None:
            return set(self.config.gate.warrant.tools_requiring_approval)
        return set(self.config.clearance_requirements)


KavriTemporalPlugin = KavriPlugin

__all__ = ["KavriPlugin", "KavriPluginConfig", "KavriTemporalPlugin"]

