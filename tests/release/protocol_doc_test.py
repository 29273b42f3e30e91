#!/usr/bin/env python3
"""Replays the worked examples of docs/protocol.md against the reference server.

The page's ```session blocks, taken in order, are one host's calls of lumbra32 with what each
call returns, what it leaves in its buffers, and the bytes that travel for it. This program makes
those calls through the native lumbra32 library, with a recording relay between the library and a
lumbra-server on a fresh database in a temporary folder, and compares every result, buffer and
byte with the page.

A block holds, one a line:
  char NAME[N] = "text";          a buffer of the host, N bytes, holding the text
  [N × ]CALL(ARGUMENTS) = RESULT  a call (N times) and its result; the handle is h (the result of
                                  the last successful LBConnect), buffers are named
    NAME: "text"                  what a buffer holds after the call above, up to its first NUL
    NAME[N]: "bytes"              its first N bytes
  > bytes                         what the client sends for the call above
  < bytes                         what the server answers
  // text                         a remark for the reader
Texts and bytes are written as in C ("\\x00", "\\\\", "\\""); a line of bytes ending in a lone
backslash goes on in the next line. In texts and bytes, "‹N bytes: what›" stands for N bytes of any
value and "‹what›" for one or more. The address "127.0.0.1:3001" is the relay's.

Usage: protocol_doc_test.py --server LUMBRA-SERVER --library LIBLUMBRA32 PAGE
Prints one line per call and "N passed, N failed"; exit status 0 when all passed."""
import argparse
import ctypes
import re
import select
import socket
import sys
import threading
import time

from reference_server import Server

DOC_ADDRESS = "127.0.0.1:3001"
WILDCARD = re.compile("‹(?:(\\d+) bytes?: )?[^›]*›")


class PageError(Exception):
    pass


def unescape(text, where):
    """Bytes of a C-like text (without its quotes); wildcards kept as regular expression pieces.
    Returns a compiled pattern and the literal bytes (None when a wildcard is in it)."""
    pattern, literal, i, has_wildcard = b"", b"", 0, False
    while i < len(text):
        c = text[i]
        if c == "‹":
            match = WILDCARD.match(text, i)
            if not match:
                raise PageError(f"{where}: unclosed ‹")
            pattern += b"(?:.{%d})" % int(match.group(1)) if match.group(1) else b"(?:.+?)"
            has_wildcard = True
            i = match.end()
            continue
        if c == "\\":
            if i + 1 >= len(text):
                raise PageError(f"{where}: a lone backslash")
            n = text[i + 1]
            if n == "x":
                value = bytes([int(text[i + 2:i + 4], 16)])
                i += 4
            else:
                value = {"\\": b"\\", '"': b'"', "r": b"\r", "n": b"\n", "0": b"\0", "t": b"\t"}.get(n)
                if value is None:
                    raise PageError(f"{where}: unknown escape \\{n}")
                i += 2
        else:
            value = c.encode("cp1252")
            i += 1
        pattern += re.escape(value)
        literal += value
    return re.compile(pattern + b"\\Z", re.S), None if has_wildcard else literal


def split_arguments(text, where):
    """The arguments of a call, each a C string literal, a number or a name."""
    out, i = [], 0
    while i < len(text):
        if text[i] in " ,":
            i += 1
            continue
        if text[i] == '"':
            j = i + 1
            while j < len(text) and text[j] != '"':
                j += 2 if text[j] == "\\" else 1
            if j >= len(text):
                raise PageError(f"{where}: unclosed text")
            out.append(("text", text[i + 1:j]))
            i = j + 1
            continue
        match = re.compile(r"-?(0x[0-9A-Fa-f]+|\d+)|[A-Za-z_]\w*").match(text, i)
        if not match:
            raise PageError(f"{where}: cannot read the arguments '{text}'")
        token = match.group(0)
        out.append(("number", int(token, 0)) if match.group(1) else ("name", token))
        i = match.end()
    return out


