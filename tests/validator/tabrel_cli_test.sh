#!/usr/bin/env bash
# tabrel_cli_test.sh TABREL -- the tabrel tool end to end: sealing and checking,
# the hints it adds to the library's result, and outputs that survive a run
# that stops early.
set -u
tabrel=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
passed=0
failed=0
check() {  # check NAME COMMAND...: the command must succeed
  local name=$1; shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL $name"; fi
}
status() {  # status CODE COMMAND...: the command must exit with CODE
  local want=$1; shift
  "$@" >out.txt 2>err.txt
  local got=$?
  [ "$got" -eq "$want" ] || { echo "  exit $got, not $want: $*"; cat out.txt err.txt; return 1; }
}
no_temporary_files() { ! ls -a . | grep -q 'tmp'; }
tags=(--system HDR --offset 3 --declaration-trailer TRD --receipt-trailer TRR)

printf 'HDR0000000000 x\nline one\nline two\nTRD\nreceipt\nTRR\n' > plain.txt
check "seal" status 0 "$tabrel" seal plain.txt -o DECL.TXT "${tags[@]}"
declared=$(head -c 13 DECL.TXT | tail -c 10)
check "a sealed file checks" status 0 "$tabrel" check DECL.TXT "${tags[@]}"
check "its cleaned copy" grep -q '^cleaned copy:  DECL.TXT.clean$' out.txt
cp DECL.TXT.clean good.clean

# The header's own CRC covers the name.
cp DECL.TXT renamed.txt
check "a renamed file fails its header CRC" status 1 "$tabrel" check renamed.txt "${tags[@]}"
check "and is told that the CRC covers the name" grep -q 'note: .*covers the file.s name.*"RENAMED.TXT" from .renamed.txt.*--as NAME' out.txt
check "checked under its sealed name it passes" status 0 "$tabrel" check renamed.txt "${tags[@]}" --as DECL.TXT
check "the report says the name it ran under" grep -q '^file:          renamed.txt (checked as DECL.TXT)$' out.txt
check "that valid run removed the earlier log" test ! -e renamed.txt.log
check "--as takes the file part of a path" status 0 "$tabrel" check renamed.txt "${tags[@]}" --as 'C:\decl\DECL.TXT'
check "--as without a name is bad usage" status 64 "$tabrel" check renamed.txt "${tags[@]}" --as dir/

# Line ends, empty files, folders.
tr -d '\r' < DECL.TXT > lf.txt
check "LF-only line ends" status 3 "$tabrel" check lf.txt "${tags[@]}"
check "are said" grep -q '^note: lf.txt has LF-only line ends' out.txt
{ head -n 2 DECL.TXT; tail -n +3 DECL.TXT | tr -d '\r'; } > mixed.txt
check "some LF-only line ends" status 3 "$tabrel" check mixed.txt "${tags[@]}"
check "are counted, with the first" grep -q '^note: 4 lines of mixed.txt end with LF alone, the first is line 3' out.txt
: > empty.txt
check "an empty file" status 3 "$tabrel" check empty.txt "${tags[@]}"
check "is said to be empty" grep -q '^note: empty.txt is empty' out.txt
mkdir adir
check "a folder as input: a status of its own, never a result" status 66 "$tabrel" check adir "${tags[@]}"
check "is told on standard error with the system's reason, and nothing else" sh -c "grep -qx 'tabrel: check: cannot open adir: Is a directory' err.txt && test ! -s out.txt"
check "and leaves no log" test ! -e adir.log
check "a missing input" status 66 "$tabrel" check absent.txt "${tags[@]}"
check "is told with the system's reason" grep -q 'cannot open absent.txt: No such file or directory' err.txt

# Outputs survive a run that stops early; a run that ends replaces them.
check "a log in a missing folder" status 73 "$tabrel" check DECL.TXT "${tags[@]}" --log nofolder/x.log
check "is told with the system's reason" grep -q "cannot create the error log nofolder/x.log: No such file or directory" err.txt
check "and the earlier cleaned copy is whole" cmp -s DECL.TXT.clean good.clean
check "a cleaned copy in a missing folder" status 73 "$tabrel" check lf.txt "${tags[@]}" --clean nofolder/c
check "leaves the earlier log" grep -q '07 - Registro' lf.txt.log
check "a cleaned copy that names the input" status 64 "$tabrel" check DECL.TXT "${tags[@]}" --clean ./DECL.TXT
check "leaves the input whole" status 0 "$tabrel" check DECL.TXT "${tags[@]}"
check "a log that names the cleaned copy" status 64 "$tabrel" check DECL.TXT "${tags[@]}" --log DECL.TXT.clean
check "leaves that cleaned copy whole" cmp -s DECL.TXT.clean good.clean
check "a log that names the input" status 64 "$tabrel" check DECL.TXT "${tags[@]}" --log DECL.TXT
check "an invalid run" status 1 "$tabrel" check renamed.txt "${tags[@]}" --clean DECL.TXT.clean
check "leaves the earlier cleaned copy as it was" cmp -s DECL.TXT.clean good.clean
check "and says it is an earlier run's" grep -q '^note: the cleaned copy DECL.TXT.clean is an earlier run.s; this run left it as it was$' out.txt
check "no temporary file is left" no_temporary_files

