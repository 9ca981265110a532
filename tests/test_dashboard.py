"""Who may use the approvals dashboard, over real HTTP to the local Kavri Cloud."""

from __future__ import annotations

import re
from collections.abc import Iterator
from contextlib import contextmanager
from urllib.parse import parse_qs, urlsplit

import httpx
import pytest

from kavri_cloud.client import KavriCloudClient
from kavri_cloud.local import create_app
from kavri_cloud.local.dashboard import SESSION_COOKIE, login_token, login_url, request_url
from tests.local_fixture import attested_request


@pytest.fixture
def pending(local_cloud):
    with KavriCloudClient(local_cloud.admin_key, base_url=local_cloud.url) as client:
        return client.create_request(**attested_request())["id"]


def browser(cloud) -> httpx.Client:
    return httpx.Client(base_url=cloud.url, follow_redirects=False, timeout=10.0)


@contextmanager
def logged_in(cloud) -> Iterator[httpx.Client]:
    with browser(cloud) as session:
        answer = session.get(login_url(cloud.url, cloud.admin_key))
        assert answer.status_code == 303 and SESSION_COOKIE in session.cookies
        yield session


def csrf_of(page: str) -> str:
    match = re.search(r'name="csrf" value="([^"]+)"', page)
    assert match, "the page has no form token"
    return match.group(1)


@pytest.mark.parametrize(
    ("method", "path", "status"),
    [
        ("GET", "/approvals", 303),
        ("GET", "/approvals?request={id}", 303),
        ("POST", "/approvals/requests/{id}/approve", 303),
        ("GET", "/approvals/api/requests", 401),
        ("GET", "/approvals/api/requests/{id}", 401),
    ],
)
def test_without_a_session_nothing_is_shown_or_decided(local_cloud, pending, method, path, status):
    with browser(local_cloud) as session:
        answer = session.request(method, path.format(id=pending), data={"approver": "alice"})
    assert answer.status_code == status
    if status == 303:
        assert answer.headers["location"].startswith("/approvals/login?next=")
    assert local_cloud.store.get_request(pending, encoding="base64")["responses"] == []


def test_a_login_link_works_once(local_cloud):
    link = login_url(local_cloud.url, local_cloud.admin_key, next="/approvals?request=apr_x")
    with browser(local_cloud) as first, browser(local_cloud) as second:
        answer = first.get(link)
        assert answer.status_code == 303 and answer.headers["location"] == "/approvals?request=apr_x"
        cookie = answer.headers["set-cookie"].lower()
        assert "httponly" in cookie and "samesite=strict" in cookie and "path=/approvals" in cookie
        assert first.get("/approvals").status_code == 200
        assert second.get(link).status_code == 401
        assert SESSION_COOKIE not in second.cookies


@pytest.mark.parametrize(
    "token",
    [
        pytest.param(lambda key: login_token("tc_admin_someone-elses-key"), id="signed-with-another-key"),
        pytest.param(lambda key: login_token(key, ttl=-1), id="expired"),
        pytest.param(lambda key: login_token(key)[:-2] + "AA", id="tampered"),
        pytest.param(lambda key: "garbage", id="garbage"),
    ],
)
def test_a_bad_login_token_is_refused(local_cloud, token):
    with browser(local_cloud) as session:
        answer = session.get("/approvals/login", params={"token": token(local_cloud.admin_key)})
        assert answer.status_code == 401
        assert session.get("/approvals").status_code == 303


def test_the_admin_key_form_logs_in_and_a_forged_cookie_does_not(local_cloud):
    with browser(local_cloud) as session:
        assert session.post("/approvals/login", data={"key": local_cloud.runtime_key}).status_code == 401
        answer = session.post("/approvals/login", data={"key": local_cloud.admin_key, "next": "/approvals"})
        assert answer.status_code == 303
        assert session.get("/approvals").status_code == 200
        issued, nonce, _ = session.cookies[SESSION_COOKIE].split(".")
        session.cookies.clear()
        session.cookies.set(SESSION_COOKIE, f"{issued}.{nonce}.forged", domain="127.0.0.1", path="/approvals")
        assert session.get("/approvals").status_code == 303


