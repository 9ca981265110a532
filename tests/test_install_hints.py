"""Without an optional component, the step that needs it fails with one line that
names the command installing it; every module still imports.

Each case runs in a real virtual environment that lacks the component: one
environment with the base dependencies only (no extra at all), one with the
local extra but without the SDK. The package and the SDK are linked in from
wherever this run imports them (the work tree, or site-packages when the suite
runs against an installed wheel), so the environments cost one pip run each.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap
import venv
from pathlib import Path

import pytest

import kavri_cloud

pytestmark = [
    pytest.mark.slow,
    pytest.mark.skipif(bool(os.environ.get("KAVRI_SANITIZED")), reason="packaging, not memory safety"),
]

MODULES = ["approval", "connect", "langgraph", "temporal", "payload_forge", "redaction"]
# The SDK's own dependencies; the package's base dependency is httpx.
BASE = ["httpx>=0.27,<1"]
SDK_DEPS = ["cryptography>=42", "cbor2>=5.6"]
LOCAL = ["starlette>=0.37", "uvicorn>=0.30"]
SDK_HINT = "Install with: pip install kavri-sdk-standin"


def _make_env(root: Path, requirements: list[str], *, with_sdk: bool) -> Path:
    """A venv holding `requirements`, with the package (and the SDK) linked in."""
    venv.create(root, with_pip=False, symlinks=True)
    python = root / "bin" / "python"
    subprocess.run(
        [sys.executable, "-m", "pip", "--python", str(python), "install", "-q", "--disable-pip-version-check",
         *requirements],
        check=True, capture_output=True, text=True, timeout=300,
    )
    linked = root / "linked"
    linked.mkdir()
    (linked / "kavri_cloud").symlink_to(Path(kavri_cloud.__file__).resolve().parent)
    if with_sdk:
        import kavri
        import kavri_core

        for module in (kavri, kavri_core):
            (linked / module.__name__).symlink_to(Path(module.__file__).resolve().parent)
    site = subprocess.run([str(python), "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
                          check=True, capture_output=True, text=True).stdout.strip()
    Path(site, "kavri_cloud_linked.pth").write_text(f"{linked}\n")
    return python


@pytest.fixture(scope="module")
def no_extras(tmp_path_factory) -> Path:
    """Base dependencies and the SDK core only: no local, langgraph, temporal or gcp extra."""
    return _make_env(tmp_path_factory.mktemp("no-extras"), BASE + SDK_DEPS, with_sdk=True)


@pytest.fixture(scope="module")
def no_sdk(tmp_path_factory) -> Path:
    """The local extra, but neither kavri nor kavri_core."""
    return _make_env(tmp_path_factory.mktemp("no-sdk"), BASE + LOCAL, with_sdk=False)


def run(python: Path, code: str) -> dict:
    """Run `code` (which prints one JSON document) in the environment; isolated from this
    run's variables and working directory, so only the environment's packages count."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("KAVRI_", "PYTHON"))}
    done = subprocess.run([str(python), "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=60, env=env, cwd=python.parent)
    assert done.returncode == 0, done.stdout + done.stderr
    return json.loads(done.stdout)


def cli(python: Path, *args: str, extra_env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    env = {k: v for k, v in os.environ.items() if not k.startswith(("KAVRI_", "PYTHON"))}
    env.update(extra_env or {})
    return subprocess.run([str(python), "-m", "kavri_cloud", *args], capture_output=True, text=True, timeout=60,
                          env=env, cwd=python.parent, stdin=subprocess.DEVNULL)


def assert_one_line(stderr: str, *fragments: str) -> None:
    lines = stderr.strip().splitlines()
    assert len(lines) == 1, stderr
    for fragment in fragments:
        assert fragment in lines[0], stderr


@pytest.mark.parametrize("environment", ["no_extras", "no_sdk"])
def test_every_module_imports_without_the_optional_components(environment, request):
    python = request.getfixturevalue(environment)
    got = run(python, f"""
        import importlib, json
        print(json.dumps([importlib.import_module("kavri_cloud." + m).__name__ for m in {MODULES!r}]))
    """)
    assert got == ["kavri_cloud." + m for m in MODULES]


@pytest.mark.parametrize(
    "code, extra",
    [
        ("from kavri_cloud.langgraph import KavriMiddleware as C; C()", "langgraph"),
        ("from kavri_cloud.langgraph import KavriToolNode as C; C([])", "langgraph"),
        ("from kavri_cloud.temporal import KavriPluginConfig as C; C()", "temporal"),
        ("from kavri_cloud.temporal import KavriPluginConfig as C; C.from_env()", "temporal"),
        ("from kavri_cloud.temporal import KavriPlugin as C; C(None)", "temporal"),
        ("from kavri_cloud.temporal import _load_signing_key_from_secret_manager as f; f('s', 'p')", "gcp"),
        ("import kavri_cloud.local", "local"),
    ],
)
def test_a_missing_extra_is_one_line_naming_its_install(no_extras, code, extra):
    got = run(no_extras, f"""
        import json
        try:
            {code}
        except ImportError as exc:
            print(json.dumps(str(exc)))
        else:
            print(json.dumps(None))
    """)
    assert got is not None and "\n" not in got
    assert got.endswith(f"Install with: pip install 'kavri-cloud[{extra}]'"), got


def test_kavri_cloud_local_without_the_local_extra_names_the_extra(no_extras, tmp_path):
    done = cli(no_extras, "local", "--data", str(tmp_path))
    assert done.returncode == 1
    assert_one_line(done.stderr, "kavri-cloud: error:", "pip install 'kavri-cloud[local]'")


@pytest.mark.parametrize(
    "args",
    [
        ["local", "--data", "{tmp}"],
        ["doctor", "--token", "kavri_ct_e30", "--json"],
    ],
    ids=["local", "doctor"],
)
def test_cli_commands_without_the_sdk_end_in_one_line(no_sdk, tmp_path, args):
    done = cli(no_sdk, *[a.replace("{tmp}", str(tmp_path)) for a in args])
    if args[0] == "local":
        assert done.returncode == 1
        assert_one_line(done.stderr, "kavri-cloud: error:", "No module named 'kavri_core'", SDK_HINT)
    else:
        # doctor reads configuration only: it reports the bad token, never a traceback.
        assert "Traceback" not in done.stderr, done.stderr


@pytest.mark.parametrize(
    "command",
    [["approvals", "--url", "http://127.0.0.1:9", "--api-key", "k", "list"], ["connect", "--token", "x"]],
    ids=["approvals", "connect"],
)
def test_cli_commands_without_any_extra_report_their_own_errors(no_extras, command):
    done = cli(no_extras, *command)
    assert done.returncode != 0
    assert "Traceback" not in done.stderr, done.stderr
    assert len(done.stderr.strip().splitlines()) == 1, done.stderr


@pytest.mark.parametrize(
    "code",
    [
        # the handler's last step: the SDK decodes the signed approvals
        "from kavri_cloud import approval; approval._extract_signed_approvals({'responses': ["
        "{'signed_approval': 'QUJD'}]})",
        # the worker's key, built by kavri_core
        "from kavri_cloud import temporal; temporal._load_signing_key_from_env('00' * 32)",
        "from kavri_cloud.langgraph import KavriMiddleware; KavriMiddleware()",
    ],
    ids=["handler", "worker-key", "middleware"],
)
def test_a_missing_sdk_is_one_line_naming_its_install(no_sdk, code):
    got = run(no_sdk, f"""
        import json
        try:
            {code}
        except ImportError as exc:
            while "Install with" not in str(exc) and exc.__cause__ is not None:
                exc = exc.__cause__
            print(json.dumps([type(exc).__name__, str(exc)]))
    """)
    kind, text = got
    assert "\n" not in text
    assert SDK_HINT in text or "pip install 'kavri-cloud[langgraph]'" in text, text
