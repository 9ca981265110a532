"""The ``local_cloud`` fixture: a fresh local Kavri Cloud per test, on a free loopback port.

Load it through ``pytest_plugins`` (or import the fixture into a test module).
:func:`attested_request` builds the create-request fields of a real, correctly
attested tool call, for tests that need a valid approval request.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

import pytest

from kavri_cloud.local import LocalCloud

__all__ = ["attested_request", "local_cloud"]


@pytest.fixture
def local_cloud(tmp_path) -> Iterator[LocalCloud]:
    """A running local Kavri Cloud whose data lives under ``tmp_path``."""
    with LocalCloud(tmp_path / "local-cloud") as cloud:
        yield cloud


def attested_request(
    *,
    holder: Any = None,
    warrant_id: str = "wrt_test",
    tool: str = "send_email",
    arguments: Any = None,
    **extra: Any,
) -> dict[str, Any]:
    """Named arguments for ``create_request`` describing one attested tool call.

    Args:
        holder: The holder's ``kavri_core.SigningKey``; a fresh one when none.
        warrant_id: Warrant id of the call.
        tool: Tool name of the call.
        arguments: Tool arguments (a small mapping when none).
        **extra: Further fields (threshold, approver_keys, ttl_seconds, ...).
    """
    import kavri_core

    holder = holder or kavri_core.SigningKey.generate()
    if arguments is None:
        arguments = {"to": "ops@example.com", "subject": "quarterly numbers"}
    cbor_b64, attestation = kavri_core.py_build_approval_context_attestation(
        holder, warrant_id, tool, arguments, holder.public_key
    )
    fields: dict[str, Any] = {
        "warrant_id": warrant_id,
        "tool": tool,
        "request_hash": bytes.fromhex(attestation["request_hash"]),
        "holder_key": holder.public_key.to_bytes(),
        "args_canonical_cbor_b64": cbor_b64,
        "approval_context_attestation": attestation,
    }
    if isinstance(arguments, dict):
        fields["metadata"] = arguments
    fields.update(extra)
    return fields
