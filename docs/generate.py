#!/usr/bin/env python3
"""Writes the integrator's page of each library (docs/<library>.md) from its
chief header and its .def file, so that the manual is kept in one place: the
header. Run after changing a header:

    python3 docs/generate.py           writes the pages
    python3 docs/generate.py --check   writes nothing; exit status 1, naming
                                       each page, when a page is not what the
                                       header and .def file make of it

The pages ship in the integrators' bundles as they are, so they name files
as an integrator sees them (lumbra32.h, lumbra32.dll), never paths of this
tree."""
import argparse
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
            "until it returns `LB_NO_ROWS` (-10). `INSERT`, `UPDATE` and `DELETE` are batched and reach the server "
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
        "see_also": [
            ("protocol.md", "the wire protocol and the command language: what each command sends, "
             "what the server answers, how a SELECT's rows split into columns"),
            ("troubleshooting.md", "every status, its cause and what to do; blocking calls in a GUI host"),
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
            "`TB_OK` (0) means a clean file (the cleaned copy remains, the log is deleted); 1 to 6 count "
            "errors or tell an early stop (the log remains, the copy is deleted).",
            "The library keeps no state: runs on different files may overlap.",
            "The CRC-32 of the records is the common one of zlib and PKZIP (CRC-32/ISO-HDLC: "
            "reflected polynomial 0xEDB88320, preset 0xFFFFFFFF, final complement); "
            "\"123456789\" gives 0xCBF43926.",
        ],
        "see_also": [
            ("troubleshooting.md", "every result, its cause and what to do"),
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
        "see_also": [
            ("troubleshooting.md", "every status, its cause and what to do"),
        ],
    },
]

MACROS = re.compile(r"\b(?:[A-Z]+_(?:CALL|EXPORT|API))\b\s*")
EXPORT = re.compile(r"\b[A-Z]+_(?:EXPORT|API)\b")
FUNCTION = re.compile(r"(\w+)\s*\(")
DEFINE = re.compile(r"^\s*#\s*define\s+([A-Za-z_]\w*)\s+\S")
CODE_BOILERPLATE = re.compile(r'^\s*(extern "C"|}\s*$|$)')


class LayoutError(Exception):
    pass


# Record layouts, as the compilers of both targets lay them out: every field
# at the next multiple of its alignment, the record's size a multiple of its
# largest alignment. Pointers are 4 bytes in the 32-bit builds, 8 in the
# 64-bit ones; the fixed-width types are the same in both.
SCALARS = {"int8_t": 1, "uint8_t": 1, "char": 1, "int16_t": 2, "uint16_t": 2, "int32_t": 4, "uint32_t": 4}
TARGETS = [("32-bit", 4), ("64-bit", 8)]
STRUCT = re.compile(r"\bstruct\s+(\w+)\s*\{(.*?)\}\s*;", re.S)
FIELD = re.compile(r"^(?:const\s+)?(struct\s+\w+|\w+)\s*(\*?)\s*(\w+)\s*(?:\[(\d+)\])?$")


def strip_comments(text):
    return re.sub(r"/\*.*?\*/", " ", text, flags=re.S)


def layouts(header):
    """{struct name: {target: (size, [(field, offset, size)])}} of the header's records."""
    found = {}
    for match in STRUCT.finditer(strip_comments(header)):
        name, body = match.group(1), match.group(2)
        per_target = {}
        for target, pointer in TARGETS:
            offset, largest, fields = 0, 1, []
            for declaration in body.split(";"):
                declaration = " ".join(declaration.split())
                if not declaration:
                    continue
                field = FIELD.match(declaration)
                if not field:
                    raise LayoutError(f"struct {name}: cannot lay out the field '{declaration}'")
                kind, star, field_name, count = field.groups()
                if star:
                    size = align = pointer
                elif kind in SCALARS:
                    size = align = SCALARS[kind]
                elif kind.startswith("struct ") and kind[7:] in found:
                    size, _, align = found[kind[7:]][target]
                else:
                    raise LayoutError(f"struct {name}: no layout known for the type '{kind}'")
                offset = (offset + align - 1) // align * align
                total = size * (int(count) if count else 1)
                fields.append((field_name, offset, total))
                offset += total
                largest = max(largest, align)
            size = (offset + largest - 1) // largest * largest
            per_target[target] = (size, fields, largest)
        found[name] = per_target
    return found


def layout_tables(header):
    """Markdown: one table of sizes, then each record's field offsets."""
    records = layouts(header)
    if not records:
        return []
    out = ["## Record sizes\n",
           "The records the host fills or reads itself, as the 32-bit DLLs (win32) and the 64-bit "
           "ones (win64, and the Linux x86_64 libraries) lay them out. A language that declares "
           "them by hand must match these sizes and offsets.\n",
           "| record | 32-bit | 64-bit |", "|---|---:|---:|"]
    for name, per_target in records.items():
        out.append(f"| `struct {name}` | {per_target['32-bit'][0]} bytes | {per_target['64-bit'][0]} bytes |")
    out.append("")
    for name, per_target in records.items():
        out.append(f"`struct {name}`, offset and size of each field in bytes:\n")
        out.append("| field | 32-bit offset | 64-bit offset | 32-bit size | 64-bit size |")
        out.append("|---|---:|---:|---:|---:|")
        for (field, offset32, size32), (_, offset64, size64) in zip(per_target["32-bit"][1],
                                                                    per_target["64-bit"][1]):
            out.append(f"| `{field}` | {offset32} | {offset64} | {size32} | {size64} |")
        out.append("")
    return out


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


