"""The local Kavri Cloud: a real service on loopback that speaks Kavri Cloud's wire contract.

It stores approval requests in SQLite, signs approvals with the Ed25519 keys of
its local approvers, claims Quick Connect agents, keeps receipts, and can be
made to misbehave on purpose (latency, 5xx answers, dropped connections,
malformed bodies). Start it with ``kavri-cloud local`` or, in-process, with
:class:`LocalCloud`.
"""

try:
    from .app import MAX_BODY_BYTES, SERVICE_NAME, create_app
    from .faults import FaultSettings
    from .server import ConnectionLimits, LocalApprover, LocalCloud, make_connect_token
    from .store import DEFAULT_APPROVER_NAMES, LocalCloudError, Store
except ModuleNotFoundError as _missing:
    # Without the local extra (Starlette, uvicorn) or the SDK: one line naming the install.
    from kavri_cloud._missing import hint_for

    _hint = hint_for(_missing)
    if _hint is None:
        raise
    raise ModuleNotFoundError(_hint, name=_missing.name) from _missing

__all__ = [
    "DEFAULT_APPROVER_NAMES",
    "ConnectionLimits",
    "MAX_BODY_BYTES",
    "SERVICE_NAME",
    "FaultSettings",
    "LocalApprover",
    "LocalCloud",
    "LocalCloudError",
    "Store",
    "create_app",
    "make_connect_token",
]
