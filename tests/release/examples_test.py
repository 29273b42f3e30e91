#!/usr/bin/env python3
"""The example host programs (examples/host.c, examples/PascalHost.dpr) built and run as an
integrator would, and their answers checked against what examples/samples/README.md says.

  examples_test.py native --server LUMBRA-SERVER --libraries DIR --include DIR... --examples DIR
                          [--fpc FPC]
      builds host.c with cc and PascalHost.dpr with Free Pascal (Delphi mode) against the Linux
      libraries in DIR, runs both against a reference server, and compares the records' layout
      the Pascal unit makes with the C headers' (compiled from the same include folder)
  examples_test.py run --server LUMBRA-SERVER --samples DIR --name NAME -- COMMAND...
      runs COMMAND (a host built elsewhere: under wine64, say) against a reference server, given
      in LUMBRA_ADDRESS, LUMBRA_USER and LUMBRA_PASSWORD, and checks what it printed
  examples_test.py output FILE --samples DIR
      checks what a host printed (a run in the emulated 32-bit machine)

A host passes when it exits with 0, ends with "0 unexpected", and prints the answers of
samples/README.md in their order. Prints one line per check and "N passed, N failed"."""
import argparse
import os
import pathlib
import re
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parents[1] / "docs"))
from reference_server import PASSWORD, USER, Server  # noqa: E402
from checks import Checks  # noqa: E402


def sample_answers(samples):
    """The lines of the ```output block of samples/README.md, as Windows-1252 bytes."""
    text = (pathlib.Path(samples) / "README.md").read_text(encoding="utf-8")
    match = re.search(r"^```output\n(.*?)^```$", text, re.S | re.M)
    if not match:
        raise SystemExit(f"{samples}/README.md has no ```output block")
    return [line.encode("cp1252") for line in match.group(1).rstrip("\n").split("\n")]


def check_output(check, name, output, status, samples):
    """A host's exit status and output (bytes) against the samples' answers."""
    lines = [line.rstrip(b"\r") for line in output.split(b"\n")]
    shown = output.decode("cp1252", "replace")
    check(status == 0 and b"0 unexpected" in lines, f"{name}: exit status 0, \"0 unexpected\"", shown)
    answers = sample_answers(samples)
    position = 0
    for line in lines:
        if position < len(answers) and line == answers[position]:
            position += 1
    check(position == len(answers), f"{name}: the answers of samples/README.md, in order",
          shown + "\nthe first answer missing: " + (answers[position].decode("cp1252") if position < len(answers) else ""))


def run_host(check, name, command, server, samples, cwd):
    environment = dict(os.environ, LUMBRA_ADDRESS=server.address, LUMBRA_USER=USER, LUMBRA_PASSWORD=PASSWORD)
    try:
        result = subprocess.run(command, cwd=cwd, env=environment, capture_output=True, timeout=600)
    except subprocess.TimeoutExpired as stopped:
        check(False, f"{name}: ran within 600 s", (stopped.stdout or b"").decode("cp1252", "replace"))
        return
    check_output(check, name, result.stdout + result.stderr, result.returncode, samples)


def find_header(include, name):
    for folder in include:
        if (folder / name).is_file():
            return folder / name
    raise SystemExit(f"no {name} in {', '.join(map(str, include))}")


def c_layouts(include, work):
    """{"record": (size,), "record.field": (offset, size)}, names lower-cased, as the headers in the
    include folders compile with cc."""
    import generate
    lines = ["#include <stddef.h>", "#include <stdio.h>"]
    body = []
    for library in generate.LIBRARIES:
        header = find_header(include, pathlib.PurePath(library["header"]).name)
        lines.append(f'#include "{header.name}"')
        for record, per_target in generate.layouts(header.read_text(encoding="latin-1")).items():
            body.append(f'printf("layout {record} %u\\n", (unsigned)sizeof(struct {record}));')
            for field, _, _ in per_target["64-bit"][1]:
                body.append(f'printf("layout {record}.{field} %u %u\\n", (unsigned)offsetof(struct {record}, {field}), '
                            f'(unsigned)sizeof(((struct {record}*)0)->{field}));')
    source = pathlib.Path(work) / "layouts.c"
    source.write_text("\n".join(lines) + "\nint main(void) {\n  " + "\n  ".join(body) + "\n  return 0;\n}\n")
    program = pathlib.Path(work) / "layouts"
    subprocess.run(["cc", "-std=c11", *(f"-I{folder}" for folder in include), str(source), "-o", str(program)],
                   check=True)
    return layout_lines(subprocess.run([str(program)], check=True, capture_output=True).stdout)


def layout_lines(output):
    """The "layout NAME N [N]" lines of an output, names lower-cased (Pascal capitalises them)."""
    found = {}
    for line in output.decode("ascii", "replace").split("\n"):
        parts = line.split()
        if len(parts) >= 3 and parts[0] == "layout":
            found[parts[1].lower()] = tuple(int(p) for p in parts[2:])
    return found


