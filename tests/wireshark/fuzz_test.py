"""A small fuzz corpus for the dissector: sessions with bytes changed, cut,
inserted and moved, cut into random segments, and streams of random bytes.
Every capture must be read to its end without a Lua error.

The corpus is made from a fixed seed (LUMBRA_FUZZ_SEED gives another); a
failing stream is written out as a capture of its own and its segments are
printed, so that it can become a hand-made case.
"""
import os
import random
import sys
import tempfile
import unittest

import lumbra_capture as lc
from lumbra_capture import MARKER, command, reply, select_reply

SEED = int(os.environ.get("LUMBRA_FUZZ_SEED", "25"))
STREAMS = 40  # TCP streams in the corpus
PIECES = 8  # mutated sessions or random runs of bytes, one after the other in a stream

# Pieces that steer the dissector down its less travelled roads.
TOKENS = [MARKER, b"LBX", b"LBX000", b"LBX100", b"@", b"@@", b"@Z", b"@ZZ", b"@00", b"ID \"", b"LUMT",
          b"CONT=", b"CONT=100", b"COMMIT", b"INSERT ", b"DELETE ", b" COMMIT", b"'", b'"', b".", b",ML=",
          b",NN=", b",OS=MVS", b",SK=ILK", b"0000", b"9999", b"\x00", b"\xff", b"\xc9\xd5\xe2\xc5\xd9\xe3\x40",
          lc.ebcdic("(99999)='"), lc.ebcdic("(00000)='"), lc.ebcdic("(00003)='"), b"\x7d", b"=A(", b"=B(999)",
          b"99999999", b"00000", b"FIM"]


def base_sessions():
    sessions = [lc.sample_session()]
    many_rows = b"".join(b"%03d@05 X" % k for k in range(40))
    sessions.append([
        ("c", command(b"SELECT K, V FROM T")), ("s", select_reply(60, 9, b"K=N(3),V=A(6)", many_rows)),
        ("c", command(b"CONT=100")), ("s", b"LBX100" + many_rows[:180] + MARKER),
        ("c", command(b"CONT=101")), ("s", reply(b"0140", b"NAO HA CONSULTA ABERTA")),
        ("c", command(b"INSERT INTO T VALUES ('@9 ') DELETE FROM T")), ("s", reply(b"0000", b"2")),
        ("c", command(b"COMMIT")), ("s", reply(b"0000", b"0000000001 +000000002 ")),
        ("c", command(b"")), ("s", reply()),
    ])
    return sessions


def mutate(rng, segments):
    segments = [list(segment) for segment in segments]
    for _ in range(rng.randint(1, 4)):
        segment = rng.choice(segments)
        data = bytearray(segment[1])
        how = rng.randrange(7)
        at = rng.randint(0, len(data))
        digits = [i for i, b in enumerate(data) if 0x30 <= b <= 0x39]
        if how == 6 and digits:
            # Counts, lengths, statuses and continuation numbers.
            for _ in range(rng.randint(1, 3)):
                data[rng.choice(digits)] = rng.choice(b"0123456789")
        elif how == 0 and data:
            for _ in range(rng.randint(1, 4)):
                data[rng.randrange(len(data))] = rng.randrange(256)
        elif how == 1:
            data[at:at] = rng.choice(TOKENS)
        elif how == 2:
            del data[at:at + rng.randint(1, 20)]
        elif how == 3:
            del data[at:]
        elif how == 4:
            data[at:at] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 30)))
        else:
            segment[0] = "s" if segment[0] == "c" else "c"
        segment[1] = bytes(data)
    return [tuple(segment) for segment in segments if segment[1]]


def resegment(rng, segments):
    out = []
    for direction, data in segments:
        while data:
            size = rng.choice([1, 2, 3, 5, 8, 13, 40, len(data)])
            out.append((direction, data[:size]))
            data = data[size:]
    return out


def random_stream(rng):
    segments = []
    for _ in range(rng.randint(1, 8)):
        pieces = [rng.choice(TOKENS) if rng.random() < 0.5 else bytes(rng.randrange(256) for _ in range(5))
                  for _ in range(rng.randint(1, 12))]
        segments.append((rng.choice("cs"), b"".join(pieces)))
    return segments


