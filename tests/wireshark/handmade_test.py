"""The dissector on hand-made captures (text2pcap): traffic no well-behaved
client or server sends, texts and values the reference server never writes,
and messages cut into TCP segments at awkward places."""
import os
import tempfile
import unittest

import lumbra_capture as lc
from lumbra_capture import MARKER, binary_insert, command, greeting, login, reply, select_reply


def c(data, *when):
    return ("c", data) + when


def s(data, *when):
    return ("s", data) + when


def read(*streams):
    return lc.read_streams(list(streams))


SELECT = c(command(b"SELECT A FROM T"))

# name, segments, {message index: {field: value}}, {message index: expert text}
BROKEN = [
    ("reply with another continuation's tag",
     [SELECT, s(select_reply(3, 2, b"A=A(2)", b"AA")), c(command(b"CONT=137")), s(b"LBX138BBCC" + MARKER)],
     {3: {"lumbra.kind": "block", "lumbra.tag": "LBX138"}},
     {3: 'Head tag "LBX138" where "LBX000" or "LBX137" is expected'}),
    ("reply to a command headed by a continuation tag",
     [c(command(b"EXEC SELECT 1")), s(reply(b"0000", b"1", tag=b"LBX101"))],
     {1: {"lumbra.kind": "reply", "lumbra.tag": "LBX101"}},
     {1: 'Head tag "LBX101" where "LBX000" is expected'}),
    ("reply headed by no tag at all",
     [c(command(b"PARM")), s(b"XYZ0000000" + MARKER)],
     {1: {"lumbra.kind": "reply", "lumbra.tag": "XYZ000"}},
     {1: 'Head tag "XYZ000" where "LBX000" is expected'}),
    ("marker cuts a row",
     [SELECT, s(select_reply(2, 5, b"A=A(5)", b"ABCDEFG"))],
     {1: {"lumbra.block.rows": "2"}},
     {1: "The end-of-block marker cuts row 2 after 2 of its 5 bytes"}),
    ("marker cuts a run",
     [SELECT, s(select_reply(1, 5, b"A=A(5)", b"AB@0"))],
     {1: {"lumbra.row": "AB"}},
     {1: "The end-of-block marker cuts row 1 after 2 of its 5 bytes"}),
    ("run overruns a row",
     [SELECT, s(select_reply(1, 4, b"A=A(4)", b"AB@05Z"))],
     {1: {"lumbra.row": "ABZZ"}},
     {1: "A run overruns row 1 by 3 bytes (row length 4)"}),
    ("run digit outside the alphabet",
     [SELECT, s(select_reply(1, 4, b"A=A(4)", b"@a1ZZZZZ"))],
     {},
     {1: "Row 1: a run's digits \"a1\" are outside 0-9A-Z"}),
    ("block with more rows than the result has left",
     [SELECT, s(select_reply(1, 2, b"A=A(2)", b"AABB"))],
     {1: {"lumbra.block.rows": "1", "lumbra.row": "AA"}},
     {1: "The block holds 2 bytes after the result's last row"}),
    ("unknown command words",
     [c(command(b"select 1")), s(reply(b"0120", b"COMANDO DESCONHECIDO: select")),
      c(command(b"DROP TABLE T")), s(reply(b"0120", b"COMANDO DESCONHECIDO: DROP"))],
     {0: {"lumbra.command": "select"}, 2: {"lumbra.command": "DROP", "lumbra.sql": "DROP TABLE T"}},
     {0: 'Unknown command word "select"', 2: 'Unknown command word "DROP"'}),
    ("length clause shorter than the data",
     [c(binary_insert("INSERT INTO T VALUES (?)=", b"ABCDE", clause_length=3)), c(command(b"COMMIT"))],
     {0: {"lumbra.kind": "binary_insert", "lumbra.bin.length": "3"}, 1: {"lumbra.kind": "commit"}},
     {0: "The length clause says 3 bytes, but the closing quote and the marker do not follow them "
         "(6 bytes before the marker)"}),
    ("length clause longer than the data: the next message is taken in",
     [c(binary_insert("INSERT INTO T VALUES (?)=", b"ABCDE", clause_length=10)), c(command(b"COMMIT"))],
     {0: {"lumbra.kind": "binary_insert", "lumbra.bin.length": "10"}},
     {0: "The length clause says 10 bytes, but the closing quote"}),
    ("binary insert without a length clause",
     [c(lc.ebcdic("INSERT INTO T VALUES (1)") + MARKER)],
     {0: {"lumbra.kind": "binary_insert", "lumbra.sql": "INSERT INTO T VALUES (1)"}},
     {0: "No length clause"}),
    ("continuation answered 0000 instead of a block",
     [SELECT, s(select_reply(3, 1, b"A=A(1)", b"X")), c(command(b"CONT=100")), s(reply(b"0000"))],
     {3: {"lumbra.kind": "reply"}},
     {3: "A continuation is answered by a block or a failure"}),
    ("status that is not four digits",
     [c(command(b"PARM")), s(reply(b"00X0", b"?"))],
     {1: {"lumbra.status": "00X0"}},
     {1: 'Status "00X0" is not four decimal digits'}),
    ("SELECT reply without its '.'",
     [SELECT, s(b"LBX00000000000000100002A=A(2)" + MARKER)],
     {1: {"lumbra.kind": "reply"}},
     {1: "No row count, row length and '.'"}),
    ("reply too short for head, status and marker",
     [c(command(b"PARM")), s(b"LBX000" + MARKER)],
     {1: {"lumbra.kind": "reply"}},
     {1: "Reply of 12 bytes"}),
    ("credential block with a character that is no digit",
     [c(login("ALICE", digits=b"G1"))],
     {0: {"lumbra.login.user": "ALICE"}},
     {0: "The credential block is not '0', the identification and hexadecimal digits"}),
    ("batched command with a broken escape",
     [c(command(b"INSERT INTO T VALUES ('@')"))],
     {0: {"lumbra.batch.entry": "INSERT INTO T VALUES ('"}},
     {0: "digit \"'\" after '@' is outside 0-9A-Z"}),
]


