#!/usr/bin/env python3
"""Static check of a Windows DLL against an expectation file.

Reads `objdump -p` and compares:
  export ORDINAL NAME   every named export, exactly (no more, no fewer)
  import DLLNAME        the imported DLLs, exactly (case-insensitive)
  entry NAME...         names that must share one entry point (same RVA)
  string TEXT           a text that must occur in the file (UTF-16LE or 8-bit)
  version NAME VALUE    a field of the version resource: a string of its
                        StringFileInfo (FileVersion, FileDescription, ...), or
                        FILEVERSION / PRODUCTVERSION, the fixed numbers as a.b.c.d;
                        @VERSION@ in VALUE stands for the --version argument
Lines starting with '#' are comments. Prints one line per finding and a
closing "N passed, N failed".
"""
import argparse
import re
import struct
import subprocess
import sys


def read_pe(objdump, dll):
    out = subprocess.run([objdump, "-p", dll], check=True, capture_output=True, text=True).stdout
    imports = [m.group(1) for m in re.finditer(r"^\s*DLL Name: (\S+)", out, re.M)]
    base = 1
    m = re.search(r"Export Address Table -- Ordinal Base (\d+)", out)
    if m:
        base = int(m.group(1))
    rvas = {}
    sect = re.search(r"Export Address Table -- Ordinal Base \d+\n(.*?)\n\n", out, re.S)
    if sect:
        for m in re.finditer(r"\[\s*(\d+)\] \+base\[\s*(\d+)\]\s+([0-9a-fA-F]+)", sect.group(1)):
            rvas[int(m.group(2))] = m.group(3)
    exports = {}
    sect = re.search(r"\[Ordinal/Name Pointer\] Table\n(.*?)(?:\n\n|\Z)", out, re.S)
    if sect:
        for m in re.finditer(r"\[\s*(\d+)\] (\S+)", sect.group(1)):
            exports[m.group(2)] = int(m.group(1)) + base
    return imports, exports, rvas


def read_version_resource(data):
    """The version resource of a PE file as a dict: every string of its
    StringFileInfo, and FILEVERSION / PRODUCTVERSION as "a.b.c.d". Empty when
    the file has none. The resource is a tree of nodes (length, value length,
    type, UTF-16 key, value, children), each aligned on 4 bytes."""
    key = "VS_VERSION_INFO".encode("utf-16-le") + b"\0\0"
    start = data.find(key)
    if start < 6:
        return {}
    start -= 6
    fields = {}

    def align(offset):
        return start + ((offset - start + 3) & ~3)

    def node(offset, depth, path):
        length, value_length, kind = struct.unpack_from("<HHH", data, offset)
        end = offset + length
        name_end = offset + 6
        while data[name_end:name_end + 2] != b"\0\0":
            name_end += 2
        name = data[offset + 6:name_end].decode("utf-16-le")
        value_at = align(name_end + 2)
        if depth == 0 and value_length >= 52:
            sig, _, fms, fls, pms, pls = struct.unpack_from("<6I", data, value_at)
            if sig == 0xFEEF04BD:
                fields["FILEVERSION"] = f"{fms >> 16}.{fms & 0xFFFF}.{fls >> 16}.{fls & 0xFFFF}"
                fields["PRODUCTVERSION"] = f"{pms >> 16}.{pms & 0xFFFF}.{pls >> 16}.{pls & 0xFFFF}"
        value_bytes = value_length * 2 if kind == 1 else value_length
        if len(path) == 2 and path[0] == "StringFileInfo":
            text = data[value_at:value_at + value_bytes].decode("utf-16-le")
            fields[name] = text.split("\0", 1)[0]
        child = align(value_at + value_bytes)
        while child < end:
            size = struct.unpack_from("<H", data, child)[0]
            if size == 0:
                break
            node(child, depth + 1, path + [name] if depth > 0 else [])
            child = align(child + size)

    node(start, 0, [])
    return fields


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--objdump", default="objdump")
    ap.add_argument("--expect", required=True)
    ap.add_argument("--version", default="", help="the suite version, for @VERSION@")
    ap.add_argument("dll")
    a = ap.parse_args()

    imports, exports, rvas = read_pe(a.objdump, a.dll)
    want_exports, want_imports, entries, strings, versions = {}, [], [], [], []
    for raw in open(a.expect, encoding="utf-8"):
        line = raw.strip()
        if not line or line.startswith("#"):
            continue
        kind, _, rest = line.partition(" ")
        if kind == "export":
            ordinal, name = rest.split()
            want_exports[name] = int(ordinal)
        elif kind == "import":
            want_imports.append(rest.strip())
        elif kind == "entry":
            entries.append(rest.split())
        elif kind == "string":
            strings.append(rest)
        elif kind == "version":
            name, _, value = rest.partition(" ")
            versions.append((name, value.replace("@VERSION@", a.version)))
        else:
            sys.exit(f"{a.expect}: unknown line: {line}")

    passed = failed = 0

    def check(ok, text):
        nonlocal passed, failed
        print(("ok    " if ok else "FAIL  ") + text)
        if ok:
            passed += 1
        else:
            failed += 1

    for name, ordinal in want_exports.items():
        got = exports.get(name)
        check(got == ordinal, f"export {name} @{ordinal}" + ("" if got == ordinal else f" (found {got})"))
    extra = sorted(set(exports) - set(want_exports))
    check(not extra, "no other exports" + (f" (found {', '.join(extra)})" if extra else ""))

    got_imports = sorted(i.lower() for i in imports)
    check(got_imports == sorted(i.lower() for i in want_imports),
          f"imports exactly {', '.join(sorted(want_imports))} (found {', '.join(sorted(imports))})")

    for names in entries:
        addrs = {rvas.get(exports.get(n)) for n in names}
        check(len(addrs) == 1 and None not in addrs, f"one entry point for {', '.join(names)}")

    if strings:
        data = open(a.dll, "rb").read()
        for s in strings:
            found = s.encode("utf-16-le") in data or s.encode("cp1252") in data
            check(found, f"text \"{s}\" present")

    if versions:
        fields = read_version_resource(open(a.dll, "rb").read())
        for name, value in versions:
            got = fields.get(name)
            check(got == value, f"version {name} \"{value}\"" + ("" if got == value else f" (found {got!r})"))

    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
