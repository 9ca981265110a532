"""``./dev demo`` as CI and a newcomer run it: a separate process, its own service, exit 0."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

pytestmark = pytest.mark.e2e

ROOT = Path(__file__).resolve().parents[2]
# Shapes of every credential the local service hands out: keys, tokens, registration tokens.
CREDENTIAL = re.compile(r"tc_(admin|runtime)_[A-Za-z0-9_-]{8,}|kavri_ct_[A-Za-z0-9_-]+|rt_[A-Za-z0-9_-]{8,}")


def has_temporal() -> bool:
    return Path(sys.executable).with_name("temporal").exists() or shutil.which("temporal") is not None


@pytest.mark.timeout(150)
@pytest.mark.parametrize(
    "flow",
    ["langgraph", pytest.param("temporal", marks=pytest.mark.skipif(not has_temporal(), reason="no Temporal dev server"))],
)
def test_the_auto_approved_demo_runs_the_tool_and_prints_no_credential(flow, tmp_path):
    env = {name: value for name, value in os.environ.items() if not name.startswith("KAVRI_")}
    env.update(KAVRI_API_KEY="tc_runtime_from-the-users-shell", KAVRI_CONTROL_PLANE_URL="http://192.0.2.1")
    done = subprocess.run(
        [sys.executable, "-m", "kavri_cloud.demo", flow, "--auto-approve"],
        cwd=ROOT, env=env, capture_output=True, text=True, timeout=140, stdin=subprocess.DEVNULL,
    )
    out = done.stdout
    assert done.returncode == 0, out + done.stderr
    assert "cleared KAVRI_API_KEY, KAVRI_CONTROL_PLANE_URL" in out
    assert "doctor(): ok" in out
    assert re.search(r"signed approval verified by the SDK: approver alice", out)
    assert re.search(r"tool result.*: email to finance@example\.com queued: 'Q3 numbers'", out)
    assert [m.group(0) for m in CREDENTIAL.finditer(out + done.stderr)] == []
    assert all(re.match(r"(\[ *\d+\.\d\ds\] |          )", line) for line in out.splitlines())
