#!/usr/bin/env python3
"""Static checks of an unpacked release bundle, against the bundle's own .def files.

  check_bundle.py bundle DIR --arch win32|win64 --version X.Y.Z --objdump OBJDUMP --nm NM --cc CC
      every file in its place; each DLL importing only system DLLs, with the export names
      and ordinals of its .def file exactly; its version resource (FileVersion, ProductVersion and the fixed numbers the
      suite version, OriginalFilename its file name, a FileDescription); each import library
      (MinGW lib*.dll.a and Microsoft *.lib) carrying exactly one caller symbol and one
      __imp_ pointer per export a caller links against, and, in the .lib, each bound to its
      export name. The pages: each DLL's page what the bundle's own header and .def file
      make of it, the other pages, the examples, LICENSE and CHANGELOG.md those of the tree;
      the README the one of its architecture (its record sizes compiled with CC from the
      bundle's headers); every page also as HTML; every link between the files leading to a
      file (and a heading) of the bundle; README.html linking every other page; SHA256SUMS
      naming every file.
  check_bundle.py imports EXE DIR --objdump OBJDUMP
      a program linked against the bundle imports from each DLL exactly the export names a
      caller links against (it calls every one), each an export of the .def file.

Prints one line per check and "N passed, N failed"; exit status 0 when none failed.
"""
import argparse
import filecmp
import os
import pathlib
import re
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "static"))
sys.path.insert(0, os.path.join(ROOT, "release"))
sys.path.insert(0, os.path.join(ROOT, "docs"))
import generate  # noqa: E402
from check_dll import read_pe, read_version_resource  # noqa: E402
from import_def import caller_symbols, read_def  # noqa: E402
from checks import Checks  # noqa: E402

LIBRARIES = ["lumbra32", "tabrel32", "orvak32"]
# The pages for integrators, besides one per DLL.
PAGES = ["protocol", "troubleshooting", "wireshark"]
TARGET_NAMES = {"win32": "32-bit Windows (win32)", "win64": "64-bit Windows (win64)"}
DESCRIPTIONS = {"orvak32": "PUBLIC KEYS MANAGEMENT LIBRARY"}
# What each DLL may import: parts of every Windows installation only.
IMPORTS = {"lumbra32": {"kernel32.dll", "msvcrt.dll", "wsock32.dll"},
           "tabrel32": {"kernel32.dll", "msvcrt.dll"},
           "orvak32": {"kernel32.dll", "msvcrt.dll"}}


def archive_members(path):
    """(name, bytes) of each member of an ar archive."""
    data = open(path, "rb").read()
    if not data.startswith(b"!<arch>\n"):
        return []
    members, offset = [], 8
    while offset + 60 <= len(data):
        header = data[offset:offset + 60]
        size = int(header[48:58].decode().strip())
        members.append((header[:16].decode().strip(), data[offset + 60:offset + 60 + size]))
        offset += 60 + size + (size & 1)
    return members


def short_imports(path):
    """[(symbol, dll, name it binds to)] of the short import members of a library."""
    out = []
    for _, body in archive_members(path):
        if len(body) < 20 or body[:4] != b"\x00\x00\xff\xff":
            continue
        flags = struct.unpack_from("<H", body, 18)[0]
        kind, name_type = flags & 3, (flags >> 2) & 7
        symbol, dll = body[20:].split(b"\x00")[:2]
        symbol, dll = symbol.decode(), dll.decode()
        if kind != 0:  # code only
            continue
        name = symbol
        if name_type == 0:
            name = f"#{struct.unpack_from('<H', body, 16)[0]}"
        elif name_type in (2, 3):
            if name[:1] in ("?", "@", "_"):
                name = name[1:]
            if name_type == 3:
                name = name.split("@", 1)[0]
        out.append((symbol, dll, name))
    return out


