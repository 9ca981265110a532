"""The drop-in KavriMiddleware and KavriToolNode, observe-first handling and auto-wiring.

Class tests run on the real SDK classes and frameworks when they are installed; the
placeholders are checked in a subprocess where kavri.langgraph cannot be imported."""

from __future__ import annotations

import asyncio
import importlib.util
import inspect
import logging
import subprocess
import sys
import textwrap
from pathlib import Path
from types import SimpleNamespace

import pytest

from kavri_cloud import langgraph as lg

HAVE_FRAMEWORKS = importlib.util.find_spec("langchain") is not None
needs_frameworks = pytest.mark.skipif(not HAVE_FRAMEWORKS, reason="LangChain/LangGraph not installed")
OBSERVE_LINE = "kavri_cloud.langgraph: observe-first (dry_run=True); set KAVRI_ENFORCEMENT=enforce to fail closed"
REPO = Path(__file__).resolve().parent.parent


@pytest.fixture(autouse=True)
def environment(monkeypatch):
    for name in ("KAVRI_API_KEY", "KAVRI_APPROVAL_TIMEOUT", "KAVRI_ENFORCEMENT", "KAVRI_DRY_RUN"):
        monkeypatch.delenv(name, raising=False)


def message(status, content):
    return SimpleNamespace(status=status, content=content)


@pytest.mark.parametrize(
    "result, denial",
    [
        (message("error", "Authorization denied for tool 'x': no"), True),
        (message("error", "prefix Security configuration error"), True),
        (message("error", "Configuration error: no approval_handler configured for guarded tool 'x'"), True),
        (message("error", "authorization denied"), False),
        (message("error", "Configuration error"), False),
        (message("error", "tool crashed"), False),
        (message("success", "Authorization denied"), False),
        (message("ERROR", "Authorization denied"), False),
        (message("error", ["Authorization denied"]), True),
        (message("error", None), False),
        (SimpleNamespace(content="Authorization denied"), False),
        (SimpleNamespace(status="error"), False),
    ],
)
def test_denial_markers_are_case_sensitive_and_need_error_status(result, denial):
    assert lg._is_denial_tool_message(result) is denial


DENIAL = message("error", "Authorization denied for tool 'transfer': no")


@pytest.mark.parametrize(
    "request_, name",
    [
        (SimpleNamespace(tool_call={"name": "transfer", "id": "c1"}), "transfer"),
        (SimpleNamespace(tool_call={"id": "c1"}), "unknown"),
        (SimpleNamespace(tool_call=None), "unknown"),
        (SimpleNamespace(tool_call=SimpleNamespace(name="transfer")), "unknown"),
        (SimpleNamespace(), "unknown"),
    ],
)
@pytest.mark.parametrize("form", ["sync", "async"])
def test_observe_first_runs_the_tool_after_a_denial_and_logs_it(form, request_, name, caplog):
    caplog.set_level(logging.INFO, logger="kavri_cloud.langgraph")
    calls = []

    def handler(request):
        calls.append(request)
        return "tool ran"

    if form == "sync":
        out = lg._observe_or_result(DENIAL, request_, handler, True)
    else:
        out = asyncio.run(lg._observe_or_result_async(result=DENIAL, request=request_, handler=handler, dry_run=True))
    assert (out, calls) == ("tool ran", [request_])
    [record] = [r for r in caplog.records if r.name == "kavri_cloud.langgraph"]
    assert (record.levelno, record.msg, record.args) == (
        logging.INFO, "kavri_cloud.langgraph: observe-first allowing '%s' after denial", (name,))


@pytest.mark.parametrize(
    "result, dry_run",
    [(DENIAL, False), (DENIAL, 0), (DENIAL, None), (message("error", "tool crashed"), True), (message("success", "ok"), True)],
)
@pytest.mark.parametrize("form", ["sync", "async"])
def test_results_pass_through_unless_a_denial_is_observed(form, result, dry_run, caplog):
    caplog.set_level(logging.INFO, logger="kavri_cloud.langgraph")
    request_ = SimpleNamespace(tool_call={"name": "t"})

    def handler(request):
        raise AssertionError("the tool must not run")

    if form == "sync":
        out = lg._observe_or_result(result, request_, handler, dry_run)
    else:
        out = asyncio.run(lg._observe_or_result_async(result, request_, handler, dry_run))
    assert out is result
    assert not [r for r in caplog.records if r.name == "kavri_cloud.langgraph"]


