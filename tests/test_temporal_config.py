"""The drop-in KavriPluginConfig: dataclass behaviour, from_env, the cloud wiring and the placeholders."""

from __future__ import annotations

import base64
import dataclasses
import logging
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("kavri.temporal")

import kavri.temporal as sdk_temporal  # noqa: E402
from kavri.control_plane import ControlPlaneClient  # noqa: E402
from kavri_core import PublicKey, SigningKey  # noqa: E402

from kavri_cloud import temporal  # noqa: E402
from kavri_cloud.hosted import DEFAULT_API_BASE_URL  # noqa: E402
from kavri_cloud.providers import CloudReceiptSink  # noqa: E402
from tests.temporal_fakes import clean_env  # noqa: E402,F401

KEY = SigningKey.from_bytes(bytes(range(32)))
OTHER = SigningKey.from_bytes(bytes(range(1, 33)))
LOCAL_MODE = "kavri_cloud: KAVRI_API_KEY not set, running in local mode"
OBSERVE_FIRST = "kavri_cloud: observe-first (dry_run=True); set KAVRI_ENFORCEMENT=enforce to fail closed"

Config = temporal.KavriPluginConfig


@pytest.fixture
def records(caplog):
    caplog.set_level(logging.INFO, logger="kavri_cloud.temporal")
    return lambda: [r.getMessage() for r in caplog.records if r.name == "kavri_cloud.temporal"]


@pytest.fixture
def cloud_env(clean_env):
    clean_env.setenv("KAVRI_API_KEY", "kc_test")
    clean_env.setenv("KAVRI_CONTROL_PLANE_URL", "http://127.0.0.1:9")
    return clean_env


def close_receipt_client(config):
    if config.control_plane is not None and config.control_plane.receipt_sink is not None:
        config.control_plane.receipt_sink.client.close()


# ---------------------------------------------------------------- the class


def test_the_class_presents_itself_as_the_sdk_dataclass(clean_env, records):
    assert (Config.__name__, Config.__qualname__, Config.__module__) == (
        "KavriPluginConfig", "KavriPluginConfig", "kavri_cloud.temporal")
    assert issubclass(Config, sdk_temporal.KavriPluginConfig) and Config is not sdk_temporal.KavriPluginConfig
    assert dataclasses.is_dataclass(Config)
    assert dataclasses.fields(Config) == dataclasses.fields(sdk_temporal.KavriPluginConfig)
    config = Config(activity_fns=(len,), dry_run=True)
    assert config.activity_fns == [len]  # the SDK's own hook ran first
    copy = dataclasses.replace(config, on_denial="skip")
    assert type(copy) is Config and copy.on_denial == "skip" and copy.activity_fns == [len]
    assert records() == [LOCAL_MODE, LOCAL_MODE]  # the hook runs on every construction
    assert repr(config).startswith("KavriPluginConfig(")
    with pytest.raises(ValueError, match="on_denial"):
        Config(on_denial="maybe")


def test_the_plugin_is_the_sdks_own():
    assert temporal.KavriPlugin is sdk_temporal.KavriPlugin


# ---------------------------------------------------------------- __post_init__


def test_without_an_api_key_nothing_is_wired(clean_env, records):
    config = Config(signing_key=KEY)
    assert (config.approval_handler, config.control_plane) == (None, None)
    assert records() == [LOCAL_MODE]


def test_an_api_key_and_a_signing_key_wire_the_handler_and_the_control_plane(cloud_env, records):
    cloud_env.setenv("KAVRI_AUTHORIZER_NAME", "billing-worker")
    config = Config(signing_key=KEY)
    handler, plane = config.approval_handler, config.control_plane
    try:
        assert type(handler).__name__ == "TemporalCloudApprovalHandler"
        assert (handler._api_key, handler._base_url, handler._signing_key) == ("kc_test", "http://127.0.0.1:9", KEY)
        assert (handler._fast_poll_seconds, handler._fast_poll_attempts) == (2.0, 3)
        assert isinstance(plane, ControlPlaneClient)
        assert (plane.url, plane.api_key, plane.authorizer_name, plane.signing_key) == (
            "http://127.0.0.1:9", "kc_test", "billing-worker", KEY)
        assert isinstance(plane.receipt_sink, CloudReceiptSink)
        assert plane.receipt_sink.client.base_url == "http://127.0.0.1:9"
        assert records() == [
            "kavri_cloud: auto-wired approval_handler from KAVRI_API_KEY (control_plane_url=http://127.0.0.1:9)",
            "kavri_cloud: auto-wired control_plane and receipt-v1 sink from KAVRI_API_KEY",
        ]
    finally:
        close_receipt_client(config)