ESCAPE = re.compile(r"\\x([0-9A-Fa-f]{2})")
GAP = re.compile(r"  +")


def windows_1252(text):
    r"""Header comments write Windows-1252 bytes as escapes (\xE1); the page shows the characters.
    Where a line's escapes stand before a gap that lines up a column, the gap is made as wide as
    the column needs once the escapes have become single characters."""
    lines = text.split("\n")
    columns = {}
    for line in lines:
        for gap in GAP.finditer(line):
            columns[gap.end()] = columns.get(gap.end(), 0) + 1
    out = []
    for line in lines:
        escapes = list(ESCAPE.finditer(line))
        if escapes:
            shrink = 3 * len(escapes)
            converted = ESCAPE.sub(lambda m: bytes([int(m.group(1), 16)]).decode("cp1252"), line)
            gap = GAP.search(converted, escapes[-1].end() - shrink)
            if gap:
                near = [c for c in columns if gap.start() + 2 <= c <= gap.end() + shrink and columns[c] > 2]
                if near:
                    column = max(near, key=lambda c: (columns[c], -abs(c - gap.end())))
                    converted = converted[:gap.start()] + " " * (column - gap.start()) + converted[gap.end():]
            line = converted
        out.append(line)
    return "\n".join(out)


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
    return windows_1252("\n".join(lines).strip("\n"))


def code_text(raw):
    """The declarations of a piece of header code, without the build's scaffolding: include
    guards, conditionals, includes and the calling-convention and export macros go; a #define
    of a constant the host uses stays."""
    lines = []
    for line in raw.split("\n"):
        if line.lstrip().startswith("#"):
            define = DEFINE.match(line)
            if define and not MACROS.fullmatch(define.group(1) + " ") and not define.group(1).endswith("_H"):
                lines.append(re.sub(r"^\s*#\s*define", "#define", line))
            continue
        if CODE_BOILERPLATE.match(line):
            continue
        lines.append(line)
    return MACROS.sub("", "\n".join(lines).strip())


def is_banner(text):
    return text.startswith("-----")


def render(library, root=ROOT):
    header = (root / library["header"]).read_text(encoding="latin-1")
    out = []
    name = library["name"]
    header_file = pathlib.PurePath(library["header"]).name
    def_file = pathlib.PurePath(library["def"]).name
    first = header.split("\n", 1)[0]
    title = first.split("--", 1)[1].strip(" */") if "--" in first else name
    out.append(f"# {name}\n")
    out.append(f"{title[0].upper() + title[1:]}\n" if title != name else "")
    out.append(f"<!-- Written from {header_file} and {def_file} by the suite's page generator; "
               "edit those, not this page. -->\n")
    out.append(f"`{name}` is {library['summary']}\n")
    out.append(f"The DLL is `{name}.dll`: 32-bit Windows (every export stdcall) and 64-bit Windows, "
               f"with the same names and ordinals; on Linux the same library is `lib{name}.so` "
               f"(C linkage). Its header, `{header_file}`, is this page's source.\n")
    out.append("## Calling order\n")
    out.extend(f"- {line}" for line in library["order"])
    out.append("")

    def_path = root / library["def"]
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

    out.extend(layout_tables(header))

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

    out.append("## See also\n")
    out.extend(f"- [{target}]({target}): {text}" for target, text in library["see_also"])
    return "\n".join(out).rstrip("\n") + "\n"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true", help="compare, write nothing")
    parser.add_argument("--root", type=pathlib.Path, default=ROOT, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    root = args.root.resolve()
    done = stale = 0
    for library in LIBRARIES:
        if not (root / library["header"]).exists():
            print(f"docs: {library['header']} not there yet, {library['name']}.md left as it is")
            continue
        target = root / "docs" / f"{library['name']}.md"
        try:
            page = render(library, root)
        except LayoutError as error:
            print(f"docs: {library['header']}: {error}")
            return 1
        done += 1
        if args.check:
            current = target.read_text(encoding="utf-8") if target.exists() else None
            if current != page:
                stale += 1
                print(f"docs: docs/{target.name} is not current with {library['header']} "
                      f"and {library['def']}: run python3 docs/generate.py")
            continue
        target.write_text(page, encoding="utf-8")
        print(f"docs: wrote docs/{target.name}")
    if args.check and not stale and done:
        print(f"docs: {done} pages current")
    return 0 if done and not stale else 1


if __name__ == "__main__":
    sys.exit(main())
