#!/usr/bin/env python3
"""Module definitions for import libraries, made from a DLL's .def file.

A DLL's .def file maps each export name to the symbol that implements it, with
its ordinal ("LBCRC = LBCRC@8 @2" on 32-bit x86, "LBCRC @2" on x86_64). An
import library is made from the caller's side instead: the symbol a caller's
compiler emits, decorated on 32-bit x86 with the bytes of arguments a stdcall
function removes ("LBCRC@8"), so that llvm-dlltool -k or dlltool -k bind
_LBCRC@8 and __imp__LBCRC@8 to the export LBCRC. Export names that are
decorated themselves (_TBTabrel@40) are left out: a caller's symbol for them
would name another export; they are for callers that look names up at run
time.

  import_def.py parse FILE.def          prints "ORDINAL NAME" per export
  import_def.py write --arch i386|x86_64 DLL.def OUT.def DLLNAME
"""
import re
import sys

EXPORT = re.compile(r"^\s*([A-Za-z_][A-Za-z0-9_@]*)(?:\s*=\s*([A-Za-z_][A-Za-z0-9_@]*))?\s*@(\d+)\s*$")


def read_def(path):
    """[(name, symbol, ordinal)] of the EXPORTS section, in file order."""
    exports = []
    in_exports = False
    for raw in open(path, encoding="ascii"):
        line = raw.split(";", 1)[0].strip()
        if not line:
            continue
        if line.upper() == "EXPORTS":
            in_exports = True
            continue
        if not in_exports:
            continue
        m = EXPORT.match(line)
        if not m:
            sys.exit(f"{path}: cannot read export line: {raw.rstrip()}")
        name, symbol, ordinal = m.group(1), m.group(2) or m.group(1), int(m.group(3))
        exports.append((name, symbol, ordinal))
    return exports


def caller_symbols(exports, arch):
    """[(caller symbol as written in an import .def, export name, ordinal)]."""
    out = []
    for name, symbol, ordinal in exports:
        if "@" in name:
            continue
        decoration = ""
        if arch == "i386":
            m = re.search(r"@(\d+)$", symbol)
            if m:
                decoration = "@" + m.group(1)
        out.append((name + decoration, name, ordinal))
    return out


def main(argv):
    if len(argv) == 3 and argv[1] == "parse":
        for name, _, ordinal in read_def(argv[2]):
            print(ordinal, name)
        return 0
    if len(argv) == 7 and argv[1] == "write" and argv[2] == "--arch" and argv[3] in ("i386", "x86_64"):
        arch, source, target, dll = argv[3], argv[4], argv[5], argv[6]
        with open(target, "w", encoding="ascii", newline="\n") as out:
            out.write(f"; {dll}: the symbols callers link against, bound to the export names.\n")
            out.write(f"LIBRARY {dll}\nEXPORTS\n")
            for caller, _, ordinal in caller_symbols(read_def(source), arch):
                out.write(f"  {caller} @{ordinal}\n")
        return 0
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