NAMED_CODE = re.compile(r"^\s+([A-Z][A-Z0-9_]*)\s*=\s*(-?\d+)\s*[,;]?", re.M)


def named_codes(text):
    """{NAME: value} of the constants a header's enums (or a Pascal unit's const sections) name."""
    return {name: int(value) for name, value in NAMED_CODE.findall(text)}


def native(args, check):
    examples = pathlib.Path(args.examples).resolve()
    samples = examples / "samples"
    libraries = pathlib.Path(args.libraries).resolve()
    include = [pathlib.Path(folder).resolve() for folder in args.include]
    with tempfile.TemporaryDirectory(prefix="examples-") as work, Server(args.server) as server:
        host = pathlib.Path(work) / "host"
        built = subprocess.run(["cc", "-std=c11", "-Wall", "-Wextra", "-Werror", "-O1",
                                *(f"-I{folder}" for folder in include),
                                str(examples / "host.c"), f"-L{libraries}", "-llumbra32", "-ltabrel32", "-lorvak32",
                                f"-Wl,-rpath,{libraries}", "-o", str(host)], capture_output=True, text=True)
        if check(built.returncode == 0, "host.c builds with cc against the headers and the Linux libraries",
                 built.stdout + built.stderr):
            run_host(check, "host", [str(host), str(samples)], server, samples, work)

        import generate
        c_codes = {}
        for library in generate.LIBRARIES:
            header = find_header(include, pathlib.PurePath(library["header"]).name)
            c_codes.update(named_codes(re.sub(r"/\*.*?\*/", "", header.read_text(encoding="latin-1"), flags=re.S)))
        unit = re.sub(r"\{.*?\}", "", (examples / "DeclSuite.pas").read_text(encoding="latin-1"), flags=re.S)
        pascal_codes = named_codes(unit)
        differences = [f"{name}: C {c_codes.get(name)}, Pascal {pascal_codes.get(name)}"
                       for name in sorted(set(c_codes) | set(pascal_codes)) if c_codes.get(name) != pascal_codes.get(name)]
        check(len(c_codes) > 20 and not differences,
              f"DeclSuite.pas names the headers' {len(c_codes)} codes, with their values", "\n".join(differences))

        pascal = pathlib.Path(work) / "pascal"
        pascal.mkdir()
        compiler = args.fpc
        built = subprocess.run([compiler, "-Mdelphi", "-vw", "-Sew", f"-FE{pascal}", f"-Fu{examples}",
                                f"-Fl{libraries}", f"-k-rpath={libraries}", str(examples / "PascalHost.dpr")],
                               capture_output=True, text=True) if compiler else None
        if not check(built is not None and built.returncode == 0,
                     "DeclSuite.pas and PascalHost.dpr compile with Free Pascal in Delphi mode",
                     "no fpc: scripts/setup.sh installs it" if built is None else built.stdout + built.stderr):
            return
        program = pascal / "PascalHost"
        result = subprocess.run([str(program), str(samples), server.address, USER, PASSWORD], cwd=work,
                                capture_output=True, timeout=300)
        check_output(check, "PascalHost", result.stdout + result.stderr, result.returncode, samples)
        pascal_layout = layout_lines(result.stdout)
        c_layout = c_layouts(include, work)
        differences = [f"{name}: C {c_layout.get(name)}, Pascal {pascal_layout.get(name)}"
                       for name in sorted(set(c_layout) | set(pascal_layout))
                       if c_layout.get(name) != pascal_layout.get(name)]
        check(c_layout and not differences,
              f"the Pascal records' sizes and offsets are the C headers' ({len(c_layout)} compared)",
              "\n".join(differences))


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="mode", required=True)
    n = sub.add_parser("native")
    n.add_argument("--server", required=True)
    n.add_argument("--libraries", required=True)
    n.add_argument("--include", required=True, action="append", help="a folder of the headers; repeatable")
    n.add_argument("--examples", required=True)
    n.add_argument("--fpc", default=None)
    r = sub.add_parser("run")
    r.add_argument("--server", required=True)
    r.add_argument("--samples", required=True)
    r.add_argument("--name", required=True)
    r.add_argument("command", nargs="+")
    o = sub.add_parser("output")
    o.add_argument("file")
    o.add_argument("--samples", required=True)
    o.add_argument("--status", type=int, default=0)
    args = parser.parse_args()
    check = Checks()
    if args.mode == "native":
        native(args, check)
    elif args.mode == "run":
        with Server(args.server) as server:
            run_host(check, args.name, args.command, server, args.samples, os.getcwd())
    else:
        check_output(check, os.path.basename(args.file), pathlib.Path(args.file).read_bytes(), args.status,
                     args.samples)
    return check.close()


if __name__ == "__main__":
    sys.exit(main())
