"""The Kavri Cloud receipt sink, against a real loopback server."""

from __future__ import annotations

import logging

import pytest

from kavri_cloud.client import KavriCloudClient
from kavri_cloud.providers import CloudReceiptSink
from tests.httpserver import http_server, refused_url  # noqa: F401  (fixtures)

RECEIPT = {"receipt_id": "rc-1", "tool": "send_email", "decision": "allow"}


def test_emit_posts_receipt(http_server):
    http_server.add(201, json={"id": "rc-1"}, method="POST", path="/v1/receipts")
    with KavriCloudClient("k", http_server.url) as client:
        sink = CloudReceiptSink(client)
        assert sink.emit(RECEIPT) is None
        sink(RECEIPT)  # the SDK calls the sink directly
    assert [r.json() for r in http_server.requests] == [RECEIPT, RECEIPT]
    assert http_server.requests[0].headers["authorization"] == "Bearer k"


@pytest.mark.parametrize(
    "script",
    [
        {"status": 500, "json": {"message": "db down"}},
        {"status": 401, "json": {"message": "bad key"}},
        {"drop": True},
        {"status": 200, "body": b"not json"},
    ],
)
def test_delivery_failure_is_logged_not_raised(http_server, caplog, script):
    http_server.add(**script)
    with KavriCloudClient("k", http_server.url) as client, caplog.at_level(logging.WARNING):
        CloudReceiptSink(client)(RECEIPT)
    [record] = [r for r in caplog.records if r.name == "kavri_cloud.providers"]
    assert record.levelno == logging.WARNING
    assert record.getMessage().startswith("could not submit receipt to Kavri Cloud: ")


def test_unreachable_service_is_logged_not_raised(refused_url, caplog):
    with KavriCloudClient("k", refused_url) as client, caplog.at_level(logging.WARNING):
        CloudReceiptSink(client).emit(RECEIPT)
    assert "could not reach Kavri Cloud" in caplog.text
