"""Spans, events and metrics of every human wait, through OpenTelemetry when it is installed.

The native handlers call the hooks below at a few fixed points of a wait (start,
the request created or resumed, each poll, the end); the middleware calls the
guard hooks around a tool call. With ``opentelemetry-api`` importable (the
``otel`` extra) each wait is one span, a child of the caller's current context,
and every outcome is counted; without it every hook returns at once and nothing
of OpenTelemetry is imported. With the API but no SDK configured, the API's own
no-op tracer and meter take the calls.

Names follow the GenAI conventions where they exist (``gen_ai.tool.name``,
``gen_ai.tool.call.id``) and take the ``kavri.`` prefix elsewhere; the README
lists them. Every text recorded goes through :mod:`kavri_cloud.redaction`; the
API key, tokens and signed approvals are never handed to these hooks at all.

A failing hook never changes a handler's result: the native side discards any
error a hook raises.
"""

from __future__ import annotations

import contextvars
import sys
import threading
import time
from datetime import datetime

# typing costs milliseconds at import and is needed only by type checkers.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

__all__ = ["enabled", "poll", "start_guard", "start_wait"]

_INSTRUMENTATION = "kavri_cloud"
_MAX_TEXT = 1024

# Attribute names.
TOOL_NAME = "gen_ai.tool.name"
TOOL_CALL_ID = "gen_ai.tool.call.id"
HANDLER = "kavri.approval.handler"
REQUEST_ID = "kavri.approval.request.id"
REQUEST_ORIGIN = "kavri.approval.request.origin"
URL = "kavri.approval.url"
OUTCOME = "kavri.approval.outcome"
STATUS = "kavri.approval.status"
SIGNED_COUNT = "kavri.approval.signed_count"
POLL_COUNT = "kavri.approval.poll_count"
APPROVERS = "kavri.approval.approvers"
REASON = "kavri.approval.reason"
ATTEMPT = "kavri.temporal.attempt"
MODE = "kavri.enforcement.mode"
VERDICT = "kavri.guard.verdict"
ACTION = "kavri.guard.action"
GUARD_REASON = "kavri.guard.reason"

# Span, event and instrument names.
WAIT_SPAN = "kavri.approval.wait"
GUARD_SPAN = "kavri.guard"
POLL_EVENT = "kavri.approval.poll"
REQUEST_EVENT = "kavri.approval.request"
OVERRIDE_EVENT = "kavri.guard.observe_first_override"
WAIT_DURATION = "kavri.approval.wait.duration"
OUTCOMES = "kavri.approval.outcomes"
DECISIONS = "kavri.guard.decisions"

# Outcomes that end a wait; "pending" ends only one Temporal attempt.
_TERMINAL = ("approved", "denied", "expired", "timed_out", "cancelled", "error")

# The wait in progress in this context, for the poll loops shared by several handlers.
_current: contextvars.ContextVar[_Wait | None] = contextvars.ContextVar("kavri_cloud_current_wait", default=None)


class _Otel:
    """The API objects, looked up once the first wait starts."""

    def __init__(self) -> None:
        from opentelemetry import context, metrics, trace

        from kavri_cloud.redaction import redact_text

        self.context = context
        self.trace = trace
        self.metrics = metrics
        self.metrics_internal = sys.modules.get("opentelemetry.metrics._internal")
        self.providers_set = False
        self.redact_text = redact_text
        self.mode_key = context.create_key("kavri.enforcement.mode")
        self.tracer = trace.get_tracer(_INSTRUMENTATION)
        meter = metrics.get_meter(_INSTRUMENTATION)
        self.duration = meter.create_histogram(
            WAIT_DURATION, unit="s", description="How long a human approval took to resolve, by outcome."
        )
        self.outcomes = meter.create_counter(
            OUTCOMES, unit="{wait}", description="Approval waits ended, by tool, outcome, handler and mode."
        )
        self.decisions = meter.create_counter(
            DECISIONS, unit="{call}", description="Guarded tool calls, by verdict, action taken and mode."
        )

    def recording(self) -> bool:
        """False while neither a tracer nor a meter provider is configured: the API alone
        would drop every call, so the waits skip even building their attributes.

        A provider, once set, stays; so a yes is kept. The API's getters read the
        environment on every call while nothing is set, so the module globals behind
        them are read first when they exist.
        """
        if self.providers_set:
            return True
        tracer_provider = getattr(self.trace, "_TRACER_PROVIDER", _UNKNOWN)
        if tracer_provider is _UNKNOWN:
            tracer_provider = self.trace.get_tracer_provider()
        meter_provider = getattr(self.metrics_internal, "_METER_PROVIDER", _UNKNOWN)
        if meter_provider is _UNKNOWN:
            meter_provider = self.metrics.get_meter_provider()
        self.providers_set = (
            type(tracer_provider).__name__ not in _NO_OP_PROVIDERS
            or type(meter_provider).__name__ not in _NO_OP_PROVIDERS
        )
        return self.providers_set

    def text(self, value: Any) -> str:
        text = value if isinstance(value, str) else str(value)
        return self.redact_text(text[:_MAX_TEXT])