CALL = re.compile(r"^(?:(\d+) × )?(LB\w+)\((.*)\) = (-?(?:0x[0-9A-Fa-f]+|\d+))$")
DECLARATION = re.compile(r'^char (\w+)\[(\d+)\] = "(.*)";$')
CONTENT = re.compile(r'^\s+(\w+)(?:\[(\d+)\])?: "(.*)"$')


def continues(line):
    """Whether a line ends in a lone backslash (an odd number of them): it goes on in the next."""
    return (len(line) - len(line.rstrip("\\"))) % 2 == 1


def read_blocks(page):
    """[(line number, [steps])], one per ```session block; steps are dictionaries."""
    lines = open(page, encoding="utf-8").read().split("\n")
    blocks, i = [], 0
    while i < len(lines):
        if lines[i].strip() != "```session":
            i += 1
            continue
        start, steps, i = i + 1, [], i + 1
        while i < len(lines) and lines[i].strip() != "```":
            line, number = lines[i], i + 1
            where = f"{page}:{number}"
            i += 1
            if not line.strip() or line.lstrip().startswith("//"):
                continue
            while continues(line) and i < len(lines) and lines[i].strip() != "```":
                line = line[:-1] + lines[i].lstrip()
                i += 1
            if line[:2] in ("> ", "< "):
                data = line[2:]
                if not steps or steps[-1]["kind"] not in ("call",):
                    raise PageError(f"{where}: bytes without a call before them")
                wire = steps[-1]["wire"]
                if wire and wire[-1][0] == line[0]:
                    wire[-1] = (line[0], wire[-1][1] + data, wire[-1][2])
                else:
                    wire.append((line[0], data, where))
                continue
            match = CONTENT.match(line)
            if match:
                if not steps or steps[-1]["kind"] != "call":
                    raise PageError(f"{where}: a buffer's content without a call before it")
                length = int(match.group(2)) if match.group(2) else None
                steps[-1]["contents"].append((match.group(1), length, unescape(match.group(3), where), where))
                continue
            match = DECLARATION.match(line.strip())
            if match:
                steps.append({"kind": "buffer", "name": match.group(1), "size": int(match.group(2)),
                              "text": unescape(match.group(3), where)[1], "where": where})
                continue
            match = CALL.match(line.strip())
            if match:
                steps.append({"kind": "call", "times": int(match.group(1) or 1), "function": match.group(2),
                              "arguments": split_arguments(match.group(3), where),
                              "result": int(match.group(4), 0), "contents": [], "wire": [],
                              "where": where, "text": line.strip()})
                continue
            raise PageError(f"{where}: cannot read '{line}'")
        if i >= len(lines):
            raise PageError(f"{page}:{start}: the block does not end")
        blocks.append((start, steps))
        i += 1
    return blocks


class Relay:
    """A loopback port whose connections are passed to the server; records every byte, in
    order, as ('>' client to server | '<' server to client, bytes), merging a direction's runs."""

    def __init__(self, server_port):
        self.server_port = server_port
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.events = []
        self.lock = threading.Lock()
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            server = socket.create_connection(("127.0.0.1", self.server_port))
            threading.Thread(target=self.pump, args=(client, server), daemon=True).start()

    def pump(self, client, server):
        peers = {client: (server, ">"), server: (client, "<")}
        while True:
            ready, _, _ = select.select(list(peers), [], [], 30)
            if not ready:
                break
            for side in ready:
                data = side.recv(65536)
                if not data:
                    client.close()
                    server.close()
                    return
                other, direction = peers[side]
                with self.lock:
                    if self.events and self.events[-1][0] == direction:
                        self.events[-1] = (direction, self.events[-1][1] + data)
                    else:
                        self.events.append((direction, data))
                other.sendall(data)

    def take(self):
        with self.lock:
            events, self.events = self.events, []
        return events


def show(data):
    out = []
    for byte in data:
        if byte == 0x5C:
            out.append("\\\\")
        elif 0x20 <= byte < 0x7F:
            out.append(chr(byte))
        else:
            out.append(f"\\x{byte:02X}")
    return "".join(out)


