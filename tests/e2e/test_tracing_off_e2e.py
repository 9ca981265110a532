"""Without opentelemetry-api every handler works as before and nothing of OpenTelemetry is
imported: a fresh interpreter whose import system cannot find any ``opentelemetry`` module
(a sys.meta_path blocker stands in for a virtual environment without the package) runs each
handler shape and the middleware against the local Kavri Cloud."""

from __future__ import annotations

import ast
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytestmark = pytest.mark.e2e

ROOT = Path(__file__).resolve().parents[2]

SCRIPT = textwrap.dedent(
    """
    import asyncio, dataclasses, sys

    attempts = []

    class NoOpenTelemetry:
        def find_spec(self, name, path=None, target=None):
            if name == "opentelemetry" or name.startswith("opentelemetry."):
                attempts.append(name)
                raise ModuleNotFoundError(f"No module named {name!r}", name=name)
            return None

    sys.meta_path.insert(0, NoOpenTelemetry())

    import kavri_core
    from kavri.approval import ApprovalDenied
    from langchain.agents import create_agent
    from langchain_core.messages import ToolMessage
    from langchain_core.tools import tool
    from temporalio.testing import ActivityEnvironment

    from kavri_cloud import _observe, approval, langgraph
    from kavri_cloud.local import LocalCloud
    from tests.e2e.approval_helpers import Human, approve_by, deny_with, gate_for
    from tests.e2e.test_langgraph_e2e import scripted

    ARGS = {"to": "ops@example.com"}
    outcomes = {}
    with LocalCloud(sys.argv[1]) as cloud:
        gate = gate_for(cloud)
        key, url = cloud.admin_key, cloud.url
        with Human(cloud, approve_by("alice")):
            r = gate.request_for("send_email", ARGS)
            outcomes["blocking"] = bool(gate.verify(approval.cloud_approval(key, base_url=url, poll_interval=0.05)(r), r))
            r = gate.request_for("send_email", ARGS)
            h = approval.async_cloud_approval(key, base_url=url, poll_interval=0.05)
            outcomes["asyncio"] = bool(gate.verify(asyncio.run(h(r)), r))
            r = gate.request_for("send_email", ARGS)
            h = langgraph.langgraph_cloud_approval(key, base_url=url, poll_interval=0.05)
            outcomes["langgraph"] = bool(gate.verify(asyncio.run(h(r)), r))
            r = gate.request_for("send_email", ARGS)
            h = approval.temporal_cloud_approval(key, gate.warrant.holder_key, base_url=url,
                                                 fast_poll_seconds=0.05, fast_poll_attempts=60)
            outcomes["temporal"] = bool(gate.verify(ActivityEnvironment().run(h, r), r))
        with Human(cloud, deny_with("no")):
            try:
                approval.cloud_approval(key, base_url=url, poll_interval=0.05)(gate.request_for("send_email", ARGS))
            except ApprovalDenied as exc:
                outcomes["denied"] = exc.reason

            ran = []

            @tool
            def transfer(amount: int) -> str:
                \"\"\"Move money.\"\"\"
                ran.append(amount)
                return f"moved {amount}"

            warrant = gate_for(cloud, tool="transfer").warrant
            handler = langgraph.langgraph_cloud_approval(key, base_url=url, poll_interval=0.05)
            agent = create_agent(scripted("call_1"), [transfer],
                                 middleware=[langgraph.KavriMiddleware(handler, warrant=warrant, dry_run=True)])
            state = asyncio.run(agent.ainvoke({"messages": [("user", "pay")]}))
            outcomes["observe-first"] = [m.content for m in state["messages"] if isinstance(m, ToolMessage)]

    loaded = sorted(m for m in sys.modules if m == "opentelemetry" or m.startswith("opentelemetry."))
    print(repr({"outcomes": outcomes, "loaded": loaded, "enabled": _observe.enabled(),
                "asked": "opentelemetry" in attempts}))
    """
)


@pytest.mark.timeout(120)
def test_every_handler_works_and_nothing_of_opentelemetry_is_imported_without_it(tmp_path):
    script = tmp_path / "without_otel.py"
    script.write_text(SCRIPT)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [os.environ.get("PYTHONPATH"), str(ROOT)]))
    done = subprocess.run([sys.executable, str(script), str(tmp_path / "cloud")], cwd=ROOT, capture_output=True,
                          text=True, timeout=110, env=env)
    assert done.returncode == 0, done.stdout + done.stderr
    report = ast.literal_eval(done.stdout.strip().splitlines()[-1])
    assert report["outcomes"] == {
        "blocking": True, "asyncio": True, "langgraph": True, "temporal": True, "denied": "no",
        "observe-first": ["moved 10"],
    }
    assert report["loaded"] == []
    assert report["enabled"] is False
    assert report["asked"]  # the package did look, and went on without it