_state: _Otel | bool | None = None
# The API's own providers before (or without) an SDK: they record nothing.
_NO_OP_PROVIDERS = frozenset(
    {"NoneType", "ProxyTracerProvider", "NoOpTracerProvider", "_ProxyMeterProvider", "NoOpMeterProvider"}
)
_UNKNOWN = object()


_state_lock = threading.Lock()


def _otel() -> _Otel | None:
    global _state
    if _state is None:
        with _state_lock:  # two first waits on two threads make one set of instruments
            if _state is None:
                try:
                    _state = _Otel()
                except ImportError:
                    _state = False
    return _state or None


def enabled() -> bool:
    """Whether waits are traced: ``opentelemetry-api`` (and the redaction module) import."""
    return _otel() is not None


def _tool_call_id(request: Any) -> Any:
    value = getattr(request, "request_id", None)
    if isinstance(value, (bytes, bytearray)):
        return value.hex()
    return value


def _approvers(record: Any) -> list[str]:
    try:
        responses = record.get("responses") or []
        return [str(r["approver"]) for r in responses
                if isinstance(r, dict) and r.get("approver") and r.get("decision", "approved") == "approved"]
    except (AttributeError, TypeError, KeyError):
        return []


def _record_reason(record: Any) -> Any:
    try:
        return record.get("denied_reason") or record.get("reason")
    except AttributeError:
        return None


def _seconds_between(record: Any) -> float | None:
    """The service's own view of the wait: resolved_at - created_at, when it says both."""
    try:
        start, end = record.get("created_at"), record.get("resolved_at")
        if not (isinstance(start, str) and isinstance(end, str)):
            return None
        parse = lambda text: datetime.fromisoformat(text.replace("Z", "+00:00"))  # noqa: E731
        return max((parse(end) - parse(start)).total_seconds(), 0.0)
    except (AttributeError, ValueError):
        return None


def _classify(error: BaseException, last_status: Any) -> str:
    from kavri_cloud.exceptions import ApprovalDeniedError, ApprovalExpiredError, ApprovalTimeoutError

    for candidate in (error, error.__cause__, error.__context__):
        if isinstance(candidate, ApprovalTimeoutError):
            return "timed_out"
        if isinstance(candidate, ApprovalExpiredError):
            return "expired"
        if isinstance(candidate, ApprovalDeniedError):
            return "denied"
    if isinstance(error, _cancelled_error()):
        return "cancelled"
    kind = getattr(error, "type", None)  # Temporal's ApplicationError
    if kind == "ApprovalPendingRetry":
        return "pending"
    if type(error).__name__ == "ApprovalDenied" or kind == "ApprovalDenied":
        # The handler's own decision on the last status it saw.
        if last_status in ("denied", "rejected"):
            return "denied"
        if last_status == "expired":
            return "expired"
    return "error"


def _cancelled_error() -> type[BaseException]:
    import asyncio

    return asyncio.CancelledError