class Host:
    def __init__(self, library, relay_port):
        self.lib = ctypes.CDLL(library)
        i32, p = ctypes.c_int32, ctypes.c_char_p
        signatures = {"LBConnect": [p, p, p, p, ctypes.c_void_p], "LBDisconn": [i32, ctypes.c_void_p],
                      "LBCommand": [i32, ctypes.c_void_p, ctypes.c_void_p], "LBGetNext": [i32, ctypes.c_void_p],
                      "LBInsertBin": [i32, ctypes.c_void_p, ctypes.c_void_p, i32],
                      "LBCRC": [i32, ctypes.c_void_p], "LBAsciiToEbcdic": [ctypes.c_void_p]}
        for name, arguments in signatures.items():
            getattr(self.lib, name).argtypes = arguments
            getattr(self.lib, name).restype = i32
        self.address = f"127.0.0.1:{relay_port}".encode()
        self.buffers = {"message": ctypes.create_string_buffer(70000)}
        self.handle = None

    def argument(self, kind, value, where):
        if kind == "number":
            return value
        if kind == "text":
            data = unescape(value, where)[1]
            if data is None:
                raise PageError(f"{where}: a wildcard in an argument")
            if data == DOC_ADDRESS.encode():
                data = self.address
            return ctypes.create_string_buffer(data, len(data) + 1)
        if value == "h":
            if self.handle is None:
                raise PageError(f"{where}: h before a successful LBConnect")
            return self.handle
        if value in self.buffers:
            return self.buffers[value]
        raise PageError(f"{where}: no buffer named {value}")

    def call(self, step):
        arguments = [self.argument(kind, value, step["where"]) for kind, value in step["arguments"]]
        result = getattr(self.lib, step["function"])(*arguments)
        if step["function"] == "LBConnect" and result >= 0:
            self.handle = result
        return result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--library", required=True)
    parser.add_argument("page")
    args = parser.parse_args()
    try:
        blocks = read_blocks(args.page)
    except PageError as error:
        print(f"FAIL  {error}")
        print("0 passed, 1 failed")
        return 1
    if not blocks:
        print(f"FAIL  {args.page} holds no session block")
        print("0 passed, 1 failed")
        return 1
    server = Server(args.server)
    passed = failed = 0
    try:
        relay = Relay(server.port)
        host = Host(args.library, relay.port)
        for _, steps in blocks:
            for step in steps:
                if step["kind"] == "buffer":
                    text = step["text"] or b""
                    host.buffers[step["name"]] = ctypes.create_string_buffer(text, step["size"])
                    continue
                problems = []
                for _ in range(step["times"]):
                    result = host.call(step)
                    if result != step["result"]:
                        problems.append(f"returned {result}, not {step['result']}")
                        break
                for name, length, (pattern, _), where in step["contents"]:
                    buffer = host.buffers.get(name)
                    value = b"" if buffer is None else buffer.raw[:length] if length else buffer.value
                    if buffer is None or not pattern.match(value):
                        problems.append(f"{name} holds \"{show(value)}\"")
                time.sleep(0.05)  # a farewell's close reaches the relay
                events = relay.take()
                expected = step["wire"]
                for k in range(max(len(events), len(expected))):
                    got = events[k] if k < len(events) else None
                    want = expected[k] if k < len(expected) else None
                    if want is None:
                        problems.append(f"unexpected {got[0]} {show(got[1])}")
                    elif got is None:
                        problems.append(f"nothing for {want[0]} at {want[2]}")
                    else:
                        pattern = unescape(want[1], want[2])[0]
                        if got[0] != want[0] or not pattern.match(got[1]):
                            problems.append(f"{got[0]} {show(got[1])}\n        not as at {want[2]}")
                if problems:
                    failed += 1
                    print(f"FAIL  {step['where']}: {step['text']}")
                    for problem in problems:
                        print(f"      {problem}")
                else:
                    passed += 1
                    print(f"ok    {step['text']}")
    finally:
        server.stop()
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
