"""configure_temporal_worker: the deprecated one-call worker set-up."""

from __future__ import annotations

import inspect
import sys

import pytest

pytest.importorskip("kavri.temporal")

import kavri.temporal as sdk_temporal  # noqa: E402
from kavri.control_plane import ControlPlaneClient  # noqa: E402
from kavri_core import SigningKey  # noqa: E402

from kavri_cloud import temporal  # noqa: E402
from kavri_cloud.hosted import DEFAULT_API_BASE_URL  # noqa: E402
from tests.temporal_fakes import FakeSecretManager, clean_env  # noqa: E402,F401

KEY = SigningKey.from_bytes(bytes(range(32)))
MESSAGE = (
    "configure_temporal_worker is deprecated; use KavriPluginConfig.from_env(activity_fns=activity_fns) with "
    "KavriTemporalPlugin instead. Will be removed in 0.2.0."
)


def activity_a():
    pass


def activity_b():
    pass


def configure(*args, **kwargs):
    with pytest.warns(DeprecationWarning):
        return temporal.configure_temporal_worker(*args, **kwargs)


def test_each_call_warns_once_at_the_callers_line(clean_env):
    for _ in range(2):
        with pytest.warns(DeprecationWarning) as caught:
            line = inspect.currentframe().f_lineno + 1
            temporal.configure_temporal_worker([], signing_key=KEY)
        assert [(str(w.message), w.filename, w.lineno) for w in caught] == [(MESSAGE, __file__, line)]


def test_the_warning_comes_first_even_when_the_call_then_fails(clean_env, monkeypatch):
    monkeypatch.setitem(sys.modules, "kavri.temporal", None)
    with pytest.warns(DeprecationWarning, match="deprecated"), pytest.raises(ImportError):
        temporal.configure_temporal_worker([activity_a])


@pytest.mark.parametrize("args", [(), ([], [])])
def test_exactly_one_positional_argument(args):
    with pytest.raises(TypeError, match="positional"):
        temporal.configure_temporal_worker(*args, signing_key=KEY)


def test_without_an_api_key_the_plugin_only_trusts_the_worker_key(clean_env):
    clean_env.setenv("KAVRI_SIGNING_KEY", KEY.to_bytes().hex())
    clean_env.setenv("KAVRI_ISSUER_KEY", "ignored here")
    plugin = configure((activity_b, activity_a))
    assert isinstance(plugin, sdk_temporal.KavriPlugin)
    config = plugin.config
    assert type(config) is sdk_temporal.KavriPluginConfig  # the SDK's class, not the cloud one
    assert (config.signing_key, config.trusted_roots) == (KEY, [KEY.public_key])
    assert (config.control_plane, config.approval_handler, config.on_denial) == (None, None, "raise")
    assert config.activity_fns == [activity_b, activity_a]


@pytest.mark.parametrize(
    ("kwargs", "env", "url"),
    [
        ({"api_key": "kc_arg", "control_plane_url": "http://127.0.0.1:1"}, {}, "http://127.0.0.1:1"),
        ({"api_key": ""}, {"KAVRI_API_KEY": "kc_arg", "KAVRI_CONTROL_PLANE_URL": "http://127.0.0.1:2"},
         "http://127.0.0.1:2"),
        ({"control_plane_url": ""}, {"KAVRI_API_KEY": "kc_arg"}, DEFAULT_API_BASE_URL),
    ],
)
def test_an_api_key_wires_a_control_plane_and_the_cloud_handler(clean_env, kwargs, env, url):
    for name, value in env.items():
        clean_env.setenv(name, value)
    clean_env.setenv("KAVRI_AUTHORIZER_NAME", "not read here")
    config = configure([activity_a], signing_key=KEY, authorizer_name="payments", fast_poll_seconds=0.5,
                       fast_poll_attempts=7, **kwargs).config
    plane, handler = config.control_plane, config.approval_handler
    assert isinstance(plane, ControlPlaneClient)
    assert (plane.url, plane.api_key, plane.authorizer_name, plane.signing_key, plane.receipt_sink) == (
        url, "kc_arg", "payments", KEY, None)
    assert (handler._api_key, handler._base_url, handler._fast_poll_seconds, handler._fast_poll_attempts) == (
        "kc_arg", url, 0.5, 7)


@pytest.mark.parametrize("source", ["argument", "env"])
def test_the_dashboard_root_key_is_added_even_when_it_repeats_the_worker_key(clean_env, source):
    root_hex = KEY.public_key.to_bytes().hex()
    if source == "env":
        clean_env.setenv("KAVRI_DASHBOARD_ROOT_KEY", root_hex)
        config = configure([], signing_key=KEY).config
    else:
        config = configure([], signing_key=KEY, dashboard_root_key_hex=root_hex).config
    assert config.trusted_roots == [KEY.public_key, KEY.public_key]


def test_an_invalid_dashboard_root_key_fails(clean_env):
    with pytest.warns(DeprecationWarning), pytest.raises(ValueError):
        temporal.configure_temporal_worker([], signing_key=KEY, dashboard_root_key_hex="zz")


def test_the_worker_key_comes_from_secret_manager_under_the_default_names(clean_env, monkeypatch):
    secrets = FakeSecretManager(KEY.to_bytes()).install(monkeypatch)
    assert configure([]).config.signing_key == KEY
    assert secrets.names == ["projects/kavri-cloud/secrets/kavri-keys-worker/versions/latest"]
    clean_env.setenv("KAVRI_WORKER_SECRET_ID", "w")
    clean_env.setenv("GCP_PROJECT", "p")
    configure([])
    assert secrets.names[-1] == "projects/p/secrets/w/versions/latest"


@pytest.mark.parametrize(
    ("env", "underlying"),
    [
        ({}, "No KAVRI_SIGNING_KEY env var; attempted GCP Secret Manager fallback "
             "(projects/kavri-cloud/secrets/kavri-keys-worker): "),
        ({"KAVRI_SIGNING_KEY": "abc"}, "KAVRI_SIGNING_KEY is set but cannot be decoded as hex: "),
    ],
)
def test_an_unloadable_key_names_what_to_set_and_nests_the_cause(clean_env, monkeypatch, env, underlying):
    FakeSecretManager(error=PermissionError("secret not found")).install(monkeypatch)
    for name, value in env.items():
        clean_env.setenv(name, value)
    with pytest.warns(DeprecationWarning), pytest.raises(RuntimeError) as info:
        temporal.configure_temporal_worker([])
    message = str(info.value)
    assert message.startswith(
        "Could not load Kavri worker signing key. Set KAVRI_SIGNING_KEY (hex) or KAVRI_WORKER_SECRET_ID + "
        "GCP_PROJECT for GCP Secret Manager. Underlying error: " + underlying)
    assert isinstance(info.value.__cause__, RuntimeError)
    assert message.endswith(str(info.value.__cause__))
