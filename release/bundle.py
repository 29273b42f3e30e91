#!/usr/bin/env python3
"""The pages of an integrators' bundle: its README for one architecture, and the HTML version of
every Markdown page in it.

  bundle.py readme --arch win32|win64 --version X.Y.Z TEMPLATE OUT
      writes the README of the bundle from release/README.md: the blocks between
      "<!-- if ARCH -->" and "<!-- end -->" are kept for that bundle and dropped from the other, @VERSION@ and @TARGET@ filled in, and @RECORD_SIZES@
      made a table of the records' sizes in that architecture, worked out from the headers as
      the pages do (docs/generate.py)
  bundle.py html DIR
      writes NAME.html beside every NAME.md under DIR (pandoc, GitHub Markdown), its links to
      other pages (x.md, x.md#part) leading to their HTML versions
"""
import argparse
import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "docs"))
import generate  # noqa: E402

TARGETS = {"win32": ("32-bit Windows (win32)", "32-bit"), "win64": ("64-bit Windows (win64)", "64-bit")}
BLOCK = re.compile(r"^<!-- if (\w+) -->$")
END = "<!-- end -->"


def record_sizes(arch):
    """Markdown table of the records and their sizes in `arch`."""
    rows = ["| record | size |", "|---|---:|"]
    for library in generate.LIBRARIES:
        header = (ROOT / library["header"]).read_text(encoding="latin-1")
        for name, per_target in generate.layouts(header).items():
            rows.append(f"| `struct {name}` ({library['name']}) | {per_target[TARGETS[arch][1]][0]} bytes |")
    return "\n".join(rows)


def readme(template, arch, version):
    kept, out, open_block = True, [], None
    for number, line in enumerate(template.split("\n"), 1):
        block = BLOCK.match(line)
        if block:
            if open_block:
                raise SystemExit(f"README template line {number}: a block inside a block")
            open_block = block.group(1)
            if open_block not in TARGETS:
                raise SystemExit(f"README template line {number}: no target '{open_block}'")
            kept = open_block == arch
            continue
        if line == END:
            if not open_block:
                raise SystemExit(f"README template line {number}: an end without a block")
            open_block, kept = None, True
            continue
        if kept:
            out.append(line)
    if open_block:
        raise SystemExit(f"README template: the block '{open_block}' does not end")
    text = "\n".join(out)
    text = text.replace("@VERSION@", version).replace("@TARGET@", TARGETS[arch][0])
    text = text.replace("@RECORD_SIZES@", record_sizes(arch))
    left = re.findall(r"@[A-Z_]+@", text)
    if left:
        raise SystemExit(f"README template: {', '.join(sorted(set(left)))} not filled in")
    return text


LINK = re.compile(r'href="(?![a-z]+:)([^"#]*?)\.md(#[^"]*)?"')


def html(folder):
    for page in sorted(pathlib.Path(folder).rglob("*.md")):
        text = page.read_text(encoding="utf-8")
        heading = re.search(r"^# (.+)$", text, re.M)
        title = heading.group(1).replace("`", "") if heading else page.stem
        target = page.with_suffix(".html")
        subprocess.run(["pandoc", "-s", "-f", "gfm", "-t", "html", "--metadata", f"pagetitle={title}",
                        str(page), "-o", str(target)], check=True)
        rendered = target.read_text(encoding="utf-8")
        target.write_text(LINK.sub(lambda m: f'href="{m.group(1)}.html{m.group(2) or ""}"', rendered),
                          encoding="utf-8")


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="mode", required=True)
    r = sub.add_parser("readme")
    r.add_argument("--arch", choices=sorted(TARGETS), required=True)
    r.add_argument("--version", required=True)
    r.add_argument("template")
    r.add_argument("out")
    h = sub.add_parser("html")
    h.add_argument("folder")
    args = parser.parse_args()
    if args.mode == "readme":
        template = pathlib.Path(args.template).read_text(encoding="utf-8")
        pathlib.Path(args.out).write_text(readme(template, args.arch, args.version), encoding="utf-8")
    else:
        html(args.folder)
    return 0


if __name__ == "__main__":
    sys.exit(main())
