"""Captures for the dissector's tests: written with text2pcap, read with tshark.

The programs come from the environment the tests are started with (CMake sets
them): LUMBRA_DISSECTOR (tools/wireshark/lumbra.lua), TSHARK, TEXT2PCAP and
MERGECAP.
"""
import json
import os
import subprocess
import tempfile

MARKER = b"LBXEOB"
DISSECTOR = os.environ.get("LUMBRA_DISSECTOR", "")
TSHARK = os.environ.get("TSHARK", "tshark")
TEXT2PCAP = os.environ.get("TEXT2PCAP", "text2pcap")
MERGECAP = os.environ.get("MERGECAP", "mergecap")

CLIENT = "10.1.1.1"
SERVER = "10.1.1.2"
SERVER_PORT = 3001


def ebcdic(text):
    """ASCII text in EBCDIC (code page 037), as the client converts it."""
    return text.encode("cp037")


# ---- Messages as client and server write them


def greeting():
    return b"LUMT" + MARKER


# Where the identification stands in the credential block; every other
# position but 0 holds a hexadecimal digit. Only for making fixtures: the live
# captures come from the real client.
_IDENTIFICATION_POSITIONS = [92, 82, 80, 9, 95, 44, 65, 13, 63, 89, 14]


def login(user, digits=b"C1"):
    block = bytearray((digits * 55)[:110])
    block[0:1] = b"0"
    for position, char in zip(_IDENTIFICATION_POSITIONS, user.ljust(11).encode()):
        block[position] = char
    return b'ID "' + bytes(block) + b'2.4"'


def reply(status=b"0000", text=b"", tag=b"LBX000"):
    return tag + status + text + MARKER


def command(text):
    return text + MARKER


def select_reply(rows, row_length, description, block):
    return b"LBX0000000" + b"%08d%05d" % (rows, row_length) + description + b"." + block + MARKER


def binary_insert(text, data, clause_length=None, zero=False):
    """As LBInsertBin prepares it from the host's text ("... =") and data."""
    length = len(data) if clause_length is None else clause_length
    prefix = text[:text.rindex("=")]
    return (ebcdic(prefix) + ebcdic("(%05d)='" % length) + data + b"\x7d" + (b"\x00" if zero else b"")
            + MARKER)


def sample_session():
    """A short session with a message of every framing: greeting, login,
    binary insert (the marker inside its data), SELECT and a block, farewell."""
    return [
        ("c", greeting()), ("s", reply(b"0000", b"LUMBRA-SERVER 1.0.0")),
        ("c", login("ALICE")), ("s", reply(b"0000", b"SESSAO ABERTA PARA ALICE,NN=7F000001,SV=1.0.0,ML=300")),
        ("c", command(b"SET ML=300")), ("s", reply(b"0000", b",ML=300")),
        ("c", command(b"INSERT INTO T VALUES (1, '@3 ') UPDATE T SET A='@@' COMMIT")),
        ("s", reply(b"0000", b"0000000001 0000000002 ")),
        ("c", binary_insert("INSERT INTO T VALUES (1, ?)=", b"xxLBXEOByy")), ("s", reply()),
        ("c", command(b"SELECT A FROM T")), ("s", select_reply(5, 3, b"A=A(3)", b"AAA@03BCCC")),
        ("c", command(b"CONT=100")), ("s", b"LBX100DDD@@EE" + MARKER),
        ("c", command(b"FIM,Lumbra")), ("s", reply(b"0000", b"SESSAO ENCERRADA")),
    ]


# ---- Writing captures


def _hexdump(data):
    lines = []
    for i in range(0, len(data), 16):
        lines.append("%06x %s" % (i, " ".join("%02x" % b for b in data[i:i + 16])))
    return "\n".join(lines) + "\n"


