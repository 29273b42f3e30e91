#!/usr/bin/env python3
"""The integrator pages written by docs/generate.py: current with the headers, a stale page found,
constants kept and build scaffolding left out, and record layouts as the compilers of both
Windows targets lay them out.

Usage: docs_test.py   (from anywhere; the tree is the one this file lies in)"""
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "docs"))
import generate  # noqa: E402


def copy_tree_part(target):
    """The headers, .def files and pages generate.py reads and writes, under `target`."""
    for library in generate.LIBRARIES:
        for key in ("header", "def"):
            source = ROOT / library[key]
            (target / library[key]).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy(source, target / library[key])
        (target / "docs").mkdir(exist_ok=True)
        shutil.copy(ROOT / "docs" / f"{library['name']}.md", target / "docs")


def run_generate(*args):
    return subprocess.run([sys.executable, str(ROOT / "docs" / "generate.py"), *args],
                          capture_output=True, text=True)


class Pages(unittest.TestCase):
    def test_pages_in_the_tree_are_current(self):
        result = run_generate("--check")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_a_header_changed_after_its_page_makes_the_check_fail(self):
        with tempfile.TemporaryDirectory() as folder:
            root = pathlib.Path(folder)
            copy_tree_part(root)
            header = root / "validator" / "tabrel32.h"
            text = header.read_text(encoding="latin-1")
            header.write_text(text.replace("not read */", "not read; keep it 0 */", 1), encoding="latin-1")
            result = run_generate("--check", "--root", folder)
            self.assertEqual(result.returncode, 1)
            self.assertIn("docs/tabrel32.md is not current", result.stdout)
            self.assertNotIn("lumbra32.md is not current", result.stdout)
            self.assertEqual(run_generate("--root", folder).returncode, 0)
            self.assertIn("keep it 0", (root / "docs" / "tabrel32.md").read_text(encoding="utf-8"))
            self.assertEqual(run_generate("--check", "--root", folder).returncode, 0)

    def test_named_codes_stay_and_build_scaffolding_goes(self):
        header = (ROOT / "client" / "lumbra32.h").read_text(encoding="latin-1")
        marker = "#ifdef __cplusplus"
        named = ("/* Status codes of the library. */\n"
                 "#define LB_TEST_SEND_FAILED (-1) /* message not sent whole */\n"
                 "enum { LB_TEST_NO_ROWS = -10 /* no row left */ };\n\n")
        with tempfile.TemporaryDirectory() as folder:
            root = pathlib.Path(folder)
            copy_tree_part(root)
            (root / "client" / "lumbra32.h").write_text(header.replace(marker, named + marker, 1),
                                                        encoding="latin-1")
            page = generate.render(generate.LIBRARIES[0], root)
        self.assertIn("#define LB_TEST_SEND_FAILED (-1) /* message not sent whole */", page)
        self.assertIn("LB_TEST_NO_ROWS = -10", page)
        for scaffolding in ("LUMBRA32_H", "__stdcall", "visibility", "#if", "#include", "LUMBRA_CALL"):
            self.assertNotIn(scaffolding, page)

    def test_no_path_of_the_tree_in_a_page(self):
        for library in generate.LIBRARIES:
            page = (ROOT / "docs" / f"{library['name']}.md").read_text(encoding="utf-8")
            for path in ("build/", "client/", "validator/", "keyring/", "docs/generate.py"):
                self.assertNotIn(path, page, f"{library['name']}.md names {path}")