def nm_symbols(nm, path):
    """Names of the defined symbols of a library."""
    out = subprocess.run([nm, "--defined-only", path], check=True, capture_output=True, text=True).stdout
    names = set()
    for line in out.splitlines():
        parts = line.split()
        if len(parts) == 3:
            names.add(parts[2])
    return names


def expected_symbols(exports, arch):
    """{caller symbol as the compiler emits it: export name}."""
    prefix = "_" if arch == "win32" else ""
    return {prefix + caller: name for caller, name, _ in caller_symbols(exports, "i386" if arch == "win32" else "x86_64")}


def check_bundle(a, check):
    root = a.dir
    for rel in ["README.md", "README.html", "SHA256SUMS", "LICENSE", "CHANGELOG.md"] + \
               [f"{d}/{lib}.{e}" for lib in LIBRARIES for d, e in
                [("bin", "dll"), ("def", "def"), ("lib", "lib"), ("docs", "md"), ("docs", "html"), ("include", "h")]] + \
               [f"lib/lib{lib}.dll.a" for lib in LIBRARIES]:
        check(os.path.isfile(os.path.join(root, rel)), f"{rel} present")
    readme = open(os.path.join(root, "README.md"), encoding="utf-8").read()
    check(a.version in readme and a.arch in readme and "@" + "VERSION@" not in readme,
          f"README names version {a.version} and {a.arch}")

    for lib in LIBRARIES:
        def_path = os.path.join(root, "def", f"{lib}.def")
        dll = os.path.join(root, "bin", f"{lib}.dll")
        if not os.path.isfile(def_path) or not os.path.isfile(dll):
            continue
        exports = read_def(def_path)
        want = {name: ordinal for name, _, ordinal in exports}
        imports, got, _ = read_pe(a.objdump, dll)
        extra = sorted(i for i in imports if i.lower() not in IMPORTS[lib])
        check(not extra, f"{lib}.dll imports only {', '.join(sorted(IMPORTS[lib]))}" +
              (f" (also {', '.join(extra)})" if extra else ""))
        check(got == want, f"{lib}.dll exports exactly the {len(want)} names and ordinals of {lib}.def" +
              ("" if got == want else f" (found {sorted(got.items(), key=lambda x: x[1])})"))

        fields = read_version_resource(open(dll, "rb").read())
        for key, value in [("FileVersion", a.version), ("ProductVersion", a.version),
                           ("FILEVERSION", a.version + ".0"), ("PRODUCTVERSION", a.version + ".0"),
                           ("OriginalFilename", f"{lib}.dll")]:
            check(fields.get(key) == value, f"{lib}.dll version resource {key} \"{value}\"" +
                  ("" if fields.get(key) == value else f" (found {fields.get(key)!r})"))
        description = fields.get("FileDescription", "")
        wanted = DESCRIPTIONS.get(lib)
        check(description != "" and (wanted is None or description == wanted),
              f"{lib}.dll FileDescription \"{description}\"")

        symbols = expected_symbols(exports, a.arch)
        imp = "__imp_"
        for library in [f"lib{lib}.dll.a", f"{lib}.lib"]:
            path = os.path.join(root, "lib", library)
            if not os.path.isfile(path):
                continue
            defined = nm_symbols(a.nm, path)
            got_imp = {s[len(imp):] for s in defined if s.startswith(imp)}
            check(got_imp == set(symbols), f"{library}: __imp_ pointers exactly for {', '.join(sorted(symbols))}" +
                  ("" if got_imp == set(symbols) else f" (found {', '.join(sorted(got_imp))})"))
            missing = sorted(s for s in symbols if s not in defined)
            check(not missing, f"{library}: a caller symbol for each" + (f" (missing {missing})" if missing else ""))
        short = short_imports(os.path.join(root, "lib", f"{lib}.lib"))
        bound = {symbol: (dll_name, name) for symbol, dll_name, name in short}
        want_bound = {symbol: (f"{lib}.dll", name) for symbol, name in symbols.items()}
        check(bound == want_bound, f"{lib}.lib binds " +
              ", ".join(f"{s} to {n}" for s, (_, n) in sorted(want_bound.items())[:2]) + ", ..." +
              ("" if bound == want_bound else f" (found {bound})"))


