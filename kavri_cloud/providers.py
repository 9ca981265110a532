"""Receipt sinks that send the SDK's authorization receipts to Kavri Cloud."""

from __future__ import annotations

import logging
from collections.abc import Mapping

from kavri_cloud.client import KavriCloudClient
from kavri_cloud.exceptions import KavriCloudError

# typing costs milliseconds at import and is needed only by type checkers.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

__all__ = ["CloudReceiptSink"]

logger = logging.getLogger("kavri_cloud.providers")


class CloudReceiptSink:
    """Send each receipt to Kavri Cloud with ``client.submit_receipt``.

    A receipt is an audit record of a tool call that has already been
    decided, so a failure to deliver it is logged at warning level and
    dropped: it must never fail the tool call.

    Args:
        client: The client receipts are sent with; the sink does not close it.

    Attributes:
        client: The client.
    """

    def __init__(self, client: KavriCloudClient) -> None:
        self.client = client

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.client!r})"

    def emit(self, receipt: Mapping[str, Any]) -> None:
        """Send one receipt; delivery failures are logged, not raised.

        Args:
            receipt: The receipt as a JSON-ready mapping.
        """
        try:
            self.client.submit_receipt(receipt)
        except KavriCloudError as exc:
            logger.warning("could not submit receipt to Kavri Cloud: %s", exc)

    __call__ = emit
