"""Decode the signed approvals that a control plane returns for a request."""

from __future__ import annotations

import base64
import binascii
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

from kavri_core import SignedApproval


@dataclass
class ControlPlaneApprovalResponseV1:
    """A control plane's answer to an approval request.

    Attributes:
        status: "approved" once approvers have signed.
        signed_approvals_b64: each signed approval's bytes, standard base64.
    """

    status: str
    signed_approvals_b64: list[str] | None = None


def _field(record: Any, name: str) -> Any:
    if isinstance(record, Mapping):
        return record.get(name)
    return getattr(record, name, None)


def signed_approvals_from_response(record: Any) -> list[SignedApproval]:
    """Decode and signature-check every signed approval of a response.

    Args:
        record: a `ControlPlaneApprovalResponseV1` (or a mapping with the
            same keys).

    Returns:
        The approvals in order; [] when there are none.

    Raises:
        ValueError: the status is not "approved", an entry is not strict
            standard base64, or its bytes are no valid signed approval.
    """
    status = _field(record, "status")
    if status != "approved":
        raise ValueError(f"control-plane response status is {status!r}, not 'approved'")
    entries = _field(record, "signed_approvals_b64") or []
    approvals = []
    for index, text in enumerate(entries):
        if not isinstance(text, str):
            raise ValueError(f"signed approval #{index} must be base64 text, not {type(text).__name__}")
        try:
            raw = base64.b64decode(text, validate=True)
        except (binascii.Error, ValueError):
            raise ValueError(f"signed approval #{index} is not valid standard base64") from None
        try:
            approvals.append(SignedApproval.from_bytes(raw))
        except ValueError as exc:
            raise ValueError(f"signed approval #{index} rejected: {exc}") from exc
    return approvals


__all__ = ["ControlPlaneApprovalResponseV1", "signed_approvals_from_response"]
