"""Worker signing-key resolution: hexadecimal from the environment wins, else GCP Secret Manager."""

from __future__ import annotations

import sys

import pytest
from kavri_core import SigningKey

from kavri_cloud import temporal
from tests.temporal_fakes import FakeSecretManager

KEY = SigningKey.from_bytes(bytes(range(32)))
HEX = KEY.to_bytes().hex()


@pytest.mark.parametrize("text", [HEX, HEX.upper(), f"  {HEX}\n", " ".join(HEX[i:i + 2] for i in range(0, 64, 2))])
def test_a_hexadecimal_key_loads_without_asking_secret_manager(text, monkeypatch):
    secrets = FakeSecretManager(error=AssertionError("must not be asked")).install(monkeypatch)
    assert temporal._resolve_signing_key(text, "id", "proj") == KEY
    assert temporal._load_signing_key_from_env(hex_key=text) == KEY
    assert secrets.clients == 0


@pytest.mark.parametrize(
    ("text", "detail"),
    [
        (HEX[:-1] + "g", "non-hexadecimal character"),
        (HEX[:-1], "odd number of digits"),
        (HEX[:11] + " " + HEX[11:], "non-hexadecimal character"),  # white space inside a pair
        (HEX[:62], ""),  # 31 bytes: the SDK refuses the key
    ],
)
def test_a_bad_hexadecimal_key_fails_loudly_and_never_falls_back(text, detail, monkeypatch):
    secrets = FakeSecretManager(KEY.to_bytes()).install(monkeypatch)
    with pytest.raises(RuntimeError) as info:
        temporal._resolve_signing_key(text, "id", "proj")
    assert str(info.value).startswith("KAVRI_SIGNING_KEY is set but cannot be decoded as hex: ")
    assert detail in str(info.value)
    if secrets is None:
        assert "google.cloud.secretmanager" in str(info.value.__cause__.__cause__)
    assert isinstance(info.value.__cause__, ValueError)
    assert str(info.value).endswith(str(info.value.__cause__))
    assert secrets.clients == 0


def test_errors_other_than_value_errors_from_the_hex_path_pass_through(monkeypatch):
    def broken(hex_key):
        raise LookupError("keystore offline")

    monkeypatch.setattr(temporal, "_load_signing_key_from_env", broken)
    with pytest.raises(LookupError, match="keystore offline"):
        temporal._resolve_signing_key("00", "id", "proj")


@pytest.mark.parametrize("empty", ["", None])
def test_without_hex_the_latest_secret_version_is_used_as_raw_key_bytes(empty, monkeypatch):
    secrets = FakeSecretManager(KEY.to_bytes()).install(monkeypatch)
    assert temporal._resolve_signing_key(empty, "kavri-keys-worker", "kavri-cloud") == KEY
    assert secrets.names == ["projects/kavri-cloud/secrets/kavri-keys-worker/versions/latest"]
    assert temporal._load_signing_key_from_secret_manager(gcp_project="p", secret_id="s") == KEY
    assert secrets.names[-1] == "projects/p/secrets/s/versions/latest"


class PermissionDenied(Exception):
    pass


@pytest.mark.parametrize(
    ("secrets", "detail"),
    [
        (FakeSecretManager(construct_error=PermissionDenied("no ambient credentials")), "no ambient credentials"),
        (FakeSecretManager(error=PermissionDenied("403 permission denied")), "403 permission denied"),
        (FakeSecretManager(HEX.encode()), ""),  # hexadecimal text is not raw key bytes
        # the GCP library is missing: the message names the extra that installs it
        (None, "GCP Secret Manager support is not installed. Install with: pip install 'kavri-cloud[gcp]'"),
    ],
)
def test_secret_manager_failures_become_one_runtime_error_naming_project_then_secret(secrets, detail, monkeypatch):
    if secrets is None:
        monkeypatch.setitem(sys.modules, "google.cloud.secretmanager", None)
    else:
        secrets.install(monkeypatch)
    with pytest.raises(RuntimeError) as info:
        temporal._resolve_signing_key("", "worker-secret", "my-project")
    prefix = "No KAVRI_SIGNING_KEY env var; attempted GCP Secret Manager fallback (projects/my-project/secrets/worker-secret): "
    assert str(info.value) == prefix + str(info.value.__cause__)
    assert detail in str(info.value)


def test_interruptions_while_fetching_the_secret_are_not_converted(monkeypatch):
    FakeSecretManager(error=KeyboardInterrupt()).install(monkeypatch)
    with pytest.raises(KeyboardInterrupt):
        temporal._resolve_signing_key("", "s", "p")


@pytest.mark.parametrize(
    ("fn", "args"),
    [
        (temporal._resolve_signing_key, ("a", "b")),
        (temporal._load_signing_key_from_env, ()),
        (temporal._load_signing_key_from_secret_manager, ("a", "b", "c")),
    ],
)
def test_wrong_argument_counts_are_type_errors(fn, args):
    with pytest.raises(TypeError):
        fn(*args)
