#!/usr/bin/env python3
"""Generator of the fixed known answers in tests/protocol/KnownAnswerTest.cpp.

Computes, with Python's `cryptography` package and nothing of ours, the bytes
the wire format defines for fixed inputs: the session keys of an X25519
exchange, a sealed frame, a pairing acknowledgement, a pairing code and a
fingerprint. It was run once (python3 generate.py, cryptography 48) and its
output pasted into the test; the tests do not run it.
"""
import hashlib
import struct

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from cryptography.hazmat.primitives.asymmetric.x25519 import X25519PrivateKey
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

RAW = dict(encoding=serialization.Encoding.Raw, format=serialization.PublicFormat.Raw)


def hx(b):
    return b.hex()


def show(name, b):
    print(f"{name} = {hx(b)}")


# ---- Session keys: desktop ephemeral X25519 key, phone ephemeral key, hello nonce.
desk_eph = bytes(range(0x10, 0x30))
phone_eph = bytes(range(0x40, 0x60))
hello_nonce = bytes(range(0xA0, 0xB0))
ours = X25519PrivateKey.from_private_bytes(desk_eph)
peer = X25519PrivateKey.from_private_bytes(phone_eph)
shared = ours.exchange(peer.public_key())
okm = HKDF(algorithm=hashes.SHA256(), length=64, salt=hello_nonce,
           info=b"sorvane/v1/session").derive(shared)
show("desktop_ephemeral_private", desk_eph)
show("phone_ephemeral_private", phone_eph)
show("phone_ephemeral_public", peer.public_key().public_bytes(**RAW))
show("desktop_ephemeral_public", ours.public_key().public_bytes(**RAW))
show("hello_nonce", hello_nonce)
show("keyA", okm[:32])
show("keyB", okm[32:])

# ---- A sealed frame: key, nonce prefix, counter, AAD for desktop-to-phone frame 0x0102.
key = bytes(range(0x80, 0xA0))
nonce_random = bytes.fromhex("0102030405060708")
counter = 7
aad = bytes.fromhex("6e70c001") + bytes.fromhex("6e70c005") + struct.pack("<H", 0x0102)
# A clipboardText message is the caller's business; any plaintext will do here.
plaintext = b"\x01known answer"
nonce = struct.pack("<I", counter) + nonce_random
sealed = AESGCM(key).encrypt(nonce, plaintext, aad)
show("seal_key", key)
show("seal_aad", aad)
show("seal_plaintext", plaintext)
show("sealed_frame_counter7", nonce + sealed)

# ---- Pairing ack from a fixed identity seed, the desktop's ephemeral key and the nonce.
identity_seed = bytes(range(0x20, 0x40))
identity = Ed25519PrivateKey.from_private_bytes(identity_seed)
identity_pub = identity.public_key().public_bytes(**RAW)
body = b"SORV" + b"\x01\x00" + b"\x02" + ours.public_key().public_bytes(**RAW) + hello_nonce
ack = body + identity.sign(body)
show("identity_seed", identity_seed)
show("identity_public", identity_pub)
show("pairing_ack", ack)

# ---- Pairing code at a fixed Unix time, and the fingerprint of the identity key.
unix_time = 1_800_000_123
window = unix_time // 60
digest = hashlib.sha256(identity_pub + struct.pack(">Q", window)).digest()
code = struct.unpack(">I", digest[:4])[0] % 1_000_000
print(f"pairing_code_at_{unix_time} = {code:06d}")
fp = hashlib.sha256(identity_pub).digest()[:8].hex()
print("fingerprint =", " ".join(fp[i:i + 4] for i in range(0, 16, 4)))
