import asyncio
import logging
import threading

from kavri.control_plane import ControlPlaneClient
from kavri.decorators import bind_key, key_scope
from kavri_core import SigningKey, canonical_cbor


def test_bound_key_nests_and_is_private_to_each_thread_and_task(holder):
    inner = SigningKey.generate()
    seen = {}
    assert key_scope() is None
    with bind_key(holder):
        with bind_key(inner):
            assert key_scope() is inner
        assert key_scope() is holder
        worker = threading.Thread(target=lambda: seen.setdefault("thread", key_scope()))
        worker.start()
        worker.join()

        async def main():
            async def other():
                with bind_key(inner):
                    await asyncio.sleep(0)
                    return key_scope()

            task = asyncio.create_task(other())
            await asyncio.sleep(0)
            seen["main"] = key_scope()  # the task's binding does not leak back
            seen["task"] = await task

        asyncio.run(main())
    assert key_scope() is None
    assert seen == {"thread": None, "main": holder, "task": inner}


class _Sink:
    def __init__(self, fail=False):
        self.fail, self.receipts = fail, []

    def emit(self, receipt):
        if self.fail:
            raise ConnectionError("sink down")
        self.receipts.append(receipt)


def test_receipts_are_signed_and_survive_a_failing_sink(holder, caplog):
    sink = _Sink()
    client = ControlPlaneClient(
        url="http://127.0.0.1:1",
        api_key="secret-key",
        authorizer_name="w",
        signing_key=holder,
        receipt_sink=sink,
    )
    receipt = client.emit_receipt("transfer", "allow", warrant_id="w-1")
    assert sink.receipts == [receipt]
    assert (receipt["authorizer"], receipt["details"]) == ("w", {"warrant_id": "w-1"})
    body = {k: v for k, v in receipt.items() if k != "signature"}
    holder.public_key.verify(bytes.fromhex(receipt["signature"]), canonical_cbor(body))

    client.receipt_sink = _Sink(fail=True)
    with caplog.at_level(logging.WARNING, logger="kavri.control_plane"):
        client.emit_receipt("transfer", "deny")
    assert "sink down" in caplog.text
    assert "secret-key" not in repr(client)