def test_the_async_form_awaits_only_coroutines():
    request_ = SimpleNamespace(tool_call={"name": "t"})

    async def main():
        async def tool(request):
            return "awaited"

        future = asyncio.get_running_loop().create_future()
        awaited = await lg._observe_or_result_async(DENIAL, request_, tool, True)
        plain = await lg._observe_or_result_async(DENIAL, request_, lambda r: "plain", True)
        returned = await lg._observe_or_result_async(DENIAL, request_, lambda r: future, True)
        return awaited, plain, returned is future

    assert asyncio.run(main()) == ("awaited", "plain", True)


def test_a_failing_tool_in_observe_first_propagates():
    def tool(request):
        raise RuntimeError("tool failed")

    with pytest.raises(RuntimeError, match="tool failed"):
        lg._observe_or_result(DENIAL, SimpleNamespace(tool_call={}), tool, True)


def test_the_async_helper_presents_itself_as_a_coroutine_function():
    assert asyncio.iscoroutinefunction(lg._observe_or_result_async)
    assert inspect.iscoroutinefunction(lg._observe_or_result_async)
    assert list(inspect.signature(lg._observe_or_result_async).parameters) == ["result", "request", "handler", "dry_run"]


@pytest.fixture
def factory_calls(monkeypatch):
    calls = []

    def factory(**kwargs):
        calls.append(kwargs)
        return "handler"

    monkeypatch.setattr(lg, "langgraph_cloud_approval", factory)
    return calls


@pytest.mark.parametrize(
    "env, overrides, expected",
    [
        (None, {}, None),
        ("", {"poll_interval": 1.0}, None),
        (None, {"api_key": "", "poll_interval": 1.0}, None),
        ("env_key", {"api_key": "", "poll_interval": 1.0}, {"api_key": "env_key", "poll_interval": 1.0}),
        ("env_key", {"timeout": 5, "api_key": "mine", "dashboard_url": "d"},
         {"api_key": "mine", "timeout": 5, "dashboard_url": "d"}),
        ("env_key", {}, {"api_key": "env_key"}),
    ],
)
def test_auto_wiring_needs_a_key_and_forwards_the_overrides(env, overrides, expected, monkeypatch, factory_calls):
    if env is not None:
        monkeypatch.setenv("KAVRI_API_KEY", env)
    result = lg._auto_approval_handler(**overrides)
    if expected is None:
        assert (result, factory_calls) == (None, [])
    else:
        assert result == "handler"
        assert [list(c.items()) for c in factory_calls] == [list(expected.items())]


@pytest.mark.parametrize(
    ("url", "overrides", "expected"),
    [
        ("http://127.0.0.1:8080", {}, {"api_key": "env_key", "base_url": "http://127.0.0.1:8080"}),
        ("", {}, {"api_key": "env_key"}),
        ("http://127.0.0.1:8080", {"base_url": "https://mine"}, {"api_key": "env_key", "base_url": "https://mine"}),
    ],
    ids=["exported-endpoint", "empty-means-hosted", "override-wins"],
)
def test_auto_wiring_talks_to_the_endpoint_quick_connect_exported(url, overrides, expected, monkeypatch,
                                                                  factory_calls):
    monkeypatch.setenv("KAVRI_API_KEY", "env_key")
    monkeypatch.setenv("KAVRI_CONTROL_PLANE_URL", url)
    lg._auto_approval_handler(**overrides)
    assert factory_calls == [expected]


def test_auto_wiring_builds_the_real_handler_and_rejects_positional_arguments(monkeypatch):
    monkeypatch.setenv("KAVRI_API_KEY", "env_key")
    handler = lg._auto_approval_handler(poll_interval=1.0)
    assert handler.__qualname__ == "langgraph_cloud_approval.<locals>._handle"
    with pytest.raises(TypeError):
        lg._auto_approval_handler("key")
    with pytest.raises(TypeError, match="unexpected keyword argument 'retries'"):
        lg._auto_approval_handler(retries=3)
    monkeypatch.setenv("KAVRI_APPROVAL_TIMEOUT", "later")
    with pytest.raises(ValueError):
        lg._auto_approval_handler()


