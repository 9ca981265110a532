"""Plain-Python Quick Connect token decoding, the baseline of benchmarks/bench_connect.py.

The same behaviour as the native ``kavri_cloud.connect`` for the token and its
endpoint, written the obvious way on the standard library (base64, json,
ipaddress, urllib.parse). The fuzz target also compares the two.
"""

from __future__ import annotations

import base64
import binascii
import ipaddress
import json
import os
from urllib.parse import urljoin

from kavri_cloud.exceptions import KavriCloudError
from kavri_cloud.hosted import LOCAL_DEV_API_URL
from kavri_cloud.models import ConnectConfig, ConnectTokenPayload

_CONNECT_PREFIX = "kavri_ct_"
_SCHEME_CHARS = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.")


def parse_connect_token(token: str) -> ConnectTokenPayload:
    if not token.startswith(_CONNECT_PREFIX):
        raise KavriCloudError(f"invalid connect token: expected prefix '{_CONNECT_PREFIX}'")
    body = token[len(_CONNECT_PREFIX) :]
    try:
        raw = base64.urlsafe_b64decode(body + "=" * (-len(body) % 4))
    except (binascii.Error, ValueError) as exc:
        raise KavriCloudError(f"invalid connect token encoding: {exc}") from exc
    try:
        value = json.loads(raw.decode("utf-8"))
    except (UnicodeDecodeError, ValueError, RecursionError) as exc:
        raise KavriCloudError(f"invalid connect token JSON: {exc}") from exc
    payload = ConnectTokenPayload.from_dict(value)
    if not payload.endpoint or not payload.api_key:
        raise KavriCloudError("incomplete connect token: endpoint and api_key are required")
    return payload


def split_url(url: str) -> tuple[str, str]:
    """(scheme lower-cased, authority) as the connect module splits a URL."""
    scheme, rest = "", url
    head, sep, tail = url.partition(":")
    if sep and head and head[0].isascii() and head[0].isalpha() and all(c in _SCHEME_CHARS for c in head):
        scheme, rest = head.lower(), tail
    authority = ""
    if rest.startswith("//"):
        end = len(rest)
        for mark in "/?#":
            at = rest.find(mark, 2)
            if at >= 0:
                end = min(end, at)
        authority = rest[2:end]
    return scheme, authority


def is_loopback_host(name: str) -> bool:
    if name.lower() == "localhost":
        return True
    try:
        return ipaddress.ip_address(name).is_loopback
    except ValueError:
        return False


def _host_name(host: str) -> str:
    if host.startswith("[") and "]" in host:
        return host[1 : host.index("]")]
    if host.count(":") == 1:
        return host.split(":", 1)[0]
    return host


def _normalize_connect_endpoint(endpoint: str) -> str:
    value = endpoint.strip().rstrip("/")
    if value.startswith("/"):
        base = (
            os.environ.get("KAVRI_API_URL")
            or os.environ.get("KAVRI_CONTROL_PLANE_URL")
            or LOCAL_DEV_API_URL
        )
        scheme, authority = split_url(base if "://" in base else "http://" + base)
        message = (
            f"invalid local Cloud base URL: '{base}'. "
            "Set KAVRI_API_URL or KAVRI_CONTROL_PLANE_URL to a full URL."
        )
        if not scheme or not authority:
            raise KavriCloudError(message)
        try:
            return urljoin(f"{scheme}://{authority}/", value.lstrip("/")).rstrip("/")
        except ValueError as exc:
            raise KavriCloudError(message) from exc
    if "://" in value:
        scheme, authority = split_url(value)
        if scheme in ("http", "https") and authority:
            return value
        raise KavriCloudError(f"invalid connect token endpoint: '{endpoint}'")
    host = value.split("/", 1)[0]
    if "@" in host:  # user information: the text does not say where the key would go
        raise KavriCloudError(f"invalid connect token endpoint: '{endpoint}'")
    loopback = is_loopback_host(_host_name(host))
    return ("http://" if loopback else "https://") + value


def connect_config_from_token(token: str) -> ConnectConfig:
    payload = parse_connect_token(token)
    return ConnectConfig(
        api_base_url=_normalize_connect_endpoint(payload.endpoint),
        api_key=payload.api_key,
        agent_id=payload.agent_id or None,
        registration_token=payload.registration_token or None,
    )
