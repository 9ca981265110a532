"""The approvals dashboard in a real browser: Debian's Chromium, headless, driven
by Playwright, against the real local Kavri Cloud and real waiting handlers."""

from __future__ import annotations

import asyncio
import json
import logging
import os
import re
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import kavri_core
import pytest
from kavri.approval import ApprovalDenied

from kavri_cloud import approval
from kavri_cloud.client import KavriCloudClient
from kavri_cloud.local.dashboard import SESSION_COOKIE, login_url, request_url
from tests.e2e.approval_helpers import gate_for

pytestmark = pytest.mark.e2e

CHROMIUM = "/usr/bin/chromium"
OUTPUT = Path(__file__).resolve().parents[2] / "test-output"
ARGS = {"to": "ops@example.com", "subject": "Q3 numbers", "body": "Numbers attached."}

sync_api = pytest.importorskip("playwright.sync_api", reason="playwright is installed by ./dev (requirements/browser.txt)")
if not os.access(CHROMIUM, os.X_OK):
    pytest.skip(f"{CHROMIUM} is missing: apt-get install -y chromium", allow_module_level=True)


@pytest.fixture(scope="module")
def browser() -> Iterator[Any]:
    with sync_api.sync_playwright() as playwright:
        browser = playwright.chromium.launch(executable_path=CHROMIUM, headless=True)
        yield browser
        browser.close()


@pytest.fixture
def page(browser: Any, local_cloud: Any) -> Iterator[Any]:
    context = browser.new_context(viewport={"width": 1280, "height": 900})
    page = context.new_page()
    page.set_default_timeout(15_000)
    dialogs: list[str] = []
    page.on("dialog", lambda dialog: (dialogs.append(dialog.message), dialog.dismiss()))
    page.goto(login_url(local_cloud.url, local_cloud.admin_key))
    yield page
    context.close()
    assert dialogs == [], "a script from request data ran in the page"


class Waiting(threading.Thread):
    """Runs one approval handler call the way an agent would, and keeps its outcome."""

    def __init__(self, call: Callable[[], Any]) -> None:
        super().__init__(daemon=True)
        self.call = call
        self.result: Any = None
        self.error: BaseException | None = None

    def run(self) -> None:
        try:
            self.result = self.call()
        except BaseException as exc:  # handed to the test
            self.error = exc

    def outcome(self) -> Any:
        self.join(30)
        assert not self.is_alive(), "the handler is still waiting"
        if self.error is not None:
            raise self.error
        return self.result


