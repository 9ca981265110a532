"""Plain-Python worker set-up with the native module's behaviour: the benchmark's baseline.

It is never imported by the package; it exists so that the native key
loading, configuration construction and ``from_env`` can be timed against the
same steps written in Python.
"""

from __future__ import annotations

import base64
import logging
import os

from kavri.temporal import KavriPluginConfig as _SdkKavriPluginConfig

from kavri_cloud.enforcement import observe_first_from_env
from kavri_cloud.hosted import DEFAULT_API_BASE_URL

logger = logging.getLogger("kavri_cloud.temporal")


def _load_signing_key_from_env(hex_key):
    from kavri_core import SigningKey

    return SigningKey.from_bytes(bytes.fromhex(hex_key))


def _load_signing_key_from_secret_manager(secret_id, gcp_project):
    from google.cloud import secretmanager
    from kavri_core import SigningKey

    client = secretmanager.SecretManagerServiceClient()
    name = f"projects/{gcp_project}/secrets/{secret_id}/versions/latest"
    return SigningKey.from_bytes(client.access_secret_version(name=name).payload.data)


def _resolve_signing_key(signing_key_hex, worker_secret_id, gcp_project):
    if signing_key_hex:
        try:
            return _load_signing_key_from_env(signing_key_hex)
        except ValueError as exc:
            raise RuntimeError(f"KAVRI_SIGNING_KEY is set but cannot be decoded as hex: {exc}") from exc
    try:
        return _load_signing_key_from_secret_manager(worker_secret_id, gcp_project)
    except Exception as exc:
        raise RuntimeError(
            "No KAVRI_SIGNING_KEY env var; attempted GCP Secret Manager fallback "
            f"(projects/{gcp_project}/secrets/{worker_secret_id}): {exc}"
        ) from exc


def _maybe_connect_from_env(signing_key=None):
    if not os.environ.get("KAVRI_CONNECT_TOKEN"):
        return
    from kavri_cloud.connect import connect

    public_key_hex = None
    if signing_key is not None:
        try:
            public_key_hex = signing_key.public_key.to_bytes().hex()
        except Exception:
            public_key_hex = None
    try:
        client = connect(public_key_hex=public_key_hex, claim=True, apply_env=True)
        close = getattr(client, "close", None)
        if callable(close):
            close()
    except Exception as exc:
        logger.warning("KAVRI_CONNECT_TOKEN bootstrap failed: %s", exc)


class KavriPluginConfig(_SdkKavriPluginConfig):
    @classmethod
    def from_env(cls, **overrides):
        signing_key = overrides.pop("signing_key", None)
        if signing_key is None:
            raw = os.environ.get("KAVRI_ISSUER_KEY") or os.environ.get("KAVRI_SIGNING_KEY")
            if raw:
                from kavri_core import SigningKey

                text = raw.strip()
                try:
                    signing_key = SigningKey.from_bytes(bytes.fromhex(text))
                except ValueError:
                    signing_key = SigningKey.from_bytes(base64.b64decode(text))
        if signing_key is not None and "trusted_roots" not in overrides:
            overrides["trusted_roots"] = [signing_key.public_key]
        _maybe_connect_from_env(signing_key)
        observe_first = observe_first_from_env()
        overrides.setdefault("dry_run", observe_first)
        if overrides["dry_run"]:
            logger.info("kavri_cloud: observe-first (dry_run=True); set KAVRI_ENFORCEMENT=enforce to fail closed")
        return cls(signing_key=signing_key, **overrides)

    def __post_init__(self):
        super().__post_init__()
        api_key = os.environ.get("KAVRI_API_KEY", "")
        url = os.environ.get("KAVRI_CONTROL_PLANE_URL", DEFAULT_API_BASE_URL)
        root_hex = os.environ.get("KAVRI_DASHBOARD_ROOT_KEY", "")
        if api_key:
            if self.approval_handler is None and self.signing_key is not None:
                from kavri_cloud.approval import temporal_cloud_approval

                self.approval_handler = temporal_cloud_approval(
                    api_key=api_key, signing_key=self.signing_key, base_url=url
                )
                logger.info("kavri_cloud: auto-wired approval_handler from KAVRI_API_KEY (control_plane_url=%s)", url)
            if self.control_plane is None and self.signing_key is not None:
                try:
                    from kavri.control_plane import ControlPlaneClient

                    from kavri_cloud.client import KavriCloudClient
                    from kavri_cloud.providers import CloudReceiptSink

                    receipts = KavriCloudClient(api_key=api_key, base_url=url)
                    self.control_plane = ControlPlaneClient(
                        url=url,
                        api_key=api_key,
                        authorizer_name=os.environ.get("KAVRI_AUTHORIZER_NAME", "temporal-worker"),
                        signing_key=self.signing_key,
                        receipt_sink=CloudReceiptSink(receipts),
                    )
                    logger.info("kavri_cloud: auto-wired control_plane and receipt-v1 sink from KAVRI_API_KEY")
                except ImportError:
                    pass
        else:
            logger.info("kavri_cloud: KAVRI_API_KEY not set, running in local mode")
        if root_hex:
            from kavri_core import PublicKey

            root = PublicKey.from_bytes(bytes.fromhex(root_hex))
            roots = list(self.trusted_roots or [])
            if all(bytes(r) != bytes(root) for r in roots):
                self.trusted_roots = roots + [root]


