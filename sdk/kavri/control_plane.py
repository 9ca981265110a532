"""Signed authorization receipts for a control plane."""

from __future__ import annotations

import logging
import time
from typing import Any

from kavri_core import canonical_cbor

logger = logging.getLogger("kavri.control_plane")


class ControlPlaneClient:
    """Issue signed receipts of authorization decisions.

    Attributes:
        url: the control plane's base URL.
        api_key: its API key.
        authorizer_name: the name this authorizer signs receipts as.
        signing_key: the `SigningKey` that signs receipts.
        receipt_sink: an object with `emit(receipt)`, or None.
    """

    def __init__(
        self,
        *,
        url: str,
        api_key: str,
        authorizer_name: str,
        signing_key: Any,
        receipt_sink: Any | None = None,
    ) -> None:
        self.url = url
        self.api_key = api_key
        self.authorizer_name = authorizer_name
        self.signing_key = signing_key
        self.receipt_sink = receipt_sink

    def emit_receipt(self, tool: str, decision: str, **details: Any) -> dict[str, Any]:
        """Build, sign and hand a receipt to the sink; return it.

        The signature is hex of the signing key's signature over the canonical
        CBOR of the receipt without "signature". A failing sink is logged as a
        warning and never fails the authorization that produced the receipt.
        """
        receipt: dict[str, Any] = {
            "tool": tool,
            "decision": decision,
            "authorizer": self.authorizer_name,
            "issued_at": int(time.time()),
            "details": details,
        }
        receipt["signature"] = self.signing_key.sign(canonical_cbor(receipt)).hex()
        if self.receipt_sink is not None:
            try:
                self.receipt_sink.emit(receipt)
            except Exception as exc:  # noqa: BLE001 - a sink must never break authorization
                logger.warning("receipt sink failed for %s: %s", tool, exc)
        return receipt

    def __repr__(self) -> str:
        return f"ControlPlaneClient(url={self.url!r}, authorizer_name={self.authorizer_name!r})"


__all__ = ["ControlPlaneClient"]
