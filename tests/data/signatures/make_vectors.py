#!/usr/bin/env python3
"""Makes the signature test vectors in this folder with the openssl command
line, so that the launcher's builds (the Windows one under Wine, which
cannot start openssl) check the very same bytes. Run once; the output is
kept in the repository. Remaking it changes every key and signature.

Keys (test keys only, never trusted by a shipped launcher):
  p256.key/.pub      the index key; other.key/.pub a second P-256 key
  two_keys.pub       other.pub, a comment, p256.pub
  p256_compressed.pub, p256_explicit.pub, p256_off_curve.pub
                     the same key in encodings no build accepts, and a point
                     off the curve
  p384.*, rsa.*      keys of other kinds with valid signatures of message.bin
  p256_encrypted.key a key that needs a passphrase
Signatures of message.bin (holds a NUL and a trailing newline):
  message.sig        DER, by p256.key
  integer_sizes.hex  DER in hex, one per line, with integers of 31 or fewer,
                     32 and 33 bytes
Signed release indexes for product tests (archive release.bin in blocks of
64 bytes, blockhash list release.md5, in the container "signedfixture"):
  index-2.json       sequence 2, expires 2099; index-2.sig by p256.key,
                     index-2.rotation.sig: a line that is not Base64, a line
                     by other.key, a line by p256.key
  index-1.json       sequence 1 (older)
  index-3-expired.json, index-3-no-expiry.json
  index-4-wrong-list.json  a blockhash_sha256 that the list does not have
"""
import base64
import hashlib
import json
import os
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))


def openssl(*args, data=None):
    return subprocess.run(["openssl", *args], input=data, check=True, capture_output=True).stdout


def write(name, data, mode=0o644):
    path = os.path.join(HERE, name)
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())
    os.chmod(path, mode)


def read(name):
    with open(os.path.join(HERE, name), "rb") as f:
        return f.read()


def sign(key, data):
    return openssl("dgst", "-sha256", "-sign", os.path.join(HERE, key), data=data)


def pem_public_key(der):
    body = base64.b64encode(der).decode()
    return "-----BEGIN PUBLIC KEY-----\n" + "\n".join(body[i:i + 64] for i in range(0, len(body), 64)) + \
        "\n-----END PUBLIC KEY-----\n"


def p256_pair(name):
    write(f"{name}.key", openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256"), 0o600)
    write(f"{name}.pub", openssl("pkey", "-in", os.path.join(HERE, f"{name}.key"), "-pubout"))


def keys_and_messages():
    message = b"release index v1\nfile a.bin 1234\0after the NUL\n"
    write("message.bin", message)
    p256_pair("p256")
    p256_pair("other")
    write("two_keys.pub", read("other.pub") + b"# second release key\n" + read("p256.pub"))
    write("message.sig", sign("p256.key", message))
    key = os.path.join(HERE, "p256.key")
    write("p256_compressed.pub", openssl("ec", "-in", key, "-pubout", "-conv_form", "compressed"))
    write("p256_explicit.pub", openssl("ec", "-in", key, "-pubout", "-param_enc", "explicit"))
    der = bytearray(openssl("pkey", "-in", key, "-pubout", "-outform", "DER"))
    der[-1] ^= 1  # Y changed: off the curve
    write("p256_off_curve.pub", pem_public_key(bytes(der)))
    write("p384.key", openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-384"), 0o600)
    write("p384.pub", openssl("pkey", "-in", os.path.join(HERE, "p384.key"), "-pubout"))
    write("p384.sig", sign("p384.key", message))
    write("rsa.key", openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048"), 0o600)
    write("rsa.pub", openssl("pkey", "-in", os.path.join(HERE, "rsa.key"), "-pubout"))
    write("rsa.sig", sign("rsa.key", message))
    write("p256_encrypted.key", openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
                                        "-aes256", "-pass", "pass:secret"), 0o600)
    # About half of the integers carry a leading zero (33 bytes), one in 256
    # has 31 bytes or fewer: sign until each size has appeared.
    sizes, lines = set(), []
    while len(sizes) < 3:
        der = sign("p256.key", message)
        r_size = der[3]
        s_size = der[5 + r_size]
        new = {max(size, 31) for size in (r_size, s_size)} - sizes
        if new:
            sizes |= new
            lines.append(der.hex())
    write("integer_sizes.hex", "\n".join(lines) + "\n")


def signed_indexes():
    archive = b"signed release archive " * 5
    blocks = [hashlib.md5(archive[i:i + 64]).hexdigest() for i in range(0, len(archive), 64)]
    block_list = json.dumps(blocks, separators=(",", ":")).encode()
    write("release.bin", archive)
    write("release.md5", block_list)
    entry = {"release": "Signed 1.0", "containername": "signedfixture", "filename": "release.bin",
             "blockhash": "release.md5", "blocksize": 64, "filesize": len(archive),
             "hash": hashlib.sha256(archive).hexdigest(), "required_setup": 4,
             "blockhash_sha256": hashlib.sha256(block_list).hexdigest()}
    variants = {
        "index-2": (2, "2099-12-31T23:59:59Z", entry),
        "index-1": (1, "2099-12-31T23:59:59Z", entry),
        "index-3-expired": (3, "2001-01-01T00:00:00Z", entry),
        "index-3-no-expiry": (3, None, entry),
        "index-4-wrong-list": (4, "2099-12-31T23:59:59Z", dict(entry, blockhash_sha256=hashlib.sha256(b"").hexdigest())),
    }
    for name, (sequence, expires, release) in variants.items():
        index = {"current_release": "1.0", "releases": {"1.0": release}, "sequence": sequence}
        if expires:
            index["expires"] = expires
        text = (json.dumps(index, indent=2) + "\n").encode()
        write(f"{name}.json", text)
        write(f"{name}.sig", base64.b64encode(sign("p256.key", text)).decode() + "\n")
    text = read("index-2.json")
    write("index-2.rotation.sig", "not Base64: skipped\n" + base64.b64encode(sign("other.key", text)).decode() +
          "\n" + base64.b64encode(sign("p256.key", text)).decode() + "\n")


if __name__ == "__main__":
    keys_and_messages()
    signed_indexes()