class BrokenTraffic(unittest.TestCase):
    def test_each_fault_is_shown_where_it_is(self):
        streams = read(*[segments for _, segments, _, _ in BROKEN])
        for (name, segments, fields, experts), found in zip(BROKEN, streams):
            with self.subTest(name):
                for index, expected in fields.items():
                    for field, value in expected.items():
                        self.assertEqual(found[index][field], value, field)
                for index, text in experts.items():
                    self.assertTrue(any(text in e for e in found[index].experts), found[index].experts)
                # The fault is where it is said to be, and nowhere else.
                for index, message in enumerate(found):
                    if index not in experts:
                        self.assertEqual([e for e in message.experts if not e.startswith("Server error")], [],
                                         index)


SERVER_INFO = [
    (b"OK,NN=C0A80101,SV=2.4.1,BD=7.4.4,OS=MVSE,SK=ILK1.2.3,MR=CICS4.1.0,ML=16000",
     {"lumbra.server.nn": "192.168.1.1", "lumbra.server.sv": "2.4.1", "lumbra.server.bd": "7.4.4",
      "lumbra.server.os": "MVS-ESA", "lumbra.server.sk": "TCP/IP INTERLINK 1.2.3",
      "lumbra.server.mr": "CICS 4.1.0", "lumbra.server.ml": "16000",
      "lumbra.server.info": "Vers\u00e3o 2.4.1, Sistema Operacional MVS-ESA, Monitor de Teleprocessamento "
                            " CICS 4.1.0, Adabas 7.4.4, Comunica\u00e7\u00e3o TCP/IP INTERLINK  1.2.3"}),
    (b"OK,OS=MVS/ESA,SK=SNA,SV=2.4,BD=6.1.0",
     {"lumbra.server.os": "MVS-XA", "lumbra.server.sk": "SNA", "lumbra.server.sv": "2.4,B"}),
    (b"OK,OS=VSE/ESA,SK=TCP2.1.0,ML=4000)",
     {"lumbra.server.os": "VSE/", "lumbra.server.sk": "TCP/IP IBM 2.1.0", "lumbra.server.ml": "4000"}),
]

BLOB = b"\x00LBXEOB\x7d\x00"

# Row 1: "@@" is '@', "@03Z" three Z, "@11X" 37 X; row 2: "@00Y" nothing,
# "@0VQ" 31 Q, and the marker comes 6 bytes short of its end.
RUNS = b"  1@@@03Z@11X" + b"  2@00Y@@   @0VQ"

