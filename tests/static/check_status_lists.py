#!/usr/bin/env python3
"""check_status_lists.py SOURCE_DIR -- every status lumbra-server answers
(server/status.h) stands in each list that names them: the statuses table of
docs/operations.md and of server/README.md, the Wireshark dissector's list of
meanings, and the shell's table of explanations; and none of those lists
names a status the server does not have."""
import os
import re
import sys

root = sys.argv[1]


def read(path):
    with open(os.path.join(root, path), encoding="utf-8") as f:
        return f.read()


enum = read("server/status.h")
body = enum[enum.index("enum class Status"):]
body = body[:body.index("};")]
statuses = {"%04d" % int(n) for name, n in re.findall(r"^\s*(\w+) = (\d+),", body, re.M)
            if name not in ("Ok", "SqlBase")}
if len(statuses) < 10:
    sys.exit("server/status.h: the Status enum was not found")

lists = {
    "docs/operations.md": set(re.findall(r"^\| `(\d{4})` \|", read("docs/operations.md"), re.M)),
    "server/README.md": set(re.findall(r"^\| (\d{4}) \|", read("server/README.md"), re.M)),
    "tools/wireshark/lumbra.lua": set(re.findall(r'^\s*\["(\d{4})"\] = "', read("tools/wireshark/lumbra.lua"), re.M)),
    "tools/lumbra/explanations.cpp": {"%04d" % int(n) for n in
                                      re.findall(r"^\s*\{-(\d{3,4}),", read("tools/lumbra/explanations.cpp"), re.M)},
}
# Names that stand for a range or success rather than one status.
allowed_extra = {"0000"} | {"%04d" % n for n in range(2001, 2029)}

failed = 0
for path, found in lists.items():
    missing = sorted(statuses - found)
    extra = sorted(found - statuses - allowed_extra)
    if missing:
        print("%s lacks %s" % (path, ", ".join(missing)))
        failed += 1
    if extra:
        print("%s names %s, which the server does not answer" % (path, ", ".join(extra)))
        failed += 1
print("%d passed, %d failed" % (len(lists) * 2 - failed, failed))
sys.exit(1 if failed else 0)