def test_defaults_of_the_url_and_the_authorizer_name(clean_env):
    clean_env.setenv("KAVRI_API_KEY", "kc_test")
    config = Config(signing_key=KEY)
    try:
        assert config.approval_handler._base_url == DEFAULT_API_BASE_URL
        assert (config.control_plane.url, config.control_plane.authorizer_name) == (
            DEFAULT_API_BASE_URL, "temporal-worker")
    finally:
        close_receipt_client(config)


def test_explicit_values_are_never_replaced_and_no_key_means_no_wiring(cloud_env, records):
    handler, plane = object(), object()
    config = Config(signing_key=KEY, approval_handler=handler, control_plane=plane)
    assert (config.approval_handler, config.control_plane) == (handler, plane)
    keyless = Config()
    assert (keyless.approval_handler, keyless.control_plane) == (None, None)
    assert records() == []


def test_missing_control_plane_pieces_leave_it_unwired_silently(cloud_env, monkeypatch, records):
    monkeypatch.setitem(sys.modules, "kavri_cloud.providers", None)
    config = Config(signing_key=KEY)
    assert config.control_plane is None and config.approval_handler is not None
    assert len(records()) == 1


def test_a_missing_approval_module_fails_construction(cloud_env, monkeypatch):
    monkeypatch.setitem(sys.modules, "kavri_cloud.approval", None)
    with pytest.raises(ImportError):
        Config(signing_key=KEY)


@pytest.mark.parametrize(
    ("roots", "expected"),
    [
        (None, ["root"]),
        ([], ["root"]),
        (["key"], ["key", "root"]),
        (["root", "key"], None),  # already trusted: the very same list stays
    ],
)
def test_the_dashboard_root_key_joins_the_trusted_roots_once(clean_env, roots, expected):
    root = OTHER.public_key
    names = {"root": PublicKey.from_bytes(root.to_bytes()), "key": KEY.public_key}
    clean_env.setenv("KAVRI_DASHBOARD_ROOT_KEY", root.to_bytes().hex().upper())
    given = None if roots is None else [names[n] for n in roots]
    config = Config(trusted_roots=given)
    if expected is None:
        assert config.trusted_roots is given
    else:
        assert config.trusted_roots == [names[n] for n in expected]
        assert config.trusted_roots is not given


@pytest.mark.parametrize("root", ["xyz", "00" * 31])
def test_an_invalid_dashboard_root_key_fails_construction(clean_env, root):
    clean_env.setenv("KAVRI_DASHBOARD_ROOT_KEY", root)
    with pytest.raises(ValueError):
        Config()


# ---------------------------------------------------------------- from_env


@pytest.mark.parametrize(
    ("env", "expected"),
    [
        ({"KAVRI_ISSUER_KEY": KEY.to_bytes().hex(), "KAVRI_SIGNING_KEY": OTHER.to_bytes().hex()}, KEY),
        ({"KAVRI_ISSUER_KEY": "", "KAVRI_SIGNING_KEY": f" {OTHER.to_bytes().hex()}\n"}, OTHER),
        ({"KAVRI_SIGNING_KEY": f"  {base64.b64encode(KEY.to_bytes()).decode()} "}, KEY),
        ({"KAVRI_SIGNING_KEY": base64.b64encode(KEY.to_bytes()).decode().rstrip("=") + "=\n!"}, KEY),
        ({}, None),
    ],
)
def test_from_env_finds_the_worker_key(clean_env, env, expected):
    for name, value in env.items():
        clean_env.setenv(name, value)
    config = Config.from_env(dry_run=False)
    assert config.signing_key == expected
    assert config.trusted_roots == (None if expected is None else [expected.public_key])


def test_a_key_that_is_neither_hex_nor_base64_fails_from_env(clean_env):
    clean_env.setenv("KAVRI_SIGNING_KEY", "not a key")
    with pytest.raises(ValueError):
        Config.from_env()


