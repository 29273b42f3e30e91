#!/usr/bin/env python3
"""Writes the calling-convention block into the three public headers, so that
it is one text: the same lines in lumbra32.h, tabrel32.h and orvak32.h, each
with its own macro names. Run after changing BLOCK:
    python3 scripts/calling_convention.py
--check compares and writes nothing (exit status 1 when a header differs).

The headers ship alone (an integrator may take one of them), so each carries
the block itself instead of including a fourth header."""
import argparse
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent

# header, its calling-convention macro, its export macro
HEADERS = [
    ("client/lumbra32.h", "LUMBRA_CALL", "LUMBRA_EXPORT"),
    ("validator/tabrel32.h", "TABREL_CALL", "TABREL_EXPORT"),
    ("keyring/orvak32.h", "ORVAK_CALL", "ORVAK_API"),
]

FIRST_LINE = "/* The calling convention and export of every function of this header (the"

BLOCK = """\
/* The calling convention and export of every function of this header (the
   same block in lumbra32.h, tabrel32.h and orvak32.h):
   - CALL is stdcall (the called function removes its arguments) on
     32-bit x86: Windows with any compiler, and i386 Linux. Elsewhere (64-bit
     Windows, x86_64 Linux) it is empty: the platform has one convention.
   - EXPORT is empty on Windows, where the library's module definition
     (.def) file gives the names and ordinals; elsewhere it makes the
     functions of this header the only symbols of the library with default
     visibility. */
#if defined(_WIN32) && !defined(_WIN64)
#  define CALL __stdcall
#elif defined(__i386__)
#  define CALL __attribute__((stdcall))
#else
#  define CALL
#endif
#if defined(_WIN32)
#  define EXPORT
#else
#  define EXPORT __attribute__((visibility("default")))
#endif
"""


def block_for(call, export):
    text = re.sub(r"\bCALL\b", call, BLOCK)
    return re.sub(r"\bEXPORT\b", export, text)


def find_block(lines):
    """(first, end) line indexes of the block in a header: from its first
    comment line to the #endif that closes its second #if; None when absent."""
    try:
        first = next(i for i, line in enumerate(lines) if line.rstrip("\n") == FIRST_LINE)
    except StopIteration:
        return None
    depth = groups = 0
    for i in range(first, len(lines)):
        directive = lines[i].lstrip()
        if re.match(r"#\s*if", directive):
            depth += 1
        elif re.match(r"#\s*endif", directive):
            depth -= 1
            if depth == 0:
                groups += 1
                if groups == 2:
                    return first, i + 1
    return None


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true", help="compare, write nothing")
    parser.add_argument("--root", type=pathlib.Path, default=ROOT, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    stale = 0
    for header, call, export in HEADERS:
        path = args.root / header
        lines = path.read_text(encoding="latin-1").splitlines(keepends=True)
        span = find_block(lines)
        if span is None:
            print(f"{header}: no calling-convention block (its first line: {FIRST_LINE})")
            return 1
        wanted = block_for(call, export)
        current = "".join(lines[span[0]:span[1]])
        if current == wanted:
            continue
        if args.check:
            stale += 1
            print(f"{header}: the calling-convention block differs: run python3 scripts/calling_convention.py")
            continue
        text = "".join(lines[:span[0]]) + wanted + "".join(lines[span[1]:])
        path.write_text(text, encoding="latin-1")
        print(f"{header}: block written")
    if args.check and not stale:
        print(f"calling-convention block the same in {len(HEADERS)} headers")
    return 1 if stale else 0


if __name__ == "__main__":
    sys.exit(main())