# -- the classes on the real SDK classes --------------------------------------------


@pytest.fixture
def sdk():
    if not HAVE_FRAMEWORKS:
        pytest.skip("LangChain/LangGraph not installed")
    import kavri.langgraph

    return kavri.langgraph


@pytest.fixture
def warrant():
    from kavri.approval import Warrant
    from kavri_core import SigningKey

    return Warrant(id="w-1", holder_key=SigningKey.generate(), tools_requiring_approval={"transfer"})


@pytest.mark.parametrize(
    "name, methods, doc_words",
    [
        ("KavriMiddleware", ["__init__", "wrap_tool_call", "awrap_tool_call"],
         ["KAVRI_API_KEY", "approval_handler", "dry_run=True", "KAVRI_ENFORCEMENT=observe", "receipts",
          "KAVRI_ENFORCEMENT=enforce", "dry_run=False"]),
        ("KavriToolNode", ["__init__"], ["KAVRI_API_KEY", "approval_handler"]),
    ],
)
def test_the_classes_are_named_subclasses_of_the_sdk_classes(name, methods, doc_words, sdk):
    cls = getattr(lg, name)
    assert cls.__bases__ == (getattr(sdk, name),)
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "kavri_cloud.langgraph")
    assert [k for k in vars(cls) if callable(vars(cls)[k])] == methods
    assert "drop-in replacement" in cls.__doc__.lower()
    assert all(word in cls.__doc__ for word in doc_words)
    assert lg._make_cloud_middleware_class().__bases__ == (sdk.KavriMiddleware,)


def test_the_framework_sees_overridden_asynchronous_hooks(sdk):
    from langchain.agents.middleware import AgentMiddleware

    instance = lg.KavriMiddleware(lambda r: None, dry_run=False)
    assert lg.KavriMiddleware.wrap_tool_call is not AgentMiddleware.wrap_tool_call
    assert lg.KavriMiddleware.awrap_tool_call is not sdk.KavriMiddleware.awrap_tool_call
    assert asyncio.iscoroutinefunction(instance.awrap_tool_call)
    assert not asyncio.iscoroutinefunction(instance.wrap_tool_call)
    assert inspect.iscoroutinefunction(instance.awrap_tool_call)  # LangSmith's traceable asks inspect
    assert lg.KavriMiddleware.awrap_tool_call.__qualname__ == "KavriMiddleware.awrap_tool_call"
    assert list(inspect.signature(instance.awrap_tool_call).parameters) == ["request", "handler"]
    assert instance.name == "KavriMiddleware"


@pytest.mark.parametrize(
    "env, args, kwargs, wired",
    [
        ("k", (), {}, True),
        ("k", (), {"approval_handler": None}, True),
        ("k", (), {"approval_handler": "mine"}, False),
        ("k", ("mine",), {}, False),
        ("", (), {}, False),
        (None, (), {"approval_handler": None}, False),
    ],
)
def test_the_middleware_wires_the_cloud_handler_only_when_none_is_given(env, args, kwargs, wired, monkeypatch, sdk):
    if env is not None:
        monkeypatch.setenv("KAVRI_API_KEY", env)
    handler = lg.KavriMiddleware(*args, **kwargs).approval_handler
    if wired:
        assert handler.__qualname__ == "langgraph_cloud_approval.<locals>._handle"
    else:
        assert handler == (args[0] if args else kwargs.get("approval_handler"))


@pytest.mark.parametrize(
    "kwargs, env, observe",
    [
        ({}, None, True),
        ({"dry_run": None}, "enforce", False),
        ({"dry_run": None}, "observe", True),
        ({"dry_run": False}, "observe", False),
        ({"dry_run": 1}, "enforce", True),
        ({"dry_run": ""}, None, False),
    ],
)
@pytest.mark.parametrize("cls_name", ["KavriMiddleware", "KavriToolNode"])
def test_dry_run_is_resolved_here_and_announced_once(cls_name, kwargs, env, observe, monkeypatch, caplog, sdk):
    if env is not None:
        monkeypatch.setenv("KAVRI_ENFORCEMENT", env)
    caplog.set_level(logging.INFO, logger="kavri_cloud.langgraph")
    args = ([],) if cls_name == "KavriToolNode" else ()
    instance = getattr(lg, cls_name)(*args, **kwargs)
    assert instance._dry_run is observe
    lines = [r.getMessage() for r in caplog.records if r.name == "kavri_cloud.langgraph"]
    assert lines == ([OBSERVE_LINE] if observe else [])