# Result 5: the CRC the header should carry.
sed "1s/^HDR$declared/HDR0000000000/" DECL.TXT > zero.txt
check "a wrong declaration CRC" status 5 "$tabrel" check zero.txt "${tags[@]}" --as DECL.TXT
check "shows the CRC the header should carry" grep -q "^header should carry: $declared (at offset 3" out.txt

# A changed record: its code explained, and no header value that would hide it.
sed 's/^line one/line 0ne/' DECL.TXT > changed.txt
check "a changed record" status 5 "$tabrel" check changed.txt "${tags[@]}" --as DECL.TXT
check "each log line is followed by what it means" sh -c "grep -A1 '04 - CRC do registro' out.txt | grep -q 'the record was changed or damaged'"
check "no CRC is advised that would cover the change" sh -c "! grep -q 'header should carry' out.txt && grep -q '^note: no declaration CRC is advised' out.txt"
check "--json: the result and every error with its record, code, meaning and both CRCs" sh -c "'$tabrel' check changed.txt ${tags[*]} --as DECL.TXT --json --no-clean > report.json; test \$? -eq 5 && python3 - <<'PY'
import json, sys, zlib
r = json.load(open('report.json'))
e = r['errors']
record = open('changed.txt', 'rb').read().split(b'\r\n')[1]
ok = (r['result'] == 5 and not r['valid'] and [x['code'] for x in e] == ['04', '06'] and e[0]['record'] == 2
      and e[0]['crcFound'] == record[-10:].decode() and e[0]['crcComputed'] == '%010d' % zlib.crc32(record[:-10])
      and 'changed or damaged' in e[0]['explanation'] and e[1]['crcFound'] == r['declaredCrc'])
sys.exit(0 if ok else 1)
PY"
# The declaration CRC sits at 3; --offset 4 is pointed there.
check "a wrong offset" status 5 "$tabrel" check DECL.TXT --system HDR --offset 4 --declaration-trailer TRD --receipt-trailer TRR
check "is pointed to the right one" grep -q "^note: the header holds the declaration CRC the records give, $declared, at offset 3, not 4: check with --offset 3$" out.txt
# A CRC shows in one form, ten digits, wherever it is shown.
check "both CRCs of a valid file, in one form" sh -c "'$tabrel' check DECL.TXT ${tags[*]} | grep -c \"CRC:  $declared\$\" | grep -qx 2"
# Counting stops at six.
printf 'HDR0000000000 x\nr1\nr2\nr3\nr4\nr5\nr6\nr7\nTRD\nreceipt\nTRR\n' > many.txt
check "seal of seven records" status 0 "$tabrel" seal many.txt -o MANY.TXT "${tags[@]}"
sed 's/^r\([0-9]\)/R\1/' MANY.TXT > BAD.TXT
check "seven changed records" status 6 "$tabrel" check BAD.TXT "${tags[@]}" --as MANY.TXT
check "are at least 6 errors" grep -q '^result:        6 - invalid: at least 6 errors, counting stops at 6$' out.txt
# --no-clean writes nothing beside the input.
mkdir quiet && cp DECL.TXT quiet/ && cp changed.txt quiet/
check "--no-clean, valid" status 0 "$tabrel" check quiet/DECL.TXT "${tags[@]}" --no-clean
check "--no-clean, invalid, shows the log" status 5 "$tabrel" check quiet/changed.txt "${tags[@]}" --as DECL.TXT --no-clean
check "and keeps it nowhere" sh -c "grep -q '04 - CRC do registro' out.txt && test \"\$(ls quiet | tr '\n' ' ')\" = 'DECL.TXT changed.txt '"
check "--no-clean with --clean is a wrong command line" status 64 "$tabrel" check DECL.TXT "${tags[@]}" --no-clean --clean x

# seal
check "seal over its own input is refused" status 64 "$tabrel" seal plain.txt --output ./plain.txt "${tags[@]}"
check "and the input stays" grep -q '^HDR0000000000 x$' plain.txt
check "seal of a missing file" status 66 "$tabrel" seal absent.txt -o out.TXT "${tags[@]}"
check "names the system's reason" grep -q 'cannot read absent.txt: No such file or directory' err.txt
check "seal into a missing folder" status 73 "$tabrel" seal plain.txt -o nofolder/D.TXT "${tags[@]}"
check "names the system's reason" grep -q 'cannot create nofolder/D.TXT: No such file or directory' err.txt
cp DECL.TXT before.TXT
printf 'HDR0000000000 x\nno trailer\n' > broken.txt
check "a failed seal" status 65 "$tabrel" seal broken.txt -o DECL.TXT "${tags[@]}"
check "leaves the earlier output" cmp -s DECL.TXT before.TXT
check "no temporary file is left after sealing" no_temporary_files

# The command line: one line naming the option, and 64, which no result uses.
check "a missing tag option" status 64 "$tabrel" check DECL.TXT --system HDR --offset 3 --receipt-trailer TRR
check "is named on one line" sh -c "head -n 1 err.txt | grep -q -- '--declaration-trailer' && test \$(wc -l < err.txt) -eq 2"
check "an offset that is no number" status 64 "$tabrel" check DECL.TXT --system HDR --offset x --declaration-trailer TRD --receipt-trailer TRR
check "the help tells every exit status" sh -c "'$tabrel' --help | grep -q '64 wrong command line; 66 the input cannot be opened'"
check "each command has its help" sh -c "'$tabrel' check --help | grep -q -- '--clean'"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