def soup(rng, size):
    """Bytes of the run-length escape, well formed or not."""
    parts = []
    while sum(map(len, parts)) < size:
        parts.append(rng.choice([
            b"A", b"B ", b"@@", b"@" + bytes(rng.choice(b"0123456789AZaz@ ") for _ in range(2)) + b"Q",
            b"@" + bytes([rng.choice(b"0123456789ABCZ")]) + b"x", b"'", b'"', b" ", b"\x00", MARKER[:3]]))
    return b"".join(parts)


def random_select(rng):
    widths = [rng.randint(0, 6) for _ in range(rng.randint(1, 3))]
    description = b",".join(b"C%d=%s(%d)" % (i, rng.choice([b"A", b"N", b"B", b"V"]), w)
                            for i, w in enumerate(widths))
    rows = rng.randint(0, 6)
    cont = b"%d" % rng.randint(100, 1200)
    return [("c", command(b"SELECT * FROM T")),
            ("s", select_reply(rows, sum(widths), description, soup(rng, rng.randint(0, 40)))),
            ("c", command(b"CONT=" + cont)), ("s", b"LBX" + cont[:3] + soup(rng, rng.randint(0, 40)) + MARKER)]


def random_batch(rng):
    entries = [rng.choice([b"INSERT ", b"UPDATE ", b"DELETE "]) + soup(rng, rng.randint(0, 30))
               for _ in range(rng.randint(1, 4))]
    return [("c", command(b" ".join(entries) + rng.choice([b" ", b" COMMIT", b"COMMIT"]))),
            ("s", reply(b"0000", b"0000000001 " * rng.randint(0, 3)))]


def corpus(seed):
    rng = random.Random(seed)
    sessions = base_sessions()
    streams = []
    for i in range(STREAMS):
        segments = []
        for piece in range(PIECES):
            kind = (i + piece) % 5
            if kind == 0:
                segments += mutate(rng, rng.choice(sessions))
            elif kind == 1:
                segments += resegment(rng, mutate(rng, rng.choice(sessions)))
            elif kind == 2:
                segments += random_stream(rng)
            elif kind == 3:
                segments += random_select(rng)
            else:
                segments += random_batch(rng)
        # Most on the registered port, some found by heuristics on another
        # (those begin with an intact session, or the heuristics let them be).
        if i % 5 == 0:
            streams.append((sessions[0] + segments, 5999))
        else:
            streams.append((segments, lc.SERVER_PORT))
    return streams


class Fuzz(unittest.TestCase):
    def test_no_lua_error_on_any_capture(self):
        streams = corpus(SEED)
        with tempfile.TemporaryDirectory(prefix="lumbra-fuzz-") as folder:
            capture = lc.write_streams(os.path.join(folder, "corpus.pcap"), streams)
            try:
                # The tree as tshark -V builds it, on one pass and on two.
                lc.tshark(capture, "-V")
                lc.tshark(capture, "-2", "-V", "-o", "tcp.try_heuristic_first:TRUE")
            except lc.LuaError:
                self.fail(self.first_failing(streams, folder))

    def first_failing(self, streams, folder):
        for i, stream in enumerate(streams):
            path = lc.write_streams(os.path.join(folder, "stream-%d.pcap" % i), [stream])
            try:
                lc.tshark(path, "-V")
                lc.tshark(path, "-2", "-V")
            except lc.LuaError as error:
                kept = os.path.join(tempfile.gettempdir(), "lumbra-fuzz-failure-%d-%d.pcap" % (SEED, i))
                os.replace(path, kept)
                return "stream %d of seed %d (kept as %s): %s\nsegments: %r" % (i, SEED, kept, error, stream)
        return "the whole corpus fails, no stream alone"


if __name__ == "__main__":
    if not lc.DISSECTOR:
        sys.exit("LUMBRA_DISSECTOR is not set")
    lc.check_only_this_dissector()
    unittest.main(verbosity=2)