def test_a_failing_auto_wire_fails_the_constructor_before_the_mode_is_read(monkeypatch, sdk):
    monkeypatch.setenv("KAVRI_API_KEY", "k")
    monkeypatch.setenv("KAVRI_APPROVAL_TIMEOUT", "not a number")
    monkeypatch.setattr(lg, "observe_first_from_env", lambda: pytest.fail("mode resolved"))
    with pytest.raises(ValueError):
        lg.KavriMiddleware()
    with pytest.raises(ValueError):
        lg.KavriToolNode([])


def test_the_tool_node_takes_tools_by_position_or_name_and_nothing_else(monkeypatch, sdk, warrant):
    monkeypatch.setenv("KAVRI_API_KEY", "k")
    by_name = lg.KavriToolNode(tools=[], warrant=warrant, name="guarded")
    assert (by_name.name, by_name.gate.warrant, by_name._dry_run) == ("guarded", warrant, True)
    assert by_name.approval_handler.__qualname__ == "langgraph_cloud_approval.<locals>._handle"
    with pytest.raises(TypeError):
        lg.KavriToolNode([], "extra")
    with pytest.raises(TypeError):
        lg.KavriToolNode()
    with pytest.raises(TypeError):
        lg.KavriToolNode([], bogus=1)  # the SDK constructor's own rejection


def tool_request(name, tool_id="call_1"):
    from langgraph.prebuilt.tool_node import ToolCallRequest

    return ToolCallRequest(tool_call={"name": name, "args": {"amount": 1}, "id": tool_id}, tool=None, state={}, runtime=None)


def tool_result(request):
    from langchain_core.messages import ToolMessage

    return ToolMessage(content="tool ran", tool_call_id=request.tool_call["id"], status="success")


@pytest.mark.parametrize("dry_run, ran", [(True, True), (False, False)])
@pytest.mark.parametrize("hook", ["wrap_tool_call", "awrap_tool_call"])
def test_hooks_apply_observe_first_to_the_sdk_denial(hook, dry_run, ran, sdk, warrant, caplog):
    caplog.set_level(logging.INFO, logger="kavri_cloud.langgraph")
    middleware = lg.KavriMiddleware(warrant=warrant, dry_run=dry_run)  # guarded tool, no handler
    calls = []

    def handler(request):
        calls.append(request)
        return tool_result(request)

    async def ahandler(request):
        return handler(request)

    request = tool_request("transfer")
    if hook == "wrap_tool_call":
        out = middleware.wrap_tool_call(request, handler)
    else:
        out = asyncio.run(middleware.awrap_tool_call(request=request, handler=ahandler))
    if ran:
        assert (out.content, calls) == ("tool ran", [request])
        assert "observe-first allowing 'transfer' after denial" in caplog.text
    else:
        assert out.status == "error" and out.content.startswith("Configuration error: no approval_handler")
        assert (out.tool_call_id, calls) == ("call_1", [])


@pytest.mark.parametrize("guarded", [True, False])
@pytest.mark.parametrize("hook", ["wrap_tool_call", "awrap_tool_call"])
def test_a_tools_own_error_is_never_taken_for_a_denial_and_run_again(hook, guarded, sdk, warrant):
    """The tool ran and reported an upstream 401 in the SDK's words: observe-first must
    return that result, not run the tool a second time."""
    from langchain_core.messages import ToolMessage
    from kavri_core import SignedApproval, SigningKey

    approver = SigningKey.generate()
    warrant.approvers = [approver.public_key]
    middleware = lg.KavriMiddleware(lambda r: SignedApproval.create(approver, r.request_hash), warrant=warrant,
                                    dry_run=True)
    runs = []

    def handler(request):
        runs.append(request.tool_call["args"])
        return ToolMessage(content="Authorization denied by the bank (HTTP 401)", tool_call_id="call_1", status="error")

    async def ahandler(request):
        return handler(request)

    request = tool_request("transfer" if guarded else "balance")
    if hook == "wrap_tool_call":
        out = middleware.wrap_tool_call(request, handler)
    else:
        out = asyncio.run(middleware.awrap_tool_call(request, ahandler))
    assert (out.status, runs) == ("error", [{"amount": 1}])
    assert lg._is_denial_tool_message(out)  # the text still reads as a denial to callers that ask


