#!/usr/bin/env python3
"""Static check of a Windows DLL against an expectation file.

Reads `objdump -p` and compares:
  export ORDINAL NAME   every named export, exactly (no more, no fewer)
  import DLLNAME        the imported DLLs, exactly (case-insensitive)
  entry NAME...         names that must share one entry point (same RVA)
  string TEXT           a text that must occur in the file (UTF-16LE or 8-bit),
                        e.g. a version resource's FileDescription
Lines starting with '#' are comments. Prints one line per finding and a
closing "N passed, N failed".
"""
import argparse
import re
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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--objdump", default="objdump")
    ap.add_argument("--expect", required=True)
    ap.add_argument("dll")
    a = ap.parse_args()

    imports, exports, rvas = read_pe(a.objdump, a.dll)
    want_exports, want_imports, entries, strings = {}, [], [], []
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

    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
