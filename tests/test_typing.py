"""The public API type-checks as users write it: the README's usage passes
``mypy --strict``, and the typical misuses of the drop-in classes and factories are
reported, each on its own line."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy")
pytestmark = [
    pytest.mark.slow,
    pytest.mark.skipif(bool(os.environ.get("KAVRI_SANITIZED")), reason="type checking, not memory safety"),
]

USAGE = """
    import asyncio
    import os

    from kavri.approval import ApprovalDenied, ApprovalGate, Warrant
    from kavri_core import SigningKey

    from kavri_cloud.approval import async_cloud_approval, cloud_approval, temporal_cloud_approval
    from kavri_cloud.connect import connect, doctor
    from kavri_cloud.langgraph import KavriMiddleware, KavriToolNode, langgraph_cloud_approval
    from kavri_cloud.redaction import redact, redact_text
    from kavri_cloud.temporal import KavriPlugin, KavriPluginConfig


    def send_email(to: str) -> str:
        return f"sent to {to}"


    def main(warrant: Warrant) -> None:
        gate = ApprovalGate(warrant)
        handler = cloud_approval(
            os.environ["KAVRI_API_KEY"], base_url="http://127.0.0.1:8787", poll_interval=2.0, timeout=300.0
        )
        try:
            gate.authorize("send_email", {"to": "finance@example.com"}, handler)
        except ApprovalDenied as denied:
            print("not sent:", denied.reason)
        ahandler = async_cloud_approval("key", base_url="http://127.0.0.1:8787", poll_interval=2.0, timeout=300.0)
        asyncio.run(gate.aauthorize("send_email", {"to": "a@example.com"}, ahandler))

        lg = langgraph_cloud_approval("key", base_url="http://127.0.0.1:8787", dashboard_url="", poll_interval=1.0)
        middleware = KavriMiddleware(warrant=warrant)
        explicit = KavriMiddleware(approval_handler=lg, warrant=warrant, dry_run=False)
        node = KavriToolNode([send_email], approval_handler=lg, gate=gate, dry_run=None, name="tools")
        print(middleware, explicit, node)

        config = KavriPluginConfig.from_env(gate=gate, activity_fns=[send_email], on_denial="skip")
        plugin = KavriPlugin(config)
        worker_handler = temporal_cloud_approval("key", SigningKey.generate(), fast_poll_attempts=3)
        print(plugin, worker_handler)

        client = connect()
        client.close()
        report = doctor(api_key="key", base_url="http://127.0.0.1:8787")
        for check in report.checks:
            print(check.name, check.status, check.message, check.remediation or "")
        report.raise_for_error()
        print(redact_text("Authorization: Bearer abc"), redact({"api_key": "x"}))
"""

# Each line is one misuse that a type checker must report, on that line.
MISUSES = [
    "KavriMiddleware(warant=None)",
    "KavriMiddleware(approval_handler=42)",
    "KavriMiddleware(dry_run='yes')",
    "KavriToolNode([send_email], warant=None)",
    "KavriToolNode([send_email], approval_handler=42)",
    "KavriPluginConfig.from_env(on_denial='ignore')",
    "KavriPluginConfig.from_env(signing_kye=None)",
    "cloud_approval(api_key=1)",
    "cloud_approval('key', 'http://127.0.0.1:8787')",
    "connect(async_client='yes')",
    "doctor(claim='no', apply_env=1)",
]


def mypy(tmp_path: Path, source: str) -> subprocess.CompletedProcess[str]:
    program = tmp_path / "program.py"
    program.write_text(textwrap.dedent(source))
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    # The SDK, when it is an editable install (./dev), is not visible to mypy through
    # site-packages: point it there. An installed SDK needs nothing.
    import kavri

    sdk_root = Path(kavri.__file__).resolve().parents[1]
    if sdk_root.name not in ("site-packages", "dist-packages"):
        env["MYPYPATH"] = str(sdk_root)
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--hide-error-context",
         "--cache-dir", str(tmp_path.parent / "mypy-cache"), "--python-executable", sys.executable, str(program)],
        capture_output=True, text=True, timeout=600, env=env, cwd=tmp_path,
    )


@pytest.fixture(scope="module")
def workdir(tmp_path_factory) -> Path:
    return tmp_path_factory.mktemp("typing")


def test_the_readme_usage_passes_mypy_strict(workdir):
    (workdir / "ok").mkdir()
    done = mypy(workdir / "ok", USAGE)
    assert done.returncode == 0, done.stdout + done.stderr


def test_each_typical_misuse_is_reported_on_its_line(workdir):
    header = USAGE.split("def send_email")[0] + "def send_email(to: str) -> str:\n        return to\n\n"
    body = "".join(f"    {line}\n" for line in MISUSES)
    source = textwrap.dedent(header) + "\ndef misuse() -> None:\n" + body
    (workdir / "bad").mkdir()
    done = mypy(workdir / "bad", source)
    assert done.returncode == 1, done.stdout + done.stderr
    first = len(textwrap.dedent(header).splitlines()) + 3  # the line of MISUSES[0]
    reported = {int(m.group(1)) for m in re.finditer(r"program\.py:(\d+): error", done.stdout)}
    missed = [line for i, line in enumerate(MISUSES) if first + i not in reported]
    assert not missed, f"not reported: {missed}\n{done.stdout}"
