import asyncio
import base64

import pytest

from kavri.approval import ApprovalDenied, ApprovalGate, ApprovalRequest, Warrant
from kavri.cp_approval import ControlPlaneApprovalResponseV1, signed_approvals_from_response
from kavri_core import SignedApproval, SigningKey, verify_approval_context_attestation

ARGS = {"amount": 10, "to": "acct-9"}


@pytest.fixture
def gate(holder, approvers):
    warrant = Warrant(
        id="w-1",
        holder_key=holder,
        tools_requiring_approval={"transfer"},
        approvers=[k.public_key for k in approvers],
        min_approvals=2,
        ttl_seconds=600,
    )
    return ApprovalGate(warrant)


def approving(*keys):
    return lambda request: [SignedApproval.create(k, request.request_hash) for k in keys]


def test_request_carries_a_verifiable_attestation_and_the_warrant_rules(gate, holder, approvers):
    request = gate.request_for("transfer", ARGS, request_id="r-1")
    assert (
        verify_approval_context_attestation(
            request.approval_context_attestation, request.holder_key, arguments=ARGS
        )
        == request.request_hash
    )
    assert (request.tool, request.warrant_id, request.request_id, request.holder_key) == (
        "transfer",
        "w-1",
        "r-1",
        holder.public_key.to_bytes(),
    )
    assert request.required_approvers == [k.public_key.to_bytes() for k in approvers]
    assert (request.min_approvals, request.ttl_seconds, request.idempotency_key) == (2, 600, None)
    assert ApprovalRequest().gate_ttl is None


def test_authorize_returns_the_verified_approvals(gate, approvers):
    approvals = gate.authorize("transfer", ARGS, approving(approvers[0], approvers[1]))
    assert [a.approver_key for a in approvals] == [approvers[0].public_key, approvers[1].public_key]


def test_tool_without_approval_skips_the_handler(gate):
    assert gate.authorize("read", ARGS, lambda request: pytest.fail("handler called")) == []


def _replay_other_call(gate, approvers):
    stale = gate.request_for("transfer", {**ARGS, "amount": 9999})
    return lambda request: [SignedApproval.create(k, stale.request_hash) for k in approvers[:2]]


def _loosen_request(approvers):
    stranger = SigningKey.generate()

    def handler(request):
        request.required_approvers, request.min_approvals = [], 1  # must not widen the warrant
        return SignedApproval.create(stranger, request.request_hash)

    return handler


@pytest.mark.parametrize(
    "make_handler, reason",
    [
        (lambda gate, approvers: approving(approvers[0]), "need 2 valid approval"),
        (lambda gate, approvers: approving(approvers[0], approvers[0]), "repeats approver"),
        (lambda gate, approvers: approving(approvers[0], SigningKey.generate()), "not an approver"),
        (_replay_other_call, "approves a different request"),
        (lambda gate, approvers: _loosen_request(approvers), "not an approver"),
        (lambda gate, approvers: lambda request: None, "got 0"),
    ],
)
def test_unsatisfied_approvals_deny(gate, approvers, make_handler, reason):
    with pytest.raises(ApprovalDenied, match=reason) as info:
        gate.authorize("transfer", ARGS, make_handler(gate, approvers))
    assert info.value.reason.startswith("signed approval verification failed: ")
    assert info.value.request.tool == "transfer"


def test_handler_denial_propagates_with_its_text(gate):
    def deny(request):
        raise ApprovalDenied(request, reason="not today")

    with pytest.raises(ApprovalDenied) as info:
        gate.authorize("transfer", ARGS, deny)
    assert str(info.value) == "approval denied for 'transfer': not today"


def test_blocking_authorize_refuses_async_handlers_without_leaking_a_coroutine(gate):
    async def handler(request):
        return None

    with pytest.raises(TypeError, match="aauthorize"):
        gate.authorize("transfer", ARGS, handler)  # an un-awaited coroutine would warn (= error here)


@pytest.mark.parametrize("asynchronous", [True, False])
def test_aauthorize_accepts_async_and_blocking_handlers(gate, approvers, asynchronous):
    sync_handler = approving(approvers[1], approvers[2])

    async def async_handler(request):
        await asyncio.sleep(0)
        return sync_handler(request)

    handler = async_handler if asynchronous else sync_handler
    approvals = asyncio.run(gate.aauthorize("transfer", ARGS, handler))
    assert len(approvals) == 2


def test_control_plane_response_decodes_to_verified_approvals(approvers, request_hash):
    approvals = [SignedApproval.create(k, request_hash) for k in approvers[:2]]
    texts = [base64.b64encode(a.to_bytes()).decode() for a in approvals]
    record = ControlPlaneApprovalResponseV1(status="approved", signed_approvals_b64=texts)
    assert signed_approvals_from_response(record) == approvals
    assert signed_approvals_from_response(ControlPlaneApprovalResponseV1(status="approved")) == []


@pytest.mark.parametrize(
    "entry, message",
    [
        ("not base64!", "not valid standard base64"),
        ("Cgs", "not valid standard base64"),  # missing padding
        ("Cgs=", "rejected"),  # valid base64, not an approval
        (b"Cgs=", "must be base64 text"),
        ("tampered", "rejected"),
    ],
)
def test_control_plane_response_rejects_bad_entries(approvers, request_hash, entry, message):
    if entry == "tampered":
        raw = bytearray(SignedApproval.create(approvers[0], request_hash).to_bytes())
        raw[-1] ^= 1
        entry = base64.b64encode(bytes(raw)).decode()
    record = ControlPlaneApprovalResponseV1(status="approved", signed_approvals_b64=[entry])
    with pytest.raises(ValueError, match=message):
        signed_approvals_from_response(record)