def tree_files(folder):
    """Paths (relative to the tree) of the files under a folder of the tree, hidden ones left out."""
    base = pathlib.Path(ROOT)
    return sorted(str(p.relative_to(base)) for p in (base / folder).rglob("*")
                  if p.is_file() and not any(part.startswith(".") for part in p.relative_to(base).parts))


def link_targets(path):
    """(target, anchor) of each relative link of a Markdown or HTML file."""
    text = open(path, encoding="utf-8").read()
    if path.endswith(".html"):
        links = re.findall(r'href="([^"]*)"', text)
    else:
        text = re.sub(r"```.*?```", "", text, flags=re.S)
        links = re.findall(r"\]\(([^)\s]+)\)", text)
    out = []
    for link in links:
        if re.match(r"^[a-z]+:", link):
            continue
        target, _, anchor = link.partition("#")
        out.append((target, anchor))
    return out


def html_ids(path):
    return set(re.findall(r'\bid="([^"]+)"', open(path, encoding="utf-8").read()))


def check_pages(a, check):
    root = a.dir
    bundle_files = sorted(str(p.relative_to(root)) for p in pathlib.Path(root).rglob("*") if p.is_file())

    # Each DLL's page as the bundle's own header and .def file make it.
    with tempfile.TemporaryDirectory() as folder:
        for library in generate.LIBRARIES:
            name = library["name"]
            for key, source in (("header", f"include/{name}.h"), ("def", f"def/{name}.def")):
                target = pathlib.Path(folder) / library[key]
                target.parent.mkdir(parents=True, exist_ok=True)
                target.write_bytes(pathlib.Path(root, source).read_bytes())
            page = pathlib.Path(root, "docs", f"{name}.md")
            current = page.is_file() and generate.render(library, pathlib.Path(folder)) == page.read_text(encoding="utf-8")
            check(current, f"docs/{name}.md is what include/{name}.h and def/{name}.def make of it")

    same = {rel: rel for rel in [f"docs/{page}.md" for page in PAGES] + tree_files("examples") +
            ["LICENSE", "CHANGELOG.md"]}
    same["wireshark/lumbra.lua"] = "tools/wireshark/lumbra.lua"
    differ = [rel for rel, tree in same.items() if not os.path.isfile(os.path.join(root, rel)) or
              not filecmp.cmp(os.path.join(root, rel), os.path.join(ROOT, tree), shallow=False)]
    check(not differ, f"the pages, the examples, the dissector, LICENSE and CHANGELOG.md are the tree's "
          f"({len(same)} files)" +
          (f" (missing or different: {', '.join(differ)})" if differ else ""))

    readme = open(os.path.join(root, "README.md"), encoding="utf-8").read()
    other = "win64" if a.arch == "win32" else "win32"
    check(TARGET_NAMES[a.arch] in readme and TARGET_NAMES[other] not in readme and "<!--" not in readme and
          not re.search(r"@[A-Z_]+@", readme), f"README.md is the {a.arch} one, every template mark filled in")
    sizes = re.findall(r"^\| `struct (\w+)` \(\w+\) \| (\d+) bytes \|$", readme, re.M)
    with tempfile.TemporaryDirectory() as folder:
        source = pathlib.Path(folder) / "sizes.c"
        source.write_text("".join(f'#include "{lib}.h"\n' for lib in LIBRARIES) +
                          "".join(f'_Static_assert(sizeof(struct {name}) == {size}, "{name}");\n'
                                  for name, size in sizes))
        result = subprocess.run([a.cc, "-std=c11", "-fsyntax-only", "-I", os.path.join(root, "include"), str(source)],
                                capture_output=True, text=True)
    check(len(sizes) >= 3 and result.returncode == 0,
          f"README.md's record sizes ({', '.join(f'{n} {s}' for n, s in sizes)}) are what {a.cc} makes of the headers" +
          ("" if result.returncode == 0 else f" ({result.stderr.strip()})"))

    pages = [rel for rel in bundle_files if rel.endswith(".md")]
    no_html = [rel for rel in pages if rel[:-3] + ".html" not in bundle_files]
    check(not no_html, f"every page also as HTML ({len(pages)} pages)" + (f" (not: {', '.join(no_html)})" if no_html else ""))

    broken = []
    for rel in [f for f in bundle_files if f.endswith((".md", ".html"))]:
        here = os.path.dirname(os.path.join(root, rel))
        for target, anchor in link_targets(os.path.join(root, rel)):
            path = os.path.normpath(os.path.join(here, target)) if target else os.path.join(root, rel)
            if not path.startswith(os.path.abspath(root) + os.sep) or not os.path.isfile(path):
                broken.append(f"{rel}: {target}")
            elif anchor:
                page = path[:-3] + ".html" if path.endswith(".md") else path
                if page.endswith(".html") and anchor not in html_ids(page):
                    broken.append(f"{rel}: {target}#{anchor}")
    check(not broken, "every link between the bundle's files leads to a file and heading of the bundle" +
          (f" (broken: {'; '.join(broken)})" if broken else ""))

    readme_html = os.path.join(root, "README.html")
    linked = {os.path.normpath(os.path.join(root, target)) for target, _ in link_targets(readme_html)}
    unlinked = [rel for rel in bundle_files if rel.endswith(".html") and rel != "README.html"
                and os.path.normpath(os.path.join(root, rel)) not in linked]
    check(not unlinked, "README.html links every other page" + (f" (not: {', '.join(unlinked)})" if unlinked else ""))

    listed = sorted(line.split(None, 1)[1].strip() for line in
                    open(os.path.join(root, "SHA256SUMS"), encoding="utf-8") if line.strip())
    check(listed == [rel for rel in bundle_files if rel != "SHA256SUMS"], "SHA256SUMS names every other file")


