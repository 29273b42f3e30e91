"""The dissector on real traffic: lumbra32 (lumbra_capture_session) against a
lumbra-server on 127.0.0.1, recorded with tcpdump, read back with tshark.

Environment (set by CMake): LUMBRA_SERVER, LUMBRA_CAPTURE_SESSION, TCPDUMP and
those of lumbra_capture. Capturing on the loopback interface needs root (or
CAP_NET_RAW); without it the test is skipped (exit status 77) and says so.
"""
import os
import re
import select
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import lumbra_capture as lc

SERVER = os.environ.get("LUMBRA_SERVER", "")
SESSION = os.environ.get("LUMBRA_CAPTURE_SESSION", "")
TCPDUMP = os.environ.get("TCPDUMP", "tcpdump")

USER = "DISSUSER"
PASSWORD = "QUOKKA42"
NEW_PASSWORD = "WOMBAT77"
SKIP = 77


def wait_for(predicate, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.05)
    raise RuntimeError("timed out waiting for " + what)


def capture_session(folder):
    """Runs the scripted session under tcpdump; returns the capture and the port."""
    database = os.path.join(folder, "db.sqlite")
    subprocess.run([SERVER, "user", "add", USER, "--database", database], input=(PASSWORD + "\n").encode(),
                   check=True, stdout=subprocess.DEVNULL)
    port_file = os.path.join(folder, "port")
    with open(os.path.join(folder, "server.log"), "wb") as log:
        server = subprocess.Popen([SERVER, "--listen", "127.0.0.1:0", "--port-file", port_file,
                                   "--database", database], stderr=log)
    capture = os.path.join(folder, "session.pcap")
    dump = None
    try:
        wait_for(lambda: os.path.exists(port_file) and os.path.getsize(port_file) > 0, 20, "the server's port")
        with open(port_file) as text:
            port = int(text.read().strip())
        # Immediate mode: each packet is written as it comes, none waits in a buffer at the end.
        dump = subprocess.Popen([TCPDUMP, "-i", "lo", "-n", "--immediate-mode", "-U", "-Z", "root", "-w", capture,
                                 "tcp port %d" % port], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        # tcpdump says "listening on lo" once it captures.
        said = b""
        deadline = time.monotonic() + 20
        while b"listening on" not in said:
            if dump.poll() is not None:
                said += dump.stderr.read()
                if re.search(rb"[Pp]ermission|[Oo]peration not permitted", said):
                    print("SKIPPED: capturing on the loopback interface needs root or CAP_NET_RAW: "
                          + said.decode("utf-8", "replace").strip())
                    sys.exit(SKIP)
                raise RuntimeError("tcpdump did not start: " + said.decode("utf-8", "replace"))
            if time.monotonic() > deadline:
                raise RuntimeError("tcpdump did not start listening")
            ready, _, _ = select.select([dump.stderr], [], [], 0.2)
            if ready:
                said += os.read(dump.stderr.fileno(), 4096)
        done = subprocess.run([SESSION, "127.0.0.1:%d" % port, USER, PASSWORD, NEW_PASSWORD],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
        print(done.stdout.decode("utf-8", "replace"))
        if done.returncode != 0:
            raise RuntimeError("the scripted session failed")
        time.sleep(0.5)  # the last segments and FINs reach the capture
        return capture, port
    finally:
        if dump:
            if dump.poll() is None:
                dump.send_signal(signal.SIGINT)
                dump.wait(20)
            dump.stderr.close()
        server.send_signal(signal.SIGINT)
        try:
            server.wait(20)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()


def expected_inserts():
    texts = []
    for k in range(1, 41):
        city = "LISBOA@PORTO" if k % 2 else "FAAAAARO"
        texts.append("INSERT INTO PEOPLE (K, NAME, CITY) VALUES (%d, 'PERSON %d      X', '%s')" % (k, k, city))
    return texts


def expected_rows():
    rows = [(str(k), "PERSON %d      X" % k, "LISBOA@PORTO" if k % 2 else "FAAAAARO") for k in range(1, 41)]
    return rows + [("99", "BINARY", "")]


BINARY_DATA = b"BIN\0ARY\x7d'LBXEOB\xff\x00END"


class LiveSession(unittest.TestCase):
    folder = None
    capture = None
    port = None

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory(prefix="lumbra-dissector-")
        cls.capture, cls.port = capture_session(cls.folder.name)
        # By heuristics (the server's port is not 3001), trying them before the
        # port table so that no other dissector claims an ephemeral port.
        cls.messages = lc.messages(cls.capture, "-o", "tcp.try_heuristic_first:TRUE")
        summary = lc.summaries(cls.capture, "-o", "tcp.try_heuristic_first:TRUE")
        print("\n".join("%5s  %s" % tuple(line) for line in summary))

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def of_kind(self, kind):
        return [m for m in self.messages if m.get("lumbra.kind") == kind]

    def reply_to(self, request):
        frame = int(request["lumbra.response_in"])
        replies = [m for m in self.messages if m.frame == frame and m.get("lumbra.request_in") == str(request.frame)]
        self.assertEqual(len(replies), 1, request)
        return replies[0]

    def test_every_request_is_paired_with_its_reply(self):
        requests = [m for m in self.messages if m["lumbra.kind"] not in ("reply", "block")]
        replies = [m for m in self.messages if m["lumbra.kind"] in ("reply", "block")]
        self.assertEqual(len(requests), len(replies))
        for request in requests:
            reply = self.reply_to(request)
            self.assertGreater(int(reply.frame), int(request.frame))
            self.assertEqual(reply["lumbra.request.kind"], request["lumbra.kind"])
            self.assertGreaterEqual(float(reply["lumbra.time"]), 0.0)
            self.assertLess(float(reply["lumbra.time"]), 60.0)

    def test_logins_refused_and_accepted(self):
        logins = self.of_kind("login")
        self.assertEqual(len(logins), 2)
        for login in logins:
            self.assertEqual(login["lumbra.login.user"], USER)
            self.assertEqual(login["lumbra.login.version"], "2.4")
            self.assertEqual(login.experts, [])
        refused, accepted = (self.reply_to(login) for login in logins)
        self.assertEqual(refused["lumbra.status"], "0102")
        self.assertIn("USUARIO OU SENHA INVALIDOS", refused["lumbra.text"])
        self.assertEqual(refused.experts, ["Server error 0102: USUARIO OU SENHA INVALIDOS"])
        self.assertEqual(accepted["lumbra.status"], "0000")
        self.assertEqual(accepted["lumbra.server.nn"], "127.0.0.1")
        self.assertEqual(accepted["lumbra.server.sv"], "1.0.0")
        self.assertEqual(accepted["lumbra.server.os"], "UNIX")
        self.assertEqual(accepted["lumbra.server.mr"], "LMBR 1.0.0")
        self.assertEqual(accepted["lumbra.server.ml"], "32000")
        self.assertTrue(accepted["lumbra.server.info"].startswith("Vers\u00e3o 1.0.0, Sistema Operacional UNIX"))

    def test_session_user_and_version_on_every_message_of_the_session(self):
        streams = {}
        for message in self.messages:
            streams.setdefault(frozenset(message.ports), []).append(message)
        refused, accepted = sorted(streams.values(), key=lambda stream: stream[0].frame)
        # With two passes the accepted session carries them from its greeting on; the refused one has neither.
        self.assertEqual({(m.get("lumbra.session.user"), m.get("lumbra.session.version")) for m in accepted},
                         {(USER, "1.0.0")})
        self.assertEqual({(m.get("lumbra.session.user"), m.get("lumbra.session.version")) for m in refused},
                         {(None, None)})
        self.assertEqual([m["lumbra.kind"] for m in refused],
                         ["greeting", "reply", "login", "reply", "farewell", "reply"])

    def test_set_and_getset(self):
        commands = self.of_kind("command")
        by_word = {}
        for command in commands:
            by_word.setdefault(command["lumbra.command"], []).append(command)
        self.assertEqual(sorted(by_word), ["EXEC", "GETSET", "SELECT", "SET"])
        self.assertEqual(by_word["SET"][0]["lumbra.sql"], "SET MESSAGE_LENGTH=256")
        self.assertEqual(self.reply_to(by_word["SET"][0])["lumbra.server.ml"], "256")
        self.assertEqual(self.reply_to(by_word["GETSET"][0])["lumbra.text"], "256")

    def test_batches_decoded_refused_and_committed(self):
        batches = self.of_kind("batch")
        refused = batches[0]
        self.assertEqual(refused["lumbra.batch.count"], "1")
        self.assertEqual(refused.all("lumbra.batch.entry"), ["INSERT INTO NOWHERE VALUES (1, '    ')"])
        self.assertEqual(refused["lumbra.batch.commit"], "COMMIT")
        self.assertEqual(self.reply_to(refused)["lumbra.status"], "2001")
        # The forty inserts: full batches on their own, the last with the COMMIT.
        entries = [e for batch in batches[1:] for e in batch.all("lumbra.batch.entry")]
        self.assertEqual(entries, expected_inserts())
        self.assertEqual(sum(int(b["lumbra.batch.count"]) for b in batches[1:]), 40)
        self.assertGreater(len(batches), 3)
        for batch in batches[1:-1]:
            self.assertNotIn("lumbra.batch.commit", batch)
            reply = self.reply_to(batch)
            self.assertEqual((reply["lumbra.status"], reply["lumbra.text"]), ("0000", batch["lumbra.batch.count"]))
        last = self.reply_to(batches[-1])
        self.assertEqual(last["lumbra.status"], "0000")
        self.assertEqual(last["lumbra.commit.total"], "40")
        self.assertEqual(int(last["lumbra.commit.updates"]), len(last.all("lumbra.commit.changed")) + 1)

    def test_binary_insert(self):
        (insert,) = self.of_kind("binary_insert")
        self.assertEqual(insert["lumbra.sql"], "INSERT INTO PEOPLE (K, NAME, DATA) VALUES (99, 'BINARY', ?)")
        self.assertEqual(insert["lumbra.bin.length"], str(len(BINARY_DATA)))
        self.assertEqual(insert["lumbra.bin.data"].replace(":", ""), BINARY_DATA.hex())
        self.assertEqual(insert.experts, [])
        self.assertEqual(self.reply_to(insert)["lumbra.status"], "0000")

    def test_select_rows_over_several_blocks(self):
        (select,) = [m for m in self.of_kind("command") if m["lumbra.command"] == "SELECT"]
        head = self.reply_to(select)
        self.assertEqual(head["lumbra.rows"], "41")
        self.assertEqual(head.all("lumbra.column.name"), ["K", "NAME", "CITY"])
        self.assertEqual(head.all("lumbra.column.type"), ["N", "A", "A"])
        widths = [int(w) for w in head.all("lumbra.column.width")]
        self.assertEqual(sum(widths), int(head["lumbra.row_length"]))
        conts = self.of_kind("cont")
        self.assertGreaterEqual(len(conts), 2)
        self.assertEqual([int(c["lumbra.cont"]) for c in conts], list(range(100, 100 + len(conts))))
        rows, numbers = [], []
        for message in [head] + [self.reply_to(c) for c in conts]:
            values = message.all("lumbra.row.value")
            rows += [tuple(values[i:i + 3]) for i in range(0, len(values), 3)]
            numbers += [int(n) for n in message.all("lumbra.row.number")]
        for cont in conts:
            block = self.reply_to(cont)
            self.assertEqual(block["lumbra.kind"], "block")
            self.assertEqual(block["lumbra.tag"], "LBX" + cont["lumbra.cont"][:3])
        self.assertEqual(rows, expected_rows())
        self.assertEqual(numbers, list(range(1, 42)))

    def test_farewells_and_no_protocol_errors(self):
        farewells = self.of_kind("farewell")
        self.assertEqual(len(farewells), 2)
        for farewell in farewells:
            self.assertEqual(farewell["lumbra.farewell"], "FIM,Lumbra")
            self.assertEqual(self.reply_to(farewell)["lumbra.text"], "SESSAO ENCERRADA")
        experts = [e for m in self.messages for e in m.experts]
        self.assertEqual([e for e in experts if not e.startswith("Server error ")], [])
        self.assertEqual(len(experts), 2)  # the refused login and the refused batch

    def test_the_registered_port_reads_the_same(self):
        by_port = lc.messages(self.capture, "-d", "tcp.port==%d,lumbra" % self.port)
        self.assertEqual([m.pairs for m in by_port], [m.pairs for m in self.messages])

    def test_no_password_in_any_output(self):
        views = {
            "summary": ["-o", "tcp.try_heuristic_first:TRUE"],
            "details and bytes": ["-o", "tcp.try_heuristic_first:TRUE", "-V", "-x"],
            "json with raw bytes": ["-o", "tcp.try_heuristic_first:TRUE", "-T", "json", "-x"],
            "pdml": ["-o", "tcp.try_heuristic_first:TRUE", "-T", "pdml"],
            "fields": ["-o", "tcp.try_heuristic_first:TRUE", "-T", "fields", "-e", "lumbra.login.user",
                       "-e", "lumbra.login.credentials", "-e", "lumbra.sql", "-e", "lumbra.text"],
        }
        # The credential block as it travels, taken from the capture's bytes.
        with open(self.capture, "rb") as capture:
            raw = capture.read()
        blocks = {raw[i + 4:i + 114] for i in [m.start() for m in re.finditer(rb'ID "0', raw)]}
        self.assertEqual(len(blocks), 2)
        for name, arguments in views.items():
            out = lc.tshark(self.capture, *arguments)
            for secret in (PASSWORD, NEW_PASSWORD, "WRONGPASSWORD"):
                self.assertNotIn(secret.lower(), out.lower(), name)
            if "-x" not in arguments:
                for block in blocks:
                    self.assertNotIn(block.decode("ascii"), out, name)
        details = lc.tshark(self.capture, "-o", "tcp.try_heuristic_first:TRUE", "-V")
        self.assertEqual(details.count("credentials (110 characters)"), 2)


if __name__ == "__main__":
    for name, value in (("LUMBRA_SERVER", SERVER), ("LUMBRA_CAPTURE_SESSION", SESSION),
                        ("LUMBRA_DISSECTOR", lc.DISSECTOR)):
        if not value:
            sys.exit(name + " is not set")
    lc.check_only_this_dissector()
    unittest.main(verbosity=2)