# -- placeholders, in a process where kavri.langgraph cannot be imported ------------

PLACEHOLDER_CHECK = """
import sys
{blocker}
import kavri_cloud.langgraph as lg
for cls, name in ((lg.KavriMiddleware, "KavriMiddleware"), (lg.KavriToolNode, "KavriToolNode")):
    assert (cls.__name__, cls.__qualname__, cls.__bases__) == (name, name, (object,)), cls
    for args, kwargs in (((), {{}}), ((1, 2), {{"approval_handler": None, "dry_run": True}})):
        try:
            cls(*args, **kwargs)
        except ImportError as exc:
            assert str(exc) == "kavri_cloud.langgraph requires kavri-cloud[langgraph]. Install with: pip install 'kavri-cloud[langgraph]'"
            assert isinstance(exc.__cause__, ImportError), exc.__cause__
        else:
            raise AssertionError("constructed")
assert lg._make_cloud_tool_node_class() is not lg.KavriToolNode
handler = lg.langgraph_cloud_approval("key", timeout=1)
assert handler.__name__ == "_handle"
print("ok")
"""

BLOCK_MISSING = 'sys.modules["kavri.langgraph"] = None'
BLOCK_BROKEN = """
import importlib.abc, importlib.machinery
class Broken(importlib.abc.MetaPathFinder, importlib.abc.Loader):
    def find_spec(self, name, path, target=None):
        return importlib.machinery.ModuleSpec(name, self) if name == "kavri.langgraph" else None
    def create_module(self, spec):
        return None
    def exec_module(self, module):
        raise RuntimeError("kavri.langgraph is broken")
sys.meta_path.insert(0, Broken())
"""


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=REPO, capture_output=True, text=True, timeout=60)


def test_without_the_sdk_support_the_module_loads_with_placeholders():
    proc = run_python(PLACEHOLDER_CHECK.format(blocker=BLOCK_MISSING))
    assert (proc.returncode, proc.stdout.strip()) == (0, "ok"), proc.stderr


def test_an_sdk_support_that_fails_otherwise_fails_the_module_load():
    proc = run_python(PLACEHOLDER_CHECK.format(blocker=BLOCK_BROKEN))
    assert proc.returncode != 0
    assert "RuntimeError: kavri.langgraph is broken" in proc.stderr


KIND_CHECK = """
import sys
{blocker}
try:
    import kavri_cloud.langgraph
except ImportError as exc:
    print("ImportError", exc)
except RuntimeError as exc:
    print(type(exc).__name__, exc, exc.__cause__)
"""


def test_a_broken_sdk_fails_the_load_with_its_own_error_not_as_a_missing_extra():
    """`except ImportError` is how callers test for an absent extra: a broken SDK must not pass."""
    proc = run_python(KIND_CHECK.format(blocker=BLOCK_BROKEN))
    assert proc.stdout.strip() == "RuntimeError kavri.langgraph is broken None", proc.stderr


@pytest.mark.parametrize("module", ["approval", "connect", "langgraph", "temporal", "payload_forge", "redaction"])
def test_every_module_load_error_keeps_its_kind(module):
    """A failure inside the module body (here: logging.getLogger broken, which every module
    but redaction calls at load; redaction compiles with re) reaches the importer as itself,
    not as ImportError("Encountered an error while initializing the extension.")."""
    victim = "import re; re.compile = None" if module == "redaction" else "import logging; logging.getLogger = None"
    code = f"""
import sys
import kavri_cloud.exceptions, kavri_cloud.client
{victim}
try:
    import kavri_cloud.{module}
except ImportError as exc:
    print("ImportError")
except Exception as exc:
    print(type(exc).__name__)
else:
    print("loaded")
"""
    proc = run_python(code)
    assert proc.stdout.strip() == "TypeError", proc.stderr
