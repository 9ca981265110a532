import pytest

from kavri_core import PublicKey, SigningKey


def test_signing_key_round_trips_through_bytes_and_hex(holder):
    seed = holder.to_bytes()
    assert SigningKey.from_bytes(seed).public_key == holder.public_key
    assert SigningKey.from_hex(" " + seed.hex().upper() + "\n").to_bytes() == seed
    assert PublicKey.from_bytes(bytes(holder.public_key)) == holder.public_key
    assert PublicKey.from_hex(holder.public_key.hex()).to_bytes() == holder.public_key.to_bytes()
    assert len({holder.public_key, PublicKey.from_bytes(holder.public_key.to_bytes())}) == 1


@pytest.mark.parametrize(
    "build, data, message",
    [
        (SigningKey.from_bytes, b"\x01" * 31, "must be 32 bytes, got 31"),
        (SigningKey.from_bytes, "00" * 32, "must be bytes, not str"),
        (SigningKey.from_hex, "zz" * 32, "not valid hexadecimal"),
        (SigningKey.from_hex, "abc", "not valid hexadecimal"),
        (SigningKey.from_hex, "00" * 33, "must be 32 bytes, got 33"),
        (SigningKey.from_hex, b"00" * 32, "must be hexadecimal text"),
        (PublicKey.from_bytes, b"\x01" * 33, "must be 32 bytes, got 33"),
        (PublicKey.from_bytes, None, "must be bytes, not NoneType"),
    ],
)
def test_malformed_key_material_is_a_value_error(build, data, message):
    with pytest.raises(ValueError, match=message):
        build(data)


def test_signature_verifies_only_for_its_message_and_key(holder):
    signature = holder.sign(b"message")
    assert len(signature) == 64
    holder.public_key.verify(signature, b"message")
    tampered = bytes([signature[0] ^ 1]) + signature[1:]
    for key, sig, msg in [
        (holder.public_key, signature, b"messagf"),
        (holder.public_key, tampered, b"message"),
        (holder.public_key, signature[:63], b"message"),
        (SigningKey.generate().public_key, signature, b"message"),
    ]:
        with pytest.raises(ValueError, match="^invalid signature$"):
            key.verify(sig, msg)


def test_signing_key_repr_never_shows_the_seed(holder):
    text = repr(holder)
    assert holder.to_bytes().hex() not in text
    assert holder.public_key.hex() in text