class _Wait:
    """One approval wait: its span, poll count and the last record seen."""

    __slots__ = ("_otel", "_span", "_attrs", "_started", "_polls", "_status", "_record", "_outcome",
                 "_previous", "_handler")

    def __init__(self, otel: _Otel, handler: str, request: Any) -> None:
        self._otel = otel
        self._handler = handler
        tool = getattr(request, "tool", None)
        attrs: dict[str, Any] = {HANDLER: handler, TOOL_NAME: otel.text(tool if tool is not None else "")}
        call_id = _tool_call_id(request)
        if call_id is not None:
            attrs[TOOL_CALL_ID] = otel.text(call_id)
        mode = otel.context.get_value(otel.mode_key)
        if mode is not None:
            attrs[MODE] = mode
        if handler == "temporal":
            attempt = _temporal_attempt()
            if attempt is not None:
                attrs[ATTEMPT] = attempt
        self._attrs = attrs
        self._span = otel.tracer.start_span(f"{WAIT_SPAN} {attrs[TOOL_NAME]}", attributes=attrs)
        self._started = time.monotonic()
        self._polls = 0
        self._status: Any = None
        self._record: Any = None
        self._outcome: str | None = None
        self._previous = _current.get()
        _current.set(self)

    def request(self, request_id: Any, origin: str | None = None, url: Any = None, status: Any = None,
                record: Any = None) -> None:
        """The approval request exists: created, or resumed from an earlier attempt."""
        text = self._otel.text(request_id)
        self._span.set_attribute(REQUEST_ID, text)
        event = {REQUEST_ID: text}
        if origin is not None:
            self._span.set_attribute(REQUEST_ORIGIN, origin)
            event[REQUEST_ORIGIN] = origin
        if url is not None:
            self._span.set_attribute(URL, self._otel.text(url))
        if status is not None:
            self._seen(status, record)
            event[STATUS] = self._otel.text(status)
        self._span.add_event(REQUEST_EVENT, event)

    def poll(self, status: Any, record: Any = None) -> None:
        """One poll of the request and the status it returned."""
        self._polls += 1
        self._seen(status, record)
        self._span.add_event(POLL_EVENT, {STATUS: self._otel.text(status), POLL_COUNT: self._polls})

    def outcome(self, outcome: str) -> None:
        """An outcome the handler decided itself (its own deadline, say)."""
        self._outcome = outcome

    def finish(self, result: Any = None, error: BaseException | None = None) -> None:
        """End the span with the outcome; count it unless only a Temporal attempt ended."""
        if _current.get() is self:
            _current.set(self._previous)
        otel, span = self._otel, self._span
        outcome = self._outcome or ("approved" if error is None else _classify(error, self._status))
        attrs: dict[str, Any] = {OUTCOME: outcome, POLL_COUNT: self._polls}
        if self._status is not None:
            attrs[STATUS] = otel.text(self._status)
        if error is None:
            attrs[SIGNED_COUNT] = len(result) if isinstance(result, (list, tuple)) else 1
        else:
            attrs[SIGNED_COUNT] = 0
            reason = getattr(error, "reason", None) or _record_reason(self._record) or getattr(error, "message", None)
            if outcome in ("denied", "expired", "timed_out") and reason:
                attrs[REASON] = otel.text(reason)
        approvers = _approvers(self._record) if self._record is not None else []
        if approvers:
            attrs[APPROVERS] = [otel.text(name) for name in approvers]
        span.set_attributes(attrs)  # one lock and one pass, not one per attribute
        if outcome == "error" and error is not None:
            _record_error(otel, span, error)
        span.end()
        if outcome not in _TERMINAL:
            return
        elapsed = time.monotonic() - self._started
        if self._handler == "temporal" and self._record is not None:
            # One attempt saw only its own part of the wait; the service saw all of it.
            elapsed = _seconds_between(self._record) or elapsed
        labels = {TOOL_NAME: self._attrs[TOOL_NAME], OUTCOME: outcome, HANDLER: self._handler}
        if MODE in self._attrs:
            labels[MODE] = self._attrs[MODE]
        otel.duration.record(elapsed, labels)
        otel.outcomes.add(1, labels)

    def abandon(self) -> None:
        """The handler left without saying how: an error no path of it caught."""
        self._outcome = self._outcome or "error"
        self.finish(None, RuntimeError("the approval wait ended without an outcome"))

    def _seen(self, status: Any, record: Any) -> None:
        self._status = status
        if record is not None:
            self._record = record


