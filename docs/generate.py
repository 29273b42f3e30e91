#!/usr/bin/env python3
"""Writes the integrator's page of each library (docs/<library>.md) from its
chief header and its .def file, so that the manual is kept in one place: the
header. Run after changing a header:  python3 docs/generate.py"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent

LIBRARIES = [
    {
        "name": "lumbra32",
        "header": "client/lumbra32.h",
        "def": "client/lumbra32.def",
        "summary": "the client of the database server: sessions over TCP, commands with "
                   "batched updates, row retrieval, CRC-16, EBCDIC and binary inserts.",
        "order": [
            "`LBConnect` opens a session and returns its handle (0 to 499) in the low 16 bits of its result.",
            "`LBCommand` runs one command; after a `SELECT`, `LBGetNext` delivers the rows one a call "
            "until it returns -10. `INSERT`, `UPDATE` and `DELETE` are batched and reach the server "
            "with the next `COMMIT` (or earlier, before any other command or when the batch is full).",
            "For a binary insert: `LBInsertBin` prepares the caller's buffer, then the same buffer "
            "goes to `LBCommand` on the same session.",
            "`LBDisconn` ends the session; it frees the handle whatever the server answers.",
            "`LBCRC` and `LBAsciiToEbcdic` need no session.",
            "Message buffers carry no length: give them the announced message length (`,ML=` in the "
            "login reply and in `SET` replies; 1901 before any) plus one byte, and for `LBGetNext` "
            "at least the row length plus one; never less than 256 bytes, the room the library's "
            "own texts take, whatever length the server announces.",
        ],
    },
    {
        "name": "tabrel32",
        "header": "validator/tabrel32.h",
        "def": "validator/tabrel32.def",
        "summary": "the validator of declaration-and-receipt files whose records carry CRC-32 "
                   "fields; writes a cleaned copy and an error log.",
        "order": [
            "Fill a `ValidationRequest` (paths, two 11-byte output buffers, the offset of the "
            "declaration CRC in the header, the three tags) and pass it by value to `TBTabrel`.",
            "0 means a clean file (the cleaned copy remains, the log is deleted); 1 to 6 count "
            "errors or tell an early stop (the log remains, the copy is deleted).",
            "The library keeps no state: runs on different files may overlap.",
        ],
    },
    {
        "name": "orvak32",
        "header": "keyring/orvak32.h",
        "def": "keyring/orvak32.def",
        "summary": "the ring of RSA public keys kept in PGP 2.x packets: load, search, add, "
                   "remove and save.",
        "order": [
            "`LoadPublicKeys` (or `empty_publist`) gives a `KeyList`; every call that can change "
            "a list returns the list to use from then on.",
            "Records the host passes are copied; the library frees its records only in "
            "`free_publist`, `rm_head_publist` and `RemovePublicKey`.",
            "`RemovePublicKey` consumes the list it is given and returns it partly reversed: the "
            "records before the removed one in reverse order, then the rest in their order (all of "
            "it reversed when nothing matched); it does not re-sort.",
            "`SavePublicKeys` writes the ring; `free_publist` releases it.",
        ],
    },
]

MACROS = re.compile(r"\b(?:[A-Z]+_(?:CALL|EXPORT|API))\b\s*")
EXPORT = re.compile(r"\b[A-Z]+_(?:EXPORT|API)\b")
FUNCTION = re.compile(r"(\w+)\s*\(")
BOILERPLATE = re.compile(r'^\s*(#|extern "C"|}\s*$|$)')


def chunks(text):
    """Comments and code of a header, in order: ('comment', text) / ('code', text)."""
    pos = 0
    for match in re.finditer(r"/\*.*?\*/", text, re.S):
        line_start = text.rfind("\n", 0, match.start()) + 1
        if text[line_start:match.start()].strip():
            continue  # a comment at the end of a code line stays with its code
        if match.start() > pos:
            yield "code", text[pos:match.start()]
        yield "comment", match.group(0)
        pos = match.end()
    if pos < len(text):
        yield "code", text[pos:]


def comment_text(raw):
    body = raw[2:-2]
    lines = body.split("\n")
    if lines and lines[0].strip() == "":
        lines = lines[1:]
    lines = [line[3:] if line.startswith("   ") else line.lstrip() if i == 0 else line
             for i, line in enumerate(lines)]
    lines = [line.rstrip() for line in lines]
    while lines and not lines[-1].strip():
        lines.pop()
    return "\n".join(lines).strip("\n")


def code_text(raw):
    lines = [line for line in raw.split("\n") if not BOILERPLATE.match(line)]
    # Drop a preprocessor block's continuation lines (#if ... #endif bodies are macros only).
    code = "\n".join(lines).strip()
    return MACROS.sub("", code)


def is_banner(text):
    return text.startswith("-----")


def render(library):
    header = (ROOT / library["header"]).read_text(encoding="latin-1")
    out = []
    name = library["name"]
    first = header.split("\n", 1)[0]
    title = first.split("--", 1)[1].strip(" */") if "--" in first else name
    out.append(f"# {name}\n")
    out.append(f"{title[0].upper() + title[1:]}\n" if title != name else "")
    out.append(f"<!-- Written by docs/generate.py from {library['header']} and {library['def']}; "
               "edit those and run python3 docs/generate.py. -->\n")
    out.append(f"`{name}` is {library['summary']}\n")
    out.append("Deliverable: `build/win32/bin/" + name + ".dll` (32-bit Windows, stdcall, `make dlls`); "
               "on Linux `lib" + name + ".so` (C linkage) for tests and tools. "
               f"Include `{library['header']}`.\n")
    out.append("## Calling order\n")
    out.extend(f"- {line}" for line in library["order"])
    out.append("")

    def_path = ROOT / library["def"]
    if def_path.exists():
        out.append("## Exports of the DLL\n")
        out.append("| ordinal | name |")
        out.append("|---:|---|")
        rows = []
        for line in def_path.read_text().splitlines():
            match = re.match(r"\s*([\w@]+)(?:\s*=\s*\S+)?\s+@(\d+)", line)
            if match:
                rows.append((int(match.group(2)), match.group(1)))
        out.extend(f"| {ordinal} | `{export}` |" for ordinal, export in sorted(rows))
        out.append("")
        used = {ordinal for ordinal, _ in rows}
        gaps = [str(n) for n in range(1, max(used, default=0)) if n not in used]
        if gaps:
            listed = ", ".join(gaps[:-1]) + " and " + gaps[-1] if len(gaps) > 1 else gaps[0]
            out.append(f"Ordinal{'s' if len(gaps) > 1 else ''} {listed} {'are' if len(gaps) > 1 else 'is'} "
                       "not assigned.\n")

    out.append("## Reference\n")
    overview_done = False
    pending = None  # a comment waiting for the code it describes
    for kind, text in chunks(header):
        if kind == "comment":
            if pending is not None:
                out.append("```text\n" + pending + "\n```\n")
            body = comment_text(text)
            if not overview_done:
                overview_done = True
                body = body.split("\n", 1)[1].strip("\n") if "\n" in body else ""
                if body:
                    out.append("```text\n" + body + "\n```\n")
                pending = None
                continue
            if is_banner(body):
                lines = [line for line in body.split("\n") if not line.startswith("-----")]
                heading = lines[0].strip() if lines else ""
                rest = "\n".join(lines[1:]).strip("\n")
                out.append(f"### {heading}\n")
                if rest:
                    out.append("```text\n" + rest + "\n```\n")
                pending = None
                continue
            pending = body
            continue
        code = code_text(text)
        if not code:
            if text.strip():
                pending = None  # a comment on preprocessor lines concerns the build only
            continue
        if EXPORT.search(text):
            # One declaration a statement, on one line.
            code = "\n".join(re.sub(r"\s+", " ", statement).strip() + ";"
                             for statement in code.split(";") if statement.strip())
            function = FUNCTION.search(code)
            if function:
                out.append(f"#### {function.group(1)}\n")
        out.append("```c\n" + code + "\n```\n")
        if pending is not None:
            out.append("```text\n" + pending + "\n```\n")
            pending = None
    if pending is not None:
        out.append("```text\n" + pending + "\n```\n")
    return "\n".join(out).rstrip("\n") + "\n"


def main():
    written = 0
    for library in LIBRARIES:
        if not (ROOT / library["header"]).exists():
            print(f"docs: {library['header']} not there yet, {library['name']}.md left as it is")
            continue
        target = ROOT / "docs" / f"{library['name']}.md"
        target.write_text(render(library), encoding="utf-8")
        written += 1
        print(f"docs: wrote {target.relative_to(ROOT)}")
    return 0 if written else 1


if __name__ == "__main__":
    sys.exit(main())
