"""Ed25519 signing and public keys.

A `SigningKey` holds the 32-byte Ed25519 seed; a `PublicKey` the 32 raw bytes
of the public point. All malformed input is reported as `ValueError`, so
callers that try several encodings in turn need to catch only that.
"""

from __future__ import annotations


from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.ed25519 import (
    Ed25519PrivateKey,
    Ed25519PublicKey,
)

KEY_LENGTH = 32
SIGNATURE_LENGTH = 64

BytesLike = bytes | bytearray | memoryview

_RAW = serialization.Encoding.Raw


def _require_bytes(value: object, what: str, length: int) -> bytes:
    if not isinstance(value, (bytes, bytearray, memoryview)):
        raise ValueError(f"{what} must be bytes, not {type(value).__name__}")
    data = bytes(value)
    if len(data) != length:
        raise ValueError(f"{what} must be {length} bytes, got {len(data)}")
    return data


def _decode_hex(text: object, what: str) -> bytes:
    if not isinstance(text, str):
        raise ValueError(f"{what} must be hexadecimal text, not {type(text).__name__}")
    try:
        return bytes.fromhex(text.strip())
    except ValueError as exc:
        raise ValueError(f"{what} is not valid hexadecimal: {exc}") from None


class PublicKey:
    """An Ed25519 public key, compared and hashed by its raw bytes."""

    __slots__ = ("_key", "_raw")

    def __init__(self, key: Ed25519PublicKey) -> None:
        self._key = key
        self._raw = key.public_bytes(_RAW, serialization.PublicFormat.Raw)

    @classmethod
    def from_bytes(cls, data: BytesLike) -> PublicKey:
        """Build a key from its 32 raw bytes; `ValueError` for anything else."""
        raw = _require_bytes(data, "public key", KEY_LENGTH)
        return cls(Ed25519PublicKey.from_public_bytes(raw))

    @classmethod
    def from_hex(cls, text: str) -> PublicKey:
        """Build a key from 64 hexadecimal digits."""
        return cls.from_bytes(_decode_hex(text, "public key"))

    def to_bytes(self) -> bytes:
        """The 32 raw key bytes."""
        return self._raw

    def __bytes__(self) -> bytes:
        return self._raw

    def hex(self) -> str:
        """The raw key bytes as lower-case hexadecimal."""
        return self._raw.hex()

    def verify(self, signature: BytesLike, message: BytesLike) -> None:
        """Check an Ed25519 signature over `message`.

        Raises:
            ValueError: "invalid signature" when it does not verify, including
                when `signature` is not 64 bytes.
        """
        if not isinstance(signature, (bytes, bytearray, memoryview)) or not isinstance(
            message, (bytes, bytearray, memoryview)
        ):
            raise ValueError("invalid signature")
        try:
            self._key.verify(bytes(signature), bytes(message))
        except InvalidSignature:
            raise ValueError("invalid signature") from None

    def __eq__(self, other: object) -> bool:
        if isinstance(other, PublicKey):
            return self._raw == other._raw
        return NotImplemented

    def __hash__(self) -> int:
        return hash((PublicKey, self._raw))

    def __repr__(self) -> str:
        return f"PublicKey('{self.hex()}')"


class SigningKey:
    """An Ed25519 signing key. Its repr shows only the public half."""

    __slots__ = ("_key", "_public")

    def __init__(self, key: Ed25519PrivateKey) -> None:
        self._key = key
        self._public = PublicKey(key.public_key())

    @classmethod
    def generate(cls) -> SigningKey:
        """A fresh random key."""
        return cls(Ed25519PrivateKey.generate())

    @classmethod
    def from_bytes(cls, data: BytesLike) -> SigningKey:
        """Build a key from its 32-byte seed; `ValueError` for anything else."""
        seed = _require_bytes(data, "signing key seed", KEY_LENGTH)
        return cls(Ed25519PrivateKey.from_private_bytes(seed))

    @classmethod
    def from_hex(cls, text: str) -> SigningKey:
        """Build a key from the 64 hexadecimal digits of its seed."""
        return cls.from_bytes(_decode_hex(text, "signing key"))

    @property
    def public_key(self) -> PublicKey:
        """The matching public key."""
        return self._public

    def to_bytes(self) -> bytes:
        """The 32-byte seed. Treat it as a secret."""
        return self._key.private_bytes(_RAW, serialization.PrivateFormat.Raw, serialization.NoEncryption())

    def sign(self, message: BytesLike) -> bytes:
        """The 64-byte Ed25519 signature of `message`."""
        if not isinstance(message, (bytes, bytearray, memoryview)):
            raise TypeError(f"message must be bytes, not {type(message).__name__}")
        return self._key.sign(bytes(message))

    def __eq__(self, other: object) -> bool:
        # Equal seeds give equal public keys and vice versa, so the public
        # half is enough and keeps the seed out of comparisons.
        if isinstance(other, SigningKey):
            return self._public == other._public
        return NotImplemented

    def __hash__(self) -> int:
        return hash((SigningKey, self._public.to_bytes()))

    def __repr__(self) -> str:
        return f"SigningKey(public_key='{self._public.hex()}')"


def public_key_bytes(value: object) -> bytes:
    """Raw bytes of a key given as `PublicKey`, `SigningKey`, bytes or hex text."""
    if isinstance(value, PublicKey):
        return value.to_bytes()
    if isinstance(value, SigningKey):
        return value.public_key.to_bytes()
    if isinstance(value, str):
        return _require_bytes(_decode_hex(value, "public key"), "public key", KEY_LENGTH)
    return _require_bytes(value, "public key", KEY_LENGTH)


__all__ = ["KEY_LENGTH", "SIGNATURE_LENGTH", "PublicKey", "SigningKey", "public_key_bytes"]