class Troubleshooting(unittest.TestCase):
    """docs/troubleshooting.md has a row for every status the headers and the reference server
    define."""

    page = (ROOT / "docs" / "troubleshooting.md").read_text(encoding="utf-8")

    def row(self, first_cell, *texts):
        rows = [line for line in self.page.split("\n") if line.startswith(f"| {first_cell} |")]
        self.assertTrue(rows, f"no row for {first_cell}")
        for text in texts:
            self.assertTrue(any(text in line for line in rows), f"the row of {first_cell} lacks {text}")

    def test_every_named_code_of_the_headers_in_the_row_of_its_value(self):
        for header in ("client/lumbra32.h", "validator/tabrel32.h", "keyring/orvak32.h"):
            text = re.sub(r"/\*.*?\*/", "", (ROOT / header).read_text(encoding="latin-1"), flags=re.S)
            codes = re.findall(r"^\s+([A-Z][A-Z0-9_]+)\s*=\s*(-?\d+)", text, re.M)
            self.assertTrue(codes, f"{header} names no codes")
            for name, value in codes:
                rows = [line for line in self.page.split("\n") if line.startswith("| ") and f"`{name}`" in line]
                self.assertTrue(any(f"| {value} |" in row or (value == "6" and "1 to 6" in row) for row in rows),
                                f"no row of {value} names {name}")

    def test_every_status_of_lumbra32(self):
        header = (ROOT / "client" / "lumbra32.h").read_text(encoding="latin-1")
        texts = {}
        for prefix, number, text in re.findall(r'"(LBX|SS0)6(\d\d) - ([^"]*)"', header):
            texts[number] = f"{prefix}6{number} - " + re.sub(r"\s*\(.*\)$", "", text)
        self.assertEqual(set(texts), {f"{n:02d}" for n in range(1, 16)})
        for number, text in texts.items():
            self.row(f"-{int(number)}", text.strip())

    def test_every_status_of_the_reference_server(self):
        header = (ROOT / "server" / "status.h").read_text()
        codes = [int(code) for code in re.findall(r"=\s*(\d+),", header)]
        self.assertIn(102, codes)
        for code in codes:
            if code not in (0, 2000):
                self.row(f"-{code}")
        self.row("-20nn", "-2001", "-2019", "ATUALIZACAO n DO LOTE")

    def test_every_result_and_error_of_tabrel32(self):
        header = (ROOT / "validator" / "tabrel32.h").read_text(encoding="latin-1")
        errors = re.findall(r"^\s+(0\d) (\S.*?\S)\s{2,}", header, re.M)
        self.assertEqual([number for number, _ in errors], [f"0{n}" for n in range(1, 10)])
        for number, text in errors:
            self.row(number, generate.windows_1252(text))
        for result in range(7):
            self.row(str(result))

    def test_every_status_of_orvak32(self):
        header = (ROOT / "keyring" / "orvak32.h").read_text(encoding="latin-1")
        codes = re.findall(r"^\s+([A-Z_]+) = (\d+),?", header, re.M)
        self.assertIn(("KEYRING_FORMAT_ERROR", "40997"), codes)
        for name, value in codes:
            self.row(f"`{name}`", f"| {value} |")


class Layouts(unittest.TestCase):
    """The sizes and offsets the pages print, compiled with each Windows target's compiler."""

    COMPILERS = {"32-bit": "i686-w64-mingw32-gcc", "64-bit": "x86_64-w64-mingw32-gcc"}

    def test_pages_tell_the_layouts_the_compilers_make(self):
        checks = ["#include <stddef.h>"]
        records = set()
        for library in generate.LIBRARIES:
            header = (ROOT / library["header"]).read_text(encoding="latin-1")
            checks.append(f'#include "{library["header"]}"')
            for name, per_target in generate.layouts(header).items():
                records.add(name)
                for target, (size, fields, _) in per_target.items():
                    checks.append("#if defined(_WIN64)" if target == "64-bit" else "#if !defined(_WIN64)")
                    checks.append(f"_Static_assert(sizeof(struct {name}) == {size}, \"{name} {target}\");")
                    for field, offset, width in fields:
                        checks.append(f"_Static_assert(offsetof(struct {name}, {field}) == {offset} && "
                                      f"sizeof(((struct {name}*)0)->{field}) == {width}, "
                                      f"\"{name}.{field} {target}\");")
                    checks.append("#endif")
        self.assertLessEqual({"ValidationRequest", "PublicKeyRecord", "CalendarTime"}, records)
        with tempfile.TemporaryDirectory() as folder:
            source = pathlib.Path(folder) / "layouts.c"
            source.write_text("\n".join(checks) + "\n")
            for target, compiler in self.COMPILERS.items():
                result = subprocess.run([compiler, "-std=c11", "-fsyntax-only", f"-I{ROOT}", str(source)],
                                        capture_output=True, text=True)
                self.assertEqual(result.returncode, 0, f"{target}: {result.stderr}")

    def test_an_unknown_field_type_stops_the_generator(self):
        with self.assertRaises(generate.LayoutError):
            generate.layouts("struct Odd { double weight; };")


if __name__ == "__main__":
    unittest.main(verbosity=2)