class LinkCatcher(logging.Handler):
    """Keeps the dashboard links the LangGraph handler logs."""

    def __init__(self) -> None:
        super().__init__()
        self.links: list[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        match = re.search(r"(http://\S+/approvals\?request=\S+)$", record.getMessage())
        if match:
            self.links.append(match.group(1))


def start_blocking(cloud: Any, request: Any) -> tuple[Waiting, str]:
    handler = approval.cloud_approval(cloud.runtime_key, base_url=cloud.url, poll_interval=0.05, timeout=30.0)
    waiting = Waiting(lambda: handler(request))
    waiting.start()
    with KavriCloudClient(cloud.admin_key, base_url=cloud.url) as client:
        deadline = time.monotonic() + 10
        while not (pending := client.list_requests(status="pending")):
            assert time.monotonic() < deadline, "the handler created no request"
            time.sleep(0.02)
    return waiting, request_url(cloud.url, pending[0]["id"])


def start_langgraph(cloud: Any, request: Any) -> tuple[Waiting, str]:
    from kavri_cloud.langgraph import langgraph_cloud_approval

    handler = langgraph_cloud_approval(
        cloud.runtime_key, base_url=cloud.url, dashboard_url=cloud.url + "/", poll_interval=0.05, timeout=30.0
    )
    catcher = LinkCatcher()
    logger = logging.getLogger("kavri_cloud.langgraph")
    previous = logger.level
    logger.addHandler(catcher)
    logger.setLevel(logging.INFO)
    try:
        waiting = Waiting(lambda: asyncio.run(handler(request)))
        waiting.start()
        deadline = time.monotonic() + 10
        while not catcher.links:
            assert time.monotonic() < deadline, "the handler logged no dashboard link"
            time.sleep(0.02)
    finally:
        logger.removeHandler(catcher)
        logger.setLevel(previous)
    return waiting, catcher.links[0]


STARTS = [pytest.param(start_blocking, id="blocking"), pytest.param(start_langgraph, id="langgraph")]


@pytest.mark.parametrize("start", STARTS)
def test_the_linked_page_shows_the_request_and_approve_releases_the_waiting_handler(local_cloud, page, start):
    gate = gate_for(local_cloud)
    request = gate.request_for("send_email", ARGS)
    waiting, link = start(local_cloud, request)

    page.goto(link)
    assert page.inner_text("h1 .tool") == "send_email"
    assert page.inner_text("#status") == "PENDING"
    assert '"subject": "Q3 numbers"' in page.inner_text("#arguments")
    assert request.holder_key.hex() in page.inner_text("dl.facts")
    page.click("text=Approve as alice")

    result = waiting.outcome()
    assert isinstance(result, kavri_core.SignedApproval)
    assert gate.verify(result, request) == [result]
    page.wait_for_selector("#status >> text=APPROVED")


def test_deny_with_a_reason_reaches_the_sdk_as_approval_denied(local_cloud, page):
    request = gate_for(local_cloud, approvers=2).request_for("send_email", ARGS)
    waiting, link = start_blocking(local_cloud, request)
    page.goto(link)
    approver = page.locator('[data-approver="bob"]')
    approver.locator("input[name=reason]").fill("not before the board meeting")
    OUTPUT.mkdir(exist_ok=True)
    page.screenshot(path=str(OUTPUT / "dashboard-request.png"), full_page=True)
    approver.locator("button.deny").click()

    with pytest.raises(ApprovalDenied) as denied:
        waiting.outcome()
    assert denied.value.reason == "not before the board meeting"
    assert denied.value.request is request
    page.wait_for_selector("#outcome >> text=Denied: not before the board meeting")
    # carol is not among this warrant's approvers, so she never got the buttons
    assert page.locator('[data-approver="carol"]').count() == 0


def test_the_pages_follow_the_service_without_a_reload(local_cloud, page):
    page.goto(local_cloud.url + "/approvals")
    page.evaluate("window.__sameDocument = true")
    assert "No pending requests" in page.inner_text("#live")

    gate = gate_for(local_cloud, approvers=2, min_approvals=2, ttl_seconds=600)
    request = gate.request_for("wire_money", {"amount": 1200})
    waiting, link = start_blocking(local_cloud, request)
    page.wait_for_selector("#live a.tool >> text=wire_money")

    page.goto(link)
    page.evaluate("window.__sameDocument = true")
    page.locator('[data-approver="bob"] input[name=reason]').fill("half-typed")
    assert re.fullmatch(r"\d+ min \d\d s", page.inner_text("#ttl"))
    local_cloud.approve(waiting_request_id(link), approver="alice")
    page.wait_for_selector("#threshold >> text=1 of 2 approvals")
    assert page.evaluate("window.__sameDocument") is True
    assert page.locator('[data-approver="bob"] input[name=reason]').input_value() == "half-typed"
    local_cloud.approve(waiting_request_id(link), approver="bob")
    assert len(waiting.outcome()) == 2
    page.wait_for_selector("#status >> text=APPROVED")
    assert page.evaluate("window.__sameDocument") is True


def waiting_request_id(link: str) -> str:
    return link.rsplit("=", 1)[1]


HOSTILE = '<img src=x onerror="alert(document.cookie)"><script>alert(1)</script>'


def test_hostile_tool_names_and_arguments_render_as_text(local_cloud, page):
    gate = gate_for(local_cloud, tool=HOSTILE)
    request = gate.request_for(HOSTILE, {"note": HOSTILE, "</pre><script>alert(2)</script>": 1})
    waiting, link = start_blocking(local_cloud, request)
    page.goto(link)
    assert page.inner_text("h1 .tool") == HOSTILE
    assert json.dumps(HOSTILE) in page.inner_text("#arguments")
    assert '"</pre><script>alert(2)</script>": 1' in page.inner_text("#arguments")
    assert page.locator("main img, main script").count() == 0
    page.goto(local_cloud.url + "/approvals")
    assert page.inner_text("#live a.tool") == HOSTILE
    local_cloud.deny(waiting_request_id(link), "cleanup")
    with pytest.raises(ApprovalDenied):
        waiting.outcome()


def test_a_logged_out_link_asks_for_the_admin_key_and_comes_back(local_cloud, browser):
    request = gate_for(local_cloud).request_for("send_email", ARGS)
    waiting, link = start_blocking(local_cloud, request)
    context = browser.new_context()
    try:
        page = context.new_page()
        page.goto(link)
        assert "/approvals/login" in page.url
        page.fill("#key", "tc_admin_wrong-key-000000")
        page.click("button.primary")
        assert "not this service's admin API key" in page.inner_text("main")
        page.fill("#key", local_cloud.admin_key)
        page.click("button.primary")
        assert page.url == link
        page.click("text=Approve as alice")
        assert isinstance(waiting.outcome(), kavri_core.SignedApproval)
    finally:
        context.close()


@pytest.mark.timeout(120)
def test_the_demo_waits_for_a_click_on_the_link_it_prints(browser):
    demo = subprocess.Popen(
        [sys.executable, "-m", "kavri_cloud.demo"], cwd=Path(__file__).resolve().parents[2],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, text=True,
    )
    lines: list[str] = []
    try:
        assert demo.stdout is not None
        for line in demo.stdout:
            lines.append(line)
            if "open in a browser" in line:
                break
        assert lines and "open in a browser" in lines[-1], "".join(lines)
        link = lines[-1].rsplit(": ", 1)[1].strip()
        context = browser.new_context()
        page = context.new_page()
        page.goto(link)
        assert page.inner_text("h1 .tool") == "send_email"
        page.click("text=Approve as bob")
        page.wait_for_selector("#status >> text=APPROVED")
        context.close()
        rest, _ = demo.communicate(timeout=60)
    finally:
        if demo.poll() is None:
            demo.kill()
            demo.wait()
    output = "".join(lines) + rest
    assert demo.returncode == 0, output
    assert "signed approval verified by the SDK: approver bob" in output


def test_after_logout_a_copied_session_cookie_is_refused(local_cloud, page, browser):
    request = gate_for(local_cloud).request_for("send_email", ARGS)
    waiting, link = start_blocking(local_cloud, request)
    page.goto(link)
    [session] = [c for c in page.context.cookies() if c["name"] == SESSION_COOKIE]
    page.click("text=Log out")
    assert "/approvals/login" in page.url

    thief = browser.new_context()
    try:
        thief.add_cookies([session])
        stolen = thief.new_page()
        stolen.goto(link)
        assert "/approvals/login" in stolen.url  # the server ended the session, not only this browser
        assert stolen.request.get(local_cloud.url + "/approvals/api/requests").status == 401
    finally:
        thief.close()
    assert local_cloud.store.get_request(waiting_request_id(link), encoding="base64")["responses"] == []
    local_cloud.deny(waiting_request_id(link), "cleanup")
    with pytest.raises(ApprovalDenied):
        waiting.outcome()