def program_imports(objdump, exe):
    """{dll name (lower case): [imported names]} of a program."""
    out = subprocess.run([objdump, "-p", exe], check=True, capture_output=True, text=True).stdout
    imports, current = {}, None
    for line in out.splitlines():
        m = re.match(r"^\s*DLL Name: (\S+)", line)
        if m:
            current = imports.setdefault(m.group(1).lower(), [])
            continue
        m = re.match(r"^\s*[0-9a-fA-F]+\s+\d+\s+(\S+)\s*$", line)
        if m and current is not None:
            current.append(m.group(1))
        elif not line.strip():
            pass
    return imports


def check_imports(a, check):
    imports = program_imports(a.objdump, a.exe)
    name = os.path.basename(a.exe)
    for lib in LIBRARIES:
        exports = read_def(os.path.join(a.dir, "def", f"{lib}.def"))
        want = sorted(n for _, n, _ in caller_symbols(exports, "x86_64"))
        got = sorted(imports.get(f"{lib}.dll", []))
        check(got == want, f"{name} imports from {lib}.dll exactly {', '.join(want)}" +
              ("" if got == want else f" (found {', '.join(got)})"))


def main():
    ap = argparse.ArgumentParser()
    sub = ap.add_subparsers(dest="mode", required=True)
    b = sub.add_parser("bundle")
    b.add_argument("dir")
    b.add_argument("--arch", choices=["win32", "win64"], required=True)
    b.add_argument("--version", required=True)
    b.add_argument("--objdump", required=True)
    b.add_argument("--nm", required=True)
    b.add_argument("--cc", required=True)
    i = sub.add_parser("imports")
    i.add_argument("exe")
    i.add_argument("dir")
    i.add_argument("--objdump", required=True)
    a = ap.parse_args()
    check = Checks()
    if a.mode == "bundle":
        check_bundle(a, check)
        check_pages(a, check)
    else:
        check_imports(a, check)
    return check.close()


if __name__ == "__main__":
    sys.exit(main())
