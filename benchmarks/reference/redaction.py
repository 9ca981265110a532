"""Plain-Python redaction with the host's ``re``: the baseline the native module is measured against.

Written from the same behaviour as ``kavri_cloud.redaction``; used only by the benchmarks.
"""

from __future__ import annotations

import re
from typing import Any

_REDACTED = "<redacted>"

_SECRET_KEYS = frozenset(
    {
        "api_key",
        "apikey",
        "authorization",
        "client_secret",
        "connect_token",
        "registration_token",
        "secret",
        "token",
    }
)

_TOKEN_PATTERNS = [
    re.compile(r"kavri_ct_[A-Za-z0-9_-]+"),
    re.compile(r"tc_[A-Za-z0-9_-]{8,}"),
    re.compile(r"cs_[A-Za-z0-9_-]{8,}"),
    re.compile(r"Bearer\s+[A-Za-z0-9._~+/=-]+", re.IGNORECASE),
]


def _is_secret_key(key: str) -> bool:
    normalized = key.lower().replace("-", "_")
    return normalized in _SECRET_KEYS or normalized.endswith("_token") or normalized.endswith("_secret")


def redact_text(value: str) -> str:
    redacted = value
    for pattern in _TOKEN_PATTERNS:
        redacted = pattern.sub(_REDACTED, redacted)
    return redacted


def redact(value: Any, *, key: str = "") -> Any:
    if key and _is_secret_key(key):
        return _REDACTED
    if isinstance(value, str):
        return redact_text(value)
    if isinstance(value, dict):
        out = {}
        for k, v in value.items():
            text_key = str(k)
            out[text_key] = redact(v, key=text_key)
        return out
    if isinstance(value, list):
        return [redact(item) for item in value]
    if isinstance(value, tuple):
        return tuple(redact(item) for item in value)
    return value


def redact_dict(value: dict[str, Any]) -> Any:
    return redact(value)


def redact_list(value: list[Any]) -> Any:
    return redact(value)
