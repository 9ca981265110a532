"""Well-known Kavri Cloud addresses.

This is the one place that names the hosted service and the local development
service, so that the client, Quick Connect and the integrations agree on them.
"""

from __future__ import annotations

__all__ = ["DEFAULT_API_BASE_URL", "DEFAULT_DASHBOARD_URL", "LOCAL_DEV_API_URL"]

#: Base URL of the hosted Kavri Cloud API (no trailing slash).
DEFAULT_API_BASE_URL = "https://api.kavri.cloud"

#: Base URL of the hosted Kavri Cloud dashboard (no trailing slash).
DEFAULT_DASHBOARD_URL = "https://app.kavri.cloud"

#: Base URL of a local Kavri Cloud service started for development.
LOCAL_DEV_API_URL = "http://127.0.0.1:8080"
