import pytest

from kavri_core import SigningKey, compute_request_hash


@pytest.fixture
def holder():
    return SigningKey.generate()


@pytest.fixture
def approvers():
    return [SigningKey.generate() for _ in range(3)]


@pytest.fixture
def request_hash(holder):
    return compute_request_hash("w-1", "transfer", {"amount": 10, "to": "acct-9"}, holder.public_key)
