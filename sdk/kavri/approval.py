"""Approval gates: hold a guarded tool call until signed approvals arrive.

A `Warrant` names the tools that need human approval, who may approve and how
many must. `ApprovalGate` turns a call of such a tool into an attested
`ApprovalRequest`, hands it to an approval handler, and accepts the call only
when the handler's `SignedApproval` objects verify against that request's hash,
the warrant's approvers and its threshold. A handler refuses by raising
`ApprovalDenied`.
"""

from __future__ import annotations

import inspect
import uuid
from collections.abc import Awaitable, Callable
from dataclasses import dataclass, field
from typing import Any

from kavri_core import (
    PublicKey,
    SignedApproval,
    SigningKey,
    py_build_approval_context_attestation,
    verify_approvals,
)

HandlerResult = SignedApproval | list[SignedApproval] | None
ApprovalHandler = Callable[["ApprovalRequest"], HandlerResult | Awaitable[HandlerResult]]


@dataclass
class ApprovalRequest:
    """What an approval handler is asked to get approved.

    Every attribute may be None; handlers must cope with absent values.
    """

    tool: str | None = None
    warrant_id: str | None = None
    arguments: Any = None
    request_id: str | None = None
    holder_key: bytes | None = None
    request_hash: bytes | None = None
    args_canonical_cbor_b64: str | None = None
    approval_context_attestation: dict[str, Any] | None = None
    idempotency_key: str | None = None
    required_approvers: list[bytes] | None = None
    min_approvals: int | None = None
    ttl_seconds: int | None = None
    gate_ttl: float | None = None
    policy_id: str | None = None
    policy_ref: str | None = None


class ApprovalDenied(Exception):
    """The guarded call was not approved.

    Attributes:
        request: the `ApprovalRequest` (or any object) that was refused.
        reason: why, as text, or None.
    """

    def __init__(self, request: Any, reason: str | None = None) -> None:
        super().__init__(request, reason)
        self.request = request
        self.reason = reason

    def __str__(self) -> str:
        tool = getattr(self.request, "tool", None)
        reason = self.reason if self.reason is not None else "no reason given"
        return f"approval denied for '{tool}': {reason}"


@dataclass
class Warrant:
    """The part of a warrant that approval gates read.

    Attributes:
        id: the warrant id.
        holder_key: the holder's signing key; it signs the attestations.
        tools_requiring_approval: names of the tools gated by approval.
        approvers: public keys allowed to approve.
        min_approvals: distinct approvals needed.
        ttl_seconds: lifetime of an approval request, or None.
    """

    id: str
    holder_key: SigningKey
    tools_requiring_approval: set[str] = field(default_factory=set)
    approvers: list[PublicKey] = field(default_factory=list)
    min_approvals: int = 1
    ttl_seconds: int | None = None


class ApprovalGate:
    """Gate the tool calls of one warrant on signed approvals."""

    def __init__(self, warrant: Warrant) -> None:
        self.warrant = warrant

    def needs_approval(self, tool: str) -> bool:
        """Whether calls of `tool` need approval under this warrant."""
        return tool in self.warrant.tools_requiring_approval

    def request_for(self, tool: str, arguments: Any, *, request_id: str | None = None) -> ApprovalRequest:
        """Build the attested approval request of one call.

        `request_id` defaults to a fresh random id.
        """
        warrant = self.warrant
        holder = warrant.holder_key.public_key
        args_b64, attestation = py_build_approval_context_attestation(
            warrant.holder_key, warrant.id, tool, arguments, holder
        )
        return ApprovalRequest(
            tool=tool,
            warrant_id=warrant.id,
            arguments=arguments,
            request_id=request_id if request_id is not None else uuid.uuid4().hex,
            holder_key=holder.to_bytes(),
            request_hash=bytes.fromhex(attestation["request_hash"]),
            args_canonical_cbor_b64=args_b64,
            approval_context_attestation=attestation,
            idempotency_key=None,
            required_approvers=[key.to_bytes() for key in warrant.approvers],
            min_approvals=warrant.min_approvals,
            ttl_seconds=warrant.ttl_seconds,
        )

    def verify(self, result: Any, request: ApprovalRequest) -> list[SignedApproval]:
        """Accept a handler's result for `request`, or raise `ApprovalDenied`.

        Approvers and threshold come from the warrant, not from the request,
        so a handler that edits the request cannot loosen them.
        """
        return self._verify(result, request, request.request_hash)

    def _verify(self, result: Any, request: ApprovalRequest, request_hash: Any) -> list[SignedApproval]:
        try:
            return verify_approvals(
                result,
                request_hash=request_hash,
                required_approvers=self.warrant.approvers,
                min_approvals=self.warrant.min_approvals,
            )
        except ValueError as exc:  # ApprovalVerificationError included: fail closed
            raise ApprovalDenied(request, reason=f"signed approval verification failed: {exc}") from exc

    def authorize(
        self, tool: str, arguments: Any, handler: ApprovalHandler, *, request_id: str | None = None
    ) -> list[SignedApproval]:
        """Ask a blocking handler to approve one call; return the verified approvals.

        A tool that needs no approval returns [] without calling the handler.

        Raises:
            ApprovalDenied: the handler refused, or its approvals do not verify.
            TypeError: the handler is asynchronous; use `aauthorize`.
        """
        if not self.needs_approval(tool):
            return []
        request = self.request_for(tool, arguments, request_id=request_id)
        expected = request.request_hash
        result = handler(request)
        if inspect.isawaitable(result):
            close = getattr(result, "close", None)
            if callable(close):
                close()  # never awaited: close it so it leaves no warning behind
            raise TypeError("approval handler returned an awaitable; use aauthorize() for async handlers")
        return self._verify(result, request, expected)

    async def aauthorize(
        self, tool: str, arguments: Any, handler: ApprovalHandler, *, request_id: str | None = None
    ) -> list[SignedApproval]:
        """Like `authorize`, awaiting the handler's result when it is awaitable."""
        if not self.needs_approval(tool):
            return []
        request = self.request_for(tool, arguments, request_id=request_id)
        expected = request.request_hash
        result = handler(request)
        if inspect.isawaitable(result):
            result = await result
        return self._verify(result, request, expected)


__all__ = ["ApprovalDenied", "ApprovalGate", "ApprovalHandler", "ApprovalRequest", "Warrant"]