def _temporal_attempt() -> int | None:
    try:
        from temporalio import activity

        return int(activity.info().attempt)
    except Exception:  # noqa: BLE001 - outside an activity there is no attempt
        return None


def _record_error(otel: _Otel, span: Any, error: BaseException) -> None:
    # Not span.record_exception: its message is not redacted.
    message = otel.text(error)
    span.add_event("exception", {"exception.type": type(error).__qualname__, "exception.message": message})
    span.set_status(otel.trace.Status(otel.trace.StatusCode.ERROR, message))


def start_wait(handler: str, request: Any) -> _Wait | None:
    """Start the span of one approval wait; None when tracing is off.

    Args:
        handler: "blocking", "asyncio", "langgraph" or "temporal".
        request: The SDK's approval request (its tool and request id are read).
    """
    otel = _otel()
    if otel is None or not otel.recording():
        return None
    return _Wait(otel, handler, request)


def poll(status: Any, record: Any = None) -> None:
    """A poll of the wait in progress in this context (the shared poll loops call this)."""
    wait = _current.get()
    if wait is not None:
        wait.poll(status, record)


class _Guard:
    """The middleware's span around one tool call: verdict and action kept apart."""

    __slots__ = ("_otel", "_span", "_previous", "_labels")

    def __init__(self, otel: _Otel, request: Any, observe: bool) -> None:
        self._otel = otel
        call = getattr(request, "tool_call", None)
        call = call if isinstance(call, dict) else {}
        mode = "observe" if observe else "enforce"
        name = otel.text(call.get("name") or "unknown")
        attrs: dict[str, Any] = {TOOL_NAME: name, MODE: mode}
        if call.get("id"):
            attrs[TOOL_CALL_ID] = otel.text(call["id"])
        self._labels = {TOOL_NAME: name, MODE: mode}
        self._span = otel.tracer.start_span(f"{GUARD_SPAN} {name}", attributes=attrs)
        context = otel.trace.set_span_in_context(self._span)
        context = otel.context.set_value(otel.mode_key, mode, context)
        # Restored by attaching the previous context again rather than by token, so a
        # coroutine resumed in another context cannot make the restore fail.
        self._previous = otel.context.get_current()
        otel.context.attach(context)

    def decided(self, denied: bool, observe: bool, reason: Any = None) -> None:
        """The SDK's verdict on the call, and what the middleware does with it."""
        verdict = "deny" if denied else "allow"
        action = "allow" if (not denied or observe) else "deny"
        span, otel = self._span, self._otel
        span.set_attribute(VERDICT, verdict)
        span.set_attribute(ACTION, action)
        if denied and reason:
            span.set_attribute(GUARD_REASON, otel.text(reason))
        if denied and observe:
            span.add_event(OVERRIDE_EVENT, {VERDICT: verdict, ACTION: action,
                                            GUARD_REASON: otel.text(reason or "")})
        otel.decisions.add(1, {**self._labels, VERDICT: verdict, ACTION: action})

    def abandon(self) -> None:
        self.finish(None)

    def finish(self, error: BaseException | None = None) -> None:
        """Restore the caller's context and end the span (with the error that left the call)."""
        self._otel.context.attach(self._previous)
        if error is not None:
            _record_error(self._otel, self._span, error)
        self._span.end()


def start_guard(request: Any, observe: Any) -> _Guard | None:
    """Start the middleware's span of one tool call, current until it finishes; None when off.

    Args:
        request: The framework's tool-call request (its ``tool_call`` mapping is read).
        observe: True in observe-first mode.
    """
    otel = _otel()
    if otel is None or not otel.recording():
        return None
    return _Guard(otel, request, bool(observe))