@pytest.mark.parametrize(
    ("next_path", "landing"),
    [
        ("/approvals?request=apr_1", "/approvals?request=apr_1"),
        ("//evil.example/approvals", "/approvals"),
        ("https://evil.example/approvals", "/approvals"),
        ("/approvals//evil.example", "/approvals"),
        ("/approvalsx", "/approvals"),
        ("/v1/tenant", "/approvals"),
    ],
)
def test_login_never_redirects_off_the_dashboard(local_cloud, next_path, landing):
    with browser(local_cloud) as session:
        answer = session.get(login_url(local_cloud.url, local_cloud.admin_key, next=next_path))
    assert answer.headers["location"] == landing


@pytest.mark.parametrize("token", [None, "not-the-token"])
def test_a_decision_needs_the_pages_form_token(local_cloud, pending, token):
    with logged_in(local_cloud) as session:
        form = {"approver": "alice"} if token is None else {"approver": "alice", "csrf": token}
        answer = session.post(f"/approvals/requests/{pending}/approve", data=form)
    assert answer.status_code == 403
    assert local_cloud.store.get_request(pending, encoding="base64")["status"] == "pending"


def test_form_posts_decide_as_the_named_approver(local_cloud, pending):
    with logged_in(local_cloud) as session:
        page = session.get(urlsplit(request_url(local_cloud.url, pending)).path, params={"request": pending})
        assert page.headers["content-security-policy"].startswith("default-src 'none'")
        token = csrf_of(page.text)
        answer = session.post(
            f"/approvals/requests/{pending}/deny", data={"approver": "bob", "reason": "  wrong team  ", "csrf": token}
        )
        assert answer.status_code == 303
        again = session.post(f"/approvals/requests/{pending}/approve", data={"approver": "alice", "csrf": token})
        assert again.status_code == 409 and "already denied" in again.text
    record = local_cloud.store.get_request(pending, encoding="base64")
    assert (record["status"], record["denied_reason"]) == ("denied", "wrong team")
    assert [(r["approver"], r["decision"]) for r in record["responses"]] == [("bob", "denied")]


def test_the_live_endpoint_tells_when_the_request_changed(local_cloud, pending):
    with logged_in(local_cloud) as session:
        before = session.get(f"/approvals/api/requests/{pending}").json()
        assert session.get(f"/approvals/api/requests/{pending}").json()["version"] == before["version"]
        local_cloud.approve(pending, approver="carol")
        after = session.get(f"/approvals/api/requests/{pending}").json()
        assert (before["final"], after["final"], after["status"]) == (False, True, "approved")
        assert after["version"] != before["version"] and "carol" in after["html"]
        assert session.get("/approvals/api/requests/apr_missing").status_code == 404


def test_fault_injection_leaves_the_dashboard_alone(local_cloud, pending):
    local_cloud.set_faults(http_500_rate=1.0)
    with logged_in(local_cloud) as session:
        assert session.get("/approvals/api/requests").status_code == 200
        assert session.get(f"/approvals?request={pending}").status_code == 200


@pytest.mark.parametrize("client", [("192.0.2.7", 50000), ("testclient", 50000)])
def test_only_loopback_clients_reach_the_dashboard(tmp_path, client):
    # The starlette test client sets the peer address, which no socket on this machine can fake.
    from starlette.testclient import TestClient

    app = create_app(tmp_path / "cloud")
    admin = app.state.service.admin_key
    with TestClient(app, base_url="http://127.0.0.1", client=client, follow_redirects=False) as remote:
        link = urlsplit(login_url("http://127.0.0.1", admin))
        assert remote.get(f"{link.path}?{link.query}").status_code == 403
        assert remote.post("/approvals/login", data={"key": admin}).status_code == 403
        assert remote.get("/approvals/api/requests").status_code == 403
        assert remote.get("/v1/health").status_code == 200
    app.state.store.close()
    assert parse_qs(link.query)["next"] == ["/approvals"]