DECODING = {
    "windows-1252": [c(command(b"EXEC SELECT 'A\xe7\xe3o'")), s(reply(b"0000", b"A\xe7\xe3o \x80 \x93x\x94"))],
    "runs": [SELECT, s(select_reply(2, 44, b"K=N(3),NAME=A(5),DATA=B(36)", RUNS))],
    "blob": [SELECT, s(select_reply(1, 6, b"T=A(3),B=B(3)", b"\x01\\Z\x00\xff@@"))],
    "zero-length rows": [SELECT, s(select_reply(2, 0, b"A=A(0)", b"")), c(command(b"CONT=100")), s(b"LBX100" + MARKER),
                         c(command(b"CONT=101")), s(b"LBX101" + MARKER)],
    "batch": [c(command(b"INSERT INTO T VALUES ('A DELETE B', \"X UPDATE \") "
                        b"DELETE FROM T WHERE K='@3 ' UPDATE T SET A='@@' COMMIT"))],
    "timing": [c(command(b"EXEC SELECT 1"), 10.0), s(reply(b"0000", b"1"), 10.25),
               c(command(b"ROLLBACK"), 11.0), s(reply(b"0000", b"TRANSACAO DESFEITA"), 13.5)],
    "binary insert": [c(binary_insert("INSERT INTO T VALUES (1, ?)=", BLOB)), s(reply())],
    "binary insert, zero byte": [c(binary_insert("INSERT INTO T VALUES (1, ?)=", BLOB, zero=True)), s(reply())],
}
for i, (text, _) in enumerate(SERVER_INFO):
    DECODING["server information %d" % i] = [c(greeting()), s(reply()), c(login("BOB")), s(reply(b"0000", text))]