def test_from_env_keeps_what_the_caller_passed(clean_env, records):
    clean_env.setenv("KAVRI_SIGNING_KEY", "garbage that would fail")
    clean_env.setenv("KAVRI_ISSUER_KEY", "garbage too")
    gate = object()
    config = Config.from_env(signing_key=KEY, trusted_roots=[], dry_run=False, on_denial="skip", gate=gate)
    assert (config.signing_key, config.trusted_roots, config.dry_run, config.on_denial, config.gate) == (
        KEY, [], False, "skip", gate)
    assert OBSERVE_FIRST not in records()
    assert Config.from_env(signing_key=KEY, trusted_roots=None, dry_run=False).trusted_roots is None


@pytest.mark.parametrize(("enforcement", "dry_run"), [(None, True), ("observe", True), ("enforce", False)])
def test_from_env_defaults_dry_run_to_observe_first(clean_env, records, enforcement, dry_run):
    if enforcement:
        clean_env.setenv("KAVRI_ENFORCEMENT", enforcement)
    config = Config.from_env()
    assert config.dry_run is dry_run
    assert (OBSERVE_FIRST in records()) is dry_run


NOT_WIRED = ("kavri_cloud: KAVRI_API_KEY is set but neither KAVRI_ISSUER_KEY nor KAVRI_SIGNING_KEY is; approvals "
             "are not wired (no approval_handler, no control_plane). Set KAVRI_ISSUER_KEY or KAVRI_SIGNING_KEY to "
             "the worker's signing key")


@pytest.mark.parametrize(
    ("env", "overrides", "warned"),
    [
        ({"KAVRI_API_KEY": "kc_test"}, {}, True),
        ({"KAVRI_API_KEY": "kc_test", "KAVRI_ISSUER_KEY": "", "KAVRI_SIGNING_KEY": ""}, {}, True),
        ({"KAVRI_API_KEY": "kc_test", "KAVRI_SIGNING_KEY": KEY.to_bytes().hex()}, {}, False),
        ({"KAVRI_API_KEY": "kc_test", "KAVRI_ISSUER_KEY": KEY.to_bytes().hex()}, {}, False),
        ({"KAVRI_API_KEY": "kc_test"}, {"signing_key": KEY}, False),
        ({"KAVRI_API_KEY": "kc_test"}, {"approval_handler": print}, False),
        ({}, {}, False),
    ],
    ids=["api-key-only", "empty-keys", "signing-key", "issuer-key", "key-passed", "handler-passed", "local-mode"],
)
def test_from_env_warns_when_an_api_key_comes_without_a_worker_key(clean_env, caplog, env, overrides, warned):
    caplog.set_level(logging.INFO, logger="kavri_cloud.temporal")
    for name, value in env.items():
        clean_env.setenv(name, value)
    config = Config.from_env(**overrides)
    close_receipt_client(config)
    warnings = [(r.levelno, r.getMessage()) for r in caplog.records
                if r.name == "kavri_cloud.temporal" and r.levelno >= logging.WARNING]
    assert warnings == ([(logging.WARNING, NOT_WIRED)] if warned else [])
    # Nothing else changes: what is wired is what was wired before.
    assert (config.approval_handler is None) is (warned or not env)


def test_from_env_takes_named_overrides_only(clean_env):
    with pytest.raises(TypeError, match="positional"):
        Config.from_env(KEY)
    with pytest.raises(TypeError, match="unexpected keyword"):
        Config.from_env(dry_run=False, warrant_of_the_day=1)


def test_subclasses_get_instances_of_their_own_class(clean_env):
    class Mine(Config):
        pass

    assert type(Mine.from_env(dry_run=False)) is Mine


# ---------------------------------------------------------------- the Quick Connect bootstrap


class FakeConnect:
    """Stands in for kavri_cloud.connect.connect, substituted where it is looked up; it exports
    the API key as the real bootstrap would (the real one runs in tests/e2e)."""

    def __init__(self, monkeypatch, *, error=None, env=None):
        self.calls, self.closed, self.error, self.env = [], 0, error, env or {}
        self.monkeypatch = monkeypatch
        monkeypatch.setattr("kavri_cloud.connect.connect", self, raising=False)

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.error:
            raise self.error
        for name, value in self.env.items():
            self.monkeypatch.setenv(name, value)
        return self

    def close(self):
        self.closed += 1


