"""Stand-in for the Kavri authorization SDK.

`kavri.approval` gates tool calls on signed approvals, `kavri.cp_approval`
decodes a control plane's signed approvals, `kavri.decorators` binds a signing
key to the current scope and `kavri.control_plane` issues signed receipts. The
cryptography lives in `kavri_core`.
"""

from .approval import ApprovalDenied, ApprovalGate, ApprovalRequest, Warrant
from .decorators import bind_key, key_scope

__version__ = "0.1.0"

__all__ = ["ApprovalDenied", "ApprovalGate", "ApprovalRequest", "Warrant", "bind_key", "key_scope"]