def write_capture(path, segments, client_port=40000, server_port=SERVER_PORT, start=0.0):
    """Writes one TCP stream: `segments` are ('c' or 's', bytes[, seconds]),
    client to server or back, each one TCP segment; seconds default to one
    millisecond apart."""
    lines = []
    when = start
    for segment in segments:
        direction, data = segment[0], segment[1]
        when = segment[2] if len(segment) > 2 else when + 0.001
        whole = int(when)
        stamp = "%02d:%02d:%02d.%06d" % (whole // 3600 % 24, whole // 60 % 60, whole % 60,
                                        round((when - whole) * 1e6))
        lines.append("%s %s\n%s" % ("I" if direction == "c" else "O", stamp, _hexdump(data)))
    text_path = path + ".txt"
    with open(text_path, "w") as out:
        out.write("".join(lines))
    subprocess.run([TEXT2PCAP, "-q", "-D", "-t", "%H:%M:%S.%f", "-4", "%s,%s" % (CLIENT, SERVER),
                    "-T", "%d,%d" % (client_port, server_port), text_path, path], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.remove(text_path)
    return path


FIRST_CLIENT_PORT = 40000


def write_streams(path, streams):
    """Writes several TCP streams into one capture, one after the other: stream
    i comes from client port FIRST_CLIENT_PORT + i. Each stream is a list of
    segments, or (segments, server port)."""
    parts = []
    folder = os.path.dirname(path)
    for i, stream in enumerate(streams):
        segments, server_port = stream if isinstance(stream, tuple) else (stream, SERVER_PORT)
        part = os.path.join(folder, "part-%d.pcap" % i)
        parts.append(write_capture(part, segments, FIRST_CLIENT_PORT + i, server_port, start=60.0 * i))
    subprocess.run([MERGECAP, "-w", path] + parts, check=True)
    for part in parts:
        os.remove(part)
    return path


def read_streams(streams, *arguments):
    """The lumbra messages of each stream (see write_streams), read in one tshark run."""
    with tempfile.TemporaryDirectory(prefix="lumbra-capture-") as folder:
        found = messages(write_streams(os.path.join(folder, "streams.pcap"), streams), *arguments)
    per_stream = [[] for _ in streams]
    for message in found:
        index = [port - FIRST_CLIENT_PORT for port in message.ports
                 if 0 <= port - FIRST_CLIENT_PORT < len(streams)][0]
        per_stream[index].append(message)
    return per_stream


# ---- Reading them with the dissector


def check_only_this_dissector():
    """A lumbra.lua in a Lua plugins folder would be loaded before the one under
    test (and the one under test then does nothing): refuse to go on unless
    that copy is the same file."""
    out = subprocess.run([TSHARK, "-G", "folders"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                         check=True).stdout.decode()
    mine = open(DISSECTOR, "rb").read()
    for line in out.splitlines():
        name, _, folder = line.partition(":")
        if "Lua Plugins" in name:
            installed = os.path.join(folder.strip(), "lumbra.lua")
            if os.path.exists(installed) and open(installed, "rb").read() != mine:
                raise SystemExit("%s is another version of the dissector and would be read instead of %s: "
                                 "remove it to run these tests" % (installed, DISSECTOR))


class LuaError(AssertionError):
    pass


def tshark(capture, *arguments):
    """tshark with the dissector on `capture`; its standard output. Fails on a
    non-zero exit or a Lua error anywhere in the output."""
    command = [TSHARK, "-n", "-X", "lua_script:" + DISSECTOR, "-r", capture] + list(arguments)
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out = done.stdout.decode("utf-8", "replace")
    err = done.stderr.decode("utf-8", "replace")
    if done.returncode != 0:
        raise AssertionError("%s exited %d: %s" % (" ".join(command), done.returncode, err))
    for text in (out, err):
        if "Lua Error" in text or "Lua: Error" in text:
            lines = [line for line in text.splitlines() if "Lua" in line]
            raise LuaError("Lua error in %s: %s" % (capture, "\n".join(lines[:5])))
    return out


class Message:
    """The fields of one lumbra message, in the order tshark shows them."""

    def __init__(self, frame, pairs, ports=()):
        self.frame = frame
        self.pairs = pairs
        self.ports = ports

    def all(self, name):
        return [value for key, value in self.pairs if key == name]

    def get(self, name, default=None):
        values = self.all(name)
        return values[0] if values else default

    def __getitem__(self, name):
        values = self.all(name)
        if not values:
            raise KeyError("%s not in frame %s: %s" % (name, self.frame, self.pairs))
        return values[0]

    def __contains__(self, name):
        return bool(self.all(name))

    @property
    def experts(self):
        return self.all("_ws.expert.message")

    def __repr__(self):
        return "Message(frame %s, %s)" % (self.frame, self.pairs)


def _flatten(pairs, out):
    for key, value in pairs:
        if isinstance(value, list) and value and isinstance(value[0], tuple):
            _flatten(value, out)
        elif isinstance(value, list):
            for item in value:
                if isinstance(item, list):
                    _flatten(item, out)
                else:
                    out.append((key, item))
        else:
            out.append((key, value))


def messages(capture, *arguments):
    """Every lumbra message of the capture, in order (two passes, so requests
    know their replies)."""
    out = tshark(capture, "-2", "-T", "json", *arguments)
    frames = json.loads(out, object_pairs_hook=lambda pairs: pairs) if out.strip() else []
    found = []
    for frame in frames:
        source = dict(frame)["_source"]
        layers = dict(source)["layers"]
        number, ports = None, ()
        for key, value in layers:
            if key == "frame":
                number = int(dict(value)["frame.number"])
            if key == "tcp":
                tcp = dict(value)
                ports = (int(tcp["tcp.srcport"]), int(tcp["tcp.dstport"]))
            if key == "lumbra":
                flat = []
                _flatten(value, flat)
                found.append(Message(number, flat, ports))
    return found


def summaries(capture, *arguments):
    """tshark's one-line summaries (frame number, Info column), two passes."""
    out = tshark(capture, "-2", "-T", "fields", "-e", "frame.number", "-e", "_ws.col.Info", *arguments)
    return [line.split("\t", 1) for line in out.splitlines() if line]