class Decoding(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.found = dict(zip(DECODING, read(*DECODING.values())))

    def test_windows_1252_texts_shown_as_unicode(self):
        command_, answer = self.found["windows-1252"]
        self.assertEqual(command_["lumbra.sql"], "EXEC SELECT 'A\u00e7\u00e3o'")
        self.assertEqual(answer["lumbra.text"], "A\u00e7\u00e3o \u20ac \u201cx\u201d")

    def test_server_information_of_the_login_reply(self):
        for i, (text, expected) in enumerate(SERVER_INFO):
            with self.subTest(text):
                accepted = self.found["server information %d" % i][3]
                for field, value in expected.items():
                    self.assertEqual(accepted[field], value, field)
                self.assertEqual(accepted.experts, [])

    def test_incoming_runs_and_columns(self):
        head = self.found["runs"][1]
        self.assertEqual(head.all("lumbra.column.name"), ["K", "NAME", "DATA"])
        self.assertEqual(head.all("lumbra.column.width"), ["3", "5", "36"])
        self.assertEqual(head.all("lumbra.row"), ["  1@ZZZ" + "X" * 37, "  2@   " + "Q" * 31])
        self.assertEqual(head.all("lumbra.row.value")[:3], ["1", "@ZZZX", "58" * 36])
        self.assertEqual(head.experts, ["The end-of-block marker cuts row 2 after 38 of its 44 bytes"])

    def test_blob_columns_in_hexadecimal_and_control_bytes_escaped(self):
        head = self.found["blob"][1]
        self.assertEqual(head["lumbra.row"], "\\x01\\\\Z\\x00\u00ff@")
        self.assertEqual(head.all("lumbra.row.value"), ["\\x01\\\\Z", "00FF40"])

    def test_rows_of_length_zero_one_per_continuation(self):
        found = self.found["zero-length rows"]
        self.assertEqual(found[1]["lumbra.block.rows"], "0")
        self.assertEqual([(m["lumbra.block.rows"], m["lumbra.row.number"]) for m in (found[3], found[5])],
                         [("1", "1"), ("1", "2")])

    def test_batch_entries_split_outside_quotes(self):
        (batch,) = self.found["batch"]
        self.assertEqual(batch.all("lumbra.batch.entry"),
                         ["INSERT INTO T VALUES ('A DELETE B', \"X UPDATE \")",
                          "DELETE FROM T WHERE K='    '", "UPDATE T SET A='@'"])
        self.assertEqual(batch.all("lumbra.command"), ["INSERT", "DELETE", "UPDATE"])
        self.assertEqual((batch["lumbra.batch.count"], batch["lumbra.batch.commit"]), ("3", "COMMIT"))

    def test_reply_time_and_pairing(self):
        found = self.found["timing"]
        self.assertEqual([m.get("lumbra.time") for m in found], [None, "0.250000000", None, "2.500000000"])
        self.assertEqual(found[1]["lumbra.request.command"], "EXEC")
        self.assertEqual(found[2]["lumbra.response_in"], str(found[3].frame))

    def test_binary_insert_with_or_without_the_zero_byte(self):
        for name in ("binary insert", "binary insert, zero byte"):
            with self.subTest(name):
                insert, answer = self.found[name]
                self.assertEqual(insert["lumbra.sql"], "INSERT INTO T VALUES (1, ?)")
                self.assertEqual((insert["lumbra.bin.length"], insert["lumbra.bin.clause"]), ("9", "(00009)='"))
                self.assertEqual(insert["lumbra.bin.data"].replace(":", ""), BLOB.hex())
                self.assertEqual((insert.experts, answer["lumbra.request.kind"]), ([], "binary_insert"))


def fields_of(found):
    """The fields of each message, without those that depend on frames and their times."""
    return [[(k, v) for k, v in m.pairs if k not in ("lumbra.request_in", "lumbra.response_in", "lumbra.time")]
            for m in found]


SESSION = lc.sample_session()


def cut(segment, *at):
    bounds = [0] + list(at) + [len(segment[1])]
    return [(segment[0], segment[1][a:b]) for a, b in zip(bounds, bounds[1:]) if b > a]


CUTS = {
    "marker split over three segments":
        lambda seg: cut(seg, len(seg[1]) - 4, len(seg[1]) - 2) if seg[0] == "s" else [seg],
    "login after its first byte and in the block":
        lambda seg: cut(seg, 1, 50) if seg[1].startswith(b"ID ") else [seg],
    "binary insert right after the marker in its data":
        lambda seg: cut(seg, seg[1].index(MARKER) + 6) if seg[1][:1] == b"\xc9" else [seg],
    "every byte a segment": lambda seg: cut(seg, *range(1, len(seg[1]))),
}


class Reassembly(unittest.TestCase):
    """Messages cut anywhere, or several in one segment, read as they do whole."""

    @classmethod
    def setUpClass(cls):
        cls.requests = b"".join(seg[1] for seg in SESSION if seg[0] == "c")
        cls.replies = b"".join(seg[1] for seg in SESSION if seg[0] == "s")
        streams = [SESSION, [c(cls.requests), s(cls.replies)]]
        streams += [[piece for seg in SESSION for piece in how(seg)] for how in CUTS.values()]
        found = read(*streams)
        cls.whole = fields_of(found[0])
        cls.together = found[1]
        cls.cuts = dict(zip(CUTS, found[2:]))

    def test_the_session_reads_whole(self):
        kinds = [dict(m)["lumbra.kind"] for m in self.whole]
        self.assertEqual(kinds, ["greeting", "reply", "login", "reply", "command", "reply", "batch", "reply",
                                 "binary_insert", "reply", "command", "reply", "cont", "block", "farewell",
                                 "reply"])

    def test_cut_anywhere(self):
        for name, found in self.cuts.items():
            with self.subTest(name):
                self.assertEqual(fields_of(found), self.whole)

    def test_several_messages_in_one_segment(self):
        self.assertEqual(sorted(map(str, fields_of(self.together))), sorted(map(str, self.whole)))
        self.assertEqual(len({m.frame for m in self.together}), 2)
        with tempfile.TemporaryDirectory() as folder:
            path = lc.write_capture(os.path.join(folder, "two.pcap"), [c(self.requests), s(self.replies)])
            first = lc.summaries(path)[0][1]
        self.assertTrue(first.startswith("Greeting | Login ALICE, credentials (110 characters) | SET ML=300 | "
                                         "Batch of 2 + COMMIT: INSERT INTO T VALUES (1, '    ') | Binary insert of 10 bytes"), first)


DISCOVERY = [
    ("from its greeting", [c(greeting()), s(reply())], ["greeting", "reply"]),
    ("from a reply, the capture begun in mid-session",
     [s(reply(b"0000", b"1")), c(command(b"ROLLBACK")), s(reply())], ["reply", "command", "reply"]),
    ("not another protocol", [c(b"GET / HTTP/1.0\r\n\r\n"), s(b"HTTP/1.0 200 OK\r\n\r\n")], []),
]


class Discovery(unittest.TestCase):
    def test_heuristics_on_other_ports(self):
        streams = read(*[(segments, 5999) for _, segments, _ in DISCOVERY])
        for (name, _, kinds), found in zip(DISCOVERY, streams):
            with self.subTest(name):
                self.assertEqual([m["lumbra.kind"] for m in found], kinds)


if __name__ == "__main__":
    if not lc.DISSECTOR:
        raise SystemExit("LUMBRA_DISSECTOR is not set")
    lc.check_only_this_dissector()
    unittest.main(verbosity=2)
