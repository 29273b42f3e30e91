#!/usr/bin/env python3
"""Rebuilds the binary rings of this folder from the .asc/.pgp key files beside it.

  python3 make_rings.py            writes the ring-*.pgp files next to this script
  python3 make_rings.py --check    rebuilds in memory and compares with the files there

Standard library only. Each .asc is dearmoured with its CRC-24 checked (pgp2tool.py).
ring-fits-trust.pgp and *.expected-save.pgp are DERIVED files (see README.md).
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import pgp2tool  # noqa: E402

# file order inside each genuine ring (deliberately not in user-id order)
RING_FITS = ["inn-news-announce.asc", "httpd-jagielski.asc", "httpd-laurie.asc",
             "inn-fr-announce.asc", "httpd-maceachern.asc"]
RING_1024 = RING_FITS + ["httpd-coar.asc", "httpd-gaudet.asc", "httpd-eilebrecht.asc",
                         "httpd-hansen.asc", "sbcl-newman.pgp"]
RING_2048 = ["httpd-sameer-2048.asc", "openpgpjs-perry-2048.asc"]

# trust byte values put into the derived keyring-layout ring (the reader ignores them)
TRUST_AFTER_KEY, TRUST_AFTER_UID, TRUST_AFTER_SIG = 0x01, 0x03, 0x40


def key_bytes(name):
    path = os.path.join(HERE, name)
    if name.endswith(".asc"):
        return pgp2tool.dearmor_text(open(path, encoding="latin-1").read())
    return open(path, "rb").read()


def with_trust(data):
    """Insert a keyring trust packet (CTB 0xB0, length 1) after every key,
    user-id and signature packet, as PGP 2.x keeps them in pubring.pgp."""
    out = b""
    for pos, ctb, ptype, hl, body in pgp2tool.walk(data):
        out += data[pos:pos + hl + len(body)]
        trust = {6: TRUST_AFTER_KEY, 13: TRUST_AFTER_UID, 2: TRUST_AFTER_SIG}.get(ptype)
        if trust is not None:
            out += bytes([0xB0, 0x01, trust])
    return out


def mpi_trim(b):
    return b.lstrip(b"\x00")


def bitcount(b):
    b = mpi_trim(b)
    return 0 if not b else (len(b) - 1) * 8 + b[0].bit_length()


def fold(uid):
    return bytes(c + 32 if 65 <= c <= 90 else c for c in uid)


def records(data):
    """The records the ring walk takes from a ring (first user id per key),
    for rings that stay inside the record limits; file order."""
    recs, cur = [], None
    for pos, ctb, ptype, hl, body in pgp2tool.walk(data):
        if ptype == 6:
            nbits, n, p = pgp2tool.mpi(body, 8)
            ebits, e, p = pgp2tool.mpi(body, p)
            cur = dict(ts=int.from_bytes(body[1:5], "big"), n=n, e=e)
        elif ptype == 13 and cur is not None:
            cur["uid"] = body
            recs.append(cur)
            cur = None
    return recs


def expected_save(data):
    """Bytes SavePublicKeys writes after LoadPublicKeys of data:
    records in user-id order (equal ids: reverse file order), each as one version-2
    public-key packet (CTB 0x99, validity 0, algorithm 1) and one user-id packet (0xB4)."""
    recs = records(data)
    ordered = []
    for r in recs:  # ordered insertion of the key list
        i = 0
        while i < len(ordered) and fold(ordered[i]["uid"]) < fold(r["uid"]):
            i += 1
        ordered.insert(i, r)
    out = b""
    for r in ordered:
        n, e = r["n"], r["e"]
        body = (bytes([2]) + r["ts"].to_bytes(4, "big") + b"\x00\x00\x01"
                + bitcount(n).to_bytes(2, "big") + n
                + bitcount(e).to_bytes(2, "big") + e)
        out += bytes([0x99]) + ((len(n) + len(e) + 12) % 65536).to_bytes(2, "big") + body
        out += bytes([0xB4, len(r["uid"]) % 256]) + r["uid"]
    return out


def build():
    fits = b"".join(key_bytes(n) for n in RING_FITS)
    r1024 = b"".join(key_bytes(n) for n in RING_1024)
    r2048 = b"".join(key_bytes(n) for n in RING_2048)
    return {
        "ring-fits.pgp": fits,
        "ring-1024.pgp": r1024,
        "ring-2048.pgp": r2048,
        "ring-all.pgp": r1024 + r2048,
        "ring-fits-trust.pgp": with_trust(fits),
        "ring-fits.expected-save.pgp": expected_save(fits),
    }


def main(argv):
    files = build()
    bad = 0
    for name, data in files.items():
        path = os.path.join(HERE, name)
        if "--check" in argv:
            same = os.path.exists(path) and open(path, "rb").read() == data
            print("%-30s %6d bytes  %s" % (name, len(data), "same" if same else "DIFFERS"))
            bad += not same
        else:
            open(path, "wb").write(data)
            print("%-30s %6d bytes" % (name, len(data)))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