def test_a_token_bootstraps_before_construction_so_the_config_is_cloud_wired(clean_env):
    clean_env.setenv("KAVRI_CONNECT_TOKEN", "kavri_ct_x")
    connect = FakeConnect(clean_env, env={"KAVRI_API_KEY": "kc_from_token",
                                          "KAVRI_CONTROL_PLANE_URL": "http://127.0.0.1:9"})
    config = Config.from_env(signing_key=KEY, dry_run=False)
    try:
        assert connect.calls == [((), {"public_key_hex": KEY.public_key.to_bytes().hex(), "claim": True,
                                       "apply_env": True})]
        assert connect.closed == 1
        assert config.approval_handler._api_key == "kc_from_token"
    finally:
        close_receipt_client(config)


class NoPublicKey:
    @property
    def public_key(self):
        raise RuntimeError("hardware key: public half unavailable")


@pytest.mark.parametrize(("key", "public_key_hex"), [(None, None), (NoPublicKey(), None)])
def test_without_a_usable_public_key_connect_is_still_called(clean_env, key, public_key_hex):
    clean_env.setenv("KAVRI_CONNECT_TOKEN", "kavri_ct_x")
    connect = FakeConnect(clean_env)
    temporal._maybe_connect_from_env(key)
    assert connect.calls == [((), {"public_key_hex": public_key_hex, "claim": True, "apply_env": True})]


def test_a_failed_bootstrap_is_logged_and_swallowed(clean_env, records):
    clean_env.setenv("KAVRI_CONNECT_TOKEN", "kavri_ct_x")
    FakeConnect(clean_env, error=ConnectionError("claim refused"))
    assert temporal._maybe_connect_from_env(signing_key=KEY) is None
    assert records() == ["KAVRI_CONNECT_TOKEN bootstrap failed: claim refused"]


def test_no_token_means_connect_is_not_even_looked_up(clean_env, monkeypatch):
    clean_env.setenv("KAVRI_CONNECT_TOKEN", "")
    monkeypatch.setitem(sys.modules, "kavri_cloud.connect", None)
    assert temporal._maybe_connect_from_env() is None
    clean_env.setenv("KAVRI_CONNECT_TOKEN", "kavri_ct_x")
    with pytest.raises(ImportError):
        temporal._maybe_connect_from_env()


# ---------------------------------------------------------------- placeholders


def test_without_the_sdks_temporal_support_the_config_is_a_placeholder(monkeypatch):
    monkeypatch.setitem(sys.modules, "kavri.temporal", None)
    placeholder = temporal._make_cloud_plugin_config_class()
    assert (placeholder.__name__, placeholder.__qualname__, placeholder.__bases__) == (
        "KavriPluginConfig", "KavriPluginConfig", (object,))
    for attempt in (lambda: placeholder(signing_key=KEY), lambda: placeholder.from_env(dry_run=True)):
        with pytest.raises(ImportError) as info:
            attempt()
        assert str(info.value) == (
            "kavri_cloud.temporal requires kavri-cloud[temporal]. Install with: pip install 'kavri-cloud[temporal]'")
        assert isinstance(info.value.__cause__, ImportError)
    with pytest.raises(TypeError):
        temporal._make_cloud_plugin_config_class(1)


def test_the_module_loads_without_the_sdks_temporal_support():
    script = textwrap.dedent("""
        import sys
        sys.modules["kavri.temporal"] = None
        from kavri_cloud import temporal
        assert temporal.KavriPlugin.__name__ == temporal.KavriPlugin.__qualname__ == "KavriPlugin"
        assert temporal.KavriPluginConfig.__name__ == "KavriPluginConfig"
        try:
            temporal.KavriPlugin(object())
        except ImportError as exc:
            assert "pip install 'kavri-cloud[temporal]'" in str(exc)
            assert exc.__cause__ is temporal._missing_kavri_plugin_import_error
        else:
            raise AssertionError("the placeholder constructed")
        print("ok")
    """)
    result = subprocess.run([sys.executable, "-W", "error", "-c", script], capture_output=True, text=True,
                            timeout=60)
    assert result.stdout.strip() == "ok", result.stderr
