"""Core of the Kavri authorization SDK stand-in.

Ed25519 keys (`SigningKey`, `PublicKey`), canonical CBOR, the request hash
that binds an approval to one tool call, the holder's approval-context
attestation, and approvers' `SignedApproval` objects with their verification.
"""

from .attestation import (
    ATTESTATION_VERSION,
    py_build_approval_context_attestation,
    verify_approval_context_attestation,
)
from .encoding import REQUEST_HASH_DOMAIN, canonical_cbor, compute_request_hash
from .keys import PublicKey, SigningKey
from .signed_approval import ApprovalVerificationError, SignedApproval, verify_approvals

__all__ = [
    "ATTESTATION_VERSION",
    "REQUEST_HASH_DOMAIN",
    "ApprovalVerificationError",
    "PublicKey",
    "SignedApproval",
    "SigningKey",
    "canonical_cbor",
    "compute_request_hash",
    "py_build_approval_context_attestation",
    "verify_approval_context_attestation",
    "verify_approvals",
]
