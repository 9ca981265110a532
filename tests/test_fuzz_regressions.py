"""Inputs the fuzz targets (fuzz/) turned up, kept so the faults they found stay fixed."""

from __future__ import annotations

import base64
import subprocess
import sys
import textwrap

import pytest

from kavri_cloud import approval
from kavri_cloud.exceptions import KavriCloudError

NO_RESPONSES = "approved request has no approval responses"

# ---------------------------------------------------------------------------
# redact on a thread with a small stack (fuzz_redaction, deep nests)
#
# The walk's stack guard was off on stacks of 512 KiB or less, so a nest that the
# recursion limit allows overflowed the C stack: 1000 levels of dicts crashed a
# thread of 256 KiB (a plain-Python walk needs no C stack per level and survives).


@pytest.mark.parametrize("stack_kib", [32, 128, 256, 516])
def test_deep_nest_on_a_small_thread_stack_ends_in_recursion_error(stack_kib, tmp_path):
    # Run apart, so that an overflow fails this test instead of ending the run.
    script = textwrap.dedent(
        """
        import sys, threading
        from kavri_cloud.redaction import redact
        stack = int(sys.argv[1]) * 1024
        for limit in (sys.getrecursionlimit(), 1_000_000):
            sys.setrecursionlimit(limit)
            for make in (lambda v: [v], lambda v: (v,), lambda v: {"k": v}):
                for depth in (990, 5000, 200_000):
                    value = "x"
                    for _ in range(depth):
                        value = make(value)
                    def walk():
                        try:
                            redact(value)
                            print("ok", flush=True)
                        except RecursionError:
                            print("RecursionError", flush=True)
                    threading.stack_size(stack)
                    thread = threading.Thread(target=walk)
                    thread.start()
                    thread.join()
        """
    )
    done = subprocess.run([sys.executable, "-c", script, str(stack_kib)], capture_output=True, text=True,
                          timeout=100, cwd=tmp_path)
    assert done.returncode == 0, f"exit status {done.returncode}: {done.stderr[-2000:]}"
    results = done.stdout.split()
    assert len(results) == 18 and set(results) <= {"ok", "RecursionError"}
    # Nests far beyond any stack end in the error under either limit.
    assert all(result == "RecursionError" for result in results[2::3])


# ---------------------------------------------------------------------------
# "responses" shapes that are not a list of objects (fuzz_approvals)
#
# A "responses" value that cannot be iterated, and entries that are lists, tuples or
# bytes, raised TypeError out of both extractions: an error kind neither documents.

VALID = base64.b64encode(b"not a real approval").decode()

JUNK_RESPONSES = [
    pytest.param(5, id="int"),
    pytest.param(1.5, id="float"),
    pytest.param(True, id="true"),
    pytest.param([["signed_approval", VALID]], id="list-entry"),
    pytest.param([("signed_approval",)], id="tuple-entry"),
    pytest.param([b"signed_approval"], id="bytes-entry"),
    pytest.param([bytearray(b"x"), "text", 3, None], id="mixed-entries"),
]


@pytest.mark.parametrize("responses", JUNK_RESPONSES)
def test_responses_without_approval_objects_read_as_no_responses(responses):
    record = {"status": "approved", "responses": responses}
    with pytest.raises(KavriCloudError) as caught:
        approval._extract_signed_approvals(record)
    assert type(caught.value) is KavriCloudError and str(caught.value) == NO_RESPONSES
    assert approval.TemporalCloudApprovalHandler._extract_approval(record) is None


def test_entries_that_are_not_objects_do_not_hide_the_ones_that_are(signed_approval_bytes):
    from kavri_core import SignedApproval

    text = base64.b64encode(signed_approval_bytes).decode()
    record = {"responses": [["signed_approval", text], ("x",), b"y", {"signed_approval": text}]}
    expected = SignedApproval.from_bytes(signed_approval_bytes)
    assert approval._extract_signed_approvals(record) == expected
    assert approval.TemporalCloudApprovalHandler._extract_approval(record) == expected


@pytest.fixture
def signed_approval_bytes():
    from kavri_core import SignedApproval, SigningKey

    return SignedApproval.create(SigningKey.generate(), b"\x01" * 32, approved_at=1_700_000_000).to_bytes()
